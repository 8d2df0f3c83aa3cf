"""The inputs users get wrong, fed to every method: each case names the exception kind and
message it must raise (or the result it must give, where the input is accepted), and after each
failure the instance must still predict exactly as before, save, and load back. The whole
matrix runs once in a child interpreter first, so that a crash shows up as a failed test."""
import contextlib
import functools
import io
import json
import math
import os
import re

import pytest

from lib_support import (
    UNWRAP_ERR,
    UNWRAP_NONE,
    new_model,
    quiet_fit,
    raises_panic,
    run_child,
    small_data,
)

HERE = os.path.dirname(os.path.abspath(__file__))
K = 2  # treatment groups 1..2 in small_data
PROBE_ROWS = [[0.1, "red"], [0.9, "green"], [0.6, "blue"], [float("nan"), "grey"]]


def make_model():
    model = new_model(n_estimators=3, max_features=2, max_depth=3, min_sample_leaf=10)
    quiet_fit(model, small_data())
    return model


# ---- expectations ----------------------------------------------------------------------------

class Raises:
    """A Python exception of exactly this type; message equal to `exact`, or starting with
    `prefix`, or matching `pattern`."""

    def __init__(self, kind, exact=None, prefix=None, pattern=None):
        self.kind, self.exact, self.prefix, self.pattern = kind, exact, prefix, pattern

    def check(self, call):
        if self.kind == "PanicException":
            message = raises_panic(call)
        else:
            try:
                call()
            except BaseException as e:  # noqa: B902 - the type is asserted exactly below
                assert type(e) is self.kind, f"{type(e).__name__}: {e}"
                message = str(e)
            else:
                raise AssertionError(f"no {self.kind.__name__} raised")
        if self.exact is not None:
            assert message == self.exact
        if self.prefix is not None:
            assert message.startswith(self.prefix), message
        if self.pattern is not None:
            assert re.fullmatch(self.pattern, message, re.S), message
        assert message, "an empty message tells the user nothing"


def panic(exact=None, prefix=None, pattern=None):
    return Raises("PanicException", exact, prefix, pattern)


def type_error(message):
    return Raises(TypeError, exact=message)


class Accepts:
    """The call succeeds and `check(result, model)` holds."""

    def __init__(self, check):
        self.check_result = check


def equals(want):
    """Accepted, with the result that want(model) computes through another path."""
    def check(result, model):
        assert result == want(model)
    return Accepts(check).check_result


def pyerr(kind, value_repr_start):
    """The rendering of a Python error inside an internal failure."""
    return f"{UNWRAP_ERR}PyErr {{ type: <class '{kind}'>, value: {value_repr_start}"


SURROGATE = Raises(UnicodeEncodeError, pattern=r"'utf-8' codec can't encode character '\\ud800'.*")
CELL_ERROR = pyerr("TypeError", "TypeError(\"failed to extract enum SplitValue")
INT_RANGE = pyerr("OverflowError", "OverflowError('out of range integral type conversion")
NOT_AN_INT = pyerr("TypeError", "TypeError(")
LONG = "x" * 200_000


# ---- fit -------------------------------------------------------------------------------------

def fit_with(columns=None, x_names=("f0", "f1"), treatment_col="t", outcome_col="y",
             n_threads=2, data=None, fresh=False):
    """A call of fit with small_data changed by `columns` (None drops a column); with `fresh`,
    on a new untrained instance, which the call returns."""
    def call(model, _tmp):
        if fresh:
            model = new_model(n_estimators=3, max_features=2, max_depth=3, min_sample_leaf=10)
        if data is None:
            d = small_data()
            for name, values in (columns or {}).items():
                if values is None:
                    d.pop(name)
                else:
                    d[name] = values(d) if callable(values) else values
        else:
            d = data
        with contextlib.redirect_stdout(io.StringIO()):
            model.fit(d, x_names, treatment_col, outcome_col, n_threads)
        return model if fresh else None
    return call


def fit_args(*args, **kwargs):
    return lambda model, _tmp: model.fit(*args, **kwargs)


def replaced(name, value, at=0):
    def transform(d):
        col = list(d[name])
        col[at] = value
        return col
    return {name: transform}


