"""predict, predict_row, feature_cols and get_feature_importance through the binding: conversion
messages, the row conversion, result lists, borrows and reference counts."""
import functools
import math
import sys

import pytest

from lib_support import (
    UNWRAP_ERR,
    UNWRAP_NONE,
    Model,
    new_model,
    quiet_fit,
    raises_panic,
    run_child,
    small_data,
    trained_model,
)

PREDICT = "_UpliftRandomForestModel.predict()"


@pytest.fixture(scope="module")
def model():
    return trained_model(n_estimators=6)


def bad_cell_message(numeric_cause, str_cause):
    text = ("failed to extract enum SplitValue ('Numeric | Str')\\n"
            "- variant Numeric (Numeric): TypeError: failed to extract field "
            f"SplitValue::Numeric.0, caused by {numeric_cause}\\n"
            "- variant Str (Str): TypeError: failed to extract field SplitValue::Str.0, "
            f"caused by {str_cause}")
    return (f"{UNWRAP_ERR}PyErr {{ type: <class 'TypeError'>, value: TypeError(\"{text}\"), "
            "traceback: None }")


def test_method_table_order_and_text_signatures():
    methods = [name for name in vars(Model) if not name.startswith("__")]
    assert methods == ["load", "fit", "predict", "predict_row", "save", "feature_cols",
                       "get_feature_importance"]
    assert Model.predict.__text_signature__ == "($self, data, n_threads)"
    assert Model.get_feature_importance.__text_signature__ == "($self, importance_type)"
    assert Model.feature_cols.__text_signature__ == "($self)"
    assert all(getattr(Model, name).__doc__ is None for name in methods)


@pytest.mark.parametrize("call,message", [
    (lambda m: m.predict([[1.0]], "1"),
     "argument 'n_threads': 'str' object cannot be interpreted as an integer"),
    (lambda m: m.predict("ab", 1), "argument 'data': Can't extract `str` to `Vec`"),
    (lambda m: m.predict(5, 1), "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    (lambda m: m.predict([[1.0], (2.0,)], 1),
     "argument 'data': 'tuple' object cannot be converted to 'PyList'"),
    (lambda m: m.predict([None], 1),
     "argument 'data': 'NoneType' object cannot be converted to 'PyList'"),
    (lambda m: m.predict_row((1.0, "red")),
     "argument 'x': 'tuple' object cannot be converted to 'PyList'"),
    (lambda m: m.predict_row("ab"), "argument 'x': 'str' object cannot be converted to 'PyList'"),
    (lambda m: m.get_feature_importance(1),
     "argument 'importance_type': 'int' object cannot be converted to 'PyString'"),
])
def test_argument_errors(model, call, message):
    with pytest.raises(TypeError) as err:
        call(model)
    assert str(err.value) == message


def test_data_conversion_comes_before_n_threads_and_rows(model):
    with pytest.raises(TypeError, match="^argument 'data': "):
        model.predict([[None], (1,)], "x")
    with pytest.raises(TypeError, match="^argument 'n_threads': "):
        model.predict([[None]], "x")


def test_n_threads_overflow_is_not_renamed(model):
    with pytest.raises(OverflowError) as err:
        model.predict([[0.5, "red"]], 2**31)
    assert not str(err.value).startswith("argument")


@pytest.mark.parametrize("cell,numeric_cause,str_cause", [
    (None, "TypeError: must be real number, not NoneType",
     "TypeError: 'NoneType' object cannot be converted to 'PyString'"),
    (b"red", "TypeError: must be real number, not bytes",
     "TypeError: 'bytes' object cannot be converted to 'PyString'"),
    (10**400, "OverflowError: int too large to convert to float",
     "TypeError: 'int' object cannot be converted to 'PyString'"),
    ("\ud800", "TypeError: must be real number, not str",
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\\\ud800' in position 0: "
     "surrogates not allowed"),
])
def test_bad_cell_is_a_panic_listing_both_attempts(model, cell, numeric_cause, str_cause):
    expected = bad_cell_message(numeric_cause, str_cause)
    assert raises_panic(lambda: model.predict_row([0.5, cell])) == expected
    for n_threads in (1, 2):
        rows = [[0.5, "red"], [cell, "red"]]
        assert raises_panic(functools.partial(model.predict, rows, n_threads)) == expected


