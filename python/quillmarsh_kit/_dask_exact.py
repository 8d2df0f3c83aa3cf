"""Exact training on Dask: every tree sees every row, and the forest is the one
`UpliftForest` grows from the same rows in partition order with the same seed.

The rows stay on the workers that hold their partitions; each partition is a *shard* whose
rows keep their global position (partition order, then row order). A node's rows are the
concatenation of every shard's part of them, each part ascending, so a position drawn among
the node's rows falls in exactly one shard, found from the shards' row counts.

The client grows a batch of trees level by level, two rounds of tasks per level:

A. each shard routes the rows of the splits chosen last level to their children (the rows of
   finished nodes leave), then returns its values at the candidate-sample positions of the
   open nodes (drawn there with the node's own streams, as the one-process search draws
   them), and the group counts of its children's estimation rows;
B. the client turns each searched feature's sample into thresholds or categories, each shard
   returns its counting slots of them, and the client sums the slots (integers: exact) and
   chooses each node's split with the core's gain code.

Each step is one engine call over the whole level (every open node of every tree of the
batch), on flat arrays: a shard's state is its rows of the open nodes, one array, and each
node's range of it, in the order of the client's list of open nodes; requests and answers are
a few arrays, whatever the number of nodes. The shards' state lives in their worker process,
keyed by the fit; a task that finds it missing (its worker was lost) ends the fit with a
clear error.
"""

from __future__ import annotations

import dataclasses
import json
import math
import threading
import uuid
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ._native import NativeForest, engine
from ._params import EngineSettings
from ._tabular import STRING, to_table

# On a worker: the shards of running fits, by (fit key, partition number); and what the
# shards of one worker share, drawn once per worker: each tree's rows among all rows, and by
# fit the round and sample positions of its searched nodes.
_SHARDS: Dict[Tuple[str, int], "_Shard"] = {}
_SHARDS_LOCK = threading.Lock()
_TREE_ROWS: Dict[Tuple[str, int], Tuple[np.ndarray, np.ndarray]] = {}
_POSITIONS: Dict[str, Tuple[int, Any]] = {}

# Bounds of one batch of trees: the shards' row lists at most a quarter of a partition's
# memory, the candidate samples passing through the client at most this many bytes a round.
_CLIENT_SAMPLE_BYTES = 64 << 20


# A tree record names its measure as the model file's trees do; the forest as the caller does.
_TREE_MEASURES = {"ED": "Euclidean", "KL": "KL", "CHI": "Chi"}


class ExactStateLost(RuntimeError):
    """A shard's task ran where its training state is not (its worker was lost or
    restarted): the fit cannot go on exactly."""


# ----------------------------------------------------------------------------- workers
_NO_ROWS = np.zeros(0, np.uint32)


@dataclasses.dataclass
class _Shard:
    columns: List[np.ndarray]  # per feature: float32 values, or uint32 codes of a string one
    strings: np.ndarray  # uint8 per feature: 1 for a string feature's codes
    dictionary_sizes: np.ndarray  # uint32 per feature: its texts (0 for a numeric one)
    words: np.ndarray  # uint32: each row's group and outcome, packed by the engine
    offset: int  # global position of the first row
    groups: int
    # the rows of the open nodes (split and estimation rows), node k's being
    # rows[ranges[2k]:ranges[2k + 1]], in the client's order of the open nodes
    split: Tuple[np.ndarray, np.ndarray] = (_NO_ROWS, _NO_ROWS)
    estimation: Tuple[np.ndarray, np.ndarray] = (_NO_ROWS, _NO_ROWS)

    def counts(self, rows: np.ndarray) -> np.ndarray:
        """Rows and positives of each group among `rows`, as the core's group counts."""
        return np.frombuffer(engine().exact_group_counts(self.words, rows, groups=self.groups),
                             np.int32)

    def features(self) -> Dict[str, Any]:
        return {"dictionary_sizes": self.dictionary_sizes}

    def route(self, splits: np.ndarray) -> np.ndarray:
        """Routes the rows of the split nodes to their children, which become the open nodes;
        returns the group counts of the children's estimation rows."""
        estimation = np.zeros(0, np.int32)
        for name in ("split", "estimation"):
            rows, ranges, counts = engine().exact_route_level(
                self.columns, self.strings, *getattr(self, name), splits,
                self.words if name == "estimation" else None, groups=self.groups,
                **self.features())
            setattr(self, name, (np.frombuffer(rows, np.uint32), np.frombuffer(ranges, np.uint32)))
            estimation = np.frombuffer(counts, np.int32)
        return estimation