def trained_alike(feature_cols):
    """fit of a fresh instance succeeded: its trees use these features and it predicts K finite
    floats per row."""
    def check(model, _fixture):
        assert model.feature_cols() == list(feature_cols)
        assert len(model.get_feature_importance("gain")) == len(feature_cols)
        row = [0.5 if i % 2 == 0 else "red" for i in range(len(feature_cols))]
        if feature_cols == ("f0", "f0", "f1"):
            row = [0.5, 0.5, "red"]
        out = model.predict_row(row)
        assert len(out) == K and all(math.isfinite(v) for v in out), out
    return check


def no_features(model, _fixture):
    assert model.feature_cols() == []
    assert model.get_feature_importance("gain") == []
    # Trees without features are single leaves: every row gets the same uplift.
    table = model.predict([[], []], 1)
    assert len(table) == 2 and table[0] == table[1] and len(table[0]) == K


DATA = "argument 'data': "
FIT_CASES = [
    ("data-list", fit_args([], ["f0"], "t", "y", 1),
     type_error(DATA + "'list' object cannot be converted to 'PyDict'")),
    ("data-none", fit_args(None, ["f0"], "t", "y", 1),
     type_error(DATA + "'NoneType' object cannot be converted to 'PyDict'")),
    ("data-int-key", fit_with(data={1: [0.5], "t": [0], "y": [1]}),
     type_error(DATA + "'int' object cannot be converted to 'PyString'")),
    ("data-bytes-key", fit_with(data={b"f0": [0.5], "t": [0], "y": [1]}),
     type_error(DATA + "'bytes' object cannot be converted to 'PyString'")),
    ("data-surrogate-key", fit_with(data={"\ud800": [0.5], "t": [0], "y": [1]}), SURROGATE),
    ("data-tuple-column", fit_with({"f0": tuple(range(400))}),
     type_error(DATA + "'tuple' object cannot be converted to 'PyList'")),
    ("data-none-column", fit_with(data={"f0": None, "t": [0], "y": [1]}),
     type_error(DATA + "'NoneType' object cannot be converted to 'PyList'")),
    ("x_names-str", fit_with(x_names="f0"),
     type_error("argument 'x_names': Can't extract `str` to `Vec`")),
    ("x_names-none", fit_with(x_names=None),
     type_error("argument 'x_names': 'NoneType' object cannot be converted to 'Sequence'")),
    ("x_names-set", fit_with(x_names={"f0"}),
     type_error("argument 'x_names': 'set' object cannot be converted to 'Sequence'")),
    ("x_names-int-item", fit_with(x_names=["f0", 1]),
     type_error("argument 'x_names': 'int' object cannot be converted to 'PyString'")),
    ("x_names-none-item", fit_with(x_names=["f0", None]),
     type_error("argument 'x_names': 'NoneType' object cannot be converted to 'PyString'")),
    ("x_names-surrogate", fit_with(x_names=["f0", "\ud800"]), SURROGATE),
    ("treatment_col-none", fit_with(treatment_col=None),
     type_error("argument 'treatment_col': 'NoneType' object cannot be converted to 'PyString'")),
    ("outcome_col-bytes", fit_with(outcome_col=b"y"),
     type_error("argument 'outcome_col': 'bytes' object cannot be converted to 'PyString'")),
    ("n_threads-float", fit_with(n_threads=2.0),
     Raises(TypeError, prefix="argument 'n_threads': ")),
    ("n_threads-none", fit_with(n_threads=None),
     Raises(TypeError, prefix="argument 'n_threads': ")),
    ("n_threads-2**31", fit_with(n_threads=2**31), Raises(OverflowError)),
    ("n_threads--2**31-1", fit_with(n_threads=-2**31 - 1), Raises(OverflowError)),
    ("n_threads-2**100", fit_with(n_threads=2**100), Raises(OverflowError)),
    ("n_threads-0", fit_with(n_threads=0), panic(exact="assertion failed: num_threads > 0")),
    ("missing-feature", fit_with(x_names=["f0", "nope"]), panic(exact=UNWRAP_NONE)),
    ("missing-long-name", fit_with(x_names=[LONG]), panic(exact=UNWRAP_NONE)),
    ("missing-treatment", fit_with({"t": None}), panic(exact=UNWRAP_NONE)),
    ("missing-outcome", fit_with({"y": None}), panic(exact=UNWRAP_NONE)),
    ("empty-data", fit_with(data={}), panic(exact=UNWRAP_NONE)),
    ("feature-none-cell", fit_with(replaced("f0", None)), panic(exact="BAD type of column: f0")),
    ("feature-mixed-kinds", fit_with(replaced("f0", "red")),
     panic(exact="BAD type of column: f0")),
    ("feature-bytes", fit_with(replaced("f1", b"red")), panic(exact="BAD type of column: f1")),
    ("feature-int-beyond-float", fit_with(replaced("f0", 10**400)),
     panic(exact="BAD type of column: f0")),
    ("feature-surrogate", fit_with(replaced("f1", "\ud800")),
     panic(exact="BAD type of column: f1")),
    ("treatment-none", fit_with(replaced("t", None)), panic(prefix=NOT_AN_INT)),
    ("treatment-float", fit_with(replaced("t", 1.0)), panic(prefix=NOT_AN_INT)),
    ("treatment-str", fit_with(replaced("t", "1")), panic(prefix=NOT_AN_INT)),
    ("treatment-2**31", fit_with(replaced("t", 2**31)), panic(prefix=INT_RANGE)),
    ("treatment-10**30", fit_with(replaced("t", 10**30)),
     panic(prefix=pyerr("OverflowError", "OverflowError("))),
    ("treatment-negative", fit_with(replaced("t", -1, at=5)),
     panic(exact="treatment column 't' holds -1 in row 5; treatment groups must lie in "
                 "0..16777215 (0 is the control group)")),
    ("treatment-above-groups", fit_with(replaced("t", 2**24)),
     panic(prefix="treatment column 't' holds 16777216 in row 0")),
    ("outcome-128", fit_with(replaced("y", 128)), panic(prefix=INT_RANGE)),
    ("outcome--129", fit_with(replaced("y", -129)), panic(prefix=INT_RANGE)),
    ("outcome-2**40", fit_with(replaced("y", 2**40)), panic(prefix=INT_RANGE)),
    ("outcome-none", fit_with(replaced("y", None)), panic(prefix=NOT_AN_INT)),
    ("all-columns-empty", fit_with({"f0": [], "f1": [], "t": [], "y": []}),
     panic(exact=UNWRAP_NONE)),
    ("feature-column-empty", fit_with({"f0": []}),
     panic(exact="feature column 'f0' has 0 values but the treatment column 't' has 400")),
    ("feature-column-shorter", fit_with({"f1": lambda d: d["f1"][:399]}),
     panic(exact="feature column 'f1' has 399 values but the treatment column 't' has 400")),
    ("feature-column-longer", fit_with({"f0": lambda d: d["f0"] + [0.5]}),
     panic(exact="feature column 'f0' has 401 values but the treatment column 't' has 400")),
    ("outcome-column-shorter", fit_with({"y": lambda d: d["y"][:10]}),
     panic(exact="outcome column 'y' has 10 values but the treatment column 't' has 400")),
    ("treatment-column-shorter", fit_with({"t": lambda d: d["t"][:100]}),
     panic(exact="feature column 'f0' has 400 values but the treatment column 't' has 100")),
    # Accepted inputs and what they give.
    ("x_names-empty", fit_with(x_names=[], fresh=True), Accepts(no_features)),
    ("x_names-duplicate", fit_with(x_names=["f0", "f0", "f1"], fresh=True),
     Accepts(trained_alike(("f0", "f0", "f1")))),
    ("x_names-tuple", fit_with(x_names=("f0", "f1"), fresh=True),
     Accepts(trained_alike(("f0", "f1")))),
    ("feature-nan-and-inf", fit_with({"f0": lambda d: [
        (math.nan, math.inf, -math.inf, v)[i % 4] if i % 3 == 0 else v
        for i, v in enumerate(d["f0"])]}, fresh=True), Accepts(trained_alike(("f0", "f1")))),
    ("feature-beyond-float-range", fit_with(replaced("f0", 1e300), fresh=True),
     Accepts(trained_alike(("f0", "f1")))),
    ("feature-long-strings", fit_with({"f1": lambda d: [s * 50_000 for s in d["f1"]]},
                                      fresh=True),
     Accepts(trained_alike(("f0", "f1")))),
]


