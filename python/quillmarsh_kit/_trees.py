"""The trees of a fitted forest as Python objects, routed over a kit `Table` in numpy.

A tree is read from the engine's model document: nodes in heap order (the children of slot
s are 2s + 1 and 2s + 2), a split node naming its feature and its threshold or category, a
leaf holding its uplift per arm. Rows route as the engine routes them: a numeric value goes
left when it is at or below the threshold in single precision (NaN goes right), a text goes
left when it equals the category.
"""

from __future__ import annotations

import dataclasses
import json
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from ._tabular import STRING, Table


@dataclasses.dataclass(frozen=True)
class TreeNode:
    slot: int
    depth: int
    feature: int  # -1 for a leaf
    threshold: Optional[float]  # a numeric split's threshold (a float32 value)
    category: Optional[str]  # a string split's category
    uplift: Optional[np.ndarray]  # a leaf's predicted uplift per arm
    gain: float

    @property
    def is_leaf(self) -> bool:
        return self.feature < 0

    @property
    def children(self) -> tuple:
        return (2 * self.slot + 1, 2 * self.slot + 2)


def forest_document(forest: Any) -> Dict[str, Any]:
    """The engine's model document of a `NativeForest`, parsed."""
    document: Dict[str, Any] = json.loads(forest.to_bytes("null"))
    return document


def _node(slot: int, depth: int, record: Dict[str, Any]) -> TreeNode:
    feature = int(record["col_idx"])
    value = record["split_value"]
    threshold = category = None
    if feature >= 0 and "Str" in value:
        category = str(value["Str"])
    elif feature >= 0:
        threshold = float(np.float32(value["Numeric"]))
    uplift = np.asarray(record["prob"], dtype=np.float64) if feature < 0 else None
    return TreeNode(slot, depth, feature, threshold, category, uplift, float(record["gain"]))


def tree_nodes(document: Dict[str, Any], tree: int) -> Dict[int, TreeNode]:
    """The reachable nodes of tree `tree` by slot (root 0)."""
    trees = document["trees"]
    if isinstance(tree, bool) or not isinstance(tree, (int, np.integer)):
        raise TypeError(f"tree must be an int, got {tree!r}")
    if not 0 <= tree < len(trees):
        raise IndexError(f"tree {tree} does not exist: the forest has {len(trees)} trees")
    records = trees[int(tree)]["nodes"]
    nodes: Dict[int, TreeNode] = {}
    pending = [(0, 0)]
    while pending:
        slot, depth = pending.pop()
        node = _node(slot, depth, records[slot])
        nodes[slot] = node
        if not node.is_leaf:
            pending.extend((c, depth + 1) for c in node.children)
    return nodes


def goes_left(node: TreeNode, table: Table, rows: np.ndarray) -> np.ndarray:
    """Which of `rows` (indices into `table`) take the left child of split `node`."""
    column = table.columns[node.feature]
    if column.kind == STRING:
        categories = column.categories or []
        if node.category not in categories:
            return np.zeros(len(rows), dtype=bool)
        return column.values[rows] == categories.index(node.category)
    values = np.asarray(column.values[rows], dtype=np.float32)
    with np.errstate(invalid="ignore"):
        return values <= np.float32(node.threshold)


def node_rows(nodes: Dict[int, TreeNode], table: Table) -> Dict[int, np.ndarray]:
    """The row indices of `table` that reach each node."""
    reached = {0: np.arange(table.n_rows)}
    for slot in sorted(nodes):
        node, rows = nodes[slot], reached[slot]
        if node.is_leaf:
            continue
        left = goes_left(node, table, rows)
        reached[node.children[0]] = rows[left]
        reached[node.children[1]] = rows[~left]
    return reached


def leaf_of_rows(nodes: Dict[int, TreeNode], table: Table) -> np.ndarray:
    """The slot of the leaf each row of `table` reaches."""
    leaf = np.empty(table.n_rows, dtype=np.int64)
    for slot, rows in node_rows(nodes, table).items():
        if nodes[slot].is_leaf:
            leaf[rows] = slot
    return leaf


@dataclasses.dataclass
class NodeStats:
    """Each group's rows and positive outcomes at one node (group 0 is control)."""

    rows: np.ndarray
    positives: np.ndarray

    @property
    def rates(self) -> np.ndarray:
        with np.errstate(invalid="ignore", divide="ignore"):
            return self.positives / self.rows

    @property
    def uplift(self) -> np.ndarray:
        rates = self.rates
        return rates[1:] - rates[0]


