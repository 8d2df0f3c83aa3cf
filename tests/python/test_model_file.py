"""The model file at model level: a trained model on real data survives save and load exactly,
models whose leaves hold NaN load back, edited documents load, failures are PanicExceptions
with the exact renderings, and a failing save keeps the previous file."""
import csv
import gzip
import json
import math
import os

import pytest

from data_location import data_file
from lib_support import UNWRAP_ERR, new_model, quiet_fit, raises_panic, run_child, small_data

DATA = data_file("hillstrom.csv.gz")
ARMS = {"No E-Mail": 0, "Mens E-Mail": 1, "Womens E-Mail": 2}


def hillstrom(rows=6000):
    """The first rows of the Hillstrom experiment: numeric and text features, three arms."""
    with gzip.open(DATA, "rt", newline="") as f:
        reader = csv.DictReader(f)
        records = [next(reader) for _ in range(rows)]
    return {
        "recency": [float(r["recency"]) for r in records],
        "history": [float(r["history"]) for r in records],
        "zip_code": [r["zip_code"] for r in records],
        "channel": [r["channel"] for r in records],
        "womens": [float(r["womens"]) for r in records],
        "segment": [ARMS[r["segment"]] for r in records],
        "visit": [int(r["visit"]) for r in records],
    }


FEATURES = ["recency", "history", "zip_code", "channel", "womens"]


def same(a, b):
    """Equal nested lists of floats, NaN equal to NaN."""
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return (math.isnan(a) and math.isnan(b)) or a == b


@pytest.fixture(scope="module")
def data():
    if not DATA.exists():
        pytest.skip(f"{DATA} is not available")
    return hillstrom()


@pytest.mark.parametrize("eval_func,tree_name", [("ED", "Euclidean"), ("KL", "KL"),
                                                 ("CHI", "Chi")])
def test_trained_model_predicts_exactly_as_before_after_load(tmp_path, data, eval_func,
                                                             tree_name):
    model = new_model(n_estimators=4, max_features=3, max_depth=4, min_sample_leaf=50,
                      eval_func=eval_func, max_bins=10, regularization=eval_func == "KL",
                      alpha=0.9)
    quiet_fit(model, data, FEATURES, "segment", "visit", 2)
    first, second = tmp_path / "a.json", tmp_path / "b.json"
    model.save(str(first))
    doc = json.loads(first.read_text(encoding="utf-8"))
    assert doc["eval_func"] == eval_func
    assert {t["eval_func"] for t in doc["trees"]} == {tree_name}

    loaded = new_model(n_estimators=1)
    loaded.load(str(first))
    rows = [[data[c][i] for c in FEATURES] for i in range(0, 6000, 7)]
    assert same(loaded.predict(rows, 1), model.predict(rows, 1))
    assert same([loaded.predict_row(r) for r in rows[:50]],
                [model.predict_row(r) for r in rows[:50]])
    # With several threads the trees' tables are summed in order of arrival, so the last
    # bits may differ from one call to the next even on the same model.
    threaded = [v for row in loaded.predict(rows, 3) for v in row]
    assert threaded == pytest.approx([v for row in model.predict(rows, 1) for v in row],
                                     rel=1e-12, abs=1e-15)
    assert same(loaded.get_feature_importance("gain"), model.get_feature_importance("gain"))
    assert same(loaded.get_feature_importance("split"), model.get_feature_importance("split"))
    loaded.save(str(second))
    assert first.read_bytes() == second.read_bytes()


def nan_leaf_model():
    """Treatment values 0 and 2 only: group 1 has no rows, so the first entry of every leaf's
    uplift vector is 0/0 minus the control rate, NaN."""
    data = small_data(600, seed=3)
    data["t"] = [2 if g == 1 else g for g in data["t"]]
    model = new_model(n_estimators=3, max_features=2, max_depth=3, min_sample_leaf=5)
    quiet_fit(model, data)
    return model


def test_model_with_nan_leaves_saves_and_loads_back(tmp_path):
    model = nan_leaf_model()
    path = tmp_path / "nan.json"
    model.save(str(path))
    doc = json.loads(path.read_text(encoding="utf-8"))
    probs = [p for t in doc["trees"] for n in t["nodes"] for p in n["prob"]]
    assert None in probs  # NaN is written as null
    loaded = new_model()
    loaded.load(str(path))
    rows = [[i / 50, c] for i in range(50) for c in ("red", "green", "blue")]
    predictions = model.predict(rows, 1)
    assert any(math.isnan(v) for row in predictions for v in row)
    assert same(loaded.predict(rows, 1), predictions)


# Python's json writes floats with the shortest round-trip digits too, so a document edited
# with it (keys sorted, unknown keys added at every level, indented) loads to the same model.
def test_edited_document_loads_to_the_same_model(tmp_path):
    model = nan_leaf_model()
    original = tmp_path / "m.json"
    model.save(str(original))
    doc = json.loads(original.read_text(encoding="utf-8"))
    doc["comment"] = {"by": "hand", "list": [1, 2.5, None, True]}
    for tree in doc["trees"]:
        tree["note"] = "é €"
        for node in tree["nodes"]:
            node["depth_hint"] = []
    edited = tmp_path / "edited.json"
    edited.write_text(json.dumps(doc, sort_keys=True, indent=2, ensure_ascii=True),
                      encoding="utf-8")
    loaded = new_model()
    loaded.load(str(edited))
    resaved = tmp_path / "resaved.json"
    loaded.save(str(resaved))
    assert resaved.read_bytes() == original.read_bytes()