# ---- constructor settings that only training looks at ---------------------------------------

def fit_new(**changes):
    """fit of a fresh instance built with these hyper-parameters; the checks then look at the
    fixture's own model, which must be untouched."""
    def call(_model, _tmp):
        params = dict(n_estimators=2, max_features=2, max_depth=3, min_sample_leaf=10)
        params.update(changes)
        quiet_fit(new_model(**params), small_data())
    return call


SETTINGS_CASES = [
    ("eval_func-lower-case", fit_new(eval_func="kl"), panic(exact="bad eval func")),
    ("eval_func-long", fit_new(eval_func=LONG), panic(exact="bad eval func")),
    ("max_depth-64", fit_new(max_depth=64),
     panic(exact="max_depth 64 is too deep: a tree of that depth has more than 2^64 node slots")),
    ("max_depth-beyond-memory", fit_new(max_depth=45),
     panic(prefix="max_depth 45 is too deep: ")),
    ("max_depth-2**64-1", fit_new(max_depth=2**64 - 1), panic(prefix="max_depth ")),
    ("constructor-max_depth-negative", lambda m, t: new_model(max_depth=-1),
     Raises(OverflowError)),
    ("constructor-max_bins-2**64", lambda m, t: new_model(max_bins=2**64), Raises(OverflowError)),
    ("constructor-balance-int", lambda m, t: new_model(balance=1),
     type_error("argument 'balance': 'int' object cannot be converted to 'PyBool'")),
    ("constructor-eval_func-surrogate", lambda m, t: new_model(eval_func="\ud800"), SURROGATE),
    ("constructor-alpha-str", lambda m, t: new_model(alpha="0.5"),
     Raises(TypeError, prefix="argument 'alpha': ")),
]


