"""Per-row contributions (UpliftForest.explain) against a brute force over every coalition of
features, written here in numpy from the model document and the node statistics alone."""

import itertools
import json
import math

import numpy as np
import pandas as pd
import pytest

from quillmarsh_kit import UpliftForest
from quillmarsh_kit._native import NativeForest


def _data(n, seed):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({"a": rng.normal(size=n).astype(np.float32),
                      "b": rng.integers(0, 5, n).astype(np.float32),
                      "c": rng.choice(["u", "v", "w"], n),
                      "d": rng.normal(size=n).astype(np.float32)})
    X.loc[rng.random(n) < 0.15, "a"] = np.nan
    t = rng.integers(0, 3, n)
    p = 0.3 + 0.2 * (t > 0) * (X["b"] > 2) + 0.1 * (t == 2) * (X["c"] == "v")
    return X, t, (rng.random(n) < p).astype(int)


def _trees(model):
    """Per tree: nodes by slot (feature, threshold or category, leaf values) and leaf covers
    from the node statistics (rows of all groups; nodes listed in slot order)."""
    forest = model._fitted.forest
    document = json.loads(forest.to_bytes("null"))
    words = np.frombuffer(forest.node_stats(), dtype="<u4")
    trees, at = [], 0
    for tree in document["trees"]:
        groups, count = int(words[at]), int(words[at + 2])
        counts = words[at + 3 + 2 * groups: at + 3 + 2 * groups + 2 * groups * count]
        rows = counts.reshape(count, groups, 2)[:, :, 0].sum(axis=1).astype(float)
        at += 3 + 2 * groups + 2 * groups * count
        nodes, reached = tree["nodes"], [0]
        for slot in reached:  # breadth-first; the statistics list the slots in ascending order
            if nodes[slot]["col_idx"] >= 0:
                reached += [2 * slot + 1, 2 * slot + 2]
        cover = dict(zip(sorted(reached), rows))
        trees.append((nodes, cover))
    return trees


def _goes_left(node, row):
    value = node["split_value"]
    if "Str" in value:
        return row[node["col_idx"]] == value["Str"]
    return bool(np.float32(row[node["col_idx"]]) <= np.float32(value["Numeric"]))


def _cover(nodes, cover, slot):
    if nodes[slot]["col_idx"] < 0:
        return cover[slot]
    return _cover(nodes, cover, 2 * slot + 1) + _cover(nodes, cover, 2 * slot + 2)


def _value(nodes, cover, slot, row, known):
    """The tree's expected leaf value given the features in `known` (path-dependent)."""
    node = nodes[slot]
    if node["col_idx"] < 0:
        return np.asarray(node["prob"])
    left, right = 2 * slot + 1, 2 * slot + 2
    if node["col_idx"] in known:
        return _value(nodes, cover, left if _goes_left(node, row) else right, row, known)
    cl, cr = _cover(nodes, cover, left), _cover(nodes, cover, right)
    wl = cl / (cl + cr) if cl + cr > 0 else 0.5
    return (wl * _value(nodes, cover, left, row, known)
            + (1 - wl) * _value(nodes, cover, right, row, known))


def _brute_force(trees, row, n_features):
    def v(known):
        return np.mean([_value(nodes, cover, 0, row, known) for nodes, cover in trees], axis=0)

    phi = []
    for i in range(n_features):
        others = [f for f in range(n_features) if f != i]
        total = 0.0
        for size in range(n_features):
            weight = (math.factorial(size) * math.factorial(n_features - size - 1)
                      / math.factorial(n_features))
            for subset in itertools.combinations(others, size):
                total = total + weight * (v(set(subset) | {i}) - v(set(subset)))
        phi.append(total)
    return np.array(phi), v(set())


@pytest.mark.parametrize("options", [
    {"honest": True},
    {"honest": False, "bootstrap": True, "max_samples": 0.7},
    {"honest": True, "criterion": "ED", "max_depth": 5, "min_samples_leaf": 5},
])
def test_contributions_are_the_shapley_values_and_add_up_to_the_prediction(options):
    X, t, y = _data(1500, 7)
    settings = {"n_estimators": 4, "max_depth": 3, "min_samples_leaf": 40, "random_state": 3,
                "max_features": None, **options}
    model = UpliftForest(**settings).fit(X, t, y)
    contributions, base = model.explain(X)
    prediction = model.predict(X)
    assert contributions.shape == (len(X), 4, 2) and base.shape == (2,)
    np.testing.assert_allclose(contributions.sum(axis=1) + base, prediction, rtol=0, atol=1e-9)
    trees = _trees(model)
    rows = X.to_numpy(dtype=object)
    for r in range(0, len(X), 150):
        phi, expected = _brute_force(trees, rows[r], 4)
        np.testing.assert_allclose(contributions[r], phi, rtol=0, atol=1e-12)
        np.testing.assert_allclose(base, expected, rtol=0, atol=1e-12)
    assert np.abs(contributions[:, [0, 3]]).max() > 0  # a and d carry some of the trees' splits


