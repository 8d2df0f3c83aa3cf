"""The hyper-parameters of `UpliftForest`: the scikit-learn constructor and parameter protocol,
and the validation and resolution of every parameter into what an engine call takes.

The constructor only stores (scikit-learn's rule); `fit` validates through `_engine_settings`,
`_requested_threads` and `_seed`, so that a bad value is reported by name before any work
starts.
"""

from __future__ import annotations

import copy
import math
import numbers
import os
import secrets
from typing import Any, Callable, Dict, Hashable, NamedTuple, Optional, Tuple, Union

import numpy as np

PARAM_NAMES = (
    "n_estimators", "max_features", "max_depth", "min_samples_leaf", "criterion", "max_bins",
    "balance_arms", "normalize_gain", "alpha", "n_jobs", "control", "verbose", "random_state",
    "max_samples", "bootstrap", "honest", "honest_fraction", "min_samples_treatment",
    "ci_group_size",
)
# The tree options all off, as a model trained before they existed had them: metadata
# written then describes such a model (honest_fraction, unused without honest, keeps its
# default).
TREE_OPTIONS_OFF = {
    "max_samples": None, "bootstrap": False, "honest": False, "honest_fraction": 0.3,
    "min_samples_treatment": None, "ci_group_size": 1,
}
# How to run rather than what is learned: not part of a saved model.
RUN_PARAMS = ("n_jobs", "verbose")
CRITERIA = ("KL", "ED", "CHI")
# The native node array of a tree holds 2^(max_depth+1) - 1 slots whatever the data.
MAX_DEPTH_LIMIT = 30


class EngineSettings(NamedTuple):
    """The training settings of the engine's `fit`, by its keyword names, validated."""

    n_estimators: int
    max_features: int
    max_depth: int
    min_samples_leaf: int
    criterion: str
    max_bins: int
    balance: bool
    regularization: bool
    alpha: float
    max_samples: Union[None, int, float] = None  # a fraction until the rows are known
    bootstrap: bool = False
    honest_fraction: Optional[float] = None
    min_samples_treatment: Optional[int] = None
    ci_group_size: int = 1


def check_int(name: str, value: Any, low: int, high: Optional[int] = None) -> int:
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


def available_cpus() -> int:
    """Logical processors this process may run on (its affinity mask, where there is one)."""
    counter = getattr(os, "process_cpu_count", None)  # Python 3.13
    if counter is not None:
        return counter() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


_MAX_FEATURES_ERROR = "max_features must be an int, a float, 'sqrt', 'log2' or None, got {!r}"


def resolve_max_features(value: Any, n_features: int) -> int:
    """Features tried per node for `n_features` features: at least 1, at most all of them."""
    if value is None:
        chosen = n_features
    elif isinstance(value, str):
        if value == "sqrt":
            chosen = int(math.sqrt(n_features))
        elif value == "log2":
            chosen = int(math.log2(n_features)) if n_features else 0
        else:
            raise ValueError(_MAX_FEATURES_ERROR.format(value))
    elif isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_)):
        chosen = check_int("max_features", value, 1)
    elif isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_)):
        if not 0.0 < float(value) <= 1.0:
            raise ValueError(f"a fractional max_features must lie in (0, 1], got {value!r}")
        chosen = int(float(value) * n_features)
    else:
        raise ValueError(_MAX_FEATURES_ERROR.format(value))
    return max(1, min(chosen, n_features))


def _check_fraction(name: str, value: Any) -> float:
    """A number strictly between 0 and 1."""
    if (isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real)
            or not 0.0 < float(value) < 1.0):
        raise ValueError(f"{name} must lie in (0, 1), got {value!r}")
    return float(value)


def check_max_samples(value: Any) -> Union[None, int, float]:
    """max_samples as given, checked: None, a count of at least 1, or a fraction in (0, 1]."""
    if value is None:
        return None
    if isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_)):
        return check_int("max_samples", value, 1)
    if isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_)):
        if not 0.0 < float(value) <= 1.0:
            raise ValueError(f"a fractional max_samples must lie in (0, 1], got {value!r}")
        return float(value)
    raise ValueError(f"max_samples must be None, an int or a float, got {value!r}")


def resolve_max_samples(value: Union[None, int, float], n_rows: int,
                        bootstrap: bool, ci_group_size: int = 1) -> Optional[int]:
    """The rows each tree draws from `n_rows` training rows, for a checked max_samples: None
    keeps every row (n_rows draws with bootstrap), a fraction is that share of the rows (at
    least 1); without bootstrap never more than there are. Trees grown in groups draw from
    their group's half of the rows, so a fraction is taken of that half."""
    if value is None:
        return None
    if ci_group_size > 1:
        n_rows //= 2
    count = value if isinstance(value, int) else max(1, round(value * n_rows))
    if ci_group_size > 1 and count > n_rows:
        raise ValueError(
            f"max_samples is {count} but each group of trees draws from half of the rows, "
            f"{n_rows}")
    if not bootstrap and count > n_rows:
        raise ValueError(
            f"max_samples is {count} but there are {n_rows} rows; without bootstrap no more "
            "rows can be drawn than there are")
    return count