# ---- predict and predict_row -----------------------------------------------------------------

def predict(data, n_threads=1):
    return lambda model, _tmp: model.predict(data, n_threads)


def predict_row(x):
    return lambda model, _tmp: model.predict_row(x)


def k_floats_per_row(rows):
    def check(result, _model):
        if rows is None:  # predict_row
            table = [result]
        else:
            table = result
            assert len(table) == rows
        for out in table:
            assert len(out) == K and all(isinstance(v, float) for v in out), out
    return check


def same_as_row(x):
    def check(result, model):
        assert result == model.predict_row(x)
    return check


PDATA = "argument 'data': "
PREDICT_CASES = [
    ("predict-data-int", predict(5), type_error(PDATA + "'int' object cannot be converted to "
                                                "'Sequence'")),
    ("predict-data-none", predict(None),
     type_error(PDATA + "'NoneType' object cannot be converted to 'Sequence'")),
    ("predict-data-str", predict("0.5"), type_error(PDATA + "Can't extract `str` to `Vec`")),
    ("predict-data-dict", predict({0: [0.5, "red"]}),
     type_error(PDATA + "'dict' object cannot be converted to 'Sequence'")),
    ("predict-tuple-row", predict([[0.5, "red"], (0.5, "red")]),
     type_error(PDATA + "'tuple' object cannot be converted to 'PyList'")),
    ("predict-none-row", predict([None]),
     type_error(PDATA + "'NoneType' object cannot be converted to 'PyList'")),
    ("predict-flat-row", predict([0.5, "red"]),
     type_error(PDATA + "'float' object cannot be converted to 'PyList'")),
    ("predict-n_threads-none", predict([[0.5, "red"]], None),
     Raises(TypeError, prefix="argument 'n_threads': ")),
    ("predict-n_threads-2**31", predict([[0.5, "red"]], 2**31), Raises(OverflowError)),
    ("predict-n_threads-0", predict([[0.5, "red"]], 0),
     panic(exact="assertion failed: count == self.n_estimators")),
    ("predict-none-cell", predict([[0.5, "red"], [None, "red"]]), panic(prefix=CELL_ERROR)),
    ("predict-bytes-cell", predict([[0.5, b"red"]]), panic(prefix=CELL_ERROR)),
    ("predict-surrogate-cell", predict([[0.5, "\ud800"]], 2), panic(prefix=CELL_ERROR)),
    ("predict-int-beyond-float", predict([[10**400, "red"]]), panic(prefix=CELL_ERROR)),
    ("predict-text-for-number", predict([["0.5", "red"]]), panic(exact="not f64")),
    ("predict-number-for-text", predict([[0.5, 1.0]]), panic(exact="not str")),
    ("predict-empty-row", predict([[]]),
     panic(exact="index out of bounds: the len is 0 but the index is 0")),
    ("predict-short-row-threads", predict([[0.5]], 2),
     panic(exact="assertion failed: count == self.n_estimators")),
    ("predict-ragged-rows-threads", predict([[0.5, "red"], [0.5]], 2),
     panic(exact="assertion failed: count == self.n_estimators")),
    ("predict-ragged-rows", predict([[0.5, "red"]] * 3 + [[]], 1),
     panic(exact="index out of bounds: the len is 0 but the index is 0")),
    ("predict_row-tuple", predict_row((0.5, "red")),
     type_error("argument 'x': 'tuple' object cannot be converted to 'PyList'")),
    ("predict_row-none", predict_row(None),
     type_error("argument 'x': 'NoneType' object cannot be converted to 'PyList'")),
    ("predict_row-str", predict_row("0.5"),
     type_error("argument 'x': 'str' object cannot be converted to 'PyList'")),
    ("predict_row-none-cell", predict_row([None, "red"]),
     panic(prefix=CELL_ERROR)),
    ("predict_row-surrogate-cell", predict_row([0.5, "\ud800"]), panic(prefix=CELL_ERROR)),
    ("predict_row-empty", predict_row([]),
     panic(exact="index out of bounds: the len is 0 but the index is 0")),
    # Accepted inputs.
    ("predict-empty", predict([], 2), Accepts(equals(lambda _m: []))),
    ("predict-tuple-of-rows", predict(([0.5, "red"], [0.2, "blue"]), 2),
     Accepts(k_floats_per_row(2))),
    ("predict-nan-inf-cells", predict([[math.nan, "red"], [math.inf, "red"], [-math.inf, "x"]]),
     Accepts(k_floats_per_row(3))),
    ("predict-huge-float-cell", predict([[1e300, "red"]]),
     Accepts(equals(lambda m: [m.predict_row([math.inf, "red"])]))),
    ("predict-bool-cell", predict([[True, "red"]]),
     Accepts(equals(lambda m: [m.predict_row([1.0, "red"])]))),
    ("predict-long-text-cell", predict([[0.5, LONG]], 2), Accepts(k_floats_per_row(1))),
    ("predict_row-nan", predict_row([math.nan, "red"]), Accepts(k_floats_per_row(None))),
    ("predict_row-unknown-category", predict_row([0.5, "mauve"]),
     Accepts(k_floats_per_row(None))),
]


