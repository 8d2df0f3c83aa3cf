"""fit: conversion messages, intake element conversions, progress printing through
sys.stdout, the borrow counter and reference counts."""
import contextlib
import io
import sys

import pytest

from lib_support import (
    UNWRAP_ERR,
    UNWRAP_NONE,
    new_model,
    quiet_fit,
    raises_panic,
    run_child,
    small_data,
    trained_model,
)


def fit_model():
    return new_model(n_estimators=3, max_features=2, max_depth=2, min_sample_leaf=10)


class Seq:
    """A sequence that is neither list nor tuple."""

    def __init__(self, items, fail_with=None):
        self.items = items
        self.fail_with = fail_with

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if self.fail_with is not None and i == 1:
            raise self.fail_with
        return self.items[i]


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


@pytest.mark.parametrize("changes,message", [
    ({"data": [1]}, "argument 'data': 'list' object cannot be converted to 'PyDict'"),
    ({"data": None}, "argument 'data': 'NoneType' object cannot be converted to 'PyDict'"),
    ({"data": {1: [1]}}, "argument 'data': 'int' object cannot be converted to 'PyString'"),
    ({"data": {"f0": (1.0, 2.0)}},
     "argument 'data': 'tuple' object cannot be converted to 'PyList'"),
    ({"data": {"f0": range(3)}}, "argument 'data': 'range' object cannot be converted to 'PyList'"),
    ({"x_names": "f0"}, "argument 'x_names': Can't extract `str` to `Vec`"),
    ({"x_names": StrSub("f0")}, "argument 'x_names': Can't extract `str` to `Vec`"),
    ({"x_names": 3}, "argument 'x_names': 'int' object cannot be converted to 'Sequence'"),
    ({"x_names": {"f0": 1}}, "argument 'x_names': 'dict' object cannot be converted to 'Sequence'"),
    ({"x_names": ["f0", 1]}, "argument 'x_names': 'int' object cannot be converted to 'PyString'"),
    ({"x_names": Seq(["f0", "f1"], TypeError("broken"))}, "argument 'x_names': broken"),
    ({"treatment_col": 1},
     "argument 'treatment_col': 'int' object cannot be converted to 'PyString'"),
    ({"outcome_col": b"y"},
     "argument 'outcome_col': 'bytes' object cannot be converted to 'PyString'"),
    ({"n_threads": 1.5},
     "argument 'n_threads': 'float' object cannot be interpreted as an integer"),
])
def test_argument_type_errors(changes, message):
    args = {"data": small_data(20), "x_names": ["f0", "f1"], "treatment_col": "t",
            "outcome_col": "y", "n_threads": 1}
    args.update(changes)
    model = fit_model()
    with pytest.raises(TypeError) as err:
        model.fit(**args)
    assert type(err.value) is TypeError
    assert str(err.value) == message


@pytest.mark.parametrize("changes,error", [
    ({"n_threads": 2**31}, OverflowError),
    ({"n_threads": -(2**40)}, OverflowError),
    ({"x_names": Seq(["f0", "f1"], ValueError("odd"))}, ValueError),
    ({"treatment_col": "\udc80"}, UnicodeEncodeError),
])
def test_other_argument_errors_pass_through_unrenamed(changes, error):
    args = {"data": small_data(20), "x_names": ["f0"], "treatment_col": "t", "outcome_col": "y",
            "n_threads": 1}
    args.update(changes)
    with pytest.raises(error) as err:
        fit_model().fit(**args)
    assert type(err.value) is error
    assert not str(err.value).startswith("argument")


def test_arguments_are_converted_in_parameter_order():
    with pytest.raises(TypeError, match="^argument 'data': "):
        fit_model().fit([], "f0", 1, 2, 1.5)
    with pytest.raises(TypeError, match="^argument 'x_names': "):
        fit_model().fit({}, "f0", 1, 2, 1.5)
    with pytest.raises(TypeError, match="^argument 'outcome_col': "):
        fit_model().fit({}, [], "t", 2, 1.5)