class ForestParams:
    """The constructor and parameter protocol shared by the estimator (see `UpliftForest`)."""

    def __init__(
        self,
        n_estimators: int = 100,
        *,
        max_features: Union[int, float, str, None] = 10,
        max_depth: int = 4,
        min_samples_leaf: int = 100,
        criterion: str = "KL",
        max_bins: int = 10,
        balance_arms: bool = False,
        normalize_gain: bool = False,
        alpha: float = 0.9,
        n_jobs: Optional[int] = -1,
        control: Hashable = 0,
        verbose: Union[bool, int] = False,
        random_state: Union[None, int, np.random.Generator, np.random.RandomState] = None,
        max_samples: Union[None, int, float] = None,
        bootstrap: bool = False,
        honest: bool = True,
        honest_fraction: float = 0.3,
        min_samples_treatment: Optional[int] = None,
        ci_group_size: int = 1,
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
        self.random_state = random_state
        self.max_samples = max_samples
        self.bootstrap = bootstrap
        self.honest = honest
        self.honest_fraction = honest_fraction
        self.min_samples_treatment = min_samples_treatment
        self.ci_group_size = ci_group_size

    def get_params(self, deep: bool = True) -> Dict[str, Any]:
        return {name: getattr(self, name) for name in PARAM_NAMES}

    def set_params(self, **params: Any) -> "ForestParams":
        for name, value in params.items():
            if name not in PARAM_NAMES:
                raise ValueError(
                    f"invalid parameter {name!r} for {type(self).__name__}; valid parameters: "
                    f"{', '.join(PARAM_NAMES)}"
                )
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = type(self)().get_params()
        changed = [
            f"{k}={v!r}" for k, v in self.get_params().items()
            if not (type(v) is type(defaults[k]) and v == defaults[k])
        ]
        return f"{type(self).__name__}({', '.join(changed)})"

    def _engine_settings(self, n_features: int) -> EngineSettings:
        """The engine's training settings for a table of `n_features` features; a fractional
        max_samples stays a fraction until the training rows are known (see
        `resolve_max_samples`)."""
        n_estimators = check_int("n_estimators", self.n_estimators, 1, 2**31 - 1)
        max_depth = check_int("max_depth", self.max_depth, 0, MAX_DEPTH_LIMIT)
        min_leaf = check_int("min_samples_leaf", self.min_samples_leaf, 0)
        max_bins = check_int("max_bins", self.max_bins, 2)
        criterion = self.criterion.upper() if isinstance(self.criterion, str) else None
        if criterion not in CRITERIA:
            raise ValueError(f"criterion must be one of 'KL', 'ED', 'CHI', got {self.criterion!r}")
        balance = _check_bool("balance_arms", self.balance_arms)
        normalize = _check_bool("normalize_gain", self.normalize_gain)
        alpha = self.alpha
        if (isinstance(alpha, (bool, np.bool_)) or not isinstance(alpha, numbers.Real)
                or not math.isfinite(float(alpha))):
            raise ValueError(f"alpha must be a finite number, got {alpha!r}")
        max_features = resolve_max_features(self.max_features, n_features)
        bootstrap = _check_bool("bootstrap", self.bootstrap)
        max_samples = check_max_samples(self.max_samples)
        honest_fraction = None
        if _check_bool("honest", self.honest):
            honest_fraction = _check_fraction("honest_fraction", self.honest_fraction)
        min_group = self.min_samples_treatment
        if min_group is not None:
            min_group = check_int("min_samples_treatment", min_group, 0)
        group_size = self._check_group_size(n_estimators, bootstrap)
        return EngineSettings(n_estimators, max_features, max_depth, min_leaf, criterion,
                              max_bins, balance, normalize, float(alpha), max_samples, bootstrap,
                              honest_fraction, min_group, group_size)

    def _check_group_size(self, n_estimators: int, bootstrap: bool) -> int:
        """ci_group_size checked against the other parameters it constrains."""
        size = check_int("ci_group_size", self.ci_group_size, 1, 2**31 - 1)
        if n_estimators % size:
            raise ValueError(
                f"n_estimators ({n_estimators}) must be a multiple of ci_group_size ({size})")
        if size > 1 and bootstrap:
            raise ValueError(
                "ci_group_size >= 2 grows each group of trees on a half-sample drawn without "
                "replacement; it cannot be combined with bootstrap=True")
        return size

    def _requested_threads(self) -> int:
        """`n_jobs` as a positive thread count: -1 or None is every processor this process
        may use, -2 all but one, and so on. The engine calls cap it at what they can use."""
        if self.n_jobs is None:
            return available_cpus()
        n = check_int("n_jobs", self.n_jobs, -(2**31), 2**31 - 1)
        if n == 0:
            raise ValueError("n_jobs must not be 0; use -1 for every processor")
        if n < 0:
            return max(available_cpus() + 1 + n, 1)
        return n

    def _seed(self) -> Tuple[int, Callable[[], None]]:
        """The engine's seed in 0 .. 2**64 - 1: an int taken modulo 2**64 (so -1 is
        2**64 - 1), one draw from a numpy Generator or RandomState, or for None 64 bits from
        the operating system's random source.

        A generator is drawn from through a copy: the second value, called once the fit has
        succeeded, advances the generator itself, so that a failed fit leaves it as it was."""
        state = self.random_state
        if state is None:
            return secrets.randbits(64), _nothing
        if isinstance(state, numbers.Integral) and not isinstance(state, (bool, np.bool_)):
            return int(state) % 2**64, _nothing
        if isinstance(state, np.random.Generator):
            draw = copy.deepcopy(state)
            seed = int(draw.integers(0, 2**64, dtype=np.uint64))
            return seed, lambda: setattr(state.bit_generator, "state", draw.bit_generator.state)
        if isinstance(state, np.random.RandomState):
            legacy = copy.deepcopy(state)
            seed = int(legacy.randint(0, 2**64, dtype=np.uint64))
            return seed, lambda: state.set_state(legacy.get_state())
        raise ValueError(
            "random_state must be None, an int, or a numpy Generator or RandomState, got "
            f"{state!r}"
        )


def _nothing() -> None:
    pass
