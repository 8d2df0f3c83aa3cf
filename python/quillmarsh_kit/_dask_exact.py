"""Exact training on Dask: every tree sees every row, and the forest is the one
`UpliftForest` grows from the same rows in partition order with the same seed.

The rows stay on the workers that hold their partitions; each partition is a *shard* whose
rows keep their global position (partition order, then row order). A node's rows are the
concatenation of every shard's part of them, each part ascending, so a position drawn among
the node's rows falls in exactly one shard, found from the shards' row counts.

The client grows a batch of trees level by level, two rounds of tasks per level:

A. each shard routes the rows of the splits chosen last level (and forgets finished nodes),
   then returns its values at the candidate-sample positions the client drew for the open
   nodes (with the node's own streams, as the one-process search draws them), and the group
   counts of its estimation rows;
B. the client turns each searched feature's sample into thresholds, each shard returns its
   counting slots of them, and the client sums the slots (integers: exact) and chooses each
   node's split with the core's gain code.

The shards' state (row lists per open node and tree) lives in their worker process, keyed by
the fit; a task that finds it missing (its worker was lost) ends the fit with a clear error.
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
# shards of one worker share: each tree's rows among all rows, drawn once per worker, and the
# draws of the nodes of the current round (their features and sample positions).
_SHARDS: Dict[Tuple[str, int], "_Shard"] = {}
_SHARDS_LOCK = threading.Lock()
_TREE_ROWS: Dict[Tuple[str, int], Tuple[np.ndarray, np.ndarray]] = {}
_PLANS: Dict[Tuple[str, int, int, int], Any] = {}

# Bounds of one batch of trees: the shards' row lists at most a quarter of a partition's
# memory, the candidate samples passing through the client at most this many bytes a round.
_CLIENT_SAMPLE_BYTES = 64 << 20


# A tree record names its measure as the model file's trees do; the forest as the caller does.
_TREE_MEASURES = {"ED": "Euclidean", "KL": "KL", "CHI": "Chi"}


class ExactStateLost(RuntimeError):
    """A shard's task ran where its training state is not (its worker was lost or
    restarted): the fit cannot go on exactly."""


# ----------------------------------------------------------------------------- workers
@dataclasses.dataclass
class _Shard:
    columns: List[np.ndarray]  # per feature: float32 values, or uint32 codes of a string one
    dictionaries: List[Optional[int]]  # per feature: None, or the texts of a string one
    words: np.ndarray  # uint32: each row's group and outcome, packed by the engine
    offset: int  # global position of the first row
    groups: int
    split: Dict[Tuple[int, int], np.ndarray] = dataclasses.field(default_factory=dict)
    estimation: Dict[Tuple[int, int], np.ndarray] = dataclasses.field(default_factory=dict)

    def counts(self, rows: np.ndarray) -> np.ndarray:
        """Rows and positives of each group among `rows`, as the core's group counts."""
        return np.frombuffer(engine().exact_group_counts(self.words, rows, groups=self.groups),
                             np.int32)


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
    sizes = [None if known is None else len(known) for known in layout.categories]
    codes, labels = label_codes(part[layout.treatment], "treatment")
    group = np.array([groups_of[label] for label in labels], np.uint32)[codes]
    words = np.frombuffer(engine().exact_words(group, binary_outcome(part[layout.outcome])),
                          np.uint32)
    with _SHARDS_LOCK:
        _SHARDS[(fit_key, number)] = _Shard(columns, sizes, words, offset, len(groups_of))
    return words, int(part.memory_usage(deep=True).sum())


def exact_forget(fit_key: str) -> None:
    """Drops every shard of fit `fit_key` from this worker."""
    with _SHARDS_LOCK:
        shared: List[Dict[Any, Any]] = [_SHARDS, _TREE_ROWS, _PLANS]
        for kept in shared:
            for key in [k for k in kept if k[0] == fit_key]:
                del kept[key]


def exact_round(fit_key: str, number: int, request: Dict[str, Any],
                all_words: Optional[np.ndarray] = None) -> Dict[str, Any]:
    """One round on one shard; see the module's documentation."""
    shard = _shard_of(fit_key, number)
    out: Dict[str, Any] = {}
    if "init" in request:
        out["init"] = _init_trees(fit_key, shard, request["init"], all_words)
    if "route" in request:
        out["route"] = [_route(shard, *split) for split in request["route"]]
    for key in request.get("drop", ()):
        shard.split.pop(key, None)
        shard.estimation.pop(key, None)
    if "sample" in request:
        out["sample"] = [_sample(fit_key, shard, request["plan"], *item)
                         for item in request["sample"]]
    if "count" in request:
        words: Dict[Tuple[int, int], np.ndarray] = {}
        out["count"] = [_count(shard, key, f, candidates, words)
                        for key, f, candidates in request["count"]]
    return out


