"""`DaskUpliftForest`: the uplift forest trained and applied on a Dask cluster, where the data
lives.

    from distributed import Client, LocalCluster
    from quillmarsh_kit.dask import DaskUpliftForest

    client = Client(LocalCluster(n_workers=2))   # or Client("tcp://scheduler:8786")
    model = DaskUpliftForest(n_estimators=200, control="control", random_state=7)
    model.fit(frame, "treatment", "converted")   # frame: a dask.dataframe.DataFrame
    uplift = model.predict(frame)                 # lazy: one column per arm
    model.to_local().save("model.json")           # an ordinary UpliftForest

A fit in `mode="exact"` (the default) grows every tree from every row, level by level from
counts summed over the partitions, and gives the forest `UpliftForest` grows from the same rows
in partition order: see `_dask_exact`. A fit in `mode="shares"` makes three moves, each a set
of tasks of the current `distributed.Client`:

1. The frame is persisted on the workers (after a random shuffle of its rows with
   `shuffle=True`), and one small task per partition reports what it holds: the kind
   (numeric or string) and category texts of every feature, the treatment labels and their
   counts; it also refuses the same bad input as `UpliftForest` (missing labels, outcomes
   that are not 0/1, missing strings). The client agrees the encodings from the reports -
   the arms in sorted order, the sorted union of the texts of each string feature - so that a
   code means the same on every worker.
2. The partitions held by one worker form its share. Each share grows its part of the
   `n_estimators` trees, in proportion to its rows, with the engine on that worker and
   `n_jobs` threads there, from its own seed derived from the fit's seed and the share's
   number. Only the trees travel back, never rows. Trees grown in groups (`ci_group_size`)
   are shared out in whole groups, at least 2 per share, and the merged model keeps each
   share's tree count: its intervals add the shares' variances instead of pooling groups.
3. The client merges the trees of all shares into one forest, in share order.

A tree therefore sees the rows of one worker. Data whose partitions are ordered (by date, by
region) gives each worker a slice of it; `shuffle=True` spreads the rows evenly and at random
over the partitions first. Worker failures, retries and data movement are Dask's: a share
whose worker is lost is recomputed elsewhere, and the fit ends with every tree or raises.

A fit that ends early - Ctrl-C's KeyboardInterrupt on the client, any other exception, or a
client that goes away - cancels its shares, and each share's training stops on its worker
within a fraction of a second: the engine asks the share, about ten times a second, whether
its task is still wanted. Each share logs Dask events under the topic "quillmarsh" as it
starts ("growing"), ends ("done") or stops ("cancelled"); `client.get_events("quillmarsh")`
lists them.
"""

from __future__ import annotations

import contextlib
import dataclasses
import sys
import uuid
from typing import Any, Dict, Hashable, Iterable, Iterator, List, Optional, Sequence, Tuple

import numpy as np

# Beside the public names, the internals a fit needs on its workers and on the client: the
# encodings and conversions of `UpliftForest.fit`, the engine's forest and the fitted state,
# which have no public form.
from . import NativeError, UpliftForest, _dask_exact, _decisions
from ._encode import binary_outcome, label_codes, treatment_groups
from ._native import NativeForest
from ._params import (
    DASK_PARAM_NAMES,
    DEFAULTS,
    ForestParams,
    available_cpus,
    check_param,
    signature,
)
from ._persist import FittedModel, grown_with
from ._tabular import NUMERIC, STRING, Column, Table, to_table

try:
    import dask.dataframe as dd
    import distributed
except ImportError as err:  # pragma: no cover - depends on the installation
    raise ImportError(
        "quillmarsh_kit.dask needs dask[dataframe] and distributed; install them with "
        "pip install 'quillmarsh[dask]'"
    ) from err

__all__ = ["EVENT_TOPIC", "DaskUpliftForest", "Share", "ShareCancelled", "share_seed"]

# Hidden columns: targets given as series, and the shuffle's random key.
_TREATMENT = "__quillmarsh_treatment__"
_OUTCOME = "__quillmarsh_outcome__"
_SHUFFLE_KEY = "__quillmarsh_shuffle__"
# The topic of the events the shares log on their workers.
EVENT_TOPIC = "quillmarsh"


def share_seed(seed: int, share: int) -> int:
    """The engine's seed of share number `share` of a fit whose seed is `seed`."""
    words = np.random.SeedSequence([seed & 0xFFFFFFFF, seed >> 32, share]).generate_state(
        2, np.uint32)
    return int(words[0]) | int(words[1]) << 32


@dataclasses.dataclass(frozen=True)
class Share:
    """The rows of one worker and the trees grown on them."""

    worker: str  # the address of the worker that held the rows when the fit began
    partitions: Tuple[int, ...]  # numbers of the partitions (of the shuffled frame, if shuffled)
    rows: int
    trees: int
    seed: int


