"""Reading a forest: one tree as text and as a drawing, and segments with observed uplifts,
checked against hand computations and against rows routed by the printed rules."""

import math
import re

import numpy as np
import pandas as pd
import pytest

from quillmarsh_kit import UpliftForest, export_text
from quillmarsh_kit._native import NativeForest


def _tiny_experiment():
    """x = 0: control 2/10 positive, treated 6/10; x = 1: control 1/5, treated 4/5; x missing:
    control 4/5, treated 1/5."""
    rows = []
    for x, t, n, positives in ((0, 0, 10, 2), (0, 1, 10, 6), (1, 0, 5, 1), (1, 1, 5, 4),
                               (np.nan, 0, 5, 4), (np.nan, 1, 5, 1)):
        rows += [(x, t, int(i < positives)) for i in range(n)]
    frame = pd.DataFrame(rows, columns=["x", "t", "y"])
    return frame[["x"]], frame["t"], frame["y"]


def test_export_text_of_a_hand_checked_tree():
    X, t, y = _tiny_experiment()
    model = UpliftForest(n_estimators=1, max_depth=2, min_samples_leaf=0, max_features=None,
                         honest=False, criterion="ED", random_state=0).fit(X, t, y)
    # rates by hand: root 7/20 and 11/20; x <= 1: 3/15 and 10/15; x <= 0: 2/10 and 6/10;
    # 0 < x <= 1: 1/5 and 4/5; x > 1 or missing: 4/5 and 1/5
    assert export_text(model, tree=0, data=(X, t, y)) == (
        "tree 0 of 1: depth 2, 3 leaves; groups 0 (control), 1; a missing number takes the > "
        "branch\n"
        "rows, rates and observed uplift of the given rows at every node\n"
        "root  [rows 40 | rate 0 0.3500, 1 0.5500 | uplift 1 +0.2000]\n"
        "|--- x <= 1  [rows 30 | rate 0 0.2000, 1 0.6667 | uplift 1 +0.4667]\n"
        "|   |--- x <= 0  [rows 20 | rate 0 0.2000, 1 0.6000 | uplift 1 +0.4000]\n"
        "|   |   |--- leaf: predicted uplift 1 +0.4000\n"
        "|   |--- x > 0  [rows 10 | rate 0 0.2000, 1 0.8000 | uplift 1 +0.6000]\n"
        "|   |   |--- leaf: predicted uplift 1 +0.6000\n"
        "|--- x > 1  [rows 10 | rate 0 0.8000, 1 0.2000 | uplift 1 -0.6000]\n"
        "|   |--- leaf: predicted uplift 1 -0.6000\n")
    # kept while growing (no sampling, not honest: every row), the same counts without data
    given = export_text(model, data=(X, t, y))
    assert export_text(model).splitlines()[2:] == given.splitlines()[2:]
    model._fitted.forest = NativeForest.from_bytes(model._fitted.forest.to_bytes("null"))[0]
    plain = export_text(model)
    assert "stores no rows or rates per node" in plain and "[rows" not in plain
    with pytest.raises(IndexError, match="the forest has 1 trees"):
        export_text(model, tree=1)


def test_plot_tree_draws_one_box_per_node():
    pytest.importorskip("matplotlib")
    from quillmarsh_kit.plot import plot_tree

    X, t, y = _tiny_experiment()
    model = UpliftForest(n_estimators=2, max_depth=2, min_samples_leaf=0, honest=False,
                         random_state=0).fit(X, t, y)
    ax = plot_tree(model, tree=1, data=(X, t, y))
    boxes = [text.get_text() for text in ax.texts]
    assert len(boxes) == 5  # two splits, three leaves
    assert "x <= 1\nrows 40, observed rate\n0 0.350\n1 0.550 (+0.200)" in boxes
    model._fitted.forest = NativeForest.from_bytes(model._fitted.forest.to_bytes("null"))[0]
    assert "pass data=" in plot_tree(model, tree=1).get_title()


# ----------------------------------------------------------------------------- segments
_CONDITION = re.compile(r"^(?:\((?P<or>.+) or (?P<miss>\w+) is missing\)|(?P<lo>[-\d.e]+) < "
                        r"(?P<mid>\w+) <= (?P<hi>[-\d.e]+)|(?P<name>\w+) (?P<op><=|>|!=|=) "
                        r"(?P<value>.+))$")


