"""`UpliftForest`: the native uplift random forest behind a scikit-learn style estimator."""

from __future__ import annotations

import json
import math
import numbers
import os
import tempfile
from typing import Any, Dict, Hashable, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _native
from ._encode import binary_outcome, treatment_groups
from ._progress import capture_training
from ._tabular import Column, Table, to_table, to_vector
from ._version import __version__

PathLike = Union[str, "os.PathLike[str]"]

SIDECAR_SUFFIX = ".kit.json"
_SIDECAR_FORMAT = "quillmarsh_kit.UpliftForest"
_CRITERIA = ("KL", "ED", "CHI")
PREDICT_CHUNK_ROWS = 65_536
# The native node array of a tree holds 2^(max_depth+1) - 1 slots whatever the data.
_MAX_DEPTH_LIMIT = 30

_PARAM_NAMES = (
    "n_estimators", "max_features", "max_depth", "min_samples_leaf", "criterion", "max_bins",
    "balance_arms", "normalize_gain", "alpha", "n_jobs", "control", "verbose",
)


def uplift_target(treatment: Any, y: Any) -> np.ndarray:
    """Packs treatment labels and outcomes into one (n, 2) object array.

    scikit-learn's model-selection tools pass one target array around; with this pair as the
    target, `UpliftForest.fit(X, target)` and the scorers of `quillmarsh_kit.metrics` both
    recover the treatment and the outcome of exactly the rows they were given:

        cross_validate(UpliftForest(), X, uplift_target(t, y), scoring=make_uplift_scorer())
    """
    t_values, _ = to_vector(treatment, "treatment")
    y_values, _ = to_vector(y, "y")
    if len(t_values) != len(y_values):
        raise ValueError(f"treatment has {len(t_values)} rows but y has {len(y_values)}")
    target = np.empty((len(t_values), 2), dtype=object)
    target[:, 0] = t_values
    target[:, 1] = y_values
    return target


def split_target(target: Any) -> Tuple[Any, Any]:
    """The (treatment, outcome) columns of a target made by `uplift_target`."""
    arr = target.to_numpy() if hasattr(target, "to_numpy") else np.asarray(target, dtype=object)
    if arr.ndim != 2 or arr.shape[1] != 2:
        raise ValueError(
            "without y, the second argument must be a two-column target made by "
            f"uplift_target(treatment, y); got shape {arr.shape}"
        )
    return arr[:, 0].tolist(), arr[:, 1].tolist()


def _check_int(name: str, value: Any, low: int, high: Optional[int] = None) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise ValueError(f"{name} must be an integer, got {value!r}")
    value = int(value)
    if value < low or (high is not None and value > high):
        bounds = f">= {low}" if high is None else f"in [{low}, {high}]"
        raise ValueError(f"{name} must be {bounds}, got {value}")
    return value


def _check_bool(name: str, value: Any) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{name} must be True or False, got {value!r}")
    return bool(value)


def _encode_label(label: Any) -> Any:
    if label is None or isinstance(label, (bool, str)):
        return label
    if isinstance(label, numbers.Integral):
        return int(label)
    if isinstance(label, numbers.Real) and math.isfinite(float(label)):
        return float(label)
    if isinstance(label, tuple):
        return {"tuple": [_encode_label(x) for x in label]}
    raise ValueError(
        f"treatment label {label!r} of type {type(label).__name__} cannot be saved; use str, "
        "int, float, bool or tuple labels"
    )


def _decode_label(value: Any) -> Any:
    if isinstance(value, dict):
        return tuple(_decode_label(x) for x in value["tuple"])
    return value