# ---- save, load, importance, feature_cols ----------------------------------------------------

def save_to(path):
    return lambda model, tmp: model.save(path(tmp) if callable(path) else path)


def load_from(path):
    return lambda model, tmp: model.load(path(tmp) if callable(path) else path)


def load_content(content):
    def call(model, tmp):
        target = os.path.join(tmp, "content.json")
        with open(target, "wb") as f:
            f.write(content)
        model.load(target)
    return call


def load_every_truncation(model, tmp):
    """Every proper prefix of a small valid model file fails to load with a JSON error and
    leaves the instance as it was."""
    small = new_model(n_estimators=1, max_features=2, max_depth=1, min_sample_leaf=10)
    quiet_fit(small, small_data(n=60), n_threads=1)
    whole = os.path.join(tmp, "whole.json")
    small.save(whole)
    with open(whole, "rb") as f:
        content = f.read()
    before = model.predict(PROBE_ROWS, 1)
    cut = os.path.join(tmp, "cut.json")
    for offset in range(len(content)):
        with open(cut, "wb") as f:
            f.write(content[:offset])
        message = raises_panic(lambda: model.load(cut))
        assert message.startswith(UNWRAP_ERR + 'Error("'), (offset, message)
        assert re.search(r", line: 1, column: \d+\)$", message), (offset, message)
        assert model.predict(PROBE_ROWS, 1) == before, offset
    model.load(whole)  # the whole file still loads into the same instance
    assert model.feature_cols() == ["f0", "f1"]
    assert len(model.predict(PROBE_ROWS, 2)) == len(PROBE_ROWS)


def edited_file(edit, *expected):
    """A small valid model file edited by `edit` (a function of the parsed document) still
    loads, since the reader makes no cross-field check; every call of `expected`, a list of
    (method name, arguments, message), must then fail with that internal failure, and the
    instance must still take a valid file afterwards."""
    def call(_model, tmp):
        small = new_model(n_estimators=1, max_features=2, max_depth=1, min_sample_leaf=10)
        quiet_fit(small, small_data(n=200), n_threads=1)
        whole = os.path.join(tmp, "whole.json")
        small.save(whole)
        with open(whole) as f:
            document = json.load(f)
        edit(document)
        target = os.path.join(tmp, "edited.json")
        with open(target, "w") as f:
            json.dump(document, f, separators=(",", ":"))
        loaded = new_model()
        loaded.load(target)
        for method, args, message in expected:
            call = functools.partial(getattr(loaded, method), *args)
            assert raises_panic(call) == message, method
        loaded.load(whole)
        assert loaded.predict_row([0.5, "red"]) == small.predict_row([0.5, "red"])
    return call


