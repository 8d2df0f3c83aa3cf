"""Conversion of tables, arrays and dicts into the native fit and predict calls."""

import math

import numpy as np
import pytest

from quillmarsh_kit import UpliftForest

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

    def pandas_categorical():
        pd = pytest.importorskip("pandas")
        return pd.DataFrame({"num": NUM, "cat": pd.Categorical(CAT),
                             "flag": pd.array(FLAG, dtype="boolean")})

    def polars_frame():
        pl = pytest.importorskip("polars")
        return pl.DataFrame({"num": NUM, "cat": CAT, "flag": FLAG})

    def polars_categorical():
        pl = pytest.importorskip("polars")
        return pl.DataFrame({"num": NUM, "cat": pl.Series(CAT, dtype=pl.Categorical), "flag": FLAG})

    def arrow_table():
        pa = pytest.importorskip("pyarrow")
        return pa.table({"num": NUM, "cat": pa.array(CAT).dictionary_encode(), "flag": FLAG})

    def dict_of_lists():
        return {"num": NUM, "cat": CAT, "flag": FLAG}

    def dict_of_arrays():
        return {"num": np.array(NUM), "cat": np.array(CAT), "flag": np.array(FLAG)}

    return [pandas_frame, pandas_categorical, polars_frame, polars_categorical, arrow_table,
            dict_of_lists, dict_of_arrays]


@pytest.mark.parametrize("make", _frames(), ids=lambda f: f.__name__)
def test_named_tables_reach_the_native_fit_as_typed_lists(fake, make):
    model = UpliftForest(n_estimators=3, control="ctl", n_jobs=2).fit(make(), TREATMENT, OUTCOME)
    data, x_names, treatment_col, outcome_col, threads = fake.instances[-1].fit_args
    assert x_names == ["num", "cat", "flag"]
    assert data["num"] == NUM and all(type(v) is float for v in data["num"])
    assert data["cat"] == CAT
    assert data["flag"] == [1.0 if f else 0.0 for f in FLAG]
    # control first, the other labels sorted: a -> 1, b -> 2
    assert data[treatment_col] == [0, 1, 2, 0, 1, 0]
    assert data[outcome_col] == OUTCOME
    assert threads == 2
    assert model.treatments_ == ["a", "b"]
    assert list(model.feature_names_in_) == ["num", "cat", "flag"]
    assert model.n_features_in_ == 3

    prediction = model.predict(make())
    assert prediction.shape == (6, 2)
    flags = [float(f) for f in FLAG]
    assert fake.instances[-1].predicted_rows == [list(r) for r in zip(NUM, CAT, flags)]


@pytest.mark.parametrize("rows", [
    np.array([NUM, [float(f) for f in FLAG]]).T,
    [[n, f] for n, f in zip(NUM, FLAG)],
    np.array([NUM, FLAG], dtype=object).T,
], ids=["float_array", "list_of_rows", "object_array"])
def test_unnamed_inputs_get_positional_names(fake, rows):
    model = UpliftForest(n_estimators=2, control="ctl").fit(rows, TREATMENT, OUTCOME)
    assert fake.instances[-1].fit_args[1] == ["x0", "x1"]
    assert not hasattr(model, "feature_names_in_")
    assert model.predict(rows).shape == (6, 2)


def test_missing_numbers_become_nan_and_nullable_ints_stay_numeric(fake):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"n": pd.array([1, None, 3, 4, None, 6], dtype="Int64"),
                          "o": [1.0, None, 2, 3, 4, 5]})
    UpliftForest(n_estimators=1, control="ctl").fit(frame, TREATMENT, OUTCOME)
    data = fake.instances[-1].fit_args[0]
    assert math.isnan(data["n"][1]) and data["n"][2] == 3.0
    assert math.isnan(data["o"][1]) and data["o"][5] == 5.0


@pytest.mark.parametrize("column,message", [
    (["a", 1, "b", 2.0, "c", "d"], "column 'bad' mixes strings and numbers"),
    (["a", None, "b", "c", "d", "e"], "string feature 'bad' has 1 missing value"),
    ([b"a", b"b", b"c", b"d", b"e", b"f"], "column 'bad' holds values of type bytes"),
])
def test_bad_feature_columns_are_refused_by_name(fake, column, message):
    with pytest.raises(ValueError, match=message):
        UpliftForest(control="ctl").fit({"ok": NUM, "bad": column}, TREATMENT, OUTCOME)
    assert fake.instances == []  # refused before any native call