def _shard_of(fit_key: str, number: int) -> _Shard:
    with _SHARDS_LOCK:
        shard = _SHARDS.get((fit_key, number))
    if shard is None:
        raise ExactStateLost(
            f"partition {number} has no training state on this worker (the worker that held "
            "it was lost or restarted during the fit)")
    return shard


def exact_load(part: Any, layout: Any, groups_of: Dict[Any, int], fit_key: str, number: int,
               offset: int) -> Tuple[np.ndarray, int]:
    """Keeps partition `number` as a shard of fit `fit_key` on this worker; returns its
    packed group words (uint32), from which every shard draws the trees' rows, and the bytes
    the partition holds in memory."""
    from ._encode import binary_outcome, label_codes

    table = to_table(part, skip=layout.skip, float32=True)
    columns = []
    for column, known in zip(table.columns, layout.categories):
        if column.kind == STRING and known is not None:  # codes into the texts shared by all
            at = np.searchsorted(known, column.categories or []).astype(np.uint32)
            codes = at[column.values]
            columns.append(np.ascontiguousarray(codes, dtype=np.uint32))
        else:
            columns.append(np.ascontiguousarray(column.values, dtype=np.float32))
    strings = np.array([known is not None for known in layout.categories], np.uint8)
    sizes = np.array([0 if known is None else len(known) for known in layout.categories],
                     np.uint32)
    codes, labels = label_codes(part[layout.treatment], "treatment")
    group = np.array([groups_of[label] for label in labels], np.uint32)[codes]
    words = np.frombuffer(engine().exact_words(group, binary_outcome(part[layout.outcome])),
                          np.uint32)
    with _SHARDS_LOCK:
        _SHARDS[(fit_key, number)] = _Shard(columns, strings, sizes, words, offset,
                                            len(groups_of))
    return words, int(part.memory_usage(deep=True).sum())


def exact_forget(fit_key: str) -> None:
    """Drops every shard of fit `fit_key` from this worker."""
    with _SHARDS_LOCK:
        shared: List[Dict[Any, Any]] = [_SHARDS, _TREE_ROWS]
        for kept in shared:
            for key in [k for k in kept if k[0] == fit_key]:
                del kept[key]
        _POSITIONS.pop(fit_key, None)


def exact_round(fit_key: str, number: int, request: Dict[str, Any],
                all_words: Optional[np.ndarray] = None) -> Dict[str, Any]:
    """One round on one shard; see the module's documentation."""
    shard = _shard_of(fit_key, number)
    out: Dict[str, Any] = {}
    if "init" in request:
        out["init"] = _init_trees(fit_key, shard, request["init"], all_words)
    if "route" in request:
        out["route"] = shard.route(request["route"])
    if "sample" in request:
        features, positions = _positions(fit_key, request["plan"], request["sample"])
        out["sample"] = tuple(np.frombuffer(b, t) for b, t in zip(engine().exact_samples_level(
            shard.columns, shard.strings, *shard.split, request["sample"], features, positions,
            **shard.features()), (np.uint32, np.uint64)))
    if "count" in request:
        out["count"] = tuple(np.frombuffer(b, t) for b, t in zip(engine().exact_counts_level(
            shard.columns, shard.strings, *shard.split, request["count"],
            request["candidates"], words=shard.words, groups=shard.groups,
            **shard.features()), (np.uint32, np.uint64)))
    return out


