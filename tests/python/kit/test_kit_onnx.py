"""ONNX export: the graph scored by onnxruntime routes and averages exactly as `predict`."""

import json
import os
import sys

import numpy as np
import pytest

from quillmarsh_kit import UpliftForest
from quillmarsh_kit.cli import main
from quillmarsh_kit.datasets import load_csv, make_uplift_experiment

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

# The ensemble sums the leaves in double and rounds the sum to float; the division rounds
# once more: at most 2**-23 of the value apart, and under 1e-6 for any uplift in [-1, 1].
RTOL = 2.0**-23 * (1 + 2.0**-20)


def _score(proto, X, names, kinds):
    session = ort.InferenceSession(proto.SerializeToString(), providers=["CPUExecutionProvider"])
    feeds = {n: np.asarray(X[n], dtype=object if k == "string" else np.float32).reshape(-1, 1)
             for n, k in zip(names, kinds)}
    return session.run(["uplift"], feeds)[0]


def _assert_parity(model, X):
    expected = model.predict(X)
    got = _score(model.to_onnx(), X, model.feature_names_, model.feature_kinds_)
    assert got.shape == expected.shape and got.dtype == np.float32
    np.testing.assert_allclose(got, expected, rtol=RTOL, atol=1e-300, equal_nan=True)
    assert not got.size or np.nanmax(np.abs(got - expected)) < 1e-6
    assert np.array_equal(np.isnan(got), np.isnan(expected))


def _thresholds(model):
    """Per numeric feature, the thresholds of the forest's splits on it."""
    document = json.loads(model._check_fitted().forest.to_bytes(None))
    found = {}
    for tree in document["trees"]:
        for node in tree["nodes"]:
            if not node["prob"] and "Numeric" in node["split_value"]:
                name = model.feature_names_[node["col_idx"]]
                found.setdefault(name, set()).add(np.float32(node["split_value"]["Numeric"]))
    return found


def _awkward_rows(model, exp, rng):
    """Rows with every split threshold exactly, its float32 neighbours, NaN, +0 and -0, and
    texts the model never saw."""
    X = {n: [] for n in model.feature_names_}
    values = {n: [np.float32(v) for t in ts for v in (t, np.nextafter(t, np.float32(-np.inf)),
                                                        np.nextafter(t, np.float32(np.inf)))]
              + [np.float32("nan"), np.float32(0.0), np.float32(-0.0)]
              for n, ts in _thresholds(model).items()}
    rows = max(len(v) for v in values.values()) * 4
    for name, kind in zip(model.feature_names_, model.feature_kinds_):
        base = np.asarray(exp.X[name])[rng.integers(0, exp.n_rows, rows)]
        if kind == "string":
            base = base.astype(object)
            base[::5] = "never seen"
            base[1::7] = ""
        else:
            base = base.astype(np.float32)
            special = values.get(name, [])
            if special:
                picks = rng.integers(0, len(special), rows // 2)
                base[: rows // 2] = np.asarray(special, np.float32)[picks]
        X[name] = base
    return X


@pytest.mark.parametrize("options", [
    dict(),
    dict(honest=True, honest_fraction=0.6, max_samples=0.3, min_samples_leaf=5),
    dict(criterion="KL", max_features=2, bootstrap=True, max_samples=0.5),
], ids=["plain", "honest_sampled", "kl_bootstrap"])
def test_onnx_uplift_equals_predict_on_thresholds_nan_zeros_and_unseen_texts(options):
    exp = make_uplift_experiment(4000, n_treatments=3, missing=0.05, seed=12)
    settings = dict(n_estimators=25, max_depth=6, min_samples_leaf=40, control=exp.control,
                    random_state=3)
    model = UpliftForest(**{**settings, **options}).fit(exp.X, exp.treatment, exp.y)
    X = _awkward_rows(model, exp, np.random.default_rng(0))
    assert any(np.isnan(v).any() for v, k in zip(X.values(), model.feature_kinds_)
               if k == "numeric")
    _assert_parity(model, X)
    _assert_parity(model, {n: np.asarray(v)[:0] for n, v in X.items()})  # no rows


def test_onnx_uplift_equals_predict_on_hillstrom(hillstrom_path):
    data = load_csv(hillstrom_path, treatment="segment", outcome="visit",
                    exclude=["conversion", "spend"])
    rows = np.random.default_rng(5).permutation(len(data.y))[:20_000]
    model = UpliftForest(n_estimators=100, max_depth=8, min_samples_leaf=50, control="No E-Mail",
                         random_state=1).fit({n: v[rows] for n, v in data.X.items()},
                                             data.treatment[rows], data.y[rows])
    assert "string" in model.feature_kinds_
    _assert_parity(model, data.X)


def test_export_onnx_command_writes_the_graph_of_the_contract(tmp_path, capsys):
    exp = make_uplift_experiment(1500, n_treatments=2, seed=4)
    model = UpliftForest(n_estimators=5, max_depth=4, min_samples_leaf=30, control=exp.control,
                         random_state=0).fit(exp.X, exp.treatment, exp.y)
    model.save(tmp_path / "m.json")
    target = tmp_path / "m.onnx"
    assert main(["export-onnx", str(tmp_path / "m.json"), str(target)]) == 0
    assert capsys.readouterr().out.startswith(f"wrote {target}: 5 trees; inputs x0 (float)")
    proto = onnx.load(str(target))
    onnx.checker.check_model(proto, full_check=True)
    inputs = [(i.name, i.type.tensor_type.elem_type,
               [d.dim_value or None for d in i.type.tensor_type.shape.dim])
              for i in proto.graph.input]
    float_, string = onnx.TensorProto.FLOAT, onnx.TensorProto.STRING
    assert inputs == [(n, string if k == "string" else float_, [None, 1])
                      for n, k in zip(model.feature_names_, model.feature_kinds_)]
    (output,) = proto.graph.output
    assert output.name == "uplift" and output.type.tensor_type.elem_type == float_
    assert [d.dim_value for d in output.type.tensor_type.shape.dim][1] == 2
    assert {node.domain for node in proto.graph.node} <= {"", "ai.onnx.ml"}
    assert sorted(os.listdir(tmp_path)) == ["m.json", "m.onnx"]


def test_export_without_onnx_says_how_to_install_it(tmp_path, monkeypatch, capsys):
    exp = make_uplift_experiment(500, seed=1)
    UpliftForest(n_estimators=2, control=exp.control).fit(exp.X, exp.treatment, exp.y).save(
        tmp_path / "m.json")
    monkeypatch.setitem(sys.modules, "onnx", None)
    assert main(["export-onnx", str(tmp_path / "m.json"), str(tmp_path / "m.onnx")]) == 1
    assert 'pip install "quillmarsh[onnx]"' in capsys.readouterr().err
    assert not (tmp_path / "m.onnx").exists()