def _sample(fit_key: str, shard: _Shard, plan: Dict[str, Any], key: Tuple[int, int], n: int,
            first: int) -> List[np.ndarray]:
    """Per searched feature of node `key` (n rows, this shard's from position `first` on),
    the shard's values at the positions of the feature's candidate sample: the node's draws,
    made here as the client makes them (once per worker and round), so that only values
    travel."""
    rows = shard.split[key]
    with _SHARDS_LOCK:
        if any(k[0] == fit_key and k[1] != plan["round"] for k in _PLANS):
            for old in [k for k in _PLANS if k[0] == fit_key and k[1] != plan["round"]]:
                del _PLANS[old]
        made = _PLANS.get((fit_key, plan["round"], *key))
    if made is None:
        made = engine().exact_plan(tree=key[0], slot=key[1], n=n, seed=plan["seed"],
                                   n_features=plan["n_features"],
                                   max_features=plan["max_features"], max_bins=plan["max_bins"])
        with _SHARDS_LOCK:
            _PLANS[(fit_key, plan["round"], *key)] = made
    features, drawn = made
    out = []
    for feature, positions in zip(features, drawn):
        at = np.frombuffer(positions, np.uint64).astype(np.int64)
        lo, hi = np.searchsorted(at, [first, first + len(rows)])
        out.append(shard.columns[feature][rows[at[lo:hi] - first]])
    return out


def _count(shard: _Shard, key: Tuple[int, int], feature: int, candidates: np.ndarray,
           words: Dict[Tuple[int, int], np.ndarray]) -> np.ndarray:
    """The shard's counting slots of a feature's candidates over a node's rows (`words`: the
    node's packed words, gathered once for all its features)."""
    rows = shard.split[key]
    if key not in words:
        words[key] = shard.words[rows]
    strings = shard.dictionaries[feature]
    by = {} if strings is None else {"dictionary_size": strings}
    return np.frombuffer(engine().exact_count(shard.columns[feature], rows, words[key],
                                              candidates, groups=shard.groups, **by), np.uint32)


def _init_trees(fit_key: str, shard: _Shard, trees: List[Tuple[int, Dict[str, Any]]],
                all_words: Optional[np.ndarray]) -> List[Tuple[np.ndarray, np.ndarray]]:
    end = shard.offset + len(shard.words)
    out = []
    numbers = {tree for tree, _ in trees}
    with _SHARDS_LOCK:  # the rows of the previous batch's trees are no longer needed
        for old in [k for k in _TREE_ROWS if k[0] == fit_key and k[1] not in numbers]:
            del _TREE_ROWS[old]
    shard.split.clear()  # the leaves of the previous batch's trees
    shard.estimation.clear()
    for tree, draw in trees:
        with _SHARDS_LOCK:
            drawn = _TREE_ROWS.get((fit_key, tree))
        if drawn is None:
            split, estimation = (np.frombuffer(b, np.uint32)
                                 for b in engine().exact_rows(all_words, tree=tree, **draw))
            with _SHARDS_LOCK:
                _TREE_ROWS[(fit_key, tree)] = drawn = (split, estimation)
        split, estimation = drawn
        for rows, kept in ((split, shard.split), (estimation, shard.estimation)):
            lo, hi = np.searchsorted(rows, [shard.offset, end])
            kept[(tree, 0)] = (rows[lo:hi] - np.uint32(shard.offset)).astype(np.uint32)
        out.append((shard.counts(shard.split[(tree, 0)]),
                    shard.counts(shard.estimation[(tree, 0)])))
    return out


def _route(shard: _Shard, tree: int, slot: int, feature: int, value: Any
           ) -> Tuple[np.ndarray, np.ndarray]:
    """Splits the node's rows into its children's, each in order; returns the group counts of
    the children's estimation rows."""
    estimation = []
    for kept in (shard.split, shard.estimation):
        rows = kept.pop((tree, slot))
        by = ({"category": value} if shard.dictionaries[feature] is not None
              else {"threshold": value})
        left = np.frombuffer(engine().exact_goes_left(shard.columns[feature], rows, **by),
                             np.bool_)
        kept[(tree, 2 * slot + 1)], kept[(tree, 2 * slot + 2)] = rows[left], rows[~left]
        if kept is shard.estimation:
            estimation = [shard.counts(rows[left]), shard.counts(rows[~left])]
    return estimation[0], estimation[1]


# ----------------------------------------------------------------------------- client
@dataclasses.dataclass
class _Node:
    depth: int
    sizes: np.ndarray  # split rows per shard
    counts: np.ndarray  # int32 group counts of the split rows
    rates: Optional[List[float]] = None  # an honest node's parent rates, then its own