def _positions(fit_key: str, plan: Dict[str, Any], searched: np.ndarray) -> Any:
    """The features and sample positions of the round's searched nodes (the same for every
    shard), drawn by the first of the worker's shards to ask."""
    with _SHARDS_LOCK:
        made = _POSITIONS.get(fit_key)
    if made is not None and made[0] == plan["round"]:
        return made[1]
    features, (words, ends) = engine().exact_positions_level(
        searched, **{k: plan[k] for k in ("seed", "n_features", "max_features", "max_bins")})
    drawn = (np.frombuffer(features, np.uint32),
             (np.frombuffer(words, np.uint32), np.frombuffer(ends, np.uint64)))
    with _SHARDS_LOCK:
        _POSITIONS[fit_key] = (plan["round"], drawn)
    return drawn


def _init_trees(fit_key: str, shard: _Shard, trees: List[Tuple[int, Dict[str, Any]]],
                all_words: Optional[np.ndarray]) -> List[Tuple[np.ndarray, np.ndarray]]:
    """The roots of a batch's trees become the open nodes (the previous batch's leaves
    leave); returns each root's group counts of its split and estimation rows here."""
    end = shard.offset + len(shard.words)
    out = []
    numbers = {tree for tree, _ in trees}
    with _SHARDS_LOCK:  # the rows of the previous batch's trees are no longer needed
        for old in [k for k in _TREE_ROWS if k[0] == fit_key and k[1] not in numbers]:
            del _TREE_ROWS[old]
    parts: Tuple[List[np.ndarray], List[np.ndarray]] = ([], [])
    for tree, draw in trees:
        with _SHARDS_LOCK:
            drawn = _TREE_ROWS.get((fit_key, tree))
        if drawn is None:
            split, estimation = (np.frombuffer(b, np.uint32)
                                 for b in engine().exact_rows(all_words, tree=tree, **draw))
            with _SHARDS_LOCK:
                _TREE_ROWS[(fit_key, tree)] = drawn = (split, estimation)
        for rows, kept in zip(drawn, parts):
            lo, hi = np.searchsorted(rows, [shard.offset, end])
            kept.append((rows[lo:hi] - np.uint32(shard.offset)).astype(np.uint32))
        out.append((shard.counts(parts[0][-1]), shard.counts(parts[1][-1])))
    shard.split, shard.estimation = (_flat_nodes(kept) for kept in parts)
    return out


def _flat_nodes(rows: List[np.ndarray]) -> Tuple[np.ndarray, np.ndarray]:
    """Row lists as one array and each list's range of it."""
    ends = np.cumsum([len(r) for r in rows], dtype=np.int64)
    ranges = np.stack([ends - [len(r) for r in rows], ends], axis=1).astype(np.uint32)
    flat = np.concatenate(rows).astype(np.uint32) if rows else _NO_ROWS
    return flat, ranges.reshape(-1)


# ----------------------------------------------------------------------------- client
@dataclasses.dataclass
class _Tree:
    number: int
    nodes: List[Dict[str, Any]]
    stats: Dict[int, np.ndarray]  # per reached slot
    base: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(0, np.int32))


@dataclasses.dataclass
class _Node:
    tree: _Tree
    slot: int
    depth: int
    sizes: np.ndarray  # split rows per shard
    counts: np.ndarray  # int32 group counts of the split rows
    rates: Optional[List[float]] = None  # an honest node's parent rates, then its own


def _empty_node() -> Dict[str, Any]:
    return {"col_name": "", "col_idx": -1, "split_value": {"Numeric": 0.0}, "prob": [],
            "gain": 0.0}