def _client(given: Any = None) -> Any:
    """`given`, or else the current client."""
    if given is not None:
        if not isinstance(given, distributed.Client):
            raise TypeError(f"client must be a distributed.Client or None, got "
                            f"{type(given).__name__}")
        return given
    try:
        return distributed.get_client()
    except ValueError:
        raise RuntimeError(
            "DaskUpliftForest runs on a dask.distributed cluster and found no client; create "
            "one first: distributed.Client(distributed.LocalCluster()) on this machine, or "
            "distributed.Client('tcp://scheduler:8786') for a running cluster"
        ) from None


def _is_dask_frame(value: Any) -> bool:
    return isinstance(value, dd.DataFrame)


def _is_dask_vector(value: Any) -> bool:
    import dask.array as da

    return isinstance(value, (dd.Series, da.Array))


def _frame_of(X: Any) -> Tuple[Any, bool]:
    """X as a Dask DataFrame, and whether its column names are the caller's."""
    if _is_dask_frame(X):
        texts = [str(name) for name in X.columns]
        duplicates = sorted({name for name in texts if texts.count(name) > 1})
        if duplicates:
            raise ValueError(f"duplicate column names: {duplicates}")
        return X, True
    import dask.array as da

    if isinstance(X, da.Array):
        if X.ndim != 2:
            raise ValueError(
                f"X must be 2-D (rows x features), got a Dask array of shape {X.shape}")
        names = [f"x{j}" for j in range(X.shape[1])]
        return dd.from_dask_array(X.rechunk({1: -1}), columns=names), False
    raise TypeError(
        "X must be a Dask DataFrame or a 2-D Dask array; for data in memory use "
        f"quillmarsh_kit.UpliftForest; got {type(X).__name__}"
    )


def _attach(frame: Any, named: bool, value: Any, hidden: str, what: str) -> Tuple[Any, str]:
    """The frame with the target `value` (a column name or a Dask Series or array) reachable
    as a column, and that column's name."""
    if isinstance(value, str):
        if not named:
            raise ValueError("treatment and y may name columns only when X has column names")
        if value not in frame.columns:
            raise ValueError(f"{what} names column {value!r}, which X does not have")
        return frame, value
    if not _is_dask_vector(value):
        raise TypeError(
            f"{what} must be the name of a column of X, a Dask Series or a 1-D Dask array, got "
            f"{type(value).__name__}")
    if not isinstance(value, dd.Series):
        if value.ndim != 1:
            raise ValueError(f"{what} must be 1-D, got a Dask array of shape {value.shape}")
        value = dd.from_dask_array(value)
    if value.npartitions != frame.npartitions:
        raise ValueError(
            f"{what} has {value.npartitions} partitions and X has {frame.npartitions}; they "
            "must be partitioned alike")
    return frame.assign(**{hidden: value}), hidden


# ------------------------------------------------------------------------- on the workers
def _add_shuffle_key(part: Any, seed: int, partition_info: Optional[Dict[str, Any]] = None) -> Any:
    number = partition_info["number"] if partition_info else 0
    rng = np.random.default_rng([seed & 0xFFFFFFFF, seed >> 32, number])
    return part.assign(**{_SHUFFLE_KEY: rng.integers(0, 2**63, len(part), dtype=np.int64)})


def _describe(part: Any, skip: Sequence[str], treatment: str, outcome: str) -> Dict[str, Any]:
    """What one partition holds: rows, the kind and texts of every feature, the treatment
    labels with their counts. Refuses missing labels and outcomes that are not 0/1."""
    rows = len(part)
    if rows == 0:
        return {"rows": 0, "kinds": None, "categories": None, "labels": {}}
    table = to_table(part, skip=skip)  # numeric columns as views: only their kind is needed
    codes, labels = label_codes(part[treatment], "treatment")
    if bool((codes < 0).any()):
        raise ValueError("treatment has missing values (None or NaN); every row needs a label")
    binary_outcome(part[outcome])
    counts = np.bincount(codes, minlength=len(labels)).tolist()
    return {
        "rows": rows,
        "kinds": table.kinds,
        "categories": [c.categories for c in table.columns],
        "labels": dict(zip(labels, counts)),
    }


def _worker_threads(n_jobs: Any) -> int:
    """`n_jobs` resolved in this worker process: threads of the engine per worker."""
    return ForestParams(n_jobs=n_jobs)._requested_threads()


class ShareCancelled(Exception):
    """Raised on a worker inside a share's training once its task is no longer wanted."""

    def __init__(self, share: int, trees: int) -> None:
        super().__init__(share, trees)  # the arguments, so that it pickles
        self.share, self.trees = share, trees

    def __str__(self) -> str:
        return f"share {self.share} was cancelled after {self.trees} trees"


