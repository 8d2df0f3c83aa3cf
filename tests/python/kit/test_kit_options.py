"""The forest's options on each tree's rows and splits (sampling, honesty, group minimums)
and the spread of the trees' predictions."""

import json

import numpy as np
import pytest

from quillmarsh_kit import UpliftForest
from quillmarsh_kit._native import NativeForest, engine
from quillmarsh_kit._params import TREE_OPTIONS_OFF
from quillmarsh_kit._tabular import align, to_table, training_data
from quillmarsh_kit.datasets import make_uplift_experiment

SMALL = dict(n_estimators=8, max_depth=4, min_samples_leaf=20, control="control")
OPTIONS = {
    "half_sample": dict(max_samples=0.5),
    "bootstrap": dict(bootstrap=True),
    "honest": dict(honest=True, honest_fraction=0.4),
    "group_minimum": dict(min_samples_treatment=30),
    "all": dict(max_samples=2500, bootstrap=True, honest=True, min_samples_treatment=10),
}


@pytest.fixture(scope="module")
def data():
    exp = make_uplift_experiment(4000, n_treatments=2, seed=5)
    return exp.X, exp.treatment, exp.y


def _forest_bytes(model):
    return model._fitted.forest.to_bytes("null")


def test_options_off_grow_the_forest_of_the_engine_without_them(data):
    X, t, y = data
    off = UpliftForest(random_state=9, **SMALL, **TREE_OPTIONS_OFF).fit(X, t, y)
    # the engine called as before the options existed
    prepared = training_data(X, t, y, "control")
    settings = off._engine_settings(len(prepared.table.columns))
    plain = {k: v for k, v in settings._asdict().items()
             if k not in ("max_samples", "bootstrap", "honest_fraction", "min_samples_treatment")}
    forest = engine().fit([c.engine_column() for c in prepared.table.columns],
                          prepared.table.names, prepared.groups, prepared.outcome, **plain,
                          n_threads=2, seed=off.seed_)
    assert NativeForest(forest).to_bytes("null") == _forest_bytes(off)


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
def test_an_option_is_seeded_stored_and_loads_into_the_native_class(data, tmp_path, options):
    import quillmarsh

    X, t, y = data
    grown = [UpliftForest(random_state=4, n_jobs=n, **SMALL, **options).fit(X, t, y)
             for n in (1, 3)]
    model = grown[0]
    assert _forest_bytes(grown[1]) == _forest_bytes(model)
    plain = UpliftForest(random_state=4, **SMALL, **TREE_OPTIONS_OFF).fit(X, t, y)
    assert _forest_bytes(plain) != _forest_bytes(model)

    path = tmp_path / "m.json"
    model.save(path)
    stored = json.loads(path.read_text())["quillmarsh_kit"]["params"]
    assert {k: stored[k] for k in options} == options
    loaded = UpliftForest.load(path)
    assert loaded.get_params() == {**model.get_params(), "n_jobs": -1}
    expected = model.predict(X)
    np.testing.assert_array_equal(loaded.predict(X), expected)

    native = quillmarsh._UpliftRandomForestModel(1, 1, 1, 1, "KL", 2, False, False, 0.0)
    native.load(str(path))
    rows = [[v if isinstance(v, str) else float(v) for v in r] for r in zip(*X.values())]
    np.testing.assert_array_equal(np.asarray(native.predict(rows, 1)), expected)


@pytest.mark.parametrize("options", [{}, OPTIONS["all"]], ids=["plain", "all_options"])
def test_return_std_is_the_spread_of_the_trees_predictions(data, options):
    X, t, y = data
    model = UpliftForest(random_state=2, **SMALL, **options).fit(X, t, y)
    mean, std = model.predict(X, return_std=True)
    np.testing.assert_array_equal(mean, model.predict(X))

    # each tree on its own, as a forest of one tree
    fitted = model._fitted
    table = align(to_table(X), fitted.feature_names, fitted.feature_kinds, by_name=True)
    document = json.loads(_forest_bytes(model))
    per_tree = []
    for tree in document.pop("trees"):
        one = json.dumps({**document, "n_estimators": 1, "trees": [tree]}).encode()
        forest, _ = NativeForest.from_bytes(one)
        per_tree.append(forest.predict(table, 1))
    per_tree = np.stack(per_tree)
    np.testing.assert_allclose(mean, per_tree.mean(axis=0), rtol=0, atol=1e-15)
    np.testing.assert_allclose(std, per_tree.std(axis=0), rtol=1e-12, atol=1e-15)
    assert std.shape == mean.shape and (std > 0).any()


def _rare_arm_experiment(seed, n_rows, n_arms, rare_rows):
    """Random rows with a control group, `n_arms` arms, the last of them `rare_rows` rows."""
    rng = np.random.default_rng(seed)
    groups = rng.integers(0, n_arms, n_rows)  # control and every arm but the rare one
    groups[rng.choice(n_rows, rare_rows, replace=False)] = n_arms
    X = rng.normal(size=(n_rows, 3))
    y = (rng.random(n_rows) < 0.2 + 0.1 * (X[:, 0] > 0) + 0.05 * (groups > 0)).astype(int)
    return X, groups, y


# (seed, rows, arms, rare arm's rows, sampling); the first two are the report's example
SAMPLED_CASES = [
    (0, 20_000, 1, 34, dict(max_samples=0.05)),
    (0, 20_000, 1, 34, dict(max_samples=200)),
] + [
    (seed, n_rows, n_arms, rare, sampling)
    for seed, (n_rows, n_arms, rare) in enumerate([(400, 1, 3), (900, 2, 5), (1500, 3, 8)])
    for sampling in (dict(max_samples=0.1), dict(max_samples=60), dict(bootstrap=True),
                     dict(max_samples=0.3, bootstrap=True))
]
# A plain tree's leaf without a row of some group predicts NaN for it, sampled or not; a
# group minimum of 0 rules such leaves out, so that only a sample could bring a group's NaN.
TREES = {"plain": dict(honest=False, min_samples_treatment=0), "honest": dict(honest=True)}


@pytest.mark.parametrize("trees", TREES.values(), ids=TREES.keys())
@pytest.mark.parametrize(
    "seed, n_rows, n_arms, rare, sampling", SAMPLED_CASES,
    ids=[f"{n}rows-{a}arms-rare{r}-" + "-".join(f"{k}={v}" for k, v in s.items())
         for _, n, a, r, s in SAMPLED_CASES])
def test_a_rare_arm_predicts_finite_numbers_with_sampling_as_without(
        seed, n_rows, n_arms, rare, sampling, trees):
    X, groups, y = _rare_arm_experiment(seed, n_rows, n_arms, rare)
    params = dict(n_estimators=20, max_depth=3, min_samples_leaf=5, random_state=seed, **trees)
    whole = UpliftForest(**params).fit(X, groups, y).predict(X)
    sampled = UpliftForest(**params, **sampling).fit(X, groups, y).predict(X)
    assert np.isfinite(whole).any()
    assert np.isfinite(sampled[np.isfinite(whole)]).all(), (
        f"{np.isnan(sampled).mean(axis=0)} of each arm's predictions are NaN")