def test_a_model_without_node_statistics_needs_reference_rows():
    X, t, y = _data(1200, 8)
    model = UpliftForest(n_estimators=3, max_depth=3, min_samples_leaf=40, honest=False,
                         random_state=0).fit(X, t, y)
    expected = model.explain(X)
    # the engine's document alone, as a model file written before node statistics were kept
    model._fitted.forest = NativeForest.from_bytes(model._fitted.forest.to_bytes("null"))[0]
    with pytest.raises(ValueError, match="pass reference=.X, treatment, y."):
        model.explain(X)
    # every training row reached every tree (no sampling, not honest): the same covers
    contributions, base = model.explain(X, reference=(X, t, y))
    np.testing.assert_array_equal(contributions, expected[0])
    np.testing.assert_array_equal(base, expected[1])


def _shap_tree(nodes, cover, n_trees):
    """One tree in the shap package's custom-tree form: nodes numbered breadth-first, a split's
    weight the sum of its leaves' covers, leaf values the per-arm uplifts over the tree count
    (the forest averages its trees; shap adds them). Both send a value equal to the threshold
    left (shap's direction found by trying it) and NaN, missing, right."""
    order = [0]
    for slot in order:
        if nodes[slot]["col_idx"] >= 0:
            order += [2 * slot + 1, 2 * slot + 2]
    index = {slot: i for i, slot in enumerate(order)}
    width = len(next(n["prob"] for n in nodes if n["prob"]))
    arrays = {"children_left": [], "children_right": [], "children_default": [],
              "features": [], "thresholds": [], "values": [], "node_sample_weight": []}
    for slot in order:
        node, split = nodes[slot], nodes[slot]["col_idx"] >= 0
        left = index[2 * slot + 1] if split else -1
        right = index[2 * slot + 2] if split else -1
        arrays["children_left"].append(left)
        arrays["children_right"].append(right)
        arrays["children_default"].append(right)
        arrays["features"].append(node["col_idx"] if split else -2)
        arrays["thresholds"].append(node["split_value"]["Numeric"] if split else -2.0)
        arrays["values"].append(np.asarray(node["prob"]) / n_trees if not split
                                else np.zeros(width))
        arrays["node_sample_weight"].append(_cover(nodes, cover, slot))
    tree = {key: np.asarray(value) for key, value in arrays.items()}
    # the document writes each float32 threshold as its shortest decimal text
    tree["thresholds"] = tree["thresholds"].astype(np.float32).astype(np.float64)
    tree["node_sample_weight"] = tree["node_sample_weight"].astype(np.float64)
    return tree


@pytest.mark.parametrize("options", [{"honest": False}, {"honest": True, "max_depth": 6}])
def test_contributions_agree_with_the_shap_package(options):
    shap = pytest.importorskip("shap")
    rng = np.random.default_rng(3)
    n = 3000
    X = pd.DataFrame({name: rng.normal(size=n).astype(np.float32) for name in "abcde"})
    X.loc[rng.random(n) < 0.1, "b"] = np.nan
    t = rng.integers(0, 3, n)
    p = 0.3 + 0.15 * (t == 1) * (X["a"] > 0) + 0.2 * (t == 2) * (X["c"] < 0.5)
    y = (rng.random(n) < p).astype(int)
    settings = {"n_estimators": 5, "max_depth": 4, "min_samples_leaf": 60, "random_state": 1,
                "max_features": 3, **options}
    model = UpliftForest(**settings).fit(X, t, y)
    assert np.isfinite(model.predict(X)).all()  # every leaf has a value: covers alike in both
    trees = _trees(model)
    custom = {"trees": [_shap_tree(nodes, cover, len(trees)) for nodes, cover in trees]}
    explainer = shap.TreeExplainer(custom, feature_perturbation="tree_path_dependent")
    expected = np.asarray(explainer.shap_values(X.to_numpy(dtype=np.float64)))
    contributions, base = model.explain(X)
    assert expected.shape == contributions.shape
    np.testing.assert_allclose(contributions, expected, rtol=0, atol=1e-9)
    np.testing.assert_allclose(base, explainer.expected_value, rtol=0, atol=1e-9)
    assert np.abs(contributions[:, 1]).max() > 0  # the feature with NaN carries some splits