class _ShareWatch:
    """On a worker, the engine's progress callback for one share: it raises `ShareCancelled`
    once the scheduler has released the share's task (the client cancelled it or went away),
    which stops the engine's threads. It reads the worker's own record of the task, without
    a message to the scheduler. Off a worker (a local scheduler) it never stops anything."""

    def __init__(self, share: int) -> None:
        self.share, self.growing = share, False
        try:
            self.worker: Any = distributed.get_worker()
        except ValueError:
            self.worker, self.key = None, None
            return
        self.key = self.worker.get_current_task()

    def __call__(self, done: int) -> None:
        if not self.growing:  # the engine's first call: its threads grow the trees
            self.growing = True
            self.log("growing", 0)
        self.stop_if_unwanted(done)

    def stop_if_unwanted(self, done: int = 0) -> None:
        if self.worker is None:
            return
        task = self.worker.state.tasks.get(self.key)
        if task is None or task.state == "cancelled":
            raise ShareCancelled(self.share, done)

    def log(self, state: str, trees: int) -> None:
        if self.worker is not None:
            self.worker.log_event(EVENT_TOPIC, {
                "share": self.share, "key": str(self.key), "worker": self.worker.address,
                "state": state, "trees": trees})


def _grow_share(parts: List[Any], layout: "_Layout", settings: Any, seed: int,
                n_jobs: Any, share: int = 0) -> Tuple[bytes, Optional[bytes]]:
    """Grows `settings.n_estimators` trees on the rows of `parts` (pandas frames of one
    worker); returns them as a model file without metadata, and their node statistics. Stops
    with `ShareCancelled` once its task is no longer wanted."""
    watch = _ShareWatch(share)
    try:
        forest = _grow(parts, layout, settings, seed, n_jobs, watch)
    except ShareCancelled as stop:
        watch.log("cancelled", stop.trees)  # the engine's threads have ended
        raise
    watch.log("done", forest.n_trees)
    return forest.to_bytes(None), forest.node_stats()  # type: ignore[arg-type]


def _grow(parts: List[Any], layout: "_Layout", settings: Any, seed: int, n_jobs: Any,
          watch: _ShareWatch) -> NativeForest:
    parts = [p for p in parts if len(p)]
    n_rows = sum(len(p) for p in parts)
    values = [np.empty(n_rows, np.uint32 if kind == STRING else np.float32)
              for kind in layout.kinds]
    groups = np.empty(n_rows, np.int32)
    outcome = np.empty(n_rows, np.uint8)
    group_of = {layout.control: 0}
    group_of.update((arm, k) for k, arm in enumerate(layout.arms, start=1))
    start = 0
    for part in parts:
        watch.stop_if_unwanted()
        stop = start + len(part)
        table = to_table(part, skip=layout.skip, float32=True)
        for j, (column, kind) in enumerate(zip(table.columns, layout.kinds)):
            if column.kind != kind:  # the description saw every partition: only on a bug
                raise NativeError(f"feature {column.name!r} changed kind during the fit")
            if kind == STRING:
                known = layout.categories[j]
                values[j][start:stop] = np.searchsorted(known, column.categories)[column.values]
            else:
                values[j][start:stop] = column.values
        codes, labels = label_codes(part[layout.treatment], "treatment")
        groups[start:stop] = np.array([group_of[label] for label in labels], np.int32)[codes]
        outcome[start:stop] = binary_outcome(part[layout.outcome])
        start = stop
        del table
    columns = [Column(name, kind, v, layout.categories[j])
               for j, (name, kind, v) in enumerate(zip(layout.names, layout.kinds, values))]
    threads = settings.training_threads(_worker_threads(n_jobs))
    watch.stop_if_unwanted()
    return NativeForest.train(settings, Table(columns, n_rows, layout.named), groups, outcome,
                              threads, seed, watch)