def test_first_bad_row_ends_the_call(model):
    message = raises_panic(lambda: model.predict([[0.5, "red"], [None, "red"], [b"x", "red"]], 1))
    assert "not NoneType" in message and "bytes" not in message


def test_unprintable_error_message_has_a_stand_in(model):
    class Bad:
        def __float__(self):
            raise Unprintable()

    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    message = raises_panic(lambda: model.predict_row([Bad(), "red"]))
    assert "<locals>.Unprintable: <exception str() failed>\\n- variant Str" in message


class Index:
    def __index__(self):
        return 1


class Floaty:
    def __float__(self):
        return 0.75


class StrSub(str):
    pass


class ListSub(list):
    pass


@pytest.mark.parametrize("row,same_as", [
    ([True, "red"], [1.0, "red"]),
    ([False, "blue"], [0.0, "blue"]),
    ([1, "green"], [1.0, "green"]),
    ([Index(), "green"], [1.0, "green"]),
    ([Floaty(), "red"], [0.75, "red"]),
    ([0.5, StrSub("red")], [0.5, "red"]),
    (ListSub([0.25, "blue"]), [0.25, "blue"]),
    ([0.30000000000000004, "red"], [0.3, "red"]),  # both round to the same float
])
def test_equivalent_cells_predict_alike(model, row, same_as):
    assert model.predict_row(row) == model.predict_row(same_as)
    assert model.predict([row], 1) == model.predict([same_as], 1)


class Resizing:
    """A cell whose float conversion changes the row list it stands in, then gives 0.25."""

    def __init__(self, change):
        self.change = change
        self.row = None

    def __float__(self):
        self.change(self.row)
        return 0.25


def resizing_row(change, tail):
    cell = Resizing(change)
    cell.row = [cell, *tail]
    return cell.row


# The row is read as it stands after each cell's conversion: cells removed by the code of an
# earlier cell are not read (reading them would be reading past the list's end), cells it
# appends are converted like the others.
@pytest.mark.parametrize("change,tail,outcome", [
    (lambda row: row.__delitem__(slice(2, None)), ["red", 1.0, 2.0, 3.0], [0.25, "red"]),
    (lambda row: row.append(None), ["red"], "not NoneType"),
])
@pytest.mark.parametrize("call", [lambda m, row: m.predict_row(row),
                                  lambda m, row: m.predict([row], 1)[0]])
def test_a_cell_that_resizes_its_row(model, change, tail, outcome, call):
    if isinstance(outcome, str):
        assert outcome in raises_panic(lambda: call(model, resizing_row(change, tail)))
    else:
        assert call(model, resizing_row(change, tail)) == model.predict_row(outcome)


def test_numeric_text_is_a_text_cell():
    # Trained on the numeric column alone, whose planted uplift makes the root a split: a
    # number passes it, the text "3.5" is a text cell and fails the numeric split.
    model = new_model(n_estimators=2, max_features=1, max_depth=2, min_sample_leaf=10)
    quiet_fit(model, small_data(), ["f0"])
    assert len(model.predict_row([3.5])) == 2
    assert raises_panic(lambda: model.predict_row(["3.5"])) == "not f64"
    assert raises_panic(lambda: model.predict([["3.5"]], 1)) == "not f64"


def test_results_are_new_lists_of_floats(model):
    rows = [[i / 10, c] for i in range(10) for c in ("red", "green", "blue")]
    table = model.predict(rows, 1)
    assert type(table) is list and len(table) == len(rows)
    assert all(type(r) is list and len(r) == 2 for r in table)
    assert all(type(v) is float and math.isfinite(v) for r in table for v in r)
    assert table == [model.predict_row(r) for r in rows]
    threaded = model.predict(tuple(rows), 3)
    assert all(math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-15)
               for ra, rb in zip(threaded, table) for a, b in zip(ra, rb))
    assert model.predict(rows, 1) is not table