def node_statistics(nodes: Dict[int, TreeNode], table: Table, groups: np.ndarray,
                    outcome: np.ndarray, n_groups: int) -> Dict[int, NodeStats]:
    """Per node, each group's rows and positives among the rows of `table` reaching it."""
    stats = {}
    for slot, rows in node_rows(nodes, table).items():
        g = groups[rows]
        stats[slot] = NodeStats(
            np.bincount(g, minlength=n_groups).astype(np.int64),
            np.bincount(g, weights=outcome[rows], minlength=n_groups).astype(np.int64))
    return stats


def threshold_text(value: float) -> str:
    """The shortest text that reads back as the same float32 threshold."""
    return np.format_float_positional(np.float32(value), trim="-")


def split_text(node: TreeNode, names: Sequence[str], left: bool) -> str:
    """The condition of one branch of a split, as a rule reads it."""
    name = names[node.feature]
    if node.category is not None:
        return f"{name} {'=' if left else '!='} {node.category}"
    return f"{name} {'<=' if left else '>'} {threshold_text(node.threshold or 0.0)}"


def path_to(slot: int) -> List[tuple]:
    """(ancestor slot, went left) for each split on the way from the root to `slot`."""
    steps = []
    while slot > 0:
        parent = (slot - 1) // 2
        steps.append((parent, slot == 2 * parent + 1))
        slot = parent
    return steps[::-1]


def _numeric_rule(name: str, low: Optional[float], high: Optional[float],
                  missing_too: bool) -> str:
    if low is not None and high is not None:
        return f"{threshold_text(low)} < {name} <= {threshold_text(high)}"
    if high is not None:
        return f"{name} <= {threshold_text(high)}"
    text = f"{name} > {threshold_text(low or 0.0)}"
    return f"({text} or {name} is missing)" if missing_too else text


def rule_text(nodes: Dict[int, TreeNode], slot: int, names: Sequence[str],
              with_missing: Sequence[bool]) -> str:
    """The conditions that lead to `slot`, one per feature in order of first use: numeric
    bounds merged ("2 < recency <= 4"), a category's equality or the categories ruled out.
    A missing value never goes left, so it stays in a rule whose feature only went right;
    the rule says so for the features marked in `with_missing`."""
    bounds: Dict[int, List[Any]] = {}  # feature -> [low, high]
    categories: Dict[int, List[Any]] = {}  # feature -> [equal, [not equal, ...]]
    order: List[int] = []
    for parent, left in path_to(slot):
        node = nodes[parent]
        f = node.feature
        if f not in order:
            order.append(f)
        if node.category is not None:
            entry = categories.setdefault(f, [None, []])
            if left:
                entry[0] = node.category
            else:
                entry[1].append(node.category)
            continue
        entry = bounds.setdefault(f, [None, None])
        if left:
            entry[1] = node.threshold if entry[1] is None else min(entry[1], node.threshold)
        else:
            entry[0] = node.threshold if entry[0] is None else max(entry[0], node.threshold)
    parts = []
    for f in order:
        if f in categories:
            equal, ruled_out = categories[f]
            texts = [f"{names[f]} = {equal}"] if equal is not None else [
                f"{names[f]} != {c}" for c in ruled_out]
            parts.extend(texts)
        else:
            low, high = bounds[f]
            parts.append(_numeric_rule(names[f], low, high, with_missing[f] and high is None))
    return " and ".join(parts) if parts else "all rows"


def stored_statistics(forest: Any, tree: int,
                      nodes: Dict[int, TreeNode]) -> Optional[Dict[int, NodeStats]]:
    """The node statistics the forest keeps for tree `tree` (each group's rows and positives
    at every reached node: for honest trees the estimation rows), or None without them."""
    if not forest.has_node_stats:
        return None
    words = np.frombuffer(forest.node_stats(), dtype="<u4")
    at = 0
    for _ in range(tree):
        groups, count = int(words[at]), int(words[at + 2])
        at += 3 + 2 * groups * (count + 1)
    groups, count = int(words[at]), int(words[at + 2])
    counts = words[at + 3 + 2 * groups: at + 3 + 2 * groups * (count + 1)]
    per_node = counts.reshape(count, groups, 2).astype(np.int64)
    return {slot: NodeStats(per_node[i, :, 0], per_node[i, :, 1])
            for i, slot in enumerate(sorted(nodes))}