class UpliftForest:
    """Uplift random forest for a binary outcome and one or more treatment arms.

    Parameters
    ----------
    n_estimators: trees grown by one `fit`.
    max_features: features tried at each node: an int, a fraction in (0, 1] of the features,
        "sqrt", "log2" or None (every feature). Never more than the number of features.
    max_depth: depth limit of every tree (0 gives a single leaf). Each tree stores
        2^(max_depth+1) - 1 nodes, so memory grows quickly beyond 15 or so.
    min_samples_leaf: a split is made only when both children get MORE than this many rows.
    criterion: divergence between treated and control outcome rates: "KL" (Kullback-Leibler),
        "ED" (squared Euclidean distance) or "CHI" (chi-squared); case does not matter.
    max_bins: candidate thresholds per feature and node are the quantiles at 1/max_bins,
        2/max_bins, ... of a sample of at most 500 * max_bins rows; at least 2.
    balance_arms: with several arms, weigh every arm equally in the divergence (True) or by
        its number of rows (False).
    normalize_gain: divide each split's gain by a normaliser that penalises unbalanced splits.
    alpha: weight within that normaliser, used only with normalize_gain.
    n_jobs: threads for training and prediction; -1 or None: every logical processor,
        -2: all but one, and so on.
    control: the treatment label of the control group. The other labels become the arms, in
        sorted order: column k of `predict` is the uplift of `treatments_[k]`.
    verbose: show a progress bar over the trees while training (tqdm when installed,
        otherwise one line per tenth of the trees, on standard error).

    Attributes after `fit`: `treatments_`, `n_features_in_`, `feature_names_in_` (only for
    inputs with column names), `feature_importances_`.
    """

    def __init__(
        self,
        n_estimators: int = 100,
        *,
        max_features: Union[int, float, str, None] = 10,
        max_depth: int = 5,
        min_samples_leaf: int = 100,
        criterion: str = "KL",
        max_bins: int = 10,
        balance_arms: bool = False,
        normalize_gain: bool = False,
        alpha: float = 0.9,
        n_jobs: Optional[int] = -1,
        control: Hashable = 0,
        verbose: Union[bool, int] = False,
    ) -> None:
        self.n_estimators = n_estimators
        self.max_features = max_features
        self.max_depth = max_depth
        self.min_samples_leaf = min_samples_leaf
        self.criterion = criterion
        self.max_bins = max_bins
        self.balance_arms = balance_arms
        self.normalize_gain = normalize_gain
        self.alpha = alpha
        self.n_jobs = n_jobs
        self.control = control
        self.verbose = verbose

    # ----------------------------------------------------------------- scikit-learn protocol
    def get_params(self, deep: bool = True) -> Dict[str, Any]:
        return {name: getattr(self, name) for name in _PARAM_NAMES}

    def set_params(self, **params: Any) -> "UpliftForest":
        for name, value in params.items():
            if name not in _PARAM_NAMES:
                raise ValueError(
                    f"invalid parameter {name!r} for UpliftForest; valid parameters: "
                    f"{', '.join(_PARAM_NAMES)}"
                )
            setattr(self, name, value)
        return self

    def __sklearn_tags__(self) -> Any:
        from sklearn.utils import InputTags, Tags, TargetTags

        # Training draws its randomness from the operating system: no two fits are equal.
        return Tags(
            estimator_type=None,
            target_tags=TargetTags(required=True),
            non_deterministic=True,
            input_tags=InputTags(string=True, categorical=True, dict=True, allow_nan=True),
        )

    def __repr__(self) -> str:
        defaults = UpliftForest().get_params()
        changed = [
            f"{k}={v!r}" for k, v in self.get_params().items()
            if not (type(v) is type(defaults[k]) and v == defaults[k])
        ]
        return f"UpliftForest({', '.join(changed)})"

    # ------------------------------------------------------------------------- settings
    def _native_settings(self, n_features: int) -> Tuple[Any, ...]:
        """The nine native constructor arguments, validated."""
        n_estimators = _check_int("n_estimators", self.n_estimators, 1, 2**31 - 1)
        max_depth = _check_int("max_depth", self.max_depth, 0, _MAX_DEPTH_LIMIT)
        min_leaf = _check_int("min_samples_leaf", self.min_samples_leaf, 0)
        max_bins = _check_int("max_bins", self.max_bins, 2)
        criterion = self.criterion.upper() if isinstance(self.criterion, str) else None
        if criterion not in _CRITERIA:
            raise ValueError(f"criterion must be one of 'KL', 'ED', 'CHI', got {self.criterion!r}")
        balance = _check_bool("balance_arms", self.balance_arms)
        normalize = _check_bool("normalize_gain", self.normalize_gain)
        if (isinstance(self.alpha, (bool, np.bool_)) or not isinstance(self.alpha, numbers.Real)
                or not math.isfinite(float(self.alpha))):
            raise ValueError(f"alpha must be a finite number, got {self.alpha!r}")
        max_features = self._resolve_max_features(n_features)
        return (n_estimators, max_features, max_depth, min_leaf, criterion, max_bins,
                balance, normalize, float(self.alpha))

    def _resolve_max_features(self, n_features: int) -> int:
        value = self.max_features
        if value is None:
            chosen = n_features
        elif isinstance(value, str):
            if value == "sqrt":
                chosen = int(math.sqrt(n_features))
            elif value == "log2":
                chosen = int(math.log2(n_features)) if n_features else 0
            else:
                raise ValueError(f"max_features must be an int, a float, 'sqrt', 'log2' or None, got {value!r}")
        elif isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_)):
            chosen = _check_int("max_features", value, 1)
        elif isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_)):
            if not 0.0 < float(value) <= 1.0:
                raise ValueError(f"a fractional max_features must lie in (0, 1], got {value!r}")
            chosen = int(float(value) * n_features)
        else:
            raise ValueError(f"max_features must be an int, a float, 'sqrt', 'log2' or None, got {value!r}")
        return max(1, min(chosen, n_features))

    def _threads(self) -> int:
        if self.n_jobs is None:
            return -1
        n = _check_int("n_jobs", self.n_jobs, -(2**31), 2**31 - 1)
        if n == 0:
            raise ValueError("n_jobs must not be 0; use -1 for every processor")
        if n < -1:
            return max((os.cpu_count() or 1) + 1 + n, 1)
        return n

    # ----------------------------------------------------------------------------- fit
    def fit(self, X: Any, treatment: Any, y: Any = None) -> "UpliftForest":
        """Trains a new forest, replacing any earlier one.

        X: the features (a table, a 2-D array, a dict of columns or a list of rows).
        treatment: one label per row, or the name of a column of X holding them; or, with y
            omitted, a target made by `uplift_target(treatment, y)`.
        y: the binary outcome per row (0/1 or booleans), or the name of a column of X.
        """
        if y is None:
            treatment, y = split_target(treatment)
        table = to_table(X)
        target_cols = [v for v in (treatment, y) if isinstance(v, str)]
        if target_cols and not table.named:
            raise ValueError("treatment and y may name columns only when X has column names")
        treatment_values = self._target_values(table, treatment, "treatment")
        y_values = self._target_values(table, y, "y")
        table = table.drop(target_cols)

        if table.n_rows == 0:
            raise ValueError("X has no rows")
        if not table.columns:
            raise ValueError("X has no feature columns")
        if not len(treatment_values[0]) == len(y_values[0]) == table.n_rows:
            raise ValueError(
                f"X has {table.n_rows} rows, treatment has {len(treatment_values[0])} and y has "
                f"{len(y_values[0])}; they must match"
            )
        settings = self._native_settings(len(table.columns))
        threads = self._threads()
        groups, arms = treatment_groups(*treatment_values, control=self.control)
        outcome = binary_outcome(*y_values)

        names = table.names
        treatment_col = _free_name("treatment", names)
        outcome_col = _free_name("outcome", names + [treatment_col])
        data: Dict[str, list] = {c.name: c.as_list() for c in table.columns}
        data[treatment_col] = groups
        data[outcome_col] = outcome

        model = _native.native_class()(*settings)
        n_estimators = settings[0]
        with capture_training(n_estimators, bool(self.verbose)) as progress:
            with _native.native_call("training"):
                model.fit(data, names, treatment_col, outcome_col, threads)
        if len(progress.trees) != n_estimators:
            raise _native.NativeError(
                f"training finished only {len(progress.trees)} of {n_estimators} trees; the "
                "native module reported the failure on standard error"
            )

        self._model = model
        self._feature_names = names
        self._feature_kinds = table.kinds
        self._target_cols = target_cols
        self.treatments_: List[Hashable] = arms
        self.n_features_in_ = len(names)
        if table.named:
            self.feature_names_in_ = np.asarray(names, dtype=object)
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        return self

    @staticmethod
    def _target_values(table: Table, values: Any, what: str) -> Tuple[list, Optional[np.ndarray]]:
        if not isinstance(values, str):
            return to_vector(values, what)
        try:
            column = table.column(values)
        except KeyError:
            raise ValueError(f"{what} names column {values!r}, which X does not have") from None
        if isinstance(column.values, np.ndarray):
            return column.values.tolist(), column.values
        return column.values, None

    # ------------------------------------------------------------------------- predict
    def _check_fitted(self) -> None:
        if getattr(self, "_model", None) is None:
            raise NotFittedError(
                "this UpliftForest is not fitted yet; call fit(X, treatment, y) first"
            )

    def _aligned(self, X: Any) -> Table:
        table = to_table(X)
        expected = self._feature_names
        if table.named and hasattr(self, "feature_names_in_"):
            table = table.drop([c for c in self._target_cols if c not in expected])
            given = table.names
            missing = [n for n in expected if n not in given]
            extra = [n for n in given if n not in expected]
            if missing or extra:
                parts = []
                if missing:
                    parts.append(f"missing {missing}")
                if extra:
                    parts.append(f"unexpected {extra}")
                raise ValueError(
                    "X has different columns from the training data: " + "; ".join(parts)
                )
            columns = [table.column(n) for n in expected]
        else:
            if len(table.columns) != len(expected) and not (table.n_rows == 0 and not table.columns):
                raise ValueError(
                    f"X has {len(table.columns)} features, but the model was trained with "
                    f"{len(expected)}"
                )
            columns = [Column(n, c.kind, c.values) for n, c in zip(expected, table.columns)]
        for column, kind in zip(columns, self._feature_kinds):
            if column.kind != kind and table.n_rows > 0:  # an empty column has no kind
                raise ValueError(
                    f"feature {column.name!r} was a {kind} column in training but holds "
                    f"{column.kind} values here"
                )
        return Table(columns, table.n_rows, table.named)

    def predict(self, X: Any) -> np.ndarray:
        """Estimated uplift per row and arm: an array of shape (rows, len(treatments_)).

        Column k is the outcome rate under arm `treatments_[k]` minus the rate under control.
        """
        self._check_fitted()
        table = self._aligned(X)
        k = len(self.treatments_)
        if table.n_rows == 0:
            return np.empty((0, k), dtype=np.float64)
        threads = self._threads()
        out = np.empty((table.n_rows, k), dtype=np.float64)
        # Rows go to the native call in chunks, so that the Python objects of only one chunk
        # exist at a time (a million rows of 20 cells would otherwise take about 1 GB).
        for start in range(0, table.n_rows, PREDICT_CHUNK_ROWS):
            stop = min(start + PREDICT_CHUNK_ROWS, table.n_rows)
            rows = table.rows(start, stop)
            with _native.native_call("prediction"):
                result = self._model.predict(rows, threads)
            out[start:stop] = np.asarray(result, dtype=np.float64).reshape(stop - start, k)
        return out

    # ---------------------------------------------------------------------- importance
    def get_feature_importance(
        self, importance_type: str = "gain", normalize: bool = False
    ) -> np.ndarray:
        """Per feature, in training order: the mean over trees of the summed split gains
        ("gain") or of the number of splits ("split"); with normalize, scaled to sum to 1."""
        self._check_fitted()
        if importance_type not in ("gain", "split"):
            raise ValueError(f"importance_type must be 'gain' or 'split', got {importance_type!r}")
        with _native.native_call("feature importance"):
            raw = self._model.get_feature_importance(importance_type)
        values = np.asarray(raw, dtype=np.float64)
        if normalize:
            total = values.sum()
            if total > 0:
                values = values / total
        return values

    @property
    def feature_importances_(self) -> np.ndarray:
        """Gain importance per feature, normalised to sum to 1 (all zeros without splits)."""
        return self.get_feature_importance("gain", normalize=True)

    # --------------------------------------------------------------------- persistence
    def _metadata(self) -> Dict[str, Any]:
        params = self.get_params()
        params["control"] = _encode_label(params["control"])
        return {
            "format": _SIDECAR_FORMAT,
            "version": __version__,
            "params": params,
            "feature_names": list(self._feature_names),
            "feature_kinds": list(self._feature_kinds),
            "named": hasattr(self, "feature_names_in_"),
            "target_cols": list(self._target_cols),
            "treatments": [_encode_label(a) for a in self.treatments_],
        }

    def _restore(self, meta: Dict[str, Any], model: Any) -> None:
        if meta.get("format") != _SIDECAR_FORMAT:
            raise ValueError("not a quillmarsh_kit model description")
        self._model = model
        self._feature_names = list(meta["feature_names"])
        self._feature_kinds = list(meta["feature_kinds"])
        self._target_cols = list(meta["target_cols"])
        self.treatments_ = [_decode_label(a) for a in meta["treatments"]]
        self.n_features_in_ = len(self._feature_names)
        if meta["named"]:
            self.feature_names_in_ = np.asarray(self._feature_names, dtype=object)

    def save(self, path: PathLike) -> None:
        """Writes the native model file at `path` and the kit's metadata beside it, at
        `path` + ".kit.json"."""
        self._check_fitted()
        path = os.fspath(path)
        meta = self._metadata()
        with _native.native_call("saving the model"):
            self._model.save(path)
        with open(path + SIDECAR_SUFFIX, "w", encoding="utf-8") as out:
            json.dump(meta, out, indent=1)

    @classmethod
    def load(cls, path: PathLike) -> "UpliftForest":
        """Reads a model written by `save`."""
        path = os.fspath(path)
        try:
            with open(path + SIDECAR_SUFFIX, encoding="utf-8") as src:
                meta = json.load(src)
        except FileNotFoundError:
            raise FileNotFoundError(
                f"{path + SIDECAR_SUFFIX} not found: a model saved by UpliftForest.save has its "
                "metadata there"
            ) from None
        if not os.path.exists(path):
            raise FileNotFoundError(f"model file {path} not found")
        params = dict(meta["params"])
        params["control"] = _decode_label(params["control"])
        forest = cls(**params)
        forest._restore(meta, _load_native(path))
        return forest

    def __getstate__(self) -> Dict[str, Any]:
        state = {k: v for k, v in self.__dict__.items() if k != "_model"}
        if getattr(self, "_model", None) is not None:
            state["_meta"] = self._metadata()
            with tempfile.TemporaryDirectory() as tmp:
                path = os.path.join(tmp, "model.json")
                with _native.native_call("saving the model"):
                    self._model.save(path)
                with open(path, "rb") as src:
                    state["_model_bytes"] = src.read()
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        state = dict(state)
        model_bytes = state.pop("_model_bytes", None)
        meta = state.pop("_meta", None)
        self.__dict__.update(state)
        if model_bytes is not None and meta is not None:
            with tempfile.TemporaryDirectory() as tmp:
                path = os.path.join(tmp, "model.json")
                with open(path, "wb") as out:
                    out.write(model_bytes)
                self._restore(meta, _load_native(path))


class NotFittedError(ValueError, AttributeError):
    """The estimator was used before `fit` (also an AttributeError, like scikit-learn's)."""


def _load_native(path: str) -> Any:
    model = _native.native_class()(1, 1, 1, 1, "KL", 2, False, False, 0.0)
    with _native.native_call(f"loading {path}"):
        model.load(path)
    return model


def _free_name(base: str, taken: Sequence[str]) -> str:
    """A column name for the native call that no feature uses."""
    name = f"__{base}__"
    while name in taken:
        name = f"_{name}_"
    return name
