"""Every call the kit makes into the native module: training, prediction, importance and the
model file, behind `NativeForest`, plus the translation of the module's failures.

The native class takes a dict of Python lists to train on and one list per row to predict;
`NativeForest` takes the kit's `Table` and returns numpy arrays, so that nothing else in the
kit knows the native call protocol.

The native module raises `PanicException` (a `BaseException`, so it would pass through
`except Exception`) for every failure inside its own work. The kit validates its inputs first,
so such a failure means something unexpected happened; it is re-raised as `NativeError`, an
ordinary `RuntimeError` that keeps the original as its cause. An interrupt is not a failure:
the module turns a `KeyboardInterrupt` that hits its progress printing into a panic whose
message names it, and that panic is raised again as `KeyboardInterrupt`. Every other exception
passes through as itself.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
from typing import Any, Dict, Iterator, List, Sequence

import numpy as np

from ._params import NativeSettings
from ._progress import capture_training
from ._tabular import Table

PREDICT_CHUNK_ROWS = 65_536
# How a panic message reports a Python KeyboardInterrupt met while the module printed.
_INTERRUPTED = ("called `Result::unwrap()` on an `Err` value: "
                "PyErr { type: <class 'KeyboardInterrupt'>")


class NativeError(RuntimeError):
    """An operation of the native `quillmarsh` module failed."""


def native_class() -> Any:
    """The native `_UpliftRandomForestModel` class; imported on first use."""
    try:
        import quillmarsh
    except ImportError as err:  # pragma: no cover - depends on the installation
        raise ImportError(
            "quillmarsh_kit needs the native module 'quillmarsh', which could not be imported; "
            "install the quillmarsh distribution (pip install quillmarsh)"
        ) from err
    return quillmarsh._UpliftRandomForestModel


def is_panic(err: BaseException) -> bool:
    """True for the native module's internal-failure exception."""
    kind = type(err)
    return kind.__name__ == "PanicException" and kind.__module__ == "vornex_runtime"


@contextlib.contextmanager
def native_call(action: str) -> Iterator[None]:
    """Runs a native call, turning an internal failure into `NativeError` and an interrupt
    reported as one back into `KeyboardInterrupt`."""
    try:
        yield
    except BaseException as err:
        if not is_panic(err):
            raise
        if str(err).startswith(_INTERRUPTED):
            raise KeyboardInterrupt from err
        raise NativeError(f"{action} failed inside the native module: {err}") from err


def _free_name(base: str, taken: Sequence[str]) -> str:
    """A column name for the native call that no feature uses."""
    name = f"__{base}__"
    while name in taken:
        name = f"_{name}_"
    return name


def _blank_model() -> Any:
    """A native instance to `load` into; its settings are replaced by the file's."""
    return native_class()(1, 1, 1, 1, "KL", 2, False, False, 0.0)


class NativeForest:
    """One trained native forest of `n_trees` trees."""

    def __init__(self, model: Any, n_trees: int) -> None:
        self._model = model
        self.n_trees = n_trees

    @classmethod
    def train(cls, settings: NativeSettings, table: Table, groups: List[int],
              outcome: List[int], threads: int, verbose: bool) -> "NativeForest":
        """Grows a forest on the features of `table`, the treatment group (0 = control) and
        the 0/1 outcome of every row, on at most `threads` threads."""
        names = table.names
        treatment_col = _free_name("treatment", names)
        outcome_col = _free_name("outcome", [*names, treatment_col])
        data: Dict[str, list] = {c.name: c.as_list() for c in table.columns}
        data[treatment_col] = groups
        data[outcome_col] = outcome
        # Trees grow side by side and each node searches its features on the shared pool, so
        # no more than this many threads ever have work.
        threads = max(1, min(threads, settings.n_estimators * settings.max_features))
        model = native_class()(*settings)
        with capture_training(settings.n_estimators, verbose) as progress:
            with native_call("training"):
                model.fit(data, names, treatment_col, outcome_col, threads)
        if len(progress.trees) != settings.n_estimators:
            raise NativeError(
                f"training finished only {len(progress.trees)} of {settings.n_estimators} "
                "trees; the native module reported the failure on standard error"
            )
        return cls(model, settings.n_estimators)

    def predict(self, table: Table, n_arms: int, threads: int) -> np.ndarray:
        """The mean uplift of the trees per row of `table` (features in training order) and
        arm: an array of shape (rows, n_arms)."""
        out = np.empty((table.n_rows, n_arms), dtype=np.float64)
        if table.n_rows == 0:
            return out
        # Prediction is parallel over trees; one thread predicts on the calling thread.
        threads = max(1, min(threads, self.n_trees))
        # Rows go to the native call in chunks, so that the Python objects of only one chunk
        # exist at a time (a million rows of 20 cells would otherwise take about 1 GB).
        for start in range(0, table.n_rows, PREDICT_CHUNK_ROWS):
            stop = min(start + PREDICT_CHUNK_ROWS, table.n_rows)
            rows = table.rows(start, stop)
            with native_call("prediction"):
                result = self._model.predict(rows, threads)
            out[start:stop] = np.asarray(result, dtype=np.float64).reshape(stop - start, n_arms)
        return out

    def feature_importance(self, importance_type: str) -> np.ndarray:
        """Per feature, the mean over the trees of the summed split gains ("gain") or of the
        number of splits ("split")."""
        with native_call("feature importance"):
            return np.asarray(self._model.get_feature_importance(importance_type),
                              dtype=np.float64)

    def feature_names(self) -> List[str]:
        with native_call("reading the feature names"):
            return list(self._model.feature_cols())

    def save(self, path: str) -> None:
        """Writes the native model file."""
        with native_call("saving the model"):
            self._model.save(path)

    @classmethod
    def load(cls, path: str, n_trees: int) -> "NativeForest":
        """Reads a native model file written by `save`."""
        model = _blank_model()
        with native_call(f"loading {path}"):
            model.load(path)
        return cls(model, n_trees)

    def to_bytes(self) -> bytes:
        """The native model file as bytes (for pickling)."""
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "model.json")
            self.save(path)
            with open(path, "rb") as src:
                return src.read()

    @classmethod
    def from_bytes(cls, data: bytes, n_trees: int) -> "NativeForest":
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "model.json")
            with open(path, "wb") as out:
                out.write(data)
            return cls.load(path, n_trees)