def test_keyword_positional_and_other_sequence_forms_train_alike():
    data = small_data()
    for call in (
        lambda m: m.fit(data, ["f0", "f1"], "t", "y", 2),
        lambda m: m.fit(n_threads=2, outcome_col="y", treatment_col="t", x_names=["f0", "f1"],
                        data=data),
        lambda m: m.fit(DictSub({StrSub(k): ListSub(v) for k, v in data.items()}),
                        ("f0", "f1"), StrSub("t"), "y", 2),
        lambda m: m.fit(data, Seq(["f0", "f1"]), "t", "y", 2),
    ):
        model = fit_model()
        with contextlib.redirect_stdout(io.StringIO()):
            call(model)
        assert model.feature_cols() == ["f0", "f1"]
        assert len(model.predict_row([0.7, "red"])) == 2


# --- intake element conversions -------------------------------------------------------------

def fit_panic(data, x_names=("f0",), treatment_col="t", outcome_col="y"):
    model = fit_model()
    return raises_panic(lambda: quiet_fit(model, data, x_names, treatment_col, outcome_col))


def unwrap_err(type_name, value_repr):
    return (f"{UNWRAP_ERR}PyErr {{ type: <class '{type_name}'>, value: {value_repr}, "
            "traceback: None }")


@pytest.mark.parametrize("column,x_names,treatment_col,outcome_col", [
    ("f0", ("missing",), "t", "y"),
    ("f0", ("f0", "missing"), "t", "y"),
    ("f0", ("f0",), "missing", "y"),
    ("f0", ("f0",), "t", "missing"),
])
def test_missing_columns(column, x_names, treatment_col, outcome_col):
    assert fit_panic(small_data(30), x_names, treatment_col, outcome_col) == UNWRAP_NONE


def test_any_name_is_missing_from_empty_data():
    assert fit_panic({}) == UNWRAP_NONE


@pytest.mark.parametrize("values", [
    [1.0, None, 2.0],
    [1.0, "a", 2.0],
    ["a", None],
    ["a", b"b"],
    [1.0, 10**400],  # an int beyond the float range has no float conversion
    ["a", "\ud800"],
    [object()],
])
def test_bad_feature_column(values):
    data = small_data(len(values))
    data["f0"] = values
    assert fit_panic(data) == "BAD type of column: f0"


@pytest.mark.parametrize("values,message", [
    ([0, 1.0, 1], unwrap_err("TypeError",
                             "TypeError(\"'float' object cannot be interpreted as an integer\")")),
    ([0, "1"], unwrap_err("TypeError",
                          "TypeError(\"'str' object cannot be interpreted as an integer\")")),
    ([0, None], unwrap_err("TypeError",
                           "TypeError(\"'NoneType' object cannot be interpreted as an integer\")")),
    ([0, 2**31], unwrap_err("OverflowError",
                            "OverflowError('out of range integral type conversion attempted')")),
    ([0, 2**70], unwrap_err("OverflowError",
                            "OverflowError('Python int too large to convert to C long')")),
])
def test_bad_treatment_value(values, message):
    data = small_data(len(values))
    data["t"] = values
    assert fit_panic(data) == message


@pytest.mark.parametrize("values,message", [
    ([0, 128], unwrap_err("OverflowError",
                          "OverflowError('out of range integral type conversion attempted')")),
    ([0, -129], unwrap_err("OverflowError",
                           "OverflowError('out of range integral type conversion attempted')")),
    ([0, 0.0], unwrap_err("TypeError",
                          "TypeError(\"'float' object cannot be interpreted as an integer\")")),
])
def test_bad_outcome_value(values, message):
    data = small_data(len(values))
    data["y"] = values
    assert fit_panic(data) == message


def test_feature_errors_come_before_treatment_errors():
    data = small_data(3)
    data["f0"] = [None, None, None]
    data["t"] = [0.5, 0.5, 0.5]
    assert fit_panic(data) == "BAD type of column: f0"


