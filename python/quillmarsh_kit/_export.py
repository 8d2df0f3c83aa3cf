"""One tree of a fitted forest, as text (`export_text`) and as a layout for `plot.plot_tree`.

A node shows its split, and a leaf its predicted uplift per arm. Given labelled rows
(`data=(X, treatment, y)`), every node also shows the rows reaching it, each group's outcome
rate among them and the observed uplift (each arm's rate minus control's).
"""

from __future__ import annotations

import dataclasses
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ._tabular import align, training_data
from ._trees import (
    NodeStats,
    TreeNode,
    forest_document,
    node_statistics,
    split_text,
    stored_statistics,
    tree_nodes,
)

NO_STATISTICS = ("this model stores no rows or rates per node (it was saved before they were "
                 "kept): splits and leaf uplifts only (pass data=(X, treatment, y) to show them "
                 "on labelled rows)")
STORED = ("rows, rates and observed uplift at every node as the tree grew (for honest trees "
          "its estimation rows)")


@dataclasses.dataclass
class TreeView:
    """What a drawing or a text of one tree needs."""

    index: int
    n_trees: int
    nodes: Dict[int, TreeNode]
    names: List[str]
    groups: List[str]  # control first, then the arms
    stats: Optional[Dict[int, NodeStats]]  # None without stored statistics or labelled rows
    given: bool  # the statistics are of the given rows


def tree_view(model: Any, tree: int, data: Optional[Tuple[Any, Any, Any]]) -> TreeView:
    fitted = model._check_fitted()
    document = forest_document(fitted.forest)
    nodes = tree_nodes(document, tree)
    groups = [str(model.control)] + [str(a) for a in fitted.treatments]
    stats = stored_statistics(fitted.forest, int(tree), nodes)
    if data is not None:
        X, treatment, y = data
        labelled = training_data(X, treatment, y, model.control)
        if list(labelled.arms) != list(fitted.treatments):
            raise ValueError(f"data holds the arms {labelled.arms!r} but the model was trained "
                             f"on {list(fitted.treatments)!r}")
        table = align(labelled.table, fitted.feature_names, fitted.feature_kinds,
                      by_name=fitted.named)
        stats = node_statistics(nodes, table, labelled.groups, labelled.outcome, len(groups))
    return TreeView(int(tree), len(document["trees"]), nodes, list(fitted.feature_names),
                    groups, stats, data is not None)


def _signed(values: Any, decimals: int) -> List[str]:
    return ["nan" if np.isnan(v) else f"{v:+.{decimals}f}" for v in values]


def statistics_text(stats: NodeStats, groups: Sequence[str], decimals: int) -> str:
    rates = ", ".join(f"{g} {'nan' if np.isnan(r) else f'{r:.{decimals}f}'}"
                      for g, r in zip(groups, stats.rates))
    uplift = ", ".join(f"{g} {u}" for g, u in zip(groups[1:],
                                                   _signed(stats.uplift, decimals)))
    return f"rows {int(stats.rows.sum()):,} | rate {rates} | uplift {uplift}"


def leaf_text(node: TreeNode, groups: Sequence[str], decimals: int) -> str:
    uplift = node.uplift if node.uplift is not None else np.array([])
    values = _signed(uplift, decimals)
    return "leaf: predicted uplift " + ", ".join(f"{g} {u}" for g, u in zip(groups[1:], values))


def _header(view: TreeView) -> List[str]:
    leaves = sum(n.is_leaf for n in view.nodes.values())
    depth = max(n.depth for n in view.nodes.values())
    lines = [f"tree {view.index} of {view.n_trees}: depth {depth}, {leaves} leaves; groups "
             f"{view.groups[0]} (control), {', '.join(view.groups[1:])}; a missing number "
             "takes the > branch"]
    if view.stats is None:
        lines.append(NO_STATISTICS)
    elif view.given:
        lines.append("rows, rates and observed uplift of the given rows at every node")
    else:
        lines.append(STORED)
    return lines


def _subtree(view: TreeView, slot: int, indent: str, decimals: int, out: List[str]) -> None:
    node = view.nodes[slot]
    if node.is_leaf:
        out.append(f"{indent}|--- {leaf_text(node, view.groups, decimals)}")
        return
    for child, left in zip(node.children, (True, False)):
        line = f"{indent}|--- {split_text(node, view.names, left)}"
        if view.stats is not None:
            line += f"  [{statistics_text(view.stats[child], view.groups, decimals)}]"
        out.append(line)
        _subtree(view, child, indent + "|   ", decimals, out)


def export_text(model: Any, tree: int = 0, data: Optional[Tuple[Any, Any, Any]] = None,
                decimals: int = 4) -> str:
    """Tree `tree` of a fitted `UpliftForest` as indented text: each split's two branches
    ("recency <= 4", "recency > 4"; a missing value goes to the ">" side, a text other than
    the category to the "!=" side) and each leaf's predicted uplift per arm.

    Every node also shows its rows, each group's outcome rate among them and the observed
    uplift of each arm: those the tree grew with (for honest trees its estimation rows), or,
    with data=(X, treatment, y), those of the given rows. A model saved before node
    statistics were kept shows them only with data."""
    view = tree_view(model, tree, data)
    out = _header(view)
    if view.stats is not None:
        out.append(f"root  [{statistics_text(view.stats[0], view.groups, decimals)}]")
    _subtree(view, 0, "", decimals, out)
    return "\n".join(out) + "\n"


def layout(nodes: Dict[int, TreeNode]) -> Dict[int, Tuple[float, int]]:
    """(x, depth) of every node: leaves one unit apart from left to right, a split centred
    over its children."""
    places: Dict[int, Tuple[float, int]] = {}
    next_leaf = [0.0]

    def place(slot: int) -> float:
        node = nodes[slot]
        if node.is_leaf:
            x = next_leaf[0]
            next_leaf[0] += 1.0
        else:
            x = (place(node.children[0]) + place(node.children[1])) / 2.0
        places[slot] = (x, node.depth)
        return x

    place(0)
    return places
