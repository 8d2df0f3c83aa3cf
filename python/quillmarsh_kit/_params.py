"""The hyper-parameters of `UpliftForest`: each declared once in `PARAMS` (name, default,
check, help, command-line spelling, the value files and pickles from before it stand for),
the scikit-learn constructor and parameter protocol, and the resolution of every parameter
into what an engine call takes.

The constructor only stores (scikit-learn's rule); `fit` validates through `_engine_settings`,
`_requested_threads` and `_seed`, so that a bad value is reported by name before any work
starts.
"""

from __future__ import annotations

import copy
import dataclasses
import inspect
import math
import numbers
import os
import secrets
from typing import Any, Callable, Dict, Hashable, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

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

    def for_rows(self, n_rows: int) -> "EngineSettings":
        """The settings for `n_rows` training rows: a fractional max_samples as a count (of
        the half of the rows a group of trees draws from, with ci_group_size > 1)."""
        return self._replace(max_samples=resolve_max_samples(
            self.max_samples, n_rows, self.bootstrap, self.ci_group_size))

    def training_threads(self, requested: int) -> int:
        """Threads worth starting for `requested` ones: trees grow side by side and each
        node searches its features on a shared pool, so no more than n_estimators x
        max_features threads ever have work."""
        return max(1, min(requested, self.n_estimators * self.max_features))


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


DASK_MODES = ("exact", "shares")


def _check_mode(name: str, value: Any) -> str:
    if value not in DASK_MODES:
        raise ValueError(f"{name} must be 'exact' or 'shares', got {value!r}")
    return str(value)


def _check_criterion(name: str, value: Any) -> str:
    criterion = value.upper() if isinstance(value, str) else None
    if criterion not in CRITERIA:
        raise ValueError(f"{name} must be one of 'KL', 'ED', 'CHI', got {value!r}")
    return criterion


def _check_finite(name: str, value: Any) -> float:
    if (isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real)
            or not math.isfinite(float(value))):
        raise ValueError(f"{name} must be a finite number, got {value!r}")
    return float(value)


def _check_optional_count(name: str, value: Any) -> Optional[int]:
    return None if value is None else check_int(name, value, 0)


def _check_n_jobs(name: str, value: Any) -> Optional[int]:
    if value is None:
        return None
    n = check_int(name, value, -(2**31), 2**31 - 1)
    if n == 0:
        raise ValueError(f"{name} must not be 0; use -1 for every processor")
    return n


def _as_is(name: str, value: Any) -> Any:
    return value


def _int_range(low: int, high: Optional[int] = None) -> Callable[[str, Any], int]:
    return lambda name, value: check_int(name, value, low, high)


def _number_text(text: str) -> Any:
    """A command-line value: all (None), a count, or a fraction."""
    if text in ("all", "none", "None"):
        return None
    try:
        return int(text)
    except ValueError:
        return float(text)


def _max_features_text(text: str) -> Any:
    return text if text in ("sqrt", "log2") else _number_text(text)


_REQUIRED = object()  # no value for files and pickles from before: they always held it
FOREST = "UpliftForest"
DASK = "DaskUpliftForest"


@dataclasses.dataclass(frozen=True)
class Param:
    """One hyper-parameter, declared once: the estimators' signatures, `get_params`, the
    checks at `fit`, the command line's options and the reading of older files and pickles
    all come from these declarations."""

    name: str
    default: Any
    help: str  # the command line's help, without the default
    check: Callable[[str, Any], Any] = _as_is  # the value checked, or a ValueError naming it
    option: Optional[str] = None  # the option of `quillmarsh train`; None: not one
    parse: Callable[[str], Any] = str  # the option's text to a value
    choices: Optional[Tuple[str, ...]] = None
    default_text: Optional[str] = None  # the option's default in words, where not the value
    negation: Optional[str] = None  # a flag's help for its --no- form
    legacy: Any = _REQUIRED  # the value of a file or pickle from before the parameter existed
    run: bool = False  # how to run, not what is learned: never saved with a model
    owner: str = FOREST  # the estimator that declares it (a DaskUpliftForest has both)

    def checked(self, value: Any) -> Any:
        return self.check(self.name, value)


