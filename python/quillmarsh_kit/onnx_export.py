"""A fitted `UpliftForest` as an ONNX graph, for scoring with ONNX Runtime or any runtime that
implements the standard `ai.onnx.ml` operators.

The graph:

- one input per feature, named as the feature, shape [N, 1]: tensor(float) for a numeric
  feature, tensor(string) for a string one;
- each string feature goes through a `LabelEncoder` that gives every category of the forest's
  splits on it a code (0, 1, ...) and any other text -1, a code no split holds;
- the columns, as doubles, are concatenated into [N, F] and walked by one
  `TreeEnsembleRegressor` (ai.onnx.ml opset 3, thresholds and leaf values as double tensors)
  that sums the K uplifts of the leaves; `Div` by the tree count gives the mean;
- the output `uplift`, shape [N, K], tensor(float), column k for `treatments_[k]`.

Routing is the trees' own: a numeric split sends a value at or below its threshold left
(BRANCH_LEQ on the true branch), and NaN right, since `NaN <= t` is false and the nodes do not
send missing values to the true branch; -0.0 equals 0.0; thresholds are the trees' 32-bit
floats, so a float32 input compares exactly as in `predict`. A category split sends the
category left (BRANCH_EQ on its code) and every other text, unseen ones included, right.

Leaves hold the uplifts `predict` adds up, honest trees' ancestor rates included, exactly (as
doubles); the sum is rounded to float once by the ensemble and once by the division, so each
uplift lies within 2**-23 * |uplift| (about 1.2e-7) of `predict`.
"""

from __future__ import annotations

import json
from typing import Any, Dict, List, Mapping, Sequence, Tuple

import numpy as np

ML_OPSET = 3
ONNX_OPSET = 13
NO_CATEGORY = -1.0


def _onnx() -> Any:
    try:
        import onnx
    except ImportError:
        raise ImportError(
            'exporting to ONNX needs the onnx package: pip install "quillmarsh[onnx]" '
            "(or pip install onnx)") from None
    return onnx


class _Ensemble:
    """The attributes of one TreeEnsembleRegressor, filled tree by tree."""

    def __init__(self, n_targets: int) -> None:
        self.n_targets = n_targets
        self.nodes: Dict[str, List[Any]] = {k: [] for k in (
            "treeids", "nodeids", "featureids", "modes", "values", "truenodeids", "falsenodeids")}
        self.targets: Dict[str, List[Any]] = {k: [] for k in (
            "treeids", "nodeids", "ids", "weights")}

    def add_tree(self, tree_id: int, nodes: List[Dict[str, Any]],
                 split_of: Any) -> None:
        """Adds the nodes reachable from the root, numbered in depth-first order.
        split_of(node) -> (feature column, mode, value) of a split node."""
        ids: Dict[int, int] = {}
        order: List[int] = []
        stack = [0]
        while stack:  # depth-first, left before right
            slot = stack.pop()
            if slot >= len(nodes):
                raise ValueError(f"tree {tree_id} has a split without children (slot {slot})")
            ids[slot] = len(order)
            order.append(slot)
            if not nodes[slot]["prob"]:
                stack.extend((2 * slot + 2, 2 * slot + 1))
        for slot in order:
            self._add_node(tree_id, ids, slot, nodes[slot], split_of)

    def _add_node(self, tree_id: int, ids: Dict[int, int], slot: int, node: Dict[str, Any],
                  split_of: Any) -> None:
        n = self.nodes
        n["treeids"].append(tree_id)
        n["nodeids"].append(ids[slot])
        prob = node["prob"]
        if prob:
            if len(prob) != self.n_targets:
                raise ValueError(f"a leaf of tree {tree_id} holds {len(prob)} uplifts, "
                                 f"the model predicts {self.n_targets}")
            feature, mode, value, true_id, false_id = 0, "LEAF", 0.0, 0, 0
            for k, weight in enumerate(prob):
                self.targets["treeids"].append(tree_id)
                self.targets["nodeids"].append(ids[slot])
                self.targets["ids"].append(k)
                self.targets["weights"].append(float("nan") if weight is None else weight)
        else:
            feature, mode, value = split_of(node)
            true_id, false_id = ids[2 * slot + 1], ids[2 * slot + 2]
        n["featureids"].append(feature)
        n["modes"].append(mode)
        n["values"].append(value)
        n["truenodeids"].append(true_id)
        n["falsenodeids"].append(false_id)


def _split_value(value: Dict[str, Any]) -> Tuple[bool, Any]:
    if "Numeric" in value:  # the file's shortest text of a 32-bit float: read it as one
        number = value["Numeric"]
        return True, float("nan") if number is None else float(np.float32(number))
    return False, value["Str"]


def _categories(trees: List[Dict[str, Any]], names: Sequence[str]) -> Dict[str, Dict[str, int]]:
    """Per string feature, the codes of the categories its splits compare with."""
    codes: Dict[str, Dict[str, int]] = {}
    for tree in trees:
        for node in tree["nodes"]:
            if node["prob"] or node["col_idx"] < 0:
                continue
            numeric, value = _split_value(node["split_value"])
            if not numeric:
                table = codes.setdefault(names[node["col_idx"]], {})
                table.setdefault(value, len(table))
    return codes