@pytest.mark.parametrize("enabled", [True, False])
def test_large_results_leave_the_cyclic_collector_as_they_found_it(model, enabled):
    import gc
    rows = [[i / 20000, "red"] for i in range(20000)]  # large enough to pause the collector
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        assert len(model.predict(rows, 1)) == 20000
        assert gc.isenabled() is enabled
        raises_panic(lambda: model.predict(rows + [[None, "red"]], 1))  # a failure on the way out
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()


# The pause of the collector once imported gc inside the call, which ran the pending Ctrl-C's
# handler there and then threw its KeyboardInterrupt away: the prediction returned as if
# nothing had happened. The child is fresh, so gc has not been imported by anything else; a
# timer delivers the signal during the prediction, to the handler of Ctrl-C.
def test_ctrl_c_during_a_large_prediction_is_not_lost():
    result = run_child("""
        import contextlib, io, random, signal
        import quillmarsh
        rnd = random.Random(1)
        n = 4000
        data = {"a": [rnd.random() for _ in range(n)], "t": [i % 2 for i in range(n)],
                "y": [rnd.randrange(2) for _ in range(n)]}
        model = quillmarsh._UpliftRandomForestModel(100, 1, 8, 5, "ED", 10, False, False, 0.0)
        with contextlib.redirect_stdout(io.StringIO()):
            model.fit(data, ["a"], "t", "y", 2)
        rows = [[rnd.random()] for _ in range(300_000)]  # about 0.25 s to predict
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.03)
        try:
            model.predict(rows, 1)
            print("returned")
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
    """)
    assert result.stdout == "KeyboardInterrupt\n", (result.stdout, result.stderr)


@pytest.mark.parametrize("n_threads", [-1, 0, 1, 2, 8])
def test_empty_row_list_predicts_nothing_for_every_thread_count(model, n_threads):
    assert model.predict([], n_threads) == []
    assert model.predict((), n_threads) == []


def test_untrained_model():
    m = new_model(n_estimators=3)
    assert m.predict_row([1.0]) == []
    assert m.predict([[1.0], [2.0]], 1) == [[], []]
    assert raises_panic(lambda: m.predict([[1.0]],
                                          2)) == "assertion failed: count == self.n_estimators"
    assert raises_panic(m.feature_cols) == UNWRAP_NONE
    raises_panic(lambda: m.get_feature_importance("gain"))


def test_feature_cols_and_importance(model):
    assert model.feature_cols() == ["f0", "f1"]
    assert model.feature_cols() is not model.feature_cols()
    gain = model.get_feature_importance("gain")
    assert gain == model.get_feature_importance(importance_type="gain")
    assert len(gain) == 2 and all(type(v) is float and v >= 0 for v in gain)
    count = model.get_feature_importance("count")
    assert len(count) == 2 and all(v >= 0 for v in count) and sum(count) > 0


def test_self_of_another_type_is_refused():
    for method, args in [("save", ("x",)), ("predict_row", ([1.0],)), ("feature_cols", ()),
                         ("fit", ({}, [], "t", "y", 1)), ("load", ("x",))]:
        with pytest.raises(TypeError) as err:
            getattr(Model, method)(object(), *args)
        assert "'object'" in str(err.value)


def test_shared_borrow_is_released_after_a_panic(model):
    raises_panic(lambda: model.predict_row([None]))
    raises_panic(lambda: model.predict([[None]], 2))
    # An exclusive borrow needs the counter back at zero.
    with pytest.raises(BaseException) as err:
        model.load("/nonexistent/dir/model.json")
    assert type(err.value).__name__ == "PanicException"
    assert model.feature_cols() == ["f0", "f1"]


def test_failed_predictions_release_their_inputs(model):
    cell = "some text"
    bad = [0.5, None]
    rows = [[0.5, cell], bad]
    before = [sys.getrefcount(o) for o in (cell, bad, rows)]
    for _ in range(20):
        raises_panic(lambda: model.predict(rows, 1))
        raises_panic(lambda: model.predict_row(bad))
        with pytest.raises(TypeError):
            model.predict(rows, 1.5)
        model.predict(rows[:1], 2)
    assert [sys.getrefcount(o) for o in (cell, bad, rows)] == before