def root_node(**fields):
    return lambda document: document["trees"][0]["nodes"][0].update(fields)


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


ROW = [0.5, "red"]
COUNT = "assertion failed: count == self.n_estimators"


def os_error(code, kind):
    return panic(prefix=f"{UNWRAP_ERR}Os {{ code: {code}, kind: {kind}, message: ")


NUL_PATH = panic(exact=UNWRAP_ERR + 'Error { kind: InvalidInput, message: "file name contained '
                 'an unexpected NUL byte" }')
FILE_CASES = [
    ("save-path-none", save_to(None),
     type_error("argument 'path': 'NoneType' object cannot be converted to 'PyString'")),
    ("save-path-bytes", save_to(b"model.json"),
     type_error("argument 'path': 'bytes' object cannot be converted to 'PyString'")),
    ("save-path-pathlib", save_to(lambda tmp: __import__("pathlib").Path(tmp) / "m.json"),
     type_error("argument 'path': 'PosixPath' object cannot be converted to 'PyString'")),
    ("save-path-surrogate", save_to(lambda tmp: os.path.join(tmp, "\ud800")), SURROGATE),
    ("save-path-nul", save_to(lambda tmp: os.path.join(tmp, "a\0b")), NUL_PATH),
    ("save-to-directory", save_to(lambda tmp: tmp), os_error(21, "IsADirectory")),
    ("save-into-missing-directory", save_to(lambda tmp: os.path.join(tmp, "no", "m.json")),
     os_error(2, "NotFound")),
    ("save-path-too-long", save_to(lambda tmp: os.path.join(tmp, "a" * 5000)),
     os_error(36, "InvalidFilename")),
    ("save-empty-path", save_to(""), os_error(2, "NotFound")),
    ("load-path-none", load_from(None),
     type_error("argument 'path': 'NoneType' object cannot be converted to 'PyString'")),
    ("load-path-surrogate", load_from(lambda tmp: os.path.join(tmp, "\ud800")), SURROGATE),
    ("load-path-nul", load_from(lambda tmp: os.path.join(tmp, "a\0b")), NUL_PATH),
    ("load-directory", load_from(lambda tmp: tmp), os_error(21, "IsADirectory")),
    ("load-missing-file", load_from(lambda tmp: os.path.join(tmp, "none.json")),
     os_error(2, "NotFound")),
    ("load-empty-file", load_content(b""),
     panic(exact=UNWRAP_ERR + 'Error("EOF while parsing a value", line: 1, column: 0)')),
    ("load-invalid-utf8", load_content(b'{"eval_func":"\xff"}'),
     panic(exact=UNWRAP_ERR + 'Error { kind: InvalidData, message: "stream did not contain '
                              'valid UTF-8" }')),
    ("load-binary-garbage", load_content(bytes(range(1, 256)) * 4), panic(prefix=UNWRAP_ERR)),
    ("load-deep-nesting", load_content(b'{"unknown":' + b"[" * 100_000),
     panic(prefix=UNWRAP_ERR + 'Error("recursion limit exceeded", line: 1, column: ')),
    ("load-long-string", load_content(b'{"eval_func":"' + b"x" * 1_000_000 + b'"'),
     panic(prefix=UNWRAP_ERR + 'Error("EOF while parsing an object", line: 1, column: ')),
    ("load-every-truncation", load_every_truncation, Accepts(lambda result, _m: result is None)),
    ("edited-negative-col_idx", edited_file(
        root_node(col_idx=-5),
        ("predict_row", (ROW,), oob(2, 2**64 - 5)), ("predict", ([ROW], 1), oob(2, 2**64 - 5)),
        ("predict", ([ROW], 2), COUNT), ("get_feature_importance", ("gain",), oob(2, 2**64 - 5))),
     Accepts(lambda result, _m: result is None)),
    ("edited-col_idx-beyond-features", edited_file(
        root_node(col_idx=2**31 - 1),
        ("predict_row", (ROW,), oob(2, 2**31 - 1)),
        ("get_feature_importance", ("count",), oob(2, 2**31 - 1))),
     Accepts(lambda result, _m: result is None)),
    ("edited-internal-node-without-split", edited_file(
        root_node(col_idx=-1, prob=[]), ("predict_row", (ROW,), oob(2, 2**64 - 1))),
     Accepts(lambda result, _m: result is None)),
    ("edited-no-nodes", edited_file(
        lambda d: d["trees"][0].update(nodes=[]),
        ("predict_row", (ROW,), oob(0, 0)), ("predict", ([ROW], 3), COUNT)),
     Accepts(lambda result, _m: result is None)),
    ("edited-children-cut-off", edited_file(
        lambda d: d["trees"][0].update(nodes=d["trees"][0]["nodes"][:1]),
        ("predict_row", (ROW,), oob(1, 1)), ("predict", ([ROW] * 4, 1), oob(1, 1))),
     Accepts(lambda result, _m: result is None)),
    ("edited-category-on-numeric-split", edited_file(
        root_node(split_value={"Str": "red"}), ("predict_row", (ROW,), "not str")),
     Accepts(lambda result, _m: result is None)),
    ("edited-fewer-trees-than-n_estimators", edited_file(
        lambda d: d.update(n_estimators=5), ("predict", ([ROW], 2), COUNT)),
     Accepts(lambda result, _m: result is None)),
    ("importance-none", lambda m, t: m.get_feature_importance(None),
     type_error("argument 'importance_type': 'NoneType' object cannot be converted to "
                "'PyString'")),
    ("importance-surrogate", lambda m, t: m.get_feature_importance("\ud800"), SURROGATE),
    ("importance-long-text", lambda m, t: m.get_feature_importance(LONG),
     Accepts(equals(lambda m: m.get_feature_importance("count")))),
    ("feature_cols-argument", lambda m, t: m.feature_cols(1),
     type_error("_UpliftRandomForestModel.feature_cols() takes no arguments (1 given)")),
]

