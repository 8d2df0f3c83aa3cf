"""Per-group rates, intervals by little bags, out-of-bag figures and recommendations, each
checked against an independent computation: counts of training rows, the little-bags formula
evaluated in numpy from each tree's own predictions, memberships found by refitting, and
hand-computed decisions."""

import json
import math
import statistics

import numpy as np
import pytest

from quillmarsh_kit import UpliftForest, _decisions
from quillmarsh_kit._native import NativeForest


def _experiment(n=4000, seed=0, arms=("a", "b")):
    rng = np.random.default_rng(seed)
    X = rng.integers(0, 2, size=(n, 2)).astype(np.float64)
    t = rng.choice(["c", *arms], n)
    effect = np.where(t == "c", 0.0, 0.15 + 0.2 * X[:, 0] - 0.1 * X[:, 1])
    y = (rng.random(n) < 0.2 + 0.1 * X[:, 1] + effect).astype(int)
    return X, t, y


def _tree_predictions(model, X):
    """Each tree's own uplift (trees, rows, arms), from one-tree model documents that hold it
    alone, predicted by the engine's plain mean."""
    doc = json.loads(model._fitted.forest.to_bytes(None))
    out = []
    for tree in doc["trees"]:
        single = dict(doc, trees=[tree], n_estimators=1)
        forest, _ = NativeForest.from_bytes(json.dumps(single).encode())
        table = model._prediction_table(model._fitted, X)
        out.append(forest.predict(table, 1))
    return np.stack(out)


def _trees(model):
    return json.loads(model._fitted.forest.to_bytes(None))["trees"]


# ---------------------------------------------------------------------------------- rates
def test_rates_of_a_depth_two_tree_are_the_group_means_of_its_cells():
    X, t, y = _experiment()
    model = UpliftForest(1, max_depth=2, max_features=2, min_samples_leaf=10, honest=False,
                         control="c", random_state=1).fit(X, t, y)
    cells = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], dtype=np.float64)
    rates = model.predict_rates(cells)
    for cell, row in zip(cells, rates):
        here = (X == cell).all(axis=1)
        expected = [y[here & (t == g)].mean() for g in ["c", *model.treatments_]]
        np.testing.assert_allclose(row, expected, rtol=0, atol=1e-15)


@pytest.mark.parametrize("options", [
    dict(honest=False), dict(honest=True), dict(honest=True, max_samples=0.5),
    dict(honest=True, ci_group_size=2, max_depth=6, min_samples_leaf=5),
])
def test_arm_rate_minus_control_rate_is_the_uplift(options):
    X, t, y = _experiment(arms=("a", "b", "d"))
    X = X + np.random.default_rng(5).random(X.shape)  # many thresholds, leaves of all sizes
    model = UpliftForest(10, control="c", random_state=2, **{"min_samples_leaf": 30, **options})
    model.fit(X, t, y)
    rates = model.predict_rates(X[:500])
    assert rates.shape == (500, 4)
    np.testing.assert_allclose(rates[:, 1:] - rates[:, :1], model.predict(X[:500]),
                               rtol=0, atol=1e-12)


def test_rates_survive_saving_and_a_model_without_statistics_is_refused(tmp_path):
    X, t, y = _experiment(n=1000)
    model = UpliftForest(4, control="c", random_state=3).fit(X, t, y)
    path = tmp_path / "m.json"
    model.save(path)
    np.testing.assert_array_equal(UpliftForest.load(path).predict_rates(X),
                                  model.predict_rates(X))
    doc = json.loads(path.read_text())
    del doc["quillmarsh_kit"]["node_stats"]  # as a model saved before they were kept
    path.write_text(json.dumps(doc))
    old = UpliftForest.load(path)
    np.testing.assert_array_equal(old.predict(X), model.predict(X))
    with pytest.raises(ValueError, match="no per-node group statistics"):
        old.predict_rates(X)


# ------------------------------------------------------------------------------ intervals
def _little_bags(per_tree, group_size, z):
    """The little-bags interval half-width from per-tree predictions, by the documented
    formula and its positivity guard."""
    trees = per_tree.shape[0]
    g = trees // group_size
    grouped = per_tree.reshape(g, group_size, *per_tree.shape[1:])
    means = grouped.mean(axis=1)
    between = ((means - means.mean(axis=0)) ** 2).mean(axis=0)
    within = ((grouped - means[:, None]) ** 2).sum(axis=(0, 1)) / (trees * (group_size - 1))
    raw = between - within
    se = np.maximum(between, within) * math.sqrt(2.0 / g)
    ratio = raw / se
    cdf = np.vectorize(lambda r: 0.5 * math.erfc(-r / math.sqrt(2.0)))(ratio)
    density = np.exp(-0.5 * ratio**2) / math.sqrt(2 * math.pi)
    return z * np.sqrt(raw + se * density / cdf), raw


@pytest.mark.parametrize("group_size,level", [(2, 0.95), (4, 0.9)])
def test_interval_is_the_little_bags_formula_of_the_trees(group_size, level):
    X, t, y = _experiment(n=3000)
    X = X + np.random.default_rng(6).random(X.shape)
    model = UpliftForest(8 * group_size, ci_group_size=group_size, control="c",
                         random_state=4, min_samples_leaf=40).fit(X, t, y)
    rows = X[:300]
    uplift, lower, upper = model.predict(rows, return_interval=True, level=level)
    np.testing.assert_array_equal(uplift, model.predict(rows))
    z = statistics.NormalDist().inv_cdf(0.5 + level / 2)
    half, raw = _little_bags(_tree_predictions(model, rows), group_size, z)
    np.testing.assert_allclose(upper - uplift, half, rtol=1e-9, atol=1e-15)
    np.testing.assert_allclose(uplift - lower, half, rtol=1e-9, atol=1e-15)
    assert (raw <= 0).any() and (half > 0).all()  # the guard acts, and never gives zero width


