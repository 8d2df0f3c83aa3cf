"""Conversion of tables, arrays and dicts into the engine's columns, and of the targets into
its groups and outcomes."""

import math

import numpy as np
import pytest

from quillmarsh_kit import UpliftForest
from quillmarsh_kit._tabular import to_table, training_data

TREATMENT = ["ctl", "a", "b", "ctl", "a", "ctl"]
OUTCOME = [1, 0, 1, 0, 1, 1]
NUM = [1.5, 2.0, -3.0, 4.0, 0.25, 6.0]
CAT = ["x", "y", "x", "z", "y", "x"]
FLAG = [True, False, True, True, False, False]


def _frames():
    """Builders of the same three-column table (num, cat, flag) in every accepted form."""
    def pandas_frame():
        pd = pytest.importorskip("pandas")
        return pd.DataFrame({"num": NUM, "cat": CAT, "flag": FLAG})

    def pandas_categorical():  # with an unused category and another category order
        pd = pytest.importorskip("pandas")
        return pd.DataFrame({"num": NUM, "cat": pd.Categorical(CAT, categories=list("zqyx")),
                             "flag": pd.array(FLAG, dtype="boolean")})

    def pandas_arrow_dictionary():  # pandas' read_parquet(dtype_backend="pyarrow") gives these
        pd, pa = (pytest.importorskip(m) for m in ("pandas", "pyarrow"))
        return pd.DataFrame({"num": NUM, "cat": pd.arrays.ArrowExtensionArray(
            pa.array(CAT).dictionary_encode()), "flag": FLAG})

    def polars_frame():
        pl = pytest.importorskip("polars")
        return pl.DataFrame({"num": NUM, "cat": CAT, "flag": FLAG})

    def polars_categorical():
        pl = pytest.importorskip("polars")
        return pl.DataFrame({"num": NUM, "cat": pl.Series(CAT, dtype=pl.Categorical), "flag": FLAG})

    def arrow_table():
        pa = pytest.importorskip("pyarrow")
        return pa.table({"num": NUM, "cat": pa.array(CAT).dictionary_encode(), "flag": FLAG})

    def arrow_chunks():  # dictionaries that differ from chunk to chunk
        pa = pytest.importorskip("pyarrow")
        return pa.Table.from_batches([
            pa.record_batch({"num": NUM[:3], "cat": pa.array(CAT[:3]).dictionary_encode(),
                             "flag": FLAG[:3]}),
            pa.record_batch({"num": NUM[3:], "cat": pa.array(CAT[3:]).dictionary_encode(),
                             "flag": FLAG[3:]})])

    def dict_of_lists():
        return {"num": NUM, "cat": CAT, "flag": FLAG}

    def dict_of_arrays():
        return {"num": np.array(NUM), "cat": np.array(CAT), "flag": np.array(FLAG)}

    return [pandas_frame, pandas_categorical, pandas_arrow_dictionary, polars_frame,
            polars_categorical, arrow_table, arrow_chunks, dict_of_lists, dict_of_arrays]


@pytest.mark.parametrize("make", _frames(), ids=lambda f: f.__name__)
def test_every_table_gives_the_engine_the_same_buffers(make):
    data = training_data(make(), TREATMENT, OUTCOME, "ctl")
    num, cat, flag = data.table.columns
    assert data.table.names == ["num", "cat", "flag"] and data.table.named
    assert num.values.dtype == np.float32 and num.values.tolist() == NUM
    # sorted categories without unused ones, whatever order the input kept them in
    assert cat.values.dtype == np.uint32 and cat.categories == ["x", "y", "z"]
    assert cat.values.tolist() == [0, 1, 0, 2, 1, 0]
    assert flag.values.dtype == np.float32 and flag.values.tolist() == [float(f) for f in FLAG]
    # control first, the other labels sorted: a -> 1, b -> 2
    assert data.groups.dtype == np.int32 and data.groups.tolist() == [0, 1, 2, 0, 1, 0]
    assert data.outcome.dtype == np.uint8 and data.outcome.tolist() == OUTCOME
    assert data.arms == ["a", "b"]


@pytest.fixture(scope="module")
def experiment():
    from quillmarsh_kit.datasets import make_uplift_experiment

    return make_uplift_experiment(3000, n_treatments=2, missing=0.05, seed=5)


