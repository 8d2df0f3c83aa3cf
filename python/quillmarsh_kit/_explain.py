"""Per-row contributions (path-dependent TreeSHAP, computed by the engine) of a fitted
`UpliftForest`, and the node statistics of a model that has none, from labelled rows."""

from __future__ import annotations

from typing import Any, List, Optional, Tuple

import numpy as np

from ._native import NativeForest
from ._segments import labelled_rows
from ._trees import forest_document, node_statistics, tree_nodes

NO_STATISTICS = (
    "this model holds no node statistics (it was saved before they were kept), so its node "
    "covers are unknown: pass reference=(X, treatment, y), labelled rows such as the "
    "training rows, to explain it with their covers, or retrain it")


def reference_statistics(model: Any, reference: Tuple[Any, Any, Any]) -> bytes:
    """Every tree's node statistics counted on the labelled rows `reference`, in the engine's
    form: per tree the words [groups, 0, nodes, root counts, counts of each reached node in
    slot order], a node's counts being each group's rows and positives."""
    if not isinstance(reference, tuple) or len(reference) != 3:
        raise TypeError("reference must be a tuple (X, treatment, y)")
    data = labelled_rows(model, *reference)
    document = forest_document(model._check_fitted().forest)
    groups = len(model.treatments_) + 1
    words: List[np.ndarray] = []
    for t in range(len(document["trees"])):
        stats = node_statistics(tree_nodes(document, t), data.table, data.groups,
                                data.outcome, groups)
        counts = [np.column_stack([stats[s].rows, stats[s].positives]).ravel()
                  for s in sorted(stats)]
        words += [np.array([groups, 0, len(counts)]), counts[0], *counts]
    return np.concatenate(words).astype("<u4").tobytes()


def explain(model: Any, X: Any, reference: Optional[Tuple[Any, Any, Any]]
            ) -> Tuple[np.ndarray, np.ndarray]:
    """See `UpliftForest.explain`."""
    fitted = model._check_fitted()
    forest: NativeForest = fitted.forest
    if reference is not None:
        forest = forest.with_node_stats(reference_statistics(model, reference))
    elif not forest.has_node_stats:
        raise ValueError(NO_STATISTICS)
    table = model._prediction_table(fitted, X)
    return forest.explain(table, model._requested_threads())