# The toolkit saves the native document with its own metadata as a last top-level key; the
# class reads such a file to the same model (and saves it without the metadata).
def test_document_carrying_the_toolkit_metadata_loads(tmp_path):
    model = nan_leaf_model()
    original = tmp_path / "m.json"
    model.save(str(original))
    kit = {"version": "0.3.0", "features": [{"name": "é \"x\"", "kind": "category",
                                             "texts": ["a\\b", "€\n"]}],
           "treatments": ["control", "mail"], "params": {"alpha": 0.9, "tiny": 1e-7}}
    text = original.read_text(encoding="utf-8")
    with_kit = tmp_path / "kit.json"
    with_kit.write_text(text[:-1] + ',"quillmarsh_kit":' + json.dumps(
        kit, separators=(",", ":"), ensure_ascii=False, allow_nan=False) + "}", encoding="utf-8")
    assert json.loads(with_kit.read_text(encoding="utf-8"))["quillmarsh_kit"] == kit
    loaded = new_model()
    loaded.load(str(with_kit))
    resaved = tmp_path / "resaved.json"
    loaded.save(str(resaved))
    assert resaved.read_bytes() == original.read_bytes()


NESTED = b'{"x":' + b"[" * 128 + b"]" * 128 + b"}"


@pytest.mark.parametrize("content,rendering", [
    (None, 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
    (b"", 'Error("EOF while parsing a value", line: 1, column: 0)'),
    (b"\xef\xbb\xbf{}", 'Error("expected value", line: 1, column: 1)'),
    (b'{"n_estimators":1,"n_estimators":2}',
     'Error("duplicate field `n_estimators`", line: 1, column: 32)'),
    (b'{"quillmarsh_kit":{},"quillmarsh_kit":{}}',
     'Error("duplicate field `quillmarsh_kit`", line: 1, column: 37)'),
    (b'{\n "n_estimators": 2.0}',
     'Error("invalid type: floating point `2.0`, expected i32", line: 2, column: 20)'),
    (b'{"alpha":1e999}', 'Error("number out of range", line: 1, column: 14)'),
    (NESTED, 'Error("recursion limit exceeded", line: 1, column: 133)'),
    (b'{"eval_func":"\xc3"}',
     'Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'),
])
def test_failing_load_is_a_panic_with_the_error_rendering(tmp_path, content, rendering):
    path = tmp_path / "m.json"
    if content is not None:
        path.write_bytes(content)
    model = new_model(n_estimators=7)
    assert raises_panic(lambda: model.load(str(path))) == UNWRAP_ERR + rendering
    # The instance keeps its record and its borrow counter is free again.
    out = tmp_path / "still.json"
    model.save(str(out))
    assert json.loads(out.read_text(encoding="utf-8"))["n_estimators"] == 7


@pytest.mark.parametrize("edit,message,column", [
    (lambda doc: doc.replace(',"trees":[]', ""), "missing field `trees`", lambda doc: len(doc)),
    (lambda doc: doc + "\n\t x", "trailing characters", lambda doc: 3),
])
def test_errors_of_a_whole_document(tmp_path, edit, message, column):
    path = tmp_path / "m.json"
    new_model().save(str(path))
    text = edit(path.read_text(encoding="utf-8"))
    path.write_text(text, encoding="utf-8")
    line = text.count("\n") + 1
    assert raises_panic(lambda: new_model().load(str(path))) == (
        UNWRAP_ERR + f'Error("{message}", line: {line}, column: {column(text)})')


# A save that fails part way must not destroy the model saved before it. The child process
# runs with a file size limit far below the new document and SIGXFSZ ignored.
def test_failed_save_keeps_the_previous_file_whole(tmp_path):
    target = tmp_path / "m.json"
    new_model(n_estimators=1).save(str(target))
    before = target.read_bytes()
    result = run_child(f"""
        import resource, signal, sys
        sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
        from lib_support import trained_model
        model = trained_model(n_estimators=6)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({2 * len(before)}, {2 * len(before)}))
        try:
            model.save({str(target)!r})
        except BaseException as e:
            print(type(e).__name__, str(e))
    """)
    assert result.returncode == 0, result.stderr
    too_large = 'Os { code: 27, kind: FileTooLarge, message: "File too large" }'
    assert result.stdout.strip() == "PanicException " + UNWRAP_ERR + too_large
    assert target.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["m.json"]


# Regression: replacing an existing file freed memory of the C library's allocator with the
# module's own allocator, and the interpreter crashed.
def test_save_over_an_existing_file_and_through_a_link(tmp_path):
    target = tmp_path / "m.json"
    target.write_text("old", encoding="utf-8")
    os.chmod(target, 0o640)
    link = tmp_path / "link.json"
    link.symlink_to(target)
    new_model(n_estimators=11).save(str(target))
    new_model(n_estimators=12).save(str(link))
    assert link.is_symlink()
    assert json.loads(target.read_text(encoding="utf-8"))["n_estimators"] == 12
    assert os.stat(target).st_mode & 0o777 == 0o640
    assert sorted(os.listdir(tmp_path)) == ["link.json", "m.json"]
