"""save and load through the binding: argument conversions, exact storage of the
constructor's values, round trips, and a failing load leaving the instance as it was."""
import json

import pytest

from lib_support import (
    PARAMS,
    UNWRAP_NONE,
    new_model,
    quiet_fit,
    raises_panic,
    small_data,
    trained_model,
)


@pytest.mark.parametrize("call,message", [
    (lambda m: m.load(3), "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda m: m.save(b"/tmp/x"),
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as err:
        call(new_model())
    assert str(err.value) == message


@pytest.mark.parametrize("values", [
    (-5, 2**64 - 1, 0, 7, "ed", 3, True, False, 1),
    (2**31 - 1, 0, 2**63, 0, "ü€𝄞 \"q\"", 0, False, True, -2.5),
    (0, 1, 1, 1, "", 2**64 - 1, True, True, 1e-300),
])
def test_constructor_stores_the_given_values(tmp_path, values):
    path = tmp_path / "m.json"
    new_model(**dict(zip(PARAMS, values))).save(str(path))
    doc = json.loads(path.read_text(encoding="utf-8"))
    stored = {k: doc[k] for k in PARAMS}
    assert stored == dict(zip(PARAMS, values))
    assert type(doc["alpha"]) is float
    assert (doc["treatment_col"], doc["outcome_col"], doc["trees"]) == ("", "", [])


def test_save_load_save_gives_identical_bytes_and_predictions(tmp_path):
    model = trained_model(n_estimators=5)
    first, second = tmp_path / "a.json", tmp_path / "b.json"
    model.save(str(first))
    loaded = new_model()
    loaded.load(path=str(first))
    loaded.save(str(second))
    assert first.read_bytes() == second.read_bytes()
    rows = [[i / 7, c] for i in range(8) for c in ("red", "green", "blue", "other")]
    assert loaded.predict(rows, 1) == model.predict(rows, 1)
    assert [loaded.predict_row(r) for r in rows] == [model.predict_row(r) for r in rows]
    assert loaded.feature_cols() == model.feature_cols()
    assert loaded.get_feature_importance("gain") == model.get_feature_importance("gain")


@pytest.mark.parametrize("content", [None, b"", b"{", b"[]", b"\xff\xfe", b'{"n_estimators":1}'])
def test_failing_load_keeps_the_earlier_model(tmp_path, content):
    model = trained_model(n_estimators=3)
    row = [0.8, "red"]
    before = model.predict_row(row)
    path = tmp_path / "bad.json"
    if content is not None:
        path.write_bytes(content)
    raises_panic(lambda: model.load(str(path)))
    assert model.predict_row(row) == before
    assert model.feature_cols() == ["f0", "f1"]
    # The exclusive borrow was released.
    good = tmp_path / "good.json"
    model.save(str(good))
    model.load(str(good))


def test_load_replaces_the_whole_record(tmp_path):
    path = tmp_path / "untrained.json"
    new_model(n_estimators=9).save(str(path))
    model = trained_model(n_estimators=3)
    model.load(str(path))
    assert raises_panic(model.feature_cols) == UNWRAP_NONE
    assert model.predict_row([0.5, "red"]) == []


def test_save_to_an_unwritable_path_is_a_panic(tmp_path):
    message = raises_panic(lambda: new_model().save(str(tmp_path / "missing" / "m.json")))
    assert message.startswith("called `Result::unwrap()` on an `Err` value: ")


def test_fit_records_the_column_names(tmp_path):
    model = new_model(n_estimators=1, max_features=1, max_depth=1, min_sample_leaf=5)
    data = small_data(50)
    data["treat é"] = data.pop("t")
    quiet_fit(model, data, ["f0"], "treat é", "y", 1)
    path = tmp_path / "m.json"
    model.save(str(path))
    doc = json.loads(path.read_text(encoding="utf-8"))
    assert (doc["treatment_col"], doc["outcome_col"]) == ("treat é", "y")