def _inputs_of(exp):
    """The experiment's features in every accepted form, string features included."""
    columns = {name: np.asarray(exp.X[name]) for name in exp.feature_names}

    def pandas_frame():
        pd = pytest.importorskip("pandas")
        frame = pd.DataFrame(columns)
        frame["region"] = frame["region"].astype("category")
        return frame

    def polars_frame():
        return pytest.importorskip("polars").DataFrame(columns)

    def arrow_table():
        return pytest.importorskip("pyarrow").table(columns)

    def dict_of_lists():
        return {name: values.tolist() for name, values in columns.items()}

    return [pandas_frame, polars_frame, arrow_table, dict_of_lists, lambda: columns]


def test_every_input_kind_trains_the_same_forest(experiment):
    def forest_bytes(X):
        model = UpliftForest(n_estimators=4, max_depth=4, min_samples_leaf=30, control="control",
                             random_state=17, n_jobs=2).fit(X, experiment.treatment, experiment.y)
        return model._fitted.forest.to_bytes(None)

    expected = forest_bytes(_inputs_of(experiment)[-1]())
    for make in _inputs_of(experiment)[:-1]:
        assert forest_bytes(make()) == expected, make.__name__
    numeric = [f"x{j}" for j in range(6)]
    array = np.column_stack([experiment.X[name] for name in numeric])  # unnamed: x0, x1, ...
    assert forest_bytes(array) == forest_bytes({n: experiment.X[n] for n in numeric})


@pytest.mark.parametrize("rows", [
    np.array([NUM, [float(f) for f in FLAG]]).T,
    [[n, f] for n, f in zip(NUM, FLAG)],
    np.array([NUM, FLAG], dtype=object).T,
], ids=["float_array", "list_of_rows", "object_array"])
def test_unnamed_inputs_get_positional_names(rows):
    model = UpliftForest(n_estimators=2, control="ctl").fit(rows, TREATMENT, OUTCOME)
    assert model.feature_names_ == ["x0", "x1"] and not hasattr(model, "feature_names_in_")
    assert model.predict(rows).shape == (6, 2)


def _extension_tables():
    from decimal import Decimal

    def pandas_nullable():
        pd = pytest.importorskip("pandas")
        return pd.DataFrame({"n": pd.array([1, None, 3], dtype="Int64"),
                             "s": pd.Series(["x", "y", "z"], dtype=object),
                             "b": pd.array([True, False, None], dtype="boolean")})

    def pandas_arrow_backed():
        pd = pytest.importorskip("pandas")
        pytest.importorskip("pyarrow")
        return pd.DataFrame({"n": pd.array([1, None, 3], dtype="int64[pyarrow]"),
                             "s": pd.array(["x", "y", "z"], dtype="string[pyarrow]"),
                             "b": pd.array([True, False, None], dtype="boolean")})

    def polars_decimal_enum():
        pl = pytest.importorskip("polars")
        decimals = pl.Series([Decimal(1), None, Decimal(3)], dtype=pl.Decimal(10, 2))
        return pl.DataFrame({"n": decimals,
                             "s": pl.Series(["x", "y", "z"], dtype=pl.Enum(["z", "x", "w", "y"])),
                             "b": [True, False, None]})

    def arrow_decimal_large_string():
        pa = pytest.importorskip("pyarrow")
        return pa.table({"n": pa.array([Decimal(1), None, Decimal(3)], pa.decimal128(5, 2)),
                         "s": pa.array(["x", "y", "z"], pa.large_string()),
                         "b": pa.array([True, False, None])})

    def dict_with_none():
        return {"n": [1, None, 3], "s": np.array(["x", "y", "z"], dtype=object),
                "b": [True, False, float("nan")]}

    return [pandas_nullable, pandas_arrow_backed, polars_decimal_enum,
            arrow_decimal_large_string, dict_with_none]


@pytest.mark.parametrize("make", _extension_tables(), ids=lambda f: f.__name__)
def test_extension_dtypes_convert_with_nulls_as_nan(make):
    n, s, b = to_table(make(), float32=True).columns
    assert n.values.dtype == np.float32 and n.values[0] == 1.0 and math.isnan(n.values[1])
    assert (s.values.tolist(), s.categories) == ([0, 1, 2], ["x", "y", "z"])
    assert b.values[:2].tolist() == [1.0, 0.0] and math.isnan(b.values[2])