def test_panic_exception_is_one_base_exception_type(model):
    caught = []
    for call in (lambda: model.predict_row([None]), new_model().feature_cols):
        try:
            call()
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException caught as Exception")
        except BaseException as e:
            caught.append(e)
    first, second = caught
    assert type(first) is type(second)
    assert type(first).__name__ == "PanicException"
    assert type(first).__module__ == "vornex_runtime"
    assert type(first).__bases__ == (BaseException,)
    assert type(first).__doc__ and "BaseException" in type(first).__doc__
    assert second.args == (UNWRAP_NONE,)


def test_shared_borrows_nest_but_refuse_an_exclusive_one(model, tmp_path):
    seen = []

    class Probe:
        def __float__(self):
            seen.append(model.feature_cols())
            try:
                model.load(str(tmp_path / "never-read.json"))
            except RuntimeError as e:
                seen.append(str(e))
            return 0.5

    assert model.predict_row([Probe(), "red"]) == model.predict_row([0.5, "red"])
    assert seen == [["f0", "f1"], "Already borrowed"]


# Threaded predictions convert the rows in blocks of this many, while other threads score the
# blocks converted before.
BLOCK = 2048


def block_rows(n, seed=5):
    """n rows of [float, str], each str a fresh object; "mauve" (no category of the forest)
    first appears in a late block."""
    import random
    rnd = random.Random(seed)
    colours = ["red", "green", "blue"]
    rows = [[rnd.random(), "".join(rnd.choice(colours))] for _ in range(n)]
    rows[-BLOCK // 2][1] = "".join(["mau", "ve"])
    return rows


@pytest.mark.parametrize("n_threads", [2, 3, -1])
def test_rows_of_many_blocks_predict_as_predict_row_does(model, n_threads):
    import gc
    rows = block_rows(5 * BLOCK + 17)
    table = model.predict(rows, n_threads)
    assert table == [model.predict_row(r) for r in rows]  # bit for bit: trees in list order
    assert all(type(r) is list for r in table)
    assert gc.isenabled()


WRONG_KINDS = ["x", 1.0]  # whatever a split tests, its cell is of the other kind


# A failure of the walk in one block fails the count as a failed tree job does, but only once
# every row has converted: a bad cell in a later block ends the call with its own error, as
# when every row is converted first. Nothing is returned, and the call holds nothing after.
@pytest.mark.parametrize("n_threads", [2, 3])
@pytest.mark.parametrize("changes,outcome", [
    ({-1: [None, "red"]}, bad_cell_message("TypeError: must be real number, not NoneType",
                                           "TypeError: 'NoneType' object cannot be converted "
                                           "to 'PyString'")),
    ({BLOCK + 5: WRONG_KINDS}, "assertion failed: count == self.n_estimators"),
    ({0: [0.5]}, "assertion failed: count == self.n_estimators"),  # the first row's width
    ({BLOCK + 5: WRONG_KINDS, -1: [b"x", "red"]}, "not bytes"),
])
def test_failures_of_rows_in_late_blocks(model, capfd, n_threads, changes, outcome):
    rows = block_rows(4 * BLOCK + 3)
    for at, row in changes.items():
        rows[at] = row
    cell = rows[7][1]
    before = [sys.getrefcount(o) for o in (cell, rows[7], rows)]
    message = raises_panic(lambda: model.predict(rows, n_threads))
    assert message == outcome or outcome.startswith("not ") and outcome in message
    walk_failed = any(r is WRONG_KINDS for r in rows)
    reported = capfd.readouterr().err
    assert ("not f64" in reported or "not str" in reported) == (walk_failed and "count" in outcome)
    assert [sys.getrefcount(o) for o in (cell, rows[7], rows)] == before


# Code that a cell's conversion runs cannot reach the threaded call's unfinished table, whose
# slots for the rows not yet predicted are empty.
def test_cell_code_cannot_reach_the_unfinished_table(model):
    import gc
    rows = block_rows(3 * BLOCK)
    seen = []

    class Looking:
        def __float__(self):
            seen.extend(o for o in gc.get_objects()
                        if type(o) is list and len(o) == len(rows) and o is not rows)
            return 0.5

    rows[2 * BLOCK + 1] = [Looking(), "red"]
    table = model.predict(rows, 2)
    assert seen == [] and table[2 * BLOCK + 1] == model.predict_row([0.5, "red"])
    assert gc.is_tracked(table)