class ExactGrowth:
    """The client's side of an exact fit: grows `settings.n_estimators` trees over the
    shards, in batches; `run(rounds)` returns the forest. `rounds(requests)` runs one round:
    one request per shard, their answers in shard order."""

    def __init__(self, settings: EngineSettings, names: List[str],
                 categories: List[Optional[List[str]]], seed: int, n_groups: int,
                 sizes: Sequence[int], part_bytes: Sequence[int]) -> None:
        self.s = settings
        self.names = names
        self.categories = categories
        self.seed = seed
        self.groups = n_groups
        self.sizes = list(sizes)
        self.n_rows = sum(self.sizes)
        self.part_bytes = list(part_bytes)
        self.honest = settings.honest_fraction is not None
        self.strings = np.array([known is not None for known in categories], np.uint8)
        self.dictionary_sizes = np.array([0 if k is None else len(k) for k in categories],
                                         np.uint32)
        self.rounds_run = 0
        self.sent = 0  # bytes of the arrays in requests and answers
        self.received = 0

    def batch_size(self) -> int:
        """Trees per batch: each tree of a batch holds about a 4-byte row index per row of a
        shard (twice that with bootstrap's copies), at most a quarter of the partition's
        memory together, and a level's candidate samples stay within the client's bound."""
        copies = 2 if self.s.bootstrap else 1
        per_state = min(b // (16 * copies * max(1, n))
                        for b, n in zip(self.part_bytes, self.sizes))
        searched = min(self.s.max_features, len(self.names))
        samples = min(self.n_rows, 500 * self.s.max_bins * 2 ** self.s.max_depth)
        per_client = max(1, _CLIENT_SAMPLE_BYTES // max(1, samples * searched * 4))
        return max(1, min(self.s.n_estimators, per_state, per_client))

    def draw_settings(self) -> Dict[str, Any]:
        return {"seed": self.seed, "max_samples": self.s.max_samples,
                "bootstrap": self.s.bootstrap, "honest_fraction": self.s.honest_fraction,
                "ci_group_size": self.s.ci_group_size}

    def run(self, rounds: Any, progress: Any = None) -> Tuple[NativeForest, Dict[str, int]]:
        trees: List[_Tree] = []
        step = self.batch_size()
        for first in range(0, self.s.n_estimators, step):
            batch = [self._new_tree(t)
                     for t in range(first, min(first + step, self.s.n_estimators))]
            self._grow_batch(batch, rounds)
            trees.extend(batch)
            if progress is not None:
                progress(len(trees))
        return self._forest(trees), {"rounds": self.rounds_run, "batch": step,
                                     "array_bytes_sent": self.sent,
                                     "array_bytes_received": self.received}

    def _new_tree(self, number: int) -> _Tree:
        slots = 2 ** (self.s.max_depth + 1) - 1
        return _Tree(number, [_empty_node() for _ in range(slots)], {})

    def _round(self, rounds: Any, requests: List[Dict[str, Any]]) -> List[Dict[str, Any]]:
        self.rounds_run += 1
        answers = rounds(requests)
        self.sent += _array_bytes(requests)
        self.received += _array_bytes(answers)
        return answers

    def _grow_batch(self, batch: List[_Tree], rounds: Any) -> None:
        draw = self.draw_settings()
        answers = self._round(rounds, [{"init": [(t.number, draw) for t in batch]}
                                       for _ in self.sizes])
        level = []
        for i, tree in enumerate(batch):
            split = [a["init"][i][0] for a in answers]
            estimation = [a["init"][i][1] for a in answers]
            counts = np.sum(split, axis=0).astype(np.int32)
            sizes = np.array([int(c[0::2].sum()) for c in split], np.int64)
            tree.base = counts
            rates = None
            if self.honest:
                rates, _ = engine().exact_node(counts, [math.nan] * self.groups)
            level.append(_Node(tree, 0, 0, sizes, counts, rates))
            self._settle(level[-1], np.sum(estimation, axis=0).astype(np.int32))
        routes: Optional[np.ndarray] = None
        while level:
            level, routes = self._level(level, routes, rounds)
        # Nothing is routed after the deepest level; the shards drop the last leaves' rows
        # when the next batch starts, and every row list when the fit ends.

    def _settle(self, node: _Node, estimation: Optional[np.ndarray]) -> None:
        """Records a node's statistics and (honest) rates once its estimation counts are
        known."""
        if self.honest:
            assert estimation is not None
            node.rates, _ = engine().exact_node(estimation, node.rates)
            node.tree.stats[node.slot] = estimation
        else:
            node.tree.stats[node.slot] = node.counts

    def _may_split(self, node: _Node) -> bool:
        return node.depth < self.s.max_depth and self.s.min_samples_leaf < int(
            node.sizes.sum()) // 2

    def _draws(self) -> Dict[str, Any]:
        return {"seed": self.seed, "n_features": len(self.names),
                "max_features": self.s.max_features, "max_bins": self.s.max_bins}

    def _level(self, level: List[_Node], routes: Optional[np.ndarray], rounds: Any
               ) -> Tuple[List[_Node], np.ndarray]:
        """Grows one level of open nodes (the shards' open nodes, in order): A routes last
        level's splits and samples the nodes that may split, B counts their candidates.
        Returns the next level and its splits."""
        searched = [k for k, node in enumerate(level) if self._may_split(node)]
        table = np.array([(level[k].tree.number, level[k].slot, int(level[k].sizes.sum()))
                          for k in searched], np.uint64).reshape(-1, 3)
        sizes = np.array([level[k].sizes for k in searched], np.int64).reshape(-1, len(self.sizes))
        firsts = np.cumsum(sizes, axis=1) - sizes
        requests: List[Dict[str, Any]] = []
        for s in range(len(self.sizes)):
            plan = {**self._draws(), "round": self.rounds_run}
            request: Dict[str, Any] = {"plan": plan, "sample": np.column_stack(
                [table, np.array(searched, np.uint64), firsts[:, s]]).astype(np.uint64)}
            if routes is not None:
                request["route"] = routes
            requests.append(request)
        answers = self._round(rounds, requests)
        if routes is not None:
            estimation = (np.sum([a["route"] for a in answers], axis=0, dtype=np.int64)
                          .astype(np.int32).reshape(len(level), -1))
            for k, node in enumerate(level):
                self._settle(node, estimation[k] if self.honest else None)
        chosen = self._search(level, searched, table, answers, rounds) if searched else {}
        following: List[_Node] = []
        splits: List[Tuple[int, int, int]] = []
        for k, node in enumerate(level):
            if k in chosen:
                feature, word, left, right, left_sizes, gain = chosen[k]
                following += self._split(node, feature, word, left, right, left_sizes, gain)
                splits.append((k, feature, word))
            else:
                self._leaf(node)
        return following, np.array(splits, np.uint64).reshape(-1, 3)

    def _search(self, level: List[_Node], searched: List[int], table: np.ndarray,
                answers: List[Dict[str, Any]], rounds: Any) -> Dict[int, Any]:
        """B: the candidates of the searched nodes' features from the shards' samples, the
        shards' counts of them, and each node's best split (only those of positive gain)."""
        features, (words, ends) = engine().exact_candidates_level(
            table, [a["sample"] for a in answers], self.strings, self.dictionary_sizes,
            **self._draws())
        features = np.frombuffer(features, np.uint32)
        candidates = (np.frombuffer(words, np.uint32), np.frombuffer(ends, np.uint64))
        per_node = len(features) // len(searched)
        items = np.column_stack([np.repeat(np.array(searched, np.uint64), per_node),
                                 features]).astype(np.uint64)
        counted = self._round(rounds, [{"count": items, "candidates": candidates}
                                       for _ in self.sizes])
        item, index, gain, left, right, held_left = engine().exact_choose_level(
            [a["count"] for a in counted],
            (np.arange(1, len(searched) + 1) * per_node).astype(np.uint64),
            (1 - self.strings[features]).astype(np.uint8),
            np.array([level[k].counts for k in searched], np.int32).reshape(len(searched), -1),
            criterion=self.s.criterion, balance=self.s.balance,
            regularization=self.s.regularization, alpha=self.s.alpha,
            min_samples_leaf=self.s.min_samples_leaf,
            min_samples_treatment=self.s.min_samples_treatment)
        item, index = np.frombuffer(item, np.int64), np.frombuffer(index, np.uint64)
        gain = np.frombuffer(gain, np.float64)
        g2 = 2 * self.groups
        left = np.frombuffer(left, np.int32).reshape(-1, g2)
        right = np.frombuffer(right, np.int32).reshape(-1, g2)
        held_left = np.frombuffer(held_left, np.uint64).reshape(-1, len(self.sizes))
        starts = np.concatenate([[0], candidates[1]]).astype(np.int64)
        chosen = {}
        for j, k in enumerate(searched):
            if item[j] < 0 or not gain[j] > 0.0:
                continue
            word = int(candidates[0][starts[item[j]] + int(index[j])])
            chosen[k] = (int(features[item[j]]), word, left[j], right[j],
                         held_left[j].astype(np.int64), float(gain[j]))
        return chosen

    def _split(self, node: _Node, feature: int, word: int, left: np.ndarray, right: np.ndarray,
               left_sizes: np.ndarray, gain: float) -> List[_Node]:
        known = self.categories[feature]
        if known is None:
            split_value: Dict[str, Any] = {
                "Numeric": float(np.array([word], np.uint32).view(np.float32)[0])}
        else:
            split_value = {"Str": known[word]}
        node.tree.nodes[node.slot] = {"col_name": self.names[feature], "col_idx": int(feature),
                                      "split_value": split_value, "prob": [],
                                      "gain": _number(gain)}
        return [_Node(node.tree, 2 * node.slot + 1, node.depth + 1, left_sizes,
                      np.array(left, np.int32), node.rates),
                _Node(node.tree, 2 * node.slot + 2, node.depth + 1, node.sizes - left_sizes,
                      np.array(right, np.int32), node.rates)]

    def _leaf(self, node: _Node) -> None:
        if self.honest:
            _, uplift = engine().exact_node(np.zeros(2 * self.groups, np.int32), node.rates)
        else:
            _, uplift = engine().exact_node(node.counts, None)
        node.tree.nodes[node.slot]["prob"] = [_number(u) for u in uplift]

    def _forest(self, trees: List[_Tree]) -> NativeForest:
        s = self.s
        common = {"max_depth": s.max_depth, "min_sample_leaf": s.min_samples_leaf,
                  "max_features": s.max_features, "eval_func": _TREE_MEASURES[s.criterion],
                  "max_bins": s.max_bins, "treatment_col": "treatment",
                  "outcome_col": "outcome"}
        flags = {"balance": s.balance, "regularization": s.regularization,
                 "alpha": float(s.alpha)}
        records = []
        words: List[int] = []
        for tree in trees:
            records.append({"nodes": tree.nodes, **common, "feature_cols": self.names, **flags})
            reached = sorted(tree.stats)
            words += [self.groups, int(self.honest), len(reached), *tree.base.tolist()]
            for slot in reached:
                words += tree.stats[slot].tolist()
        document = {"n_estimators": s.n_estimators, **common, "eval_func": s.criterion, **flags,
                    "trees": records}
        forest, _ = NativeForest.from_bytes(json.dumps(document).encode())
        return forest.with_node_stats(np.array(words, "<u4").tobytes())


def _array_bytes(value: Any) -> int:
    """The bytes of the numpy arrays in a request or answer (what dominates what travels)."""
    if isinstance(value, np.ndarray):
        return value.nbytes
    if isinstance(value, dict):
        return sum(_array_bytes(v) for v in value.values())
    if isinstance(value, (list, tuple)):
        return sum(_array_bytes(v) for v in value)
    return 0


def _number(value: float) -> Optional[float]:
    """A number as the model file spells it: a non-finite one (an infinite KL gain, the 0/0
    rate of a group without rows) as null."""
    return value if math.isfinite(value) else None


def new_fit_key() -> str:
    return "quillmarsh-exact-" + uuid.uuid4().hex