def test_empty_treatment_column():
    assert fit_panic({"f0": [], "t": [], "y": []}) == UNWRAP_NONE


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


def test_values_of_every_accepted_kind_train():
    n = 60
    data = {
        "ints": [i % 7 for i in range(n)],
        "bools": [i % 2 == 0 for i in range(n)],
        "floaty": [Floaty(i / 3) for i in range(n)],
        "index": [Index(i) for i in range(n)],
        "texts": [StrSub("abc"[i % 3]) for i in range(n)],
        "numbers_as_text": [str(i % 4) for i in range(n)],
        "t": [i % 3 == 0 for i in range(n)],   # bools as groups 0 and 1
        "y": [Index(i % 2) for i in range(n)],
        "unused": [None] * n,
    }
    names = ["ints", "bools", "floaty", "index", "texts", "numbers_as_text", "ints"]
    model = new_model(n_estimators=2, max_features=3, max_depth=2, min_sample_leaf=5)
    lines = quiet_fit(model, data, names, "t", "y", 1)
    assert lines.splitlines()[-1] == "Tree [2] is finished!"
    assert model.feature_cols() == names
    # A text column takes text cells, a numeric column number cells.
    row = [3, True, 1.5, 4, "b", "2", 3]
    assert len(model.predict_row(row)) == 1


def test_float_conversion_that_shrinks_its_list_is_safe():
    data = small_data(40)

    class Shrinker:
        def __float__(self):
            del data["f0"][5:]
            return 1.0

    data["f0"][2] = Shrinker()
    model = fit_model()
    # The column ends up shorter than the treatment column; that is refused, not read past.
    raises_panic(lambda: quiet_fit(model, data, ("f0",)))
    assert len(data["f0"]) == 5


# --- progress printing ---------------------------------------------------------------------

def test_progress_lines_go_to_the_current_sys_stdout():
    model = new_model(n_estimators=3, max_features=2, max_depth=2, min_sample_leaf=10)
    first = quiet_fit(model, small_data(), n_threads=4)
    assert first == ("Start training with 4 threads...\n"
                     "Tree [1] is finished!\nTree [2] is finished!\nTree [3] is finished!\n")
    second = quiet_fit(model, small_data(), n_threads=1)
    assert second.splitlines() == ["Start training with 1 threads...", "Tree [4] is finished!",
                                   "Tree [5] is finished!", "Tree [6] is finished!"]


def test_sys_stdout_none_fails_at_the_first_line():
    model = fit_model()
    saved = sys.stdout
    sys.stdout = None
    try:
        message = raises_panic(lambda: model.fit(small_data(), ["f0"], "t", "y", 1))
    finally:
        sys.stdout = saved
    assert message.startswith(UNWRAP_ERR + "PyErr { type: <class 'AttributeError'>, value: "
                              "AttributeError(\"'NoneType' object has no attribute 'flush'\"), "
                              "traceback: Some(<traceback object at ")
    assert message.endswith(">) }")
    # The failure came before any tree was grown.
    assert raises_panic(model.feature_cols) == UNWRAP_NONE


class RaisingStdout(io.StringIO):
    def __init__(self, after):
        super().__init__()
        self.after = after

    def write(self, text):
        if self.getvalue().count("\n") >= self.after:
            raise OSError("disk full")
        return super().write(text)


def test_a_failing_write_ends_fit_but_keeps_finished_trees():
    model = new_model(n_estimators=5, max_features=2, max_depth=2, min_sample_leaf=10)
    out = RaisingStdout(after=3)  # start line and two tree lines get through
    with contextlib.redirect_stdout(out):
        message = raises_panic(lambda: model.fit(small_data(), ["f0"], "t", "y", 2))
    assert message.startswith(UNWRAP_ERR + "PyErr { type: <class 'OSError'>, "
                              "value: OSError('disk full'), traceback: Some(")
    assert out.getvalue().splitlines() == ["Start training with 2 threads...",
                                           "Tree [1] is finished!", "Tree [2] is finished!"]
    assert model.feature_cols() == ["f0"]