@pytest.mark.parametrize("treatment,outcome,message", [
    (["a", "b", "a", "b", "a", "b"], OUTCOME, "control label 'ctl' does not occur"),
    (["ctl"] * 6, OUTCOME, "only the control label"),
    (["ctl", None, "a", "ctl", "a", "ctl"], OUTCOME, "missing values"),
    (TREATMENT, [0, 1, 2, 0, 1, 0], "binary"),
    (TREATMENT, [0, 1, float("nan"), 0, 1, 0], "binary"),
    (TREATMENT, ["0", "1", "1", "0", "1", "0"], "binary"),
    (TREATMENT[:5], OUTCOME, "X has 6 rows, treatment has 5 and y has 6"),
    (TREATMENT, OUTCOME[:4], "X has 6 rows, treatment has 6 and y has 4"),
])
def test_bad_targets_are_refused_before_the_native_call(fake, treatment, outcome, message):
    with pytest.raises(ValueError, match=message):
        UpliftForest(control="ctl").fit({"num": NUM}, treatment, outcome)
    assert fake.instances == []


@pytest.mark.parametrize("outcome", [
    [True, False, True, False, True, True], np.array(OUTCOME, dtype=np.int8),
    np.array(OUTCOME, dtype=float), [1.0, 0.0, 1.0, 0.0, 1.0, 1.0],
])
def test_boolean_and_float_outcomes_are_accepted(fake, outcome):
    UpliftForest(n_estimators=1, control="ctl").fit({"num": NUM}, TREATMENT, outcome)
    data, _, _, outcome_col, _ = fake.instances[-1].fit_args
    assert data[outcome_col] == OUTCOME and all(type(v) is int for v in data[outcome_col])


@pytest.mark.parametrize("labels,control,groups,arms", [
    ([0, 2, 1, 0, 2, 0], 0, [0, 2, 1, 0, 2, 0], [1, 2]),
    (np.array([5, 3, 9, 5, 3, 5]), 5, [0, 1, 2, 0, 1, 0], [3, 9]),
    (["No E-Mail", "Womens", "Mens", "No E-Mail", "Mens", "No E-Mail"], "No E-Mail",
     [0, 2, 1, 0, 1, 0], ["Mens", "Womens"]),
    ([False, True, True, False, True, False], False, [0, 1, 1, 0, 1, 0], [True]),
    # labels of mixed types: ordered by type name, then value
    ([0, "b", 1.5, 0, "b", 0], 0, [0, 2, 1, 0, 2, 0], [1.5, "b"]),
])
def test_treatment_labels_map_to_groups(fake, labels, control, groups, arms):
    model = UpliftForest(n_estimators=1, control=control).fit({"num": NUM}, labels, OUTCOME)
    data, _, treatment_col, _, _ = fake.instances[-1].fit_args
    assert data[treatment_col] == groups
    assert model.treatments_ == arms


@pytest.mark.parametrize("dtype,control", [("Int64", 0), ("category", "c"), ("string", "c")])
def test_missing_labels_in_pandas_extension_columns_are_refused(fake, dtype, control):
    pd = pytest.importorskip("pandas")
    labels = [control, None, "t" if control == "c" else 1, control, None, control]
    with pytest.raises(ValueError, match="treatment has missing values"):
        UpliftForest(control=control).fit({"num": NUM}, pd.Series(labels, dtype=dtype), OUTCOME)
    with pytest.raises(ValueError, match="binary"):
        outcome = pd.Series([1, None, 0, 1, 0, 1], dtype="Int64")
        UpliftForest(control="ctl").fit({"num": NUM}, TREATMENT, outcome)
    assert fake.instances == []


def test_treatment_and_outcome_may_be_columns_of_the_frame(fake):
    table = {"num": NUM, "cat": CAT, "segment": TREATMENT, "visit": OUTCOME}
    model = UpliftForest(n_estimators=1, control="ctl").fit(table, "segment", "visit")
    assert fake.instances[-1].fit_args[1] == ["num", "cat"]
    # the same table, target columns included, predicts without complaint
    assert model.predict(table).shape == (6, 2)
    with pytest.raises(ValueError, match="names column 'nope'"):
        UpliftForest(control="ctl").fit(table, "nope", "visit")