def _matches(condition, X):
    """Rows meeting one condition of a rule, read from its text alone."""
    found = _CONDITION.match(condition)
    if found["or"]:
        return _matches(found["or"], X) | X[found["miss"]].isna().to_numpy()
    if found["mid"]:
        v = X[found["mid"]].to_numpy(np.float32)
        return (v > np.float32(found["lo"])) & (v <= np.float32(found["hi"]))
    name, op, value = found["name"], found["op"], found["value"]
    if op in ("=", "!="):
        equal = (X[name] == value).to_numpy()
        return equal if op == "=" else ~equal
    v = X[name].to_numpy(np.float32)
    return v <= np.float32(value) if op == "<=" else v > np.float32(value)


def _rule_rows(rule, X):
    rows = np.ones(len(X), dtype=bool)
    if rule != "all rows":
        for condition in rule.split(" and "):
            rows &= _matches(condition, X)
    return rows


def _experiment(n, seed):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({"recency": rng.integers(1, 13, n).astype(float),
                      "history": rng.gamma(2.0, 100.0, n),
                      "channel": rng.choice(["Web", "Phone", "Multichannel"], n)})
    X.loc[rng.random(n) < 0.1, "history"] = np.nan
    t = rng.choice(["control", "a", "b"], n)
    lift = np.where(X["recency"] <= 4, 0.15, 0.0) + np.where(X["channel"] == "Web", 0.1, 0.0)
    p = 0.2 + np.where(t == "a", lift, 0.0) + np.where(t == "b", lift / 2, 0.0)
    return X, t, (rng.random(n) < p).astype(int)


@pytest.mark.parametrize("honest", [True, False])
def test_segments_match_rows_routed_by_their_rules(honest):
    X, t, y = _experiment(12_000, 3)
    model = UpliftForest(n_estimators=10, max_depth=4, min_samples_leaf=50, control="control",
                         honest=honest, random_state=1).fit(X, t, y)
    table = model.segments(X, t, y, max_depth=3, min_rows=600)
    measured = table.attrs["measured"]
    predicted = model.predict(X)
    assert len(table) >= 3 and table["rows"].sum() == len(X)
    assert abs(measured.mean() - 0.5) < 0.001  # half of each group measures
    cover = np.zeros(len(X), dtype=int)
    for _, segment in table.iterrows():
        rows = _rule_rows(segment["rule"], X)
        cover += rows
        assert rows.sum() == segment["rows"]
        here = rows & measured
        for k, arm in enumerate(model.treatments_):
            yt, yc = y[here & (t == arm)], y[here & (t == "control")]
            diff = yt.mean() - yc.mean()
            half = 1.959963984540054 * math.sqrt(yt.mean() * (1 - yt.mean()) / len(yt)
                                                 + yc.mean() * (1 - yc.mean()) / len(yc))
            assert segment[f"uplift[{arm}]"] == pytest.approx(diff, abs=1e-12)
            assert segment[f"lower[{arm}]"] == pytest.approx(diff - half, abs=1e-12)
            assert segment[f"upper[{arm}]"] == pytest.approx(diff + half, abs=1e-12)
            assert segment[f"predicted[{arm}]"] == pytest.approx(predicted[rows, k].mean())
    assert (cover == 1).all()  # the rules partition the rows
    assert any("recency" in rule for rule in table["rule"])


@pytest.mark.parametrize("kwargs, error", [
    ({"max_depth": 9}, "max_depth must be an int in"),
    ({"min_rows": 1}, "min_rows must be an int of at least 2"),
    ({"labels": ["control", "a"]}, "segments need rows of the control group and of every arm"),
])
def test_segments_refuse_bad_arguments(kwargs, error):
    X, t, y = _experiment(600, 4)
    model = UpliftForest(n_estimators=2, control="control", random_state=0).fit(X, t, y)
    labels = kwargs.pop("labels", None)
    if labels is not None:
        keep = np.isin(t, labels)
        X, t, y = X[keep], t[keep], y[keep]
    with pytest.raises(ValueError, match=error):
        model.segments(X, t, y, **kwargs)