def test_numbers_and_categories_keep_their_text():
    pd = pytest.importorskip("pandas")
    big = 2**24 + 1  # float32 rounds it, as the engine's feature values always do
    frame = pd.DataFrame({"i": [big, 0], "c": pd.Categorical([1, "1"])})
    i, c = to_table(frame, float32=True).columns
    assert i.values.tolist() == [float(np.float32(big)), 0.0]
    assert c.categories == ["1"] and c.values.tolist() == [0, 0]  # equal texts are one category


@pytest.mark.parametrize("column,message", [
    (["a", 1, "b", 2.0, "c", "d"], "column 'bad' mixes strings and numbers"),
    (["a", None, "b", "c", "d", "e"], "string feature 'bad' has 1 missing value"),
    (["a", float("nan"), "b", None, "d", "e"], "string feature 'bad' has 2 missing value"),
    ([b"a", b"b", b"c", b"d", b"e", b"f"], "column 'bad' holds values of type bytes"),
])
def test_bad_feature_columns_are_refused_by_name(no_engine, column, message):
    with pytest.raises(ValueError, match=message):
        UpliftForest(control="ctl").fit({"ok": NUM, "bad": column}, TREATMENT, OUTCOME)


def _in_dictionary(pa, values, indices=None):
    """A dictionary column whose nulls are entries of the dictionary (`null_count` is 0)."""
    if indices is not None:
        return pa.DictionaryArray.from_arrays(pa.array(indices, pa.int32()), pa.array(values))
    import pyarrow.compute as pc

    return pc.dictionary_encode(pa.array(values), null_encoding="encode")


@pytest.fixture(scope="module")
def text_model():
    """A model with one string feature, 'bad', to predict from the tables below."""
    return UpliftForest(n_estimators=1, control="ctl").fit({"bad": list("aabbaa")}, TREATMENT,
                                                           OUTCOME)


MISSING = "string feature 'bad' has 2 missing"


@pytest.mark.parametrize("make,message", [
    (lambda pd, pl, pa: pd.DataFrame({"bad": pd.Categorical(["a", None, "b"] * 2)}), MISSING),
    (lambda pd, pl, pa: pd.DataFrame({"bad": pd.Categorical(["a", "b", "c"] * 2)}).replace(
        {"bad": {"c": None}}), MISSING),
    (lambda pd, pl, pa: pd.DataFrame({"bad": pd.array(["a", None, "b"] * 2, dtype="string")}),
     MISSING),
    (lambda pd, pl, pa: pd.DataFrame({"bad": pd.arrays.ArrowExtensionArray(
        _in_dictionary(pa, ["a", None, "b"] * 2))}), MISSING),
    (lambda pd, pl, pa: pl.DataFrame({"bad": ["a", None, "b"] * 2}), MISSING),
    (lambda pd, pl, pa: pl.DataFrame({"bad": pl.Series(["a", None, "b"] * 2,
                                                       dtype=pl.Categorical)}), MISSING),
    (lambda pd, pl, pa: pl.DataFrame({"bad": pl.Series(["a", None, "b"] * 2,
                                                       dtype=pl.Enum(["b", "a"]))}), MISSING),
    (lambda pd, pl, pa: pl.from_arrow(pa.table({"bad": _in_dictionary(pa, ["a", None, "b"] * 2)})),
     MISSING),
    (lambda pd, pl, pa: pa.table({"bad": pa.array(["a", None, "b"] * 2).dictionary_encode()}),
     MISSING),
    (lambda pd, pl, pa: pa.table({"bad": _in_dictionary(pa, ["a", None, "b"] * 2)}), MISSING),
    (lambda pd, pl, pa: pa.table({"bad": pa.chunked_array(
        [_in_dictionary(pa, ["a", None, "b"]), _in_dictionary(pa, ["b", "c", None])])}), MISSING),
    (lambda pd, pl, pa: pa.table({"bad": _in_dictionary(pa, ["a", None, "b"],
                                                        [0, 1, None, 0, 2, 2])}), MISSING),
    (lambda pd, pl, pa: pd.DataFrame({"bad": pd.to_timedelta(range(6), unit="s")}),
     "column 'bad' has dtype timedelta64"),
], ids=["pandas_categorical", "pandas_categorical_codes", "pandas_string",
        "pandas_arrow_dictionary_null", "polars", "polars_categorical", "polars_enum",
        "polars_from_dictionary_null", "arrow", "arrow_dictionary_null",
        "arrow_chunks_dictionary_null", "arrow_null_index_and_null_entry", "timedelta"])
