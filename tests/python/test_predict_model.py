"""Model-level properties of prediction and feature importance on trained forests."""

import contextlib
import io
import json
import math

import pytest

np = pytest.importorskip("numpy")
quillmarsh = pytest.importorskip("quillmarsh")
from lib_support import leaf_of  # noqa: E402
from quillmarsh_kit.datasets import make_uplift_experiment  # noqa: E402

N_ESTIMATORS = 20


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    exp = make_uplift_experiment(10000, n_numeric=10, effect=0.25, seed=4)
    model = quillmarsh._UpliftRandomForestModel(  # every feature tried at every node
        N_ESTIMATORS, 12, 4, 100, "ED", 10, False, False, 0.0)
    with contextlib.redirect_stdout(io.StringIO()):
        model.fit(exp.native_data(), exp.feature_names, "treatment", "outcome", 2)
    path = tmp_path_factory.mktemp("model") / "forest.json"
    model.save(str(path))
    document = json.loads(path.read_text(encoding="utf-8"))
    held_out = make_uplift_experiment(1500, n_numeric=10, effect=0.25, seed=5)
    return model, document, held_out


def test_predict_row_matches_an_independent_walk_of_the_saved_trees(trained):
    model, document, held_out = trained
    for row in held_out.rows(0, 200):
        expected = None
        for tree in document["trees"]:
            leaf = leaf_of(tree, row)
            expected = list(leaf) if expected is None else [s + p for s, p in zip(expected, leaf)]
        expected = [s / N_ESTIMATORS for s in expected]
        assert model.predict_row(row) == pytest.approx(expected, rel=0, abs=1e-12)


def test_one_thread_equals_predict_row_exactly(trained):
    model, _, held_out = trained
    rows = held_out.rows()
    assert model.predict(rows, 1) == [model.predict_row(r) for r in rows]


@pytest.mark.parametrize("n_threads", [-1, 2, 3, 16])
def test_thread_counts_agree_up_to_summation_order(trained, n_threads):
    model, _, held_out = trained
    rows = held_out.rows()
    reference = model.predict(rows, 1)
    got = model.predict(rows, n_threads)
    assert len(got) == len(reference)
    for a, b in zip(got, reference):
        assert len(a) == len(b) == 2
        assert a == pytest.approx(b, rel=0, abs=1e-12)


def test_importance_is_the_saved_gains_and_counts_per_feature(trained):
    model, document, _ = trained
    names = model.feature_cols()
    assert names == document["trees"][0]["feature_cols"]
    gains, counts = [0.0] * len(names), [0.0] * len(names)
    for tree in document["trees"]:
        for node in tree["nodes"]:
            if node["gain"] > 0.0:
                gains[node["col_idx"]] += node["gain"]
                counts[node["col_idx"]] += 1.0
    by_gain = model.get_feature_importance("gain")
    assert by_gain == pytest.approx([g / N_ESTIMATORS for g in gains], rel=1e-12)
    for other in ("count", "Gain", "gain ", ""):
        assert model.get_feature_importance(other) == [c / N_ESTIMATORS for c in counts]
    assert all(math.isfinite(g) for g in by_gain)


# Training is random (seeded by the system), so this asserts a wide margin: the features the
# uplift depends on are split on far more often than pure noise features.
def test_planted_uplift_drivers_lead_the_split_counts(trained):
    model, _, held_out = trained
    counts = dict(zip(model.feature_cols(), model.get_feature_importance("count")))
    drivers = {name for arm in held_out.drivers.values() for name in arm if name.startswith("x")}
    noise = [n for n in counts if n.startswith("x") and n not in drivers
             and n not in held_out.baseline_drivers]
    assert sorted(drivers) == ["x1", "x2", "x3", "x4"] and len(noise) == 5
    mean_driver = sum(counts[d] for d in drivers) / len(drivers)
    mean_noise = sum(counts[n] for n in noise) / len(noise)
    assert mean_driver > 1.3 * mean_noise