def test_feature_names_may_collide_with_internal_target_names(fake):
    UpliftForest(n_estimators=1, control="ctl").fit({"__treatment__": NUM, "__outcome__": CAT},
                                                    TREATMENT, OUTCOME)
    data, names, treatment_col, outcome_col, _ = fake.instances[-1].fit_args
    assert len({*names, treatment_col, outcome_col}) == 4
    assert data["__treatment__"] == NUM and data[treatment_col] == [0, 1, 2, 0, 1, 0]


class TestPredictionColumns:
    @pytest.fixture
    def model(self, fake):
        model = UpliftForest(n_estimators=1, control="ctl")
        return model.fit({"num": NUM, "cat": CAT}, TREATMENT, OUTCOME)

    def test_named_columns_are_reordered_by_name(self, model, fake):
        model.predict({"cat": CAT[:2], "num": NUM[:2]})
        assert fake.instances[-1].predicted_rows == [[1.5, "x"], [2.0, "y"]]

    @pytest.mark.parametrize("table,message", [
        ({"num": NUM}, r"missing \['cat'\]"),
        ({"num": NUM, "cat": CAT, "extra": NUM}, r"unexpected \['extra'\]"),
        ({"num": CAT, "cat": CAT},
         "feature 'num' was a numeric column in training but holds string"),
        ({"num": NUM, "cat": NUM},
         "feature 'cat' was a string column in training but holds numeric"),
        ({"num": NUM, "cat": CAT[:3]}, "different lengths"),
    ])
    def test_named_columns_must_match_training(self, model, table, message):
        with pytest.raises(ValueError, match=message):
            model.predict(table)

    def test_unnamed_columns_are_matched_by_count(self, model, fake):
        rows = [[1.0, "x"], [2.0, "z"]]
        assert model.predict(rows).shape == (2, 2)
        assert fake.instances[-1].predicted_rows == rows
        with pytest.raises(ValueError, match="X has 3 features, but the model was trained with 2"):
            model.predict([[1.0, "x", 3.0]])
        with pytest.raises(ValueError, match="rows of X have different lengths"):
            model.predict([[1.0, "x"], [2.0]])

    def test_large_inputs_are_predicted_in_chunks(self, model, fake, monkeypatch):
        from quillmarsh_kit import _native

        monkeypatch.setattr(_native, "PREDICT_CHUNK_ROWS", 4)
        assert model.predict({"num": NUM, "cat": CAT}).shape == (6, 2)
        calls = fake.instances[-1].predict_calls
        assert [len(c) for c in calls] == [4, 2]
        assert calls[0] + calls[1] == [list(r) for r in zip(NUM, CAT)]

    def test_no_rows_gives_an_empty_prediction_without_a_native_call(self, model, fake):
        assert model.predict({"num": [], "cat": []}).shape == (0, 2)
        assert model.predict([]).shape == (0, 2)
        assert fake.instances[-1].predicted_rows is None


@pytest.mark.parametrize("X,message", [
    (np.arange(6.0), "X must be 2-D"),
    ("not a table", "X must be a pandas"),
    ({"num": np.zeros((6, 2))}, "column 'num' must be 1-D"),
    (np.array([["2020-01-01"] * 6], dtype="datetime64[D]").T, "neither numeric nor text"),
])
def test_inputs_of_the_wrong_shape_are_refused(fake, X, message):
    with pytest.raises((ValueError, TypeError), match=message):
        UpliftForest(control="ctl").fit(X, TREATMENT, OUTCOME)


def _extension_tables():
    from decimal import Decimal

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
                             "s": pl.Series(["x", "y", "z"], dtype=pl.Enum(["x", "y", "z"])),
                             "b": [True, False, None]})

    def arrow_decimal_large_string():
        pa = pytest.importorskip("pyarrow")
        return pa.table({"n": pa.array([Decimal(1), None, Decimal(3)], pa.decimal128(5, 2)),
                         "s": pa.array(["x", "y", "z"], pa.large_string()),
                         "b": pa.array([True, False, None])})

    return [pandas_arrow_backed, polars_decimal_enum, arrow_decimal_large_string]


@pytest.mark.parametrize("make", _extension_tables(), ids=lambda f: f.__name__)
def test_extension_dtypes_convert_with_nulls_as_nan(fake, make):
    UpliftForest(n_estimators=1, control=0).fit(make(), [0, 1, 0], [1, 0, 1])
    data = fake.instances[-1].fit_args[0]
    assert data["n"][0] == 1.0 and math.isnan(data["n"][1]) and data["n"][2] == 3.0
    assert data["s"] == ["x", "y", "z"]
    assert data["b"][:2] == [1.0, 0.0] and math.isnan(data["b"][2])
