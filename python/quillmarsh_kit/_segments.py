"""Segments: one shallow uplift tree over labelled rows, read as rules with observed uplifts.

The rows are divided at random within each group: one half grows the tree (the forest's
criterion and settings, every feature at every node, no row sampling), the other half,
which the tree never saw, measures each segment. The measured uplift of a segment is the
difference of two observed proportions with its 95 % normal interval.
"""

from __future__ import annotations

from typing import Any, List, Optional

import numpy as np

from ._native import NativeForest
from ._tabular import TrainingData, align, training_data
from ._trees import forest_document, leaf_of_rows, rule_text, tree_nodes

Z_95 = 1.959963984540054  # the 97.5 % quantile of the standard normal
# Every group needs rows on both sides of a split for a segment to be measurable.
MIN_GROUP_ROWS = 10


def measuring_half(groups: np.ndarray, random_state: Any) -> np.ndarray:
    """A mask of half the rows of each group (rounded down), drawn at random."""
    rng = np.random.default_rng(random_state)
    mask = np.zeros(len(groups), dtype=bool)
    for g in np.unique(groups):
        rows = np.flatnonzero(groups == g)
        mask[rng.permutation(rows)[: len(rows) // 2]] = True
    return mask


def difference_interval(n_t: int, pos_t: int, n_c: int, pos_c: int) -> tuple:
    """Observed uplift p_t - p_c and its 95 % normal interval (NaN without rows)."""
    if n_t == 0 or n_c == 0:
        return (np.nan, np.nan, np.nan)
    p_t, p_c = pos_t / n_t, pos_c / n_c
    half = Z_95 * np.sqrt(p_t * (1 - p_t) / n_t + p_c * (1 - p_c) / n_c)
    return (p_t - p_c, p_t - p_c - half, p_t - p_c + half)


def labelled_rows(model: Any, X: Any, treatment: Any, y: Any) -> TrainingData:
    """The labelled rows checked against the model: its arms, its features in its order."""
    fitted = model._check_fitted()
    data = training_data(X, treatment, y, model.control)
    if list(data.arms) != list(fitted.treatments):
        raise ValueError(
            f"the rows hold the arms {data.arms!r} but the model was trained on "
            f"{list(fitted.treatments)!r}; segments need rows of the control group and of "
            "every arm of the model")
    data.table = align(data.table, fitted.feature_names, fitted.feature_kinds,
                       by_name=fitted.named)
    return data


def _min_rows(min_rows: Optional[int], n_rows: int) -> int:
    if min_rows is None:
        return max(100, n_rows // 20)
    if isinstance(min_rows, bool) or not isinstance(min_rows, (int, np.integer)) or min_rows < 2:
        raise ValueError(f"min_rows must be an int of at least 2 or None, got {min_rows!r}")
    return int(min_rows)


def _grow(model: Any, data: TrainingData, grow: np.ndarray, max_depth: int, min_rows: int,
          seed: int) -> Any:
    """The one tree, grown on the rows of `grow`, as nodes by slot."""
    n_features = len(data.table.columns)
    settings = model._engine_settings(n_features)._replace(
        n_estimators=1, max_features=n_features, max_depth=max_depth,
        min_samples_leaf=min_rows // 2, max_samples=None, bootstrap=False,
        honest_fraction=None,
        min_samples_treatment=max(MIN_GROUP_ROWS, model.min_samples_treatment or 0))
    table = data.table
    rows = np.flatnonzero(grow)
    half = type(table)([type(c)(c.name, c.kind, c.values[rows], c.categories)
                        for c in table.columns], len(rows), table.named)
    forest = NativeForest.train(settings, half, data.groups[rows], data.outcome[rows], 1, seed,
                                None)
    return tree_nodes(forest_document(forest), 0)


def segments(model: Any, X: Any, treatment: Any, y: Any, max_depth: int = 3,
             min_rows: Optional[int] = None, random_state: Any = 0) -> Any:
    """See `UpliftForest.segments`."""
    import pandas as pd

    if isinstance(max_depth, bool) or not isinstance(max_depth, (int, np.integer)) \
            or not 0 <= max_depth <= 8:
        raise ValueError(f"max_depth must be an int in [0, 8], got {max_depth!r}")
    data = labelled_rows(model, X, treatment, y)
    min_rows = _min_rows(min_rows, data.table.n_rows)
    measured = measuring_half(data.groups, random_state)
    seed = int(np.random.default_rng(random_state).integers(0, 2**63))
    nodes = _grow(model, data, ~measured, int(max_depth), min_rows, seed)
    leaf = leaf_of_rows(nodes, data.table)
    predicted = model._check_fitted().forest.predict(data.table, model._requested_threads())
    with_missing = [c.kind != "string" and bool(np.isnan(c.values).any())
                    for c in data.table.columns]
    arms = [str(a) for a in model.treatments_]
    records: List[dict] = []
    for slot in sorted(set(leaf.tolist())):
        in_leaf = leaf == slot
        record = {"rule": rule_text(nodes, slot, data.table.names, with_missing),
                  "rows": int(in_leaf.sum())}
        here = in_leaf & measured
        g, out = data.groups[here], data.outcome[here]
        n_c, pos_c = int((g == 0).sum()), int(out[g == 0].sum())
        for k, arm in enumerate(arms, start=1):
            uplift, low, high = difference_interval(int((g == k).sum()), int(out[g == k].sum()),
                                                    n_c, pos_c)
            record.update({f"uplift[{arm}]": uplift, f"lower[{arm}]": low,
                           f"upper[{arm}]": high,
                           f"predicted[{arm}]": float(predicted[in_leaf, k - 1].mean())})
        records.append(record)
    frame = pd.DataFrame.from_records(records)
    frame = frame.sort_values(f"uplift[{arms[0]}]", ascending=False, kind="stable")
    frame = frame.reset_index(drop=True)
    frame.attrs["measured"] = measured
    return frame