# The order is the constructor's and get_params'. A new parameter takes `legacy`: the value
# under which a model saved before it was grown.
PARAMS: Tuple[Param, ...] = (
    Param("n_estimators", 100, "trees to grow", _int_range(1, 2**31 - 1), "--n-estimators",
          int),
    Param("max_features", 10, "features tried per node: an int, a fraction, sqrt, log2 or all",
          option="--max-features", parse=_max_features_text),  # checked against the features
    Param("max_depth", 4, "depth limit of each tree", _int_range(0, MAX_DEPTH_LIMIT),
          "--max-depth", int),
    Param("min_samples_leaf", 100, "each child of a split gets more rows than this",
          _int_range(0), "--min-samples-leaf", int),
    Param("criterion", "KL", "divergence measure", _check_criterion, "--criterion", str.upper,
          choices=CRITERIA),
    Param("max_bins", 10, "candidate thresholds per feature are quantiles at 1/max_bins...",
          _int_range(2), "--max-bins", int),
    Param("balance_arms", False, "weigh the arms equally in the divergence", _check_bool,
          "--balance-arms", negation="weigh each arm by its rows"),
    Param("normalize_gain", False, "normalise split gains", _check_bool, "--normalize-gain",
          negation="raw split gains"),
    Param("alpha", 0.9, "weight inside the gain normaliser", _check_finite, "--alpha", float),
    Param("n_jobs", -1, "threads; -1: every processor", _check_n_jobs, "--n-jobs", int,
          run=True),
    Param("control", 0, "label of the control group"),  # the command matches it to the data
    Param("verbose", False, "a progress bar over the trees", run=True),
    Param("random_state", None, "seed of training: the same seed gives the same model file",
          option="--seed", parse=int, default_text="a new seed from the operating system",
          legacy=None),  # checked where the seed is drawn
    Param("max_samples", None, "rows each tree draws: a fraction in (0, 1], a count, or all",
          lambda name, value: check_max_samples(value), "--max-samples", _number_text,
          default_text="all", legacy=None),
    Param("bootstrap", False, "draw each tree's rows with replacement", _check_bool,
          "--bootstrap", negation="draw them without replacement", legacy=False),
    Param("honest", True, "honest trees: one part of each tree's rows chooses the splits, the "
          "other sets the leaf rates", _check_bool, "--honest",
          negation="every row of a tree does both", legacy=False),
    # unused without honest, so a model from before honest trees keeps the default
    Param("honest_fraction", 0.3, "share of each tree's rows that sets the leaf rates of "
          "honest trees", _check_fraction, "--honest-fraction", float, legacy=0.3),
    Param("min_samples_treatment", None, "each child of a split gets more rows than this of "
          "every group", _check_optional_count, "--min-samples-treatment", int,
          default_text="no such minimum", legacy=None),
    Param("ci_group_size", 1, "trees per little bag: groups of this many trees share a "
          "half-sample, so that predict can give intervals; must divide n_estimators, and "
          "is refused with --bootstrap", _int_range(1, 2**31 - 1), "--ci-group-size", int,
          legacy=1),
    Param("mode", "exact", "exact: every tree sees every row, the forest UpliftForest grows; "
          "shares: each worker grows trees on its own rows", _check_mode, legacy="exact",
          owner=DASK),
    Param("shuffle", False, "spread the rows at random over the partitions before training",
          _check_bool, legacy=False, owner=DASK),
    # a connection of this process: never saved or pickled
    Param("client", None, "the distributed.Client that fit and predict use; None: the "
          "current client", legacy=None, run=True, owner=DASK),
)
PARAM = {p.name: p for p in PARAMS}
PARAM_NAMES = tuple(p.name for p in PARAMS if p.owner == FOREST)
DASK_PARAM_NAMES = PARAM_NAMES + tuple(p.name for p in PARAMS if p.owner == DASK)
DEFAULTS = {p.name: p.default for p in PARAMS}
# How to run rather than what is learned: not part of a saved model.
RUN_PARAMS = tuple(p.name for p in PARAMS if p.run)
# What files and pickles from before a parameter existed stand for.
LEGACY = {p.name: p.legacy for p in PARAMS if p.legacy is not _REQUIRED}
# The tree options all off, as a model trained before they existed had them.
TREE_OPTIONS_OFF = {k: v for k, v in LEGACY.items() if k in PARAM_NAMES and k != "random_state"}


def check_param(name: str, value: Any) -> Any:
    """`value` of parameter `name`, checked (a ValueError names the parameter)."""
    return PARAM[name].checked(value)


def signature(names: Sequence[str]) -> inspect.Signature:
    """The constructor signature of an estimator with the parameters `names`: n_estimators
    positional, the others keyword-only, each with its declared default."""
    self = inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)
    return inspect.Signature([self] + [
        inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD if k == 0
                          else inspect.Parameter.KEYWORD_ONLY, default=PARAM[name].default)
        for k, name in enumerate(names)])


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

    # The parameters of this estimator, in order (a subclass may add declared ones).
    _param_names: Tuple[str, ...] = PARAM_NAMES

    def get_params(self, deep: bool = True) -> Dict[str, Any]:
        return {name: getattr(self, name) for name in self._param_names}

    def set_params(self, **params: Any) -> "ForestParams":
        for name, value in params.items():
            if name not in self._param_names:
                raise ValueError(
                    f"invalid parameter {name!r} for {type(self).__name__}; valid parameters: "
                    f"{', '.join(self._param_names)}"
                )
            setattr(self, name, value)
        return self

    def _restore_legacy(self, state: Dict[str, Any]) -> None:
        """Gives `state` (a pickle's) the value of every parameter declared after it was
        made."""
        for name in self._param_names:
            if name in LEGACY:
                state.setdefault(name, LEGACY[name])

    def __repr__(self) -> str:
        defaults = type(self)().get_params()
        changed = [
            f"{k}={v!r}" for k, v in self.get_params().items()
            if not (type(v) is type(defaults[k]) and v == defaults[k])
        ]
        return f"{type(self).__name__}({', '.join(changed)})"

    def _checked(self, name: str) -> Any:
        return check_param(name, getattr(self, name))

    def _engine_settings(self, n_features: int) -> EngineSettings:
        """The engine's training settings for a table of `n_features` features; a fractional
        max_samples stays a fraction until the training rows are known (see
        `resolve_max_samples`)."""
        c = self._checked
        return EngineSettings(  # checked in this order: the first bad value is reported
            n_estimators=c("n_estimators"), max_depth=c("max_depth"),
            min_samples_leaf=c("min_samples_leaf"), max_bins=c("max_bins"),
            criterion=c("criterion"), balance=c("balance_arms"),
            regularization=c("normalize_gain"), alpha=c("alpha"),
            max_features=resolve_max_features(self.max_features, n_features),
            bootstrap=c("bootstrap"), max_samples=c("max_samples"),
            honest_fraction=c("honest_fraction") if c("honest") else None,
            min_samples_treatment=c("min_samples_treatment"),
            ci_group_size=self._check_group_size(c("n_estimators"), c("bootstrap")))

    def _check_group_size(self, n_estimators: int, bootstrap: bool) -> int:
        """ci_group_size checked against the other parameters it constrains."""
        size = self._checked("ci_group_size")
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
        n = self._checked("n_jobs")
        if n is None:
            return available_cpus()
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