def _scoring_threads() -> int:
    """Engine threads of one partition's prediction: the cores of this process shared among
    the worker's task threads."""
    try:
        task_threads = distributed.get_worker().state.nthreads
    except ValueError:  # not on a worker: the local scheduler's threads
        task_threads = available_cpus()
    return max(1, available_cpus() // max(1, task_threads))


def _predict_part(part: Any, model: UpliftForest, columns: List[Hashable], method: str,
                  options: Dict[str, Any]) -> Any:
    """`model.<method>(part, **options)` for one partition: one named column per entry of
    `columns` when the method gives one array; the arrays side by side in columns numbered
    0, 1, ... when it gives several (see `_columns`); a Series of labels for `recommend`.
    `model` is this worker process's copy, read once when it arrived (a model pickles as its
    model file) and shared by every task there: it is read, never changed."""
    import pandas as pd

    scorer = object.__new__(type(model))  # the same fitted state, with threads of its own
    scorer.__dict__ = {**model.__dict__, "n_jobs": _scoring_threads()}
    result = getattr(scorer, method)(part, **options)
    if method == "recommend":
        return pd.Series(result, index=part.index, dtype=object)
    if isinstance(result, tuple):
        return pd.DataFrame(np.hstack(result), index=part.index)
    return pd.DataFrame(result, index=part.index, columns=pd.Index(columns, tupleize_cols=False))


def _columns(both: Any, start: int, columns: List[Hashable]) -> Any:
    """One array (the uplift, a bound, the spread) out of `_predict_part`'s frame of several
    side by side: the columns from `start`, one per arm, named by `columns`."""
    import pandas as pd

    return pd.DataFrame(both.to_numpy()[:, start:start + len(columns)], index=both.index,
                        columns=pd.Index(columns, tupleize_cols=False))


# ----------------------------------------------------------------------------- the client
@contextlib.contextmanager
def _released(futures: Iterable[Any]) -> Iterator[List[Any]]:
    """The futures, released when the block ends however it ends, each by its own reference:
    keys that the caller also holds stay; the others are forgotten, and their tasks cancelled."""
    futures = list(futures)
    try:
        yield futures
    finally:
        for future in futures:
            future.release()


@dataclasses.dataclass
class _Layout:
    """The encodings every worker uses: feature names, kinds and texts, the targets' columns
    and the labels of control and arms."""

    names: List[str]
    kinds: List[str]
    categories: List[Optional[List[str]]]
    named: bool
    skip: List[str]
    treatment: str
    outcome: str
    control: Hashable
    arms: List[Hashable]


def _agree(reports: List[Dict[str, Any]], names: List[str], control: Hashable
           ) -> Tuple[List[str], List[Optional[List[str]]], List[Hashable]]:
    """The kinds and sorted texts of the features and the sorted arms, agreed from the
    reports of every partition; refuses a feature whose kind differs between partitions."""
    kinds: List[Optional[str]] = [None] * len(names)
    first: List[int] = [-1] * len(names)
    texts: List[set] = [set() for _ in names]
    counts: Dict[Hashable, int] = {}
    for number, report in enumerate(reports):
        for label, count in report["labels"].items():
            counts[label] = counts.get(label, 0) + count
        if report["kinds"] is None:
            continue
        for j, kind in enumerate(report["kinds"]):
            if kinds[j] is None:
                kinds[j], first[j] = kind, number
            elif kinds[j] != kind:
                raise ValueError(
                    f"column {names[j]!r} holds {kinds[j]} values in partition {first[j]} and "
                    f"{kind} values in partition {number}; a feature column must hold one kind "
                    "in every partition: convert it with astype first")
            if kind == STRING:
                texts[j].update(report["categories"][j])
    if not counts:
        raise ValueError("X has no rows")
    labels = list(counts)
    _, arms = treatment_groups(np.arange(len(labels)), labels, control)
    categories = [sorted(t) if kind == STRING else None for kind, t in zip(kinds, texts)]
    return [k or NUMERIC for k in kinds], categories, arms


def _tree_counts(rows: Sequence[int], n_trees: int, minimum: int = 1) -> List[int]:
    """`n_trees` split in proportion to `rows` by largest remainders, every share at least
    `minimum` (there are never more than n_trees // minimum shares)."""
    total = sum(rows)
    exact = [n_trees * r / total for r in rows]
    counts = [max(minimum, int(e)) for e in exact]
    by_remainder = sorted(range(len(rows)), key=lambda k: (counts[k] - exact[k], -rows[k]))
    k = 0
    while sum(counts) < n_trees:
        counts[by_remainder[k % len(rows)]] += 1
        k += 1
    while sum(counts) > n_trees:  # the minimum of each share gave too many
        spare = [i for i in range(len(rows)) if counts[i] > minimum]
        counts[max(spare, key=lambda i: counts[i] - exact[i])] -= 1
    return counts


def _shares_of(holders: List[str], rows: List[int], n_trees: int
               ) -> List[Tuple[str, List[int]]]:
    """The partitions of every worker with rows, in order of their first partition; with
    fewer trees than such workers, the smallest shares join the next smallest."""
    by_worker: Dict[str, List[int]] = {}
    for number, holder in enumerate(holders):
        if rows[number]:
            by_worker.setdefault(holder, []).append(number)
    shares = sorted(by_worker.items(), key=lambda item: item[1][0])
    while len(shares) > n_trees:
        sizes = sorted(range(len(shares)), key=lambda k: sum(rows[p] for p in shares[k][1]))
        small, into = sizes[0], sizes[1]
        worker, parts = shares[into]
        shares[into] = (worker, sorted(parts + shares[small][1]))
        del shares[small]
    return shares


def _round_results(client: Any, futures: List[Any], holders: List[str]) -> List[Any]:
    """The results of one round of exact training, each task on the worker holding its
    shard's state; a holder that leaves the cluster meanwhile (its state with it) ends the fit
    with a clear error instead of a wait for it."""
    while True:
        try:
            distributed.wait(futures, timeout=1)
            return client.gather(futures)
        except distributed.TimeoutError:
            alive = set(client.scheduler_info()["workers"])
            gone = sorted({h for h in holders if h and h not in alive})
            if gone:
                raise RuntimeError(
                    f"training failed: worker(s) {', '.join(gone)} left the cluster during the "
                    "exact fit, and with them the row routing of its trees; no model was made "
                    "(fit again, or use mode='shares', whose shares Dask recomputes)") from None


def _placed_groups(holders: List[str], rows: List[int], n_trees: int, group_size: int
                   ) -> Tuple[List[Tuple[str, List[int]]], List[int]]:
    """The shares (as `_shares_of`) and their tree counts. Trees grown in groups
    (group_size > 1) are shared out in whole groups, and every share grows at least 2 groups
    when there are 2, so that each share's own interval variance is defined; shares join
    until that holds."""
    if group_size <= 1:
        placed = _shares_of(holders, rows, n_trees)
        return placed, _tree_counts([sum(rows[p] for p in ps) for _, ps in placed], n_trees)
    groups = n_trees // group_size
    minimum = 2 if groups >= 2 else 1
    placed = _shares_of(holders, rows, groups // minimum)
    share_rows = [sum(rows[p] for p in ps) for _, ps in placed]
    counts = _tree_counts(share_rows, groups, minimum)
    return placed, [group_size * c for c in counts]


def _check_share(share: Share, counts: Dict[Hashable, int], layout: _Layout) -> None:
    missing = [label for label in [layout.control, *layout.arms] if not counts.get(label)]
    if not missing:
        return
    what = ("no control rows (control=" + repr(layout.control) + ")"
            if missing[0] == layout.control else
            "no rows of the arm(s) " + ", ".join(repr(m) for m in missing))
    raise ValueError(
        f"the rows of worker {share.worker} ({share.rows} rows in partitions "
        f"{list(share.partitions)}) hold {what}; every worker's rows grow their own trees and "
        "need control rows and rows of every arm: pass shuffle=True to spread the rows "
        "evenly, or repartition the data")


class DaskUpliftForest(UpliftForest):
    """`UpliftForest` on a Dask cluster: `fit` trains on the workers where the partitions
    are, `predict` returns a lazy Dask DataFrame. The parameters are those of
    `UpliftForest`, plus:

    mode: "exact" (default): every tree sees every row, and the forest is the one
        `UpliftForest` grows from the rows in partition order with the same seed; only
        statistics travel, two rounds of tasks per tree level. "shares": each worker grows its
        share of the trees on its own rows, one task per worker.
    shuffle: spread the rows evenly and at random over the partitions before training, for
        data whose partitions are ordered (by date, by region): every tree sees the rows of
        one worker only. The shuffle follows the fit's seed.
    client: the `distributed.Client` that `fit` and `predict` use; None (default): the
        current client when they run. A pickle or a saved model does not keep it.

    `n_jobs` counts engine threads per worker process (share mode). After `fit`, `shares_`
    lists the workers' shares (their rows, trees and seeds; empty in exact mode),
    `exact_rounds_` (exact mode) the rounds, trees per batch and bytes of arrays that
    travelled, and `to_local()` gives the same model as an in-memory `UpliftForest`.
    """

    _param_names = DASK_PARAM_NAMES

    def __init__(self, n_estimators: int = DEFAULTS["n_estimators"], *,
                 mode: str = DEFAULTS["mode"], shuffle: bool = DEFAULTS["shuffle"],
                 client: Any = DEFAULTS["client"], **params: Any) -> None:
        super().__init__(n_estimators, **params)
        self.mode = mode
        self.shuffle = shuffle
        self.client = client

    __init__.__signature__ = signature(DASK_PARAM_NAMES)  # type: ignore[attr-defined]

    def __sklearn_clone__(self) -> "DaskUpliftForest":
        """An unfitted copy with the same parameters, sharing the client (a connection is
        not copied)."""
        from sklearn.base import clone

        params = self.get_params(deep=False)
        client = params.pop("client")
        return type(self)(**{k: clone(v, safe=False) for k, v in params.items()},
                          client=client)

    # ----------------------------------------------------------------------------- fit
    def fit(self, X: Any, treatment: Any, y: Any = None) -> "DaskUpliftForest":
        """Trains a new forest on the workers (see the module's documentation).

        X: a Dask DataFrame, or a 2-D Dask array (features x0, x1, ...).
        treatment, y: names of columns of X, or Dask Series (or 1-D Dask arrays) partitioned
            like X.
        """
        if y is None:
            raise TypeError("fit needs y: a column name of X or a Dask Series of outcomes")
        check_param("mode", self.mode)
        check_param("shuffle", self.shuffle)
        client = _client(self.client)
        with client.as_current():  # the graph's choices (the shuffle's method) see this client
            self._fit_with(client, X, treatment, y)
        return self

    def _fit_with(self, client: Any, X: Any, treatment: Any, y: Any) -> None:
        frame, named = _frame_of(X)
        target_cols = [v for v in (treatment, y) if isinstance(v, str)]
        frame, t_col = _attach(frame, named, treatment, _TREATMENT, "treatment")
        frame, y_col = _attach(frame, named, y, _OUTCOME, "y")
        skip = [t_col, y_col]
        names = [str(c) for c in frame.columns if c not in skip]
        if not names:
            raise ValueError("X has no feature columns")
        settings = self._engine_settings(len(names))
        _worker_threads(self.n_jobs)  # a bad n_jobs is refused here, not on the workers
        seed, advance_generator = self._seed()

        if self.shuffle:
            key = frame.map_partitions(_add_shuffle_key, share_seed(seed, 2**32),
                                       meta=frame._meta.assign(**{_SHUFFLE_KEY: np.int64(0)}))
            frame = key.shuffle(on=_SHUFFLE_KEY, npartitions=frame.npartitions).drop(
                columns=[_SHUFFLE_KEY])
        # Released when the fit ends, by reference: the caller may hold the same keys.
        with _released(client.compute(frame.to_delayed())) as parts:
            distributed.wait(parts)
            fitted, shares = self._train(client, parts, names, named, skip, t_col, y_col,
                                         target_cols, settings, seed)
        self._adopt(fitted)
        self.shares_ = shares
        self.__dict__.pop("exact_rounds_", None)  # of an earlier fit
        if self.mode == "exact":
            self.exact_rounds_ = self.__dict__.pop("_exact_rounds")
        advance_generator()

    def _train(self, client: Any, parts: List[Any], names: List[str], named: bool,
               skip: List[str], t_col: str, y_col: str, target_cols: List[str], settings: Any,
               seed: int) -> Tuple[FittedModel, List[Share]]:
        with _released(client.map(_describe, parts, skip=skip, treatment=t_col, outcome=y_col,
                                  pure=False)) as described:
            reports = client.gather(described)
        kinds, categories, arms = _agree(reports, names, self.control)
        layout = _Layout(names, kinds, categories, named, skip, t_col, y_col, self.control,
                         arms)
        rows = [r["rows"] for r in reports]
        who_has = client.who_has(parts)
        holders = [sorted(who_has.get(p.key, ()))[0] if who_has.get(p.key) else ""
                   for p in parts]
        if self.mode == "exact":
            fitted = FittedModel(
                forest=self._grow_exact(client, parts, rows, holders, layout, settings, seed),
                feature_names=names, feature_kinds=kinds, feature_categories=categories,
                named=named, target_cols=target_cols, treatments=arms, seed=seed,
                params=grown_with(self.get_params()))
            return fitted, []
        placed, trees = _placed_groups(holders, rows, settings.n_estimators,
                                       settings.ci_group_size)
        share_rows = [sum(rows[p] for p in numbers) for _, numbers in placed]
        shares = [Share(worker, tuple(numbers), n_rows, n_trees, share_seed(seed, k))
                  for k, ((worker, numbers), n_rows, n_trees)
                  in enumerate(zip(placed, share_rows, trees))]
        for share in shares:
            counts: Dict[Hashable, int] = {}
            for p in share.partitions:
                for label, count in reports[p]["labels"].items():
                    counts[label] = counts.get(label, 0) + count
            _check_share(share, counts, layout)

        # Keys of this fit alone: a share of an abandoned fit may still be stopping on a worker.
        fit_id = uuid.uuid4().hex
        futures = [
            client.submit(_grow_share, [parts[p] for p in share.partitions], layout,
                          settings._replace(n_estimators=share.trees), share.seed, self.n_jobs,
                          k, workers=[share.worker] if share.worker else None,
                          allow_other_workers=True, pure=False,
                          key=f"quillmarsh-grow-{seed:016x}-{k}-{fit_id}")
            for k, share in enumerate(shares)]
        try:
            model_files = self._gather_trees(futures, shares)
        finally:  # on every exit, Ctrl-C's KeyboardInterrupt included: the shares stop
            client.cancel(futures)
        # the node statistics travel beside the model files (they live in the metadata)
        grown = [NativeForest.from_bytes(trees)[0] for trees, _ in model_files]
        forest = NativeForest.merge([f if stats is None else f.with_node_stats(stats)
                                     for f, (_, stats) in zip(grown, model_files)])
        if forest.n_trees != settings.n_estimators:
            raise NativeError(
                f"the merged forest holds {forest.n_trees} of {settings.n_estimators} trees")
        grouped = settings.ci_group_size > 1 and len(shares) > 1
        fitted = FittedModel(forest=forest, feature_names=names, feature_kinds=kinds,
                             feature_categories=categories, named=named,
                             target_cols=target_cols, treatments=arms, seed=seed,
                             params=grown_with(self.get_params()),
                             shares=[s.trees for s in shares] if grouped else None)
        return fitted, shares

    def _grow_exact(self, client: Any, parts: List[Any], rows: List[int], holders: List[str],
                    layout: _Layout, settings: Any, seed: int) -> NativeForest:
        """The forest of `UpliftForest` on the rows of every partition in order, grown where
        the rows are (see `_dask_exact`)."""
        numbers = [p for p in range(len(parts)) if rows[p]]
        offsets = np.concatenate([[0], np.cumsum([rows[p] for p in numbers])]).tolist()
        groups_of = {layout.control: 0, **{arm: k for k, arm in enumerate(layout.arms, 1)}}
        fit_key = _dask_exact.new_fit_key()
        settings = settings.for_rows(offsets[-1])

        def on(p: int) -> Dict[str, Any]:
            return {"workers": [holders[p]], "allow_other_workers": False} if holders[p] else {}

        def rounds(requests: List[Dict[str, Any]]) -> List[Dict[str, Any]]:
            futures = [client.submit(_dask_exact.exact_round, fit_key, p, request,
                                     words if "init" in request else None, pure=False, **on(p))
                       for p, request in zip(numbers, requests)]
            with _released(futures):
                try:
                    return _round_results(client, futures, [holders[p] for p in numbers])
                except _dask_exact.ExactStateLost as err:
                    raise RuntimeError(f"training failed: {err}; no model was made") from err

        def progress(done: int) -> None:
            if self.verbose:
                sys.stderr.write(f"quillmarsh: {done}/{settings.n_estimators} trees "
                                 f"(exact, {len(set(holders))} workers)\n")
                sys.stderr.flush()

        try:
            with _released(client.submit(_dask_exact.exact_load, parts[p], layout, groups_of,
                                         fit_key, p, offsets[k], pure=False, **on(p))
                           for k, p in enumerate(numbers)) as loads:
                loaded = client.gather(loads)
            all_words = np.concatenate([words for words, _ in loaded])
            with _released(client.scatter([all_words], broadcast=True, hash=False)) as scattered:
                words = scattered[0]
                growth = _dask_exact.ExactGrowth(settings, layout.names, layout.categories, seed,
                                                 len(groups_of),
                                                 [rows[p] for p in numbers],
                                                 [n_bytes for _, n_bytes in loaded])
                forest, self._exact_rounds = growth.run(rounds, progress)
        finally:  # Ctrl-C included: the shards' state leaves the workers (those still there)
            with contextlib.suppress(Exception):
                client.run(_dask_exact.exact_forget, fit_key)
        return forest

    def _gather_trees(self, futures: List[Any], shares: List[Share]
                      ) -> List[Tuple[bytes, Optional[bytes]]]:
        """The model file and node statistics of every share, in share order; reports
        progress when verbose."""
        position = {f.key: k for k, f in enumerate(futures)}
        results: List[Optional[Tuple[bytes, Optional[bytes]]]] = [None] * len(futures)
        total, done = sum(s.trees for s in shares), 0
        for future in distributed.as_completed(futures):
            k = position[future.key]
            try:
                results[k] = future.result()
            except distributed.KilledWorker as err:
                raise RuntimeError(
                    f"training failed: the workers growing share {k} ({shares[k].trees} trees) "
                    f"died repeatedly ({err}); no model was made") from err
            done += shares[k].trees
            if self.verbose:
                sys.stderr.write(f"quillmarsh: {done}/{total} trees ({len(shares)} workers)\n")
                sys.stderr.flush()
        return [r for r in results if r is not None]

    def save(self, path: Any) -> None:
        """Writes the model file of `UpliftForest.save`: it loads there as well as here."""
        self.to_local().save(path)

    def __getstate__(self) -> Dict[str, Any]:
        """The pickle of `to_local()` (whose model file knows no `shuffle`), with this
        estimator's own attributes; not the client, a connection of this process."""
        state = {k: v for k, v in self.__dict__.items() if k != "_fitted"}
        if getattr(self, "_fitted", None) is not None:
            state.update(self.to_local().__getstate__())
        state["client"] = None
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        super().__setstate__({"client": None, **state})  # pickles made before `client`

    def to_local(self) -> UpliftForest:
        """The fitted model as an in-memory `UpliftForest` (the same forest and metadata): it
        predicts, saves and loads like any other."""
        fitted = self._check_fitted()
        local = UpliftForest(**{k: getattr(self, k) for k in UpliftForest._param_names})
        local._adopt(fitted)
        return local

    # ------------------------------------------------------------------------- predict
    def predict(self, X: Any, return_std: bool = False, return_interval: bool = False,
                level: float = 0.95) -> Any:
        """Uplift per row and arm as a lazy Dask DataFrame with one float64 column per arm,
        named after the arms (`treatments_`), partitioned like X.

        With return_std and/or return_interval, a tuple of such frames in the order of
        `UpliftForest.predict`: (uplift, std), (uplift, lower, upper) or (uplift, lower,
        upper, std), all from the same scoring tasks; compute them together
        (`dask.compute(*frames)`) to score every partition once. The interval of a forest
        grown in groups on several workers adds the shares' variances, each weighted by the
        square of its share of the trees (see the guide).

        The model goes to every worker once (broadcast by the client, or with the graph
        without one) and each partition is scored where it lies."""
        import pandas as pd

        fitted = self._check_fitted()
        for name, flag in (("return_std", return_std), ("return_interval", return_interval)):
            if not isinstance(flag, (bool, np.bool_)):
                raise ValueError(f"{name} must be True or False, got {flag!r}")
        options: Dict[str, Any] = {"return_std": bool(return_std)}
        if return_interval:
            _decisions.normal_quantile(level)  # bad levels and forests without groups are
            _decisions.check_grouped(fitted)  # refused here, not in every task
            options.update(return_interval=True, level=level)
        outputs = 1 + 2 * bool(return_interval) + bool(return_std)
        columns = list(fitted.treatments)
        meta = pd.DataFrame(np.empty((0, len(columns))),
                            columns=pd.Index(columns, tupleize_cols=False))
        frame, _ = _frame_of(X)
        if outputs == 1:
            return self._map(frame, "predict", columns, options, meta)
        side_by_side = self._map(frame, "predict", columns, options,
                                 pd.DataFrame(np.empty((0, outputs * len(columns)))))
        return tuple(side_by_side.map_partitions(_columns, k * len(columns), columns, meta=meta)
                     for k in range(outputs))

    def predict_rates(self, X: Any) -> Any:
        """Each group's outcome rate per row as a lazy Dask DataFrame, partitioned like X:
        a column per group, control first, then the arms (`treatments_`), as
        `UpliftForest.predict_rates`."""
        import pandas as pd

        fitted = self._check_fitted()
        _decisions.check_node_stats(fitted)
        columns = [self.control, *fitted.treatments]
        meta = pd.DataFrame(np.empty((0, len(columns))),
                            columns=pd.Index(columns, tupleize_cols=False))
        return self._map(_frame_of(X)[0], "predict_rates", columns, {}, meta)

    def recommend(self, X: Any, value: float = 1.0, costs: Optional[Dict[Any, float]] = None,
                  cautious: bool = False, level: float = 0.95) -> Any:
        """The group to give each row (as `UpliftForest.recommend`) as a lazy Dask Series of
        labels, partitioned like X."""
        import pandas as pd

        fitted = self._check_fitted()
        if cautious:
            _decisions.normal_quantile(level)
            _decisions.check_grouped(fitted)
        # the checks of value and costs, here rather than in every task
        _decisions.recommend(np.zeros((0, len(fitted.treatments))), None, fitted.treatments,
                             self.control, value, costs)
        options = dict(value=value, costs=costs, cautious=cautious, level=level)
        return self._map(_frame_of(X)[0], "recommend", [], options,
                         pd.Series([], dtype=object))

    def _map(self, frame: Any, method: str, columns: List[Hashable], options: Dict[str, Any],
             meta: Any) -> Any:
        """`_predict_part` over the partitions of `frame`, with the model sent to every
        worker once."""
        model: Any = self.to_local()
        client = self._current_client()
        if client is not None:
            model = client.scatter(model, broadcast=True, hash=False)
        return frame.map_partitions(_predict_part, model, columns, method, options, meta=meta,
                                    align_dataframes=False)

    def _current_client(self) -> Any:
        """`client`, or the current client, or None when there is none."""
        if self.client is not None:
            return _client(self.client)
        try:
            return distributed.get_client()
        except ValueError:
            return None