def _graph_nodes(onnx: Any, names: Sequence[str], kinds: Sequence[str],
                 codes: Dict[str, Dict[str, int]]) -> List[Any]:
    """The feature columns as doubles, concatenated into "features"."""
    helper, nodes, columns = onnx.helper, [], []
    for name, kind in zip(names, kinds):
        column = f"{name}__double"
        source = name
        if kind == "string":
            table: Mapping[str, float] = codes.get(name) or {"": NO_CATEGORY}
            source = f"{name}__code"
            nodes.append(helper.make_node(
                "LabelEncoder", [name], [source], domain="ai.onnx.ml",
                keys_strings=list(table), values_floats=[float(v) for v in table.values()],
                default_float=NO_CATEGORY))
        nodes.append(helper.make_node("Cast", [source], [column], to=onnx.TensorProto.DOUBLE))
        columns.append(column)
    nodes.append(helper.make_node("Concat", columns, ["features"], axis=1))
    return nodes


def _ensemble_node(onnx: Any, ensemble: _Ensemble) -> Any:
    helper, double = onnx.helper, onnx.TensorProto.DOUBLE
    n, t = ensemble.nodes, ensemble.targets

    def doubles(name: str, values: List[float]) -> Any:
        return helper.make_tensor(name, double, [len(values)], values)

    return helper.make_node(
        "TreeEnsembleRegressor", ["features"], ["uplift_sum"], domain="ai.onnx.ml",
        n_targets=ensemble.n_targets, aggregate_function="SUM", post_transform="NONE",
        base_values_as_tensor=doubles("base_values", [0.0] * ensemble.n_targets),
        nodes_treeids=n["treeids"], nodes_nodeids=n["nodeids"],
        nodes_featureids=n["featureids"], nodes_modes=n["modes"],
        nodes_values_as_tensor=doubles("nodes_values", n["values"]),
        nodes_truenodeids=n["truenodeids"], nodes_falsenodeids=n["falsenodeids"],
        nodes_missing_value_tracks_true=[0] * len(n["nodeids"]),
        target_treeids=t["treeids"], target_nodeids=t["nodeids"], target_ids=t["ids"],
        target_weights_as_tensor=doubles("target_weights", t["weights"]))


def forest_to_onnx(document: Dict[str, Any], names: Sequence[str], kinds: Sequence[str],
                   treatments: Sequence[Any], name: str = "quillmarsh_uplift_forest") -> Any:
    """The ONNX model of a forest's model document (the engine's JSON, parsed)."""
    onnx = _onnx()
    helper = onnx.helper
    trees = document["trees"]
    n_trees = len(trees)
    if n_trees == 0:
        raise ValueError("the model has no trees to export")
    codes = _categories(trees, names)

    def split_of(node: Dict[str, Any]) -> Tuple[int, str, float]:
        column = node["col_idx"]
        if not 0 <= column < len(names):
            raise ValueError(f"a split reads column {column}; the model has {len(names)} features")
        numeric, value = _split_value(node["split_value"])
        if numeric:
            return column, "BRANCH_LEQ", value
        return column, "BRANCH_EQ", float(codes[names[column]][value])

    ensemble = _Ensemble(len(treatments))
    for tree_id, tree in enumerate(trees):
        ensemble.add_tree(tree_id, tree["nodes"], split_of)
    nodes = _graph_nodes(onnx, names, kinds, codes)
    nodes.append(_ensemble_node(onnx, ensemble))
    count = helper.make_tensor("tree_count", onnx.TensorProto.FLOAT, [], [float(n_trees)])
    nodes.append(helper.make_node("Div", ["uplift_sum", "tree_count"], ["uplift"]))
    inputs = [helper.make_tensor_value_info(
        n, onnx.TensorProto.STRING if k == "string" else onnx.TensorProto.FLOAT, [None, 1])
        for n, k in zip(names, kinds)]
    output = helper.make_tensor_value_info("uplift", onnx.TensorProto.FLOAT,
                                           [None, len(treatments)])
    graph = helper.make_graph(nodes, name, inputs, [output], initializer=[count])
    model = helper.make_model(graph, producer_name="quillmarsh_kit", opset_imports=[
        helper.make_opsetid("", ONNX_OPSET), helper.make_opsetid("ai.onnx.ml", ML_OPSET)])
    model.ir_version = 8  # readable by onnxruntime 1.14 and later
    helper.set_model_props(model, {"treatments": json.dumps([str(t) for t in treatments])})
    onnx.checker.check_model(model)
    return model


def to_onnx(model: Any) -> Any:
    """The ONNX model of a fitted UpliftForest (see the module's description)."""
    _onnx()  # the clear ImportError before any work
    fitted = model._check_fitted()
    document = json.loads(fitted.forest.to_bytes(None))
    return forest_to_onnx(document, fitted.feature_names, fitted.feature_kinds,
                          fitted.treatments)