@pytest.mark.parametrize("stage", ["fit", "predict"])
def test_missing_strings_in_every_table_kind_are_refused(text_model, no_engine, make, message,
                                                         stage):
    pd, pl, pa = (pytest.importorskip(m) for m in ("pandas", "polars", "pyarrow"))
    with pytest.raises(ValueError, match=message):
        if stage == "fit":
            UpliftForest(control="ctl").fit(make(pd, pl, pa), TREATMENT, OUTCOME)
        else:
            text_model.predict(make(pd, pl, pa))


@pytest.mark.parametrize("treatment,outcome,message", [
    (["a", "b", "a", "b", "a", "b"], OUTCOME, "control label 'ctl' does not occur"),
    (["ctl"] * 6, OUTCOME, "only the control label"),
    (["ctl", None, "a", "ctl", "a", "ctl"], OUTCOME, "missing values"),
    ([[0], [1]] * 3, OUTCOME, "treatment labels must be hashable"),
    (TREATMENT, [0, 1, 2, 0, 1, 0], "binary.*found 2$"),
    (TREATMENT, [0, 1, float("nan"), 0, 1, 0], "binary.*found nan"),
    (TREATMENT, ["0", "1", "1", "0", "1", "0"], "binary.*found '0', '1'"),
    (TREATMENT[:5], OUTCOME, "X has 6 rows, treatment has 5 and y has 6"),
    (TREATMENT, OUTCOME[:4], "X has 6 rows, treatment has 6 and y has 4"),
])
def test_bad_targets_are_refused_before_the_engine(no_engine, treatment, outcome, message):
    with pytest.raises(ValueError, match=message):
        UpliftForest(control="ctl").fit({"num": NUM}, treatment, outcome)


@pytest.mark.parametrize("outcome", [
    [True, False, True, False, True, True], np.array(OUTCOME, dtype=np.int8),
    np.array(OUTCOME, dtype=float), [1.0, 0.0, 1.0, 0.0, 1.0, 1.0],
    np.array(OUTCOME, dtype=object),
])
def test_boolean_and_float_outcomes_are_accepted(outcome):
    data = training_data({"num": NUM}, TREATMENT, outcome, "ctl")
    assert data.outcome.dtype == np.uint8 and data.outcome.tolist() == OUTCOME


@pytest.mark.parametrize("labels,control,groups,arms", [
    ([0, 2, 1, 0, 2, 0], 0, [0, 2, 1, 0, 2, 0], [1, 2]),
    (np.array([5, 3, 9, 5, 3, 5]), 5, [0, 1, 2, 0, 1, 0], [3, 9]),
    (["No E-Mail", "Womens", "Mens", "No E-Mail", "Mens", "No E-Mail"], "No E-Mail",
     [0, 2, 1, 0, 1, 0], ["Mens", "Womens"]),
    ([False, True, True, False, True, False], False, [0, 1, 1, 0, 1, 0], [True]),
    ([(0, "x"), (1, "y"), (0, "x"), (2, "z"), (1, "y"), (0, "x")], (0, "x"),
     [0, 1, 0, 2, 1, 0], [(1, "y"), (2, "z")]),
    # labels of mixed types: ordered by type name, then value
    ([0, "b", 1.5, 0, "b", 0], 0, [0, 2, 1, 0, 2, 0], [1.5, "b"]),
])
def test_treatment_labels_map_to_groups(labels, control, groups, arms):
    data = training_data({"num": NUM}, labels, OUTCOME, control)
    assert data.groups.tolist() == groups and data.arms == arms


def test_treatment_columns_of_every_kind_map_to_groups():
    pd, pl, pa = (pytest.importorskip(m) for m in ("pandas", "polars", "pyarrow"))
    for labels in (pd.Series(TREATMENT), pd.Series(TREATMENT, dtype="category"),
                   pd.Series(TREATMENT, dtype="string"), pl.Series(TREATMENT),
                   pa.chunked_array([TREATMENT[:2], TREATMENT[2:]]), np.array(TREATMENT)):
        data = training_data({"num": NUM}, labels, OUTCOME, "ctl")
        assert data.groups.tolist() == [0, 1, 2, 0, 1, 0], type(labels)