def test_fit_binds_sys_in_main():
    result = run_child("""
        import contextlib, io
        import quillmarsh
        m = quillmarsh._UpliftRandomForestModel(1, 1, 1, 1, "ED", 4, False, False, 0.0)
        before = "sys" in globals()
        with contextlib.redirect_stdout(io.StringIO()):
            m.fit({"f": [1.0, 2.0], "t": [0, 1], "y": [0, 1]}, ["f"], "t", "y", 1)
        print(before, "sys" in globals())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False True"


# --- borrow counter ------------------------------------------------------------------------

class ReentrantStdout(io.StringIO):
    """Runs probe() on every write, recording what it raised."""

    def __init__(self, probe):
        super().__init__()
        self.probe = probe
        self.seen = []

    def write(self, text):
        try:
            self.probe()
            self.seen.append(None)
        except RuntimeError as e:
            self.seen.append(str(e))
        return super().write(text)


@pytest.mark.parametrize("call,message", [
    (lambda m: m.feature_cols(), "Already mutably borrowed"),
    (lambda m: m.predict_row([0.1]), "Already mutably borrowed"),
    (lambda m: m.predict([[0.1]], 1), "Already mutably borrowed"),
    (lambda m: m.save("/nonexistent/never-written.json"), "Already mutably borrowed"),
    (lambda m: m.get_feature_importance("gain"), "Already mutably borrowed"),
    (lambda m: m.fit({}, [], "t", "y", 1), "Already borrowed"),
    (lambda m: m.load("/nonexistent/never-read.json"), "Already borrowed"),
])
def test_reentrant_calls_meet_the_borrow_counter(call, message):
    model = fit_model()
    out = ReentrantStdout(lambda: call(model))
    with contextlib.redirect_stdout(out):
        model.fit(small_data(), ["f0"], "t", "y", 1)
    assert out.seen and set(out.seen) == {message}
    assert model.feature_cols() == ["f0"]  # released after the call


def test_another_instance_is_usable_during_fit():
    other = trained_model()
    model = fit_model()
    out = ReentrantStdout(lambda: other.predict_row([0.2, "red"]))
    with contextlib.redirect_stdout(out):
        model.fit(small_data(), ["f0"], "t", "y", 1)
    assert set(out.seen) == {None}


def test_borrow_is_released_after_each_kind_of_failure():
    model = fit_model()
    with pytest.raises(TypeError):
        model.fit([], [], "t", "y", 1)
    raises_panic(lambda: quiet_fit(model, {}, ["f0"]))
    raises_panic(lambda: quiet_fit(model, small_data(), ["f0"], n_threads=0))
    quiet_fit(model, small_data(), ["f0"])
    assert model.feature_cols() == ["f0"]


# --- reference counts ----------------------------------------------------------------------

def test_failed_fit_releases_its_inputs():
    data = small_data(50)
    data["t"][10] = "x"  # wrong kind deep inside a column
    x_names = ["f0", "f1"]
    watched = [data, data["t"], data["f0"], data["f1"], x_names, data["t"][10]]
    before = [sys.getrefcount(o) for o in watched]
    model = fit_model()
    for _ in range(20):
        raises_panic(lambda: quiet_fit(model, data, x_names))
        with pytest.raises(TypeError):
            model.fit(data, x_names, "t", "y", "2")
    assert [sys.getrefcount(o) for o in watched] == before


def test_successful_fit_releases_its_inputs():
    data = small_data(50)
    before = [sys.getrefcount(v) for v in data.values()] + [sys.getrefcount(data)]
    model = fit_model()
    quiet_fit(model, data)
    assert [sys.getrefcount(v) for v in data.values()] + [sys.getrefcount(data)] == before