CASES = FIT_CASES + SETTINGS_CASES + PREDICT_CASES + FILE_CASES
IDS = [case[0] for case in CASES]
assert len(set(IDS)) == len(IDS), "case names must be unique"


def run_case(case, tmp):
    """Runs one case on a freshly trained instance and checks the instance afterwards."""
    _name, call, expect = case
    model = make_model()
    before = model.predict(PROBE_ROWS, 1)
    names = model.feature_cols()
    if isinstance(expect, Accepts):
        expect.check_result(call(model, tmp), model)
        return
    expect.check(lambda: call(model, tmp))
    # Still usable, and unchanged: the same predictions on both paths, then a save and a load
    # (an exclusive borrow, so the failed call must have released its own).
    assert model.feature_cols() == names
    assert model.predict(PROBE_ROWS, 1) == before
    threaded = model.predict(PROBE_ROWS, 2)
    for got, want in zip(threaded, before):
        assert got == pytest.approx(want, rel=1e-12, abs=1e-15, nan_ok=True)
    path = os.path.join(tmp, "after.json")
    model.save(path)
    model.load(path)
    assert model.predict(PROBE_ROWS, 1) == before


_smoke = {}


def test_whole_matrix_runs_in_a_child_interpreter_without_crashing(tmp_path):
    result = run_child(f"""
        import sys, tempfile
        sys.path.insert(0, {HERE!r})
        import test_bad_input as matrix
        failed = []
        for case in matrix.CASES:
            print("case", case[0], flush=True)
            try:
                matrix.run_case(case, tempfile.mkdtemp(dir={str(tmp_path)!r}))
            except BaseException as e:
                failed.append(f"{{case[0]}}: {{type(e).__name__}}: {{e}}")
        print("matrix done", len(matrix.CASES), flush=True)
        print("\\n".join(failed))
    """, timeout=900)
    _smoke["returncode"] = result.returncode
    last_case = [line for line in result.stdout.splitlines() if line.startswith("case ")][-1:]
    assert result.returncode == 0, (last_case, result.stderr[-3000:])
    assert f"matrix done {len(CASES)}" in result.stdout, result.stdout[-3000:]


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_bad_input(case, tmp_path):
    if _smoke.get("returncode", 0) != 0:
        pytest.skip("the child interpreter crashed on the matrix; see the smoke test")
    run_case(case, str(tmp_path))