@pytest.mark.parametrize("params,message", [
    (dict(n_estimators=10, ci_group_size=4), "multiple of ci_group_size"),
    (dict(n_estimators=10, ci_group_size=2, bootstrap=True), "bootstrap"),
    (dict(n_estimators=10, ci_group_size=2, max_samples=600), "half of the rows"),
])
def test_grouped_training_refuses_inconsistent_parameters(params, message):
    X, t, y = _experiment(n=1000)
    with pytest.raises(ValueError, match=message):
        UpliftForest(control="c", **params).fit(X, t, y)


@pytest.mark.parametrize("params", [dict(n_estimators=6), dict(n_estimators=2, ci_group_size=2)])
def test_intervals_need_two_groups_of_at_least_two_trees(params):
    X, t, y = _experiment(n=1000)
    model = UpliftForest(control="c", random_state=0, **params).fit(X, t, y)
    with pytest.raises(ValueError, match="ci_group_size >= 2"):
        model.predict(X, return_interval=True)


# ----------------------------------------------------------------------------- out of bag
def test_out_of_bag_prediction_is_the_mean_of_the_trees_that_never_saw_the_row():
    X, t, y = _experiment(n=600)
    X = X + np.random.default_rng(7).random(X.shape)
    params = dict(n_estimators=8, max_samples=0.5, control="c", random_state=5,
                  min_samples_leaf=20, max_depth=3)
    model = UpliftForest(**params).fit(X, t, y)
    trees = _trees(model)
    per_tree = _tree_predictions(model, X)
    for row in range(12):
        # A tree held the row exactly when flipping the row's outcome changes that tree: the
        # row samples depend on the groups only, so every other tree regrows the same.
        flipped = y.copy()
        flipped[row] = 1 - flipped[row]
        other = _trees(UpliftForest(**params).fit(X, t, flipped))
        unseen = [k for k in range(len(trees)) if trees[k] == other[k]]
        expected = per_tree[unseen, row].mean(axis=0) if unseen else np.full(2, np.nan)
        np.testing.assert_allclose(model.oob_prediction_[row], expected, rtol=1e-12)
    seen = ~np.isnan(model.oob_prediction_).any(axis=1)
    labels = dict(zip(model.treatments_, (1, 2)))
    group = np.select([t == "a", t == "b"], [1, 2], 0)
    from quillmarsh_kit.metrics import qini_auc_score
    for k, arm in enumerate(model.treatments_):
        rows = seen & ((group == 0) | (group == labels[arm]))
        expected = qini_auc_score(y[rows], model.oob_prediction_[rows, k], t[rows] == arm)
        assert model.oob_score_[arm] == pytest.approx(expected, abs=1e-12)


def test_out_of_bag_attributes_are_absent_without_samples():
    X, t, y = _experiment(n=500)
    model = UpliftForest(3, control="c", random_state=0).fit(X, t, y)
    for name in ("oob_prediction_", "oob_score_"):
        with pytest.raises(AttributeError, match="max_samples, bootstrap=True or ci_group_size"):
            getattr(model, name)
        assert not hasattr(model, name)


# ------------------------------------------------------------------------------ recommend
def test_recommendation_by_hand():
    uplift = np.array([[0.10, 0.20], [0.05, 0.01], [-0.1, -0.2], [0.30, 0.32], [np.nan, 0.1]])
    lower = np.array([[0.02, -0.1], [0.01, 0.0], [-0.2, -0.3], [0.25, 0.01], [np.nan, 0.05]])
    costs = {"a": 0.02, "b": 0.05}
    # worth (value 2): a = 2u - 0.02, b = 2u - 0.05; control 0
    # row 0: a 0.18, b 0.35 -> b; row 1: a 0.08, b -0.03 -> a; row 2: both < 0 -> c
    # row 3: a 0.58, b 0.59 -> b; row 4: a NaN, b 0.15 -> b
    got = _decisions.recommend(uplift, None, ["a", "b"], "c", 2.0, costs)
    assert list(got) == ["b", "a", "c", "b", "b"]
    # cautious: an arm counts only where 2 lower - cost > 0
    # row 0: a 0.02 ok, b -0.25 no -> a; row 1: a 0.0 no -> c; row 3: a 0.48, b -0.03 -> a
    # row 4: b 0.05 ok -> b
    got = _decisions.recommend(uplift, lower, ["a", "b"], "c", 2.0, costs)
    assert list(got) == ["a", "c", "c", "a", "b"]
    with pytest.raises(ValueError, match="not arms"):
        _decisions.recommend(uplift, None, ["a", "b"], "c", 1.0, {"z": 1.0})


def test_recommend_of_the_estimator_follows_its_predictions():
    X, t, y = _experiment(n=2000)
    model = UpliftForest(8, ci_group_size=2, control="c", random_state=8).fit(X, t, y)
    uplift, lower, _ = model.predict(X[:50], return_interval=True, level=0.9)
    costs = {"a": 0.1}
    worth = np.column_stack([np.zeros(50), uplift - [0.1, 0.0]])
    expected = np.array(["c", *model.treatments_], dtype=object)[worth.argmax(axis=1)]
    assert list(model.recommend(X[:50], costs=costs)) == list(expected)
    cautious = model.recommend(X[:50], costs=costs, cautious=True, level=0.9)
    assert all(c == "c" or lower[i, model.treatments_.index(c)] - costs.get(c, 0) > 0
               for i, c in enumerate(cautious))
