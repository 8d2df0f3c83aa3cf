"""Every call the kit makes into its engine, `quillmarsh_kit._engine`: training, prediction,
importance and the model file, behind `NativeForest`, plus the translation of its failures.

The engine reads numpy buffers in place and releases the interpreter lock while it trains and
predicts; `NativeForest` hands it the kit's `Table` columns and returns numpy arrays, so that
nothing else in the kit knows the engine's call protocol.

The engine raises `PanicException` (a `BaseException`, so it would pass through
`except Exception`) for every failure inside its own work. The kit validates its inputs first,
so such a failure means something unexpected happened; it is re-raised as `NativeError`, an
ordinary `RuntimeError` that keeps the original as its cause. Every other exception passes
through as itself: Ctrl-C's `KeyboardInterrupt`, the `OSError` of a file operation (with errno
and file name), `MemoryError`, and the `ValueError` of text that is not UTF-8.
"""

from __future__ import annotations

import contextlib
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from ._params import EngineSettings
from ._tabular import STRING, Table

# Numeric columns reach the engine as float32; prediction converts them this many bytes of
# float32 at a time, so that a frame of float64 columns is never copied whole.
PREDICT_BLOCK_BYTES = 32 << 20
# The engine predicts in blocks of this many rows, one block per thread at a time.
ENGINE_BLOCK_ROWS = 256


class NativeError(RuntimeError):
    """An operation of the native `quillmarsh` engine failed."""


def engine() -> Any:
    """The `quillmarsh_kit._engine` module; imported on first use."""
    try:
        from . import _engine
    except ImportError as err:  # pragma: no cover - depends on the installation
        raise ImportError(
            "quillmarsh_kit needs its native engine 'quillmarsh_kit._engine', which could not "
            "be imported; install the quillmarsh distribution (pip install quillmarsh)"
        ) from err
    return _engine


def is_panic(err: BaseException) -> bool:
    """True for the native modules' internal-failure exception: one type, which the engine and
    the class `quillmarsh._UpliftRandomForestModel` both raise."""
    return isinstance(err, engine().PanicException)


@contextlib.contextmanager
def native_call(action: str) -> Iterator[None]:
    """Runs an engine call, turning an internal failure into `NativeError`."""
    try:
        yield
    except BaseException as err:
        if not is_panic(err):
            raise
        raise NativeError(f"{action} failed inside the native module: {err}") from err