@pytest.mark.parametrize("dtype,control", [("Int64", 0), ("category", "c"), ("string", "c")])
def test_missing_labels_in_pandas_extension_columns_are_refused(no_engine, dtype, control):
    pd = pytest.importorskip("pandas")
    labels = [control, None, "t" if control == "c" else 1, control, None, control]
    with pytest.raises(ValueError, match="treatment has missing values"):
        UpliftForest(control=control).fit({"num": NUM}, pd.Series(labels, dtype=dtype), OUTCOME)
    with pytest.raises(ValueError, match="binary"):
        outcome = pd.Series([1, None, 0, 1, 0, 1], dtype="Int64")
        UpliftForest(control="ctl").fit({"num": NUM}, TREATMENT, outcome)


def test_treatment_and_outcome_may_be_columns_of_the_frame():
    table = {"num": NUM, "cat": CAT, "segment": TREATMENT, "visit": OUTCOME}
    model = UpliftForest(n_estimators=1, control="ctl").fit(table, "segment", "visit")
    assert model.feature_names_ == ["num", "cat"]
    # the same table, target columns included, predicts without complaint
    assert model.predict(table).shape == (6, 2)
    with pytest.raises(ValueError, match="names column 'nope'"):
        UpliftForest(control="ctl").fit(table, "nope", "visit")
    with pytest.raises(ValueError, match="only when X has column names"):
        UpliftForest(control="ctl").fit(np.ones((6, 2)), "segment", "visit")


class TestPredictionColumns:
    @pytest.fixture
    def model(self):
        model = UpliftForest(n_estimators=3, control="ctl", min_samples_leaf=0, max_depth=2,
                             random_state=1)
        return model.fit({"num": NUM, "cat": CAT}, TREATMENT, OUTCOME)

    def test_named_columns_are_reordered_by_name(self, model):
        np.testing.assert_array_equal(model.predict({"cat": CAT, "num": NUM}),
                                      model.predict({"num": NUM, "cat": CAT}))

    def test_string_columns_match_by_text_not_by_code(self, model):
        pd = pytest.importorskip("pandas")
        # other categories, in another order; "w" was never seen in training
        frame = pd.DataFrame({"num": NUM + [1.5],
                              "cat": pd.Categorical(CAT + ["w"], categories=list("wzyx"))})
        as_lists = model.predict({"num": NUM + [1.5], "cat": CAT + ["w"]})
        np.testing.assert_array_equal(model.predict(frame), as_lists)

    @pytest.mark.parametrize("table,message", [
        ({"num": NUM}, r"missing \['cat'\]"),
        ({"num": NUM, "cat": CAT, "extra": NUM}, r"unexpected \['extra'\]"),
        ({"num": CAT, "cat": CAT},
         "feature 'num' was a numeric column in training but holds string"),
        ({"num": NUM, "cat": NUM},
         "feature 'cat' was a string column in training but holds numeric"),
        ({"num": NUM, "cat": CAT[:3]}, "different lengths"),
        ({"num": NUM, "cat": CAT[:5] + [None]}, "string feature 'cat' has 1 missing"),
    ])
    def test_named_columns_must_match_training(self, model, table, message):
        with pytest.raises(ValueError, match=message):
            model.predict(table)

    def test_unnamed_columns_are_matched_by_count(self, model):
        rows = [[1.5, "x"], [2.0, "z"]]
        np.testing.assert_array_equal(model.predict(rows),
                                      model.predict({"num": [1.5, 2.0], "cat": ["x", "z"]}))
        with pytest.raises(ValueError, match="X has 3 features, but the model was trained with 2"):
            model.predict([[1.0, "x", 3.0]])
        with pytest.raises(ValueError, match="rows of X have different lengths"):
            model.predict([[1.0, "x"], [2.0]])

    def test_no_rows_gives_an_empty_prediction(self, model):
        assert model.predict({"num": [], "cat": []}).shape == (0, 2)
        assert model.predict([]).shape == (0, 2)


@pytest.mark.parametrize("X,message", [
    (np.arange(6.0), "X must be 2-D"),
    ("not a table", "X must be a pandas"),
    ({"num": np.zeros((6, 2))}, "column 'num' must be 1-D"),
    (np.array([["2020-01-01"] * 6], dtype="datetime64[D]").T, "neither numeric nor text"),
])
def test_inputs_of_the_wrong_shape_are_refused(no_engine, X, message):
    with pytest.raises((ValueError, TypeError), match=message):
        UpliftForest(control="ctl").fit(X, TREATMENT, OUTCOME)