@dataclasses.dataclass
class _Tree:
    number: int
    nodes: List[Dict[str, Any]]
    stats: Dict[int, np.ndarray]  # per reached slot
    base: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(0, np.int32))
    open: Dict[int, _Node] = dataclasses.field(default_factory=dict)
    closed: set = dataclasses.field(default_factory=set)  # the open nodes decided this level


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
            self._trees = {t.number: t for t in batch}
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
        for i, tree in enumerate(batch):
            split = [a["init"][i][0] for a in answers]
            estimation = [a["init"][i][1] for a in answers]
            counts = np.sum(split, axis=0).astype(np.int32)
            sizes = np.array([int(c[0::2].sum()) for c in split], np.int64)
            tree.base = counts
            rates = None
            if self.honest:
                rates, _ = engine().exact_node(counts, [math.nan] * self.groups)
            tree.open[0] = _Node(0, sizes, counts, rates)
            self._settle(tree, 0, np.sum(estimation, axis=0).astype(np.int32))
        routes: List[List[Any]] = [[] for _ in self.sizes]
        drops: List[List[Any]] = [[] for _ in self.sizes]
        while any(t.open for t in batch):
            routes, drops = self._level(batch, rounds, routes, drops)
        # Nothing is routed after the deepest level; the shards drop the last leaves' rows
        # when the next batch starts, and every row list when the fit ends.
        assert not any(routes)

    def _settle(self, tree: _Tree, slot: int, estimation: Optional[np.ndarray]) -> None:
        """Records a node's statistics and (honest) rates once its estimation counts are
        known."""
        node = tree.open[slot]
        if self.honest:
            assert estimation is not None
            node.rates, _ = engine().exact_node(estimation, node.rates)
            tree.stats[slot] = estimation
        else:
            tree.stats[slot] = node.counts

    def _may_split(self, node: _Node) -> bool:
        return node.depth < self.s.max_depth and self.s.min_samples_leaf < int(
            node.sizes.sum()) // 2

    def _level(self, batch: List[_Tree], rounds: Any, routes: List[List[Any]],
               drops: List[List[Any]]) -> Tuple[List[List[Any]], List[List[Any]]]:
        # A: route last level's splits, sample the open nodes
        samples: List[List[Any]] = [[] for _ in self.sizes]
        plans = {}
        for tree in batch:
            for slot, node in tree.open.items():
                if self._may_split(node):
                    plans[(tree.number, slot)] = self._plan(tree, slot, node, samples)
        plan_settings = {"seed": self.seed, "n_features": len(self.names),
                         "max_features": self.s.max_features, "max_bins": self.s.max_bins,
                         "round": self.rounds_run}
        answers = self._round(rounds, [{"route": r, "drop": d, "sample": s, "plan": plan_settings}
                                       for r, d, s in zip(routes, drops, samples)])
        self._take_routes(batch, routes, answers)
        # B: count the candidates
        counts: List[List[Any]] = [[] for _ in self.sizes]
        searched: Dict[Tuple[int, int], List[Any]] = {}
        for key, plan in plans.items():
            searched[key] = []
            for d, (feature, positions, holders) in enumerate(plan):
                candidates = self._candidates(key, feature, positions,
                                              [answers[s]["sample"][i][d] for s, i in holders])
                if len(candidates):
                    searched[key].append((feature, candidates, len(counts[0])))
                    for c in counts:
                        c.append((key, feature, candidates))
        answers = self._round(rounds, [{"count": c} for c in counts]) if plans else []
        return self._choose(batch, searched, answers)

    def _candidates(self, key: Tuple[int, int], feature: int, positions: np.ndarray,
                    values: List[np.ndarray]) -> np.ndarray:
        """A searched feature's thresholds (float32) or categories (uint32 codes) from its
        sample, gathered from the shards in order."""
        known = self.categories[feature]
        if known is None:
            sampled = np.concatenate(values) if values else np.empty(0, np.float32)
            return np.frombuffer(engine().exact_thresholds(sampled, max_bins=self.s.max_bins),
                                 np.float32)
        sampled = np.concatenate(values) if values else np.empty(0, np.uint32)
        tree, slot = key
        return np.frombuffer(engine().exact_categories(
            sampled, seed=self.seed, tree=tree, slot=slot, feature=feature,
            n=int(self._open_size(tree, slot)), dictionary_size=len(known),
            max_bins=self.s.max_bins, positions=positions.astype(np.uint32)), np.uint32)

    def _open_size(self, tree: int, slot: int) -> int:
        return int(self._trees[tree].open[slot].sizes.sum())

    def _plan(self, tree: _Tree, slot: int, node: _Node, samples: List[List[Any]]
              ) -> List[Tuple[int, np.ndarray, List[Tuple[int, int]]]]:
        """Draws node `slot`'s features and sample positions, and asks every shard holding
        rows of the node for its values at them (the shard draws the same positions). Returns
        per feature its positions and the (shard, item of its answer) that hold its values, in
        shard order."""
        n = int(node.sizes.sum())
        features, drawn = engine().exact_plan(
            seed=self.seed, tree=tree.number, slot=slot, n=n, n_features=len(self.names),
            max_features=self.s.max_features, max_bins=self.s.max_bins)
        first = np.concatenate([[0], np.cumsum(node.sizes)])
        holders = []
        for s in range(len(self.sizes)):
            if node.sizes[s]:
                holders.append((s, len(samples[s])))
                samples[s].append(((tree.number, slot), n, int(first[s])))
        plan = [(feature, np.frombuffer(positions, np.uint64), holders)
                for feature, positions in zip(features, drawn)]
        return plan

    def _take_routes(self, batch: List[_Tree], routes: List[List[Any]],
                     answers: List[Dict[str, Any]]) -> None:
        by_number = {t.number: t for t in batch}
        for i, (number, slot, _, _) in enumerate(routes[0] if routes else []):
            tree = by_number[number]
            for side in (0, 1):
                child = 2 * slot + 1 + side
                estimation = (np.sum([a["route"][i][side] for a in answers], axis=0)
                              .astype(np.int32) if self.honest else None)
                self._settle(tree, child, estimation)

    def _choose(self, batch: List[_Tree], searched: Dict[Tuple[int, int], List[Any]],
                answers: List[Dict[str, Any]]) -> Tuple[List[List[Any]], List[List[Any]]]:
        routes: List[List[Any]] = [[] for _ in self.sizes]
        drops: List[List[Any]] = [[] for _ in self.sizes]
        for tree in batch:
            for slot, node in sorted(tree.open.items()):
                best = None
                for feature, thresholds, at in searched.get((tree.number, slot), []):
                    per_shard = [a["count"][at] for a in answers]
                    summed = np.sum(per_shard, axis=0, dtype=np.uint64).astype(np.uint32)
                    choice = engine().exact_choose(
                        summed, node.counts, counted=len(thresholds),
                        prefix=self.categories[feature] is None,
                        criterion=self.s.criterion, balance=self.s.balance,
                        regularization=self.s.regularization, alpha=self.s.alpha,
                        min_samples_leaf=self.s.min_samples_leaf,
                        min_samples_treatment=self.s.min_samples_treatment)
                    if choice is not None and (best is None or choice[1] > best[2][1]):
                        best = (feature, thresholds, choice, per_shard)
                if best is not None and best[2][1] > 0.0:
                    self._split(tree, slot, node, best, routes)
                else:
                    self._leaf(tree, slot, node)
                    for d in drops:
                        d.append((tree.number, slot))
            tree.open = {k: v for k, v in tree.open.items() if k not in tree.closed}
            tree.closed.clear()
        return routes, drops

    def _split(self, tree: _Tree, slot: int, node: _Node, best: Any,
               routes: List[List[Any]]) -> None:
        feature, candidates, (index, gain, left, right), per_shard = best
        known = self.categories[feature]
        if known is None:
            value: Any = float(candidates[index])
            split_value: Dict[str, Any] = {"Numeric": value}
        else:
            value = int(candidates[index])
            split_value = {"Str": known[value]}
        tree.nodes[slot] = {"col_name": self.names[feature], "col_idx": int(feature),
                            "split_value": split_value, "prob": [], "gain": _number(gain)}
        g2 = 2 * self.groups
        first = 0 if known is None else index * g2  # thresholds: every slot up to theirs
        left_sizes = np.array([int(p[first:(index + 1) * g2].reshape(-1, 2)[:, 0].sum())
                               for p in per_shard], np.int64)
        tree.open[2 * slot + 1] = _Node(node.depth + 1, left_sizes,
                                        np.array(left, np.int32), node.rates)
        tree.open[2 * slot + 2] = _Node(node.depth + 1, node.sizes - left_sizes,
                                        np.array(right, np.int32), node.rates)
        tree.closed.add(slot)
        for r in routes:
            r.append((tree.number, slot, int(feature), value))

    def _leaf(self, tree: _Tree, slot: int, node: _Node) -> None:
        if self.honest:
            _, uplift = engine().exact_node(np.zeros(2 * self.groups, np.int32), node.rates)
        else:
            _, uplift = engine().exact_node(node.counts, None)
        tree.nodes[slot]["prob"] = [_number(u) for u in uplift]
        tree.closed.add(slot)

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