def _predict_blocks(table: Table) -> int:
    """Rows converted and predicted at once: every row when no column needs a float32 copy."""
    copies = [c for c in table.columns if c.kind != STRING and c.values.dtype != np.float32]
    if not copies:
        return max(table.n_rows, 1)
    return max(PREDICT_BLOCK_BYTES // (4 * len(copies)), ENGINE_BLOCK_ROWS)


class NativeForest:
    """One trained forest of the engine."""

    def __init__(self, forest: Any) -> None:
        self._forest = forest

    @property
    def n_trees(self) -> int:
        return int(self._forest.n_trees)

    @property
    def n_outputs(self) -> int:
        return int(self._forest.n_outputs)

    @property
    def feature_names(self) -> List[str]:
        return list(self._forest.feature_names)

    @classmethod
    def train(cls, settings: EngineSettings, table: Table, groups: np.ndarray,
              outcome: np.ndarray, threads: int, seed: int,
              progress: Optional[Callable[[int], None]]) -> "NativeForest":
        """Grows a forest on the features of `table` (numeric columns as float32), the int32
        treatment group (0 = control) and the uint8 0/1 outcome of every row, on `threads`
        threads (see `EngineSettings.training_threads`), from `seed`. A fractional max_samples
        is taken of the table's rows."""
        return cls.train_with_oob(settings, table, groups, outcome, threads, seed, progress)[0]

    @classmethod
    def train_with_oob(cls, settings: EngineSettings, table: Table, groups: np.ndarray,
                       outcome: np.ndarray, threads: int, seed: int,
                       progress: Optional[Callable[[int], None]]
                       ) -> Tuple["NativeForest", Optional[np.ndarray]]:
        """`train`, and when the trees draw samples (max_samples, bootstrap or groups) each
        training row's out-of-bag uplift, (rows, arms), NaN where every tree held the row."""
        settings = settings.for_rows(table.n_rows)
        columns = [c.engine_column() for c in table.columns]
        samples = (settings.max_samples is not None or settings.bootstrap
                   or settings.ci_group_size > 1)
        oob = (np.empty((table.n_rows, int(groups.max(initial=0))), dtype=np.float64)
               if samples else None)
        with native_call("training"):
            forest = engine().fit(columns, table.names, groups, outcome, **settings._asdict(),
                                  n_threads=threads, seed=seed, progress=progress, oob_out=oob)
        return cls(forest), oob

    def predict(self, table: Table, threads: int, return_std: bool = False
                ) -> Union[np.ndarray, Tuple[np.ndarray, np.ndarray]]:
        """The mean uplift of the trees per row of `table` (features in training order) and
        output: an array of shape (rows, n_outputs); with return_std also the population
        standard deviation over the trees, of the same shape."""
        out = np.empty((table.n_rows, self.n_outputs), dtype=np.float64)
        std = np.empty_like(out) if return_std else None
        # the engine predicts blocks of rows side by side
        threads = max(1, min(threads, -(-table.n_rows // ENGINE_BLOCK_ROWS)))
        step = _predict_blocks(table)
        for start in range(0, table.n_rows, step):
            stop = min(start + step, table.n_rows)
            columns = [c.engine_column(start, stop) for c in table.columns]
            with native_call("prediction"):
                if std is None:
                    self._forest.predict(columns, out[start:stop], threads)
                else:
                    self._forest.predict(columns, out[start:stop], threads, std[start:stop])
        return out if std is None else (out, std)

    @property
    def has_node_stats(self) -> bool:
        return bool(self._forest.has_node_stats)

    def _blocks(self, table: Table, threads: int, outputs: List[np.ndarray], action: str,
                call: Callable[..., None]) -> None:
        """Runs `call(columns, *output blocks, threads)` over the rows of `table` in blocks."""
        threads = max(1, min(threads, -(-table.n_rows // ENGINE_BLOCK_ROWS)))
        step = _predict_blocks(table)
        for start in range(0, table.n_rows, step):
            stop = min(start + step, table.n_rows)
            columns = [c.engine_column(start, stop) for c in table.columns]
            with native_call(action):
                call(columns, *[o[start:stop] for o in outputs], threads)

    def predict_rates(self, table: Table, threads: int) -> np.ndarray:
        """Each group's outcome rate per row, control first: (rows, n_outputs + 1)."""
        out = np.empty((table.n_rows, self.n_outputs + 1), dtype=np.float64)
        self._blocks(table, threads, [out], "rate prediction", self._forest.predict_rates)
        return out

    def predict_spread(self, table: Table, threads: int, group_size: int,
                       shares: Optional[Sequence[int]] = None
                       ) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """(uplift, between, within, variance) of a forest grown in groups of `group_size`
        trees: the spread of the group means, its within-group part and the variance estimate
        of the uplift, each (rows, n_outputs). `shares`: the tree counts of the consecutive
        parts of a forest merged from forests grown apart, whose variances add (weighted by
        the square of each part's share of the trees); None: one forest."""
        counts = None if shares is None else np.asarray(shares, dtype=np.uint32)
        outs = [np.empty((table.n_rows, self.n_outputs), dtype=np.float64) for _ in range(4)]
        self._blocks(table, threads, outs, "interval prediction",
                     lambda c, o, b, w, v, n: self._forest.predict_spread(
                         c, o, b, w, v, n, group_size, shares=counts))
        return outs[0], outs[1], outs[2], outs[3]

    def explain(self, table: Table, threads: int) -> Tuple[np.ndarray, np.ndarray]:
        """Per row, feature and output the contribution to the uplift (rows, features,
        n_outputs), and the expected value per output (path-dependent TreeSHAP)."""
        n_features, width = len(table.columns), self.n_outputs
        out = np.empty((table.n_rows, n_features * width), dtype=np.float64)
        base = np.empty((1, width), dtype=np.float64)
        if table.n_rows == 0:
            with native_call("explanation"):
                self._forest.explain([c.engine_column() for c in table.columns], out, base, 1)
        self._blocks(table, threads, [out], "explanation",
                     lambda c, o, n: self._forest.explain(c, o, base, n))
        return out.reshape(table.n_rows, n_features, width), base[0]

    def node_stats(self) -> Optional[bytes]:
        """The trees' node statistics in the engine's form, or None."""
        return self._forest.node_stats()

    def with_node_stats(self, data: bytes) -> "NativeForest":
        """This forest with node statistics `data` (as `node_stats` gives them)."""
        return NativeForest(self._forest.with_node_stats(data))

    def feature_importance(self, importance_type: str) -> np.ndarray:
        """Per feature, the mean over the trees of the summed split gains ("gain") or of the
        number of splits ("split")."""
        with native_call("feature importance"):
            return np.asarray(self._forest.feature_importance(importance_type),
                              dtype=np.float64)

    def save(self, path: str, metadata: str) -> None:
        """Writes the model file, with `metadata` (one JSON value) under its "quillmarsh_kit"
        key; the engine replaces the file only once it is written whole."""
        with native_call("saving the model"):
            self._forest.save(path, metadata)

    def to_bytes(self, metadata: str) -> bytes:
        """The model file that `save` writes, as bytes."""
        with native_call("writing the model"):
            return self._forest.to_bytes(metadata)

    @classmethod
    def load(cls, path: str) -> Tuple["NativeForest", Optional[str]]:
        """Reads a model file: the forest and the text under its "quillmarsh_kit" key (None
        for a file without it)."""
        with native_call(f"loading {path}"):
            forest, metadata = engine().load(path)
        return cls(forest), metadata

    @classmethod
    def merge(cls, forests: List["NativeForest"]) -> "NativeForest":
        """One forest holding the trees of `forests` in order; they must agree on features,
        outputs and training settings."""
        with native_call("merging forests"):
            return cls(engine().merge([f._forest for f in forests]))

    @classmethod
    def from_bytes(cls, data: bytes) -> Tuple["NativeForest", Optional[str]]:
        with native_call("reading the model"):
            forest, metadata = engine().from_bytes(data)
        return cls(forest), metadata
