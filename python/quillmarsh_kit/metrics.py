"""Evaluation of uplift predictions: uplift and Qini curves, their areas, and related tables.

Every single-arm function takes `y_true` (binary outcome), `uplift` (the predicted uplift of
one arm, higher = treat first) and `treatment` (1 for rows of that arm, 0 for control rows),
all 1-D and of equal length. `score_arms` and `make_uplift_scorer` apply them to every arm of
a multi-arm prediction, each arm against the control rows only.

Ranking and ties. Rows are ranked by decreasing `uplift`. Rows with equal uplift form one
block: the curves have points only at the ends of blocks (after the last row of a block), so
the order of rows within a block never matters, and areas are trapezoids between those
points (equivalently, the curve is linear inside a block). `uplift_at_k`,
`uplift_by_percentile` and `treatment_balance_curve` cut the ranking at row counts; there,
rows of equal uplift are taken in reverse input order, as scikit-uplift does.

Curves, with N_t(i), N_c(i) the treated and control rows among the first i ranked rows and
Y_t(i), Y_c(i) their positive outcomes (a ratio with a zero denominator counts as 0):
- uplift curve:  U(i) = (Y_t(i)/N_t(i) - Y_c(i)/N_c(i)) * i
- Qini curve:    Q(i) = Y_t(i) - Y_c(i) * N_t(i)/N_c(i)
Both start at (0, 0).

Normalised areas (scikit-uplift's definitions):
- `uplift_auc_score` = (A(model) - A(random)) / (A(perfect) - A(random)) for the uplift curve,
  where A is the area under a curve, "random" is the straight line from (0, 0) to the curve's
  end point (the expected curve of a random ranking), and "perfect" is the uplift curve of the
  ranking that puts treated responders and control non-responders first and control
  responders and treated non-responders last.
- `qini_auc_score` the same for the Qini curve, with the perfect Qini curve of
  `perfect_qini_curve` (with `negative_effect` it ranks treated responders first and control
  responders last; without it, the perfect curve rises straight to the total effect).
A score of 1 is the perfect ranking, 0 a random one; it is NaN when the perfect and random
areas coincide (nothing to rank).

causalml's alternatives, evaluated at every row count i = 0..n (linear inside tie blocks):
- `auuc_score`: the mean of the gain curve U(i) over i = 0..n; with `normalize`, U is first
  divided by |U(n)|.
- `qini_score`: the mean of Q(i) - Q(n) * i / n over i = 0..n, that is the mean distance of
  the Qini curve above the straight line of a random ranking; with `normalize`, Q is first
  divided by |Q(n)|. (causalml subtracts the curve of one seeded random ranking instead of
  its expectation; the straight line makes the score exact and reproducible.)

Evidence: `qini_auc_score_interval` and `uplift_auc_score_interval` add a seeded percentile
bootstrap interval that resamples the treated and the control rows separately (every resample
keeps the group sizes); `qini_curve_band` is the pointwise band of the Qini curve.
`policy_value` estimates the value per row of giving each row a chosen group by the augmented
inverse-propensity estimator, with a normal-approximation interval; `targeting_value_curve`
applies it to treating the top share of the ranking with each arm.
"""

from __future__ import annotations

import dataclasses
from statistics import NormalDist
from typing import (
    Any,
    Callable,
    Dict,
    Hashable,
    List,
    Mapping,
    NamedTuple,
    Optional,
    Sequence,
    Tuple,
    Union,
)

import numpy as np

from ._target import split_target

Curve = Tuple[np.ndarray, np.ndarray]
ArrayLike = Any


def _binary(values: ArrayLike, what: str) -> np.ndarray:
    arr = np.asarray(values)
    if arr.ndim != 1:
        raise ValueError(f"{what} must be 1-D, got shape {arr.shape}")
    if arr.dtype == bool:
        return arr.astype(np.int64)
    try:
        as_float = arr.astype(np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must hold only 0 and 1") from None
    if not np.all((as_float == 0) | (as_float == 1)):
        raise ValueError(f"{what} must hold only 0 and 1")
    return as_float.astype(np.int64)


def _check(y_true: ArrayLike, uplift: ArrayLike,
           treatment: ArrayLike) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    y = _binary(y_true, "y_true")
    t = _binary(treatment, "treatment")
    u = np.asarray(uplift, dtype=np.float64)
    if u.ndim != 1:
        raise ValueError(
            f"uplift must be 1-D, got shape {u.shape}; use score_arms for a multi-arm prediction"
        )
    if not len(y) == len(u) == len(t):
        raise ValueError(
            f"y_true, uplift and treatment must have equal lengths, got {len(y)}, {len(u)}, "
            f"{len(t)}"
        )
    if len(y) == 0:
        raise ValueError("no rows to evaluate")
    if np.isnan(u).any():
        raise ValueError("uplift holds NaN values, which cannot be ranked")
    return y, u, t


def _divide(num: np.ndarray, den: np.ndarray) -> np.ndarray:
    return np.divide(num, den, out=np.zeros(len(num), dtype=np.float64), where=den != 0)


def _block_sums(y: np.ndarray, u: np.ndarray, t: np.ndarray):
    """Cumulative counts at the end of every block of equal uplift, ranked by decreasing uplift."""
    order = np.argsort(u, kind="mergesort")[::-1]
    y, u, t = y[order], u[order], t[order]
    ends = np.r_[np.nonzero(np.diff(u))[0], len(u) - 1]
    n_all = (ends + 1).astype(np.float64)
    n_t = np.cumsum(t)[ends].astype(np.float64)
    y_t = np.cumsum(y * t)[ends].astype(np.float64)
    y_c = np.cumsum(y * (1 - t))[ends].astype(np.float64)
    return n_all, n_t, n_all - n_t, y_t, y_c


def _with_origin(x: np.ndarray, v: np.ndarray) -> Curve:
    return np.r_[0.0, x], np.r_[0.0, v]


def uplift_curve(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike) -> Curve:
    """Points (i, U(i)) at the ends of tie blocks, starting at (0, 0)."""
    y, u, t = _check(y_true, uplift, treatment)
    n_all, n_t, n_c, y_t, y_c = _block_sums(y, u, t)
    return _with_origin(n_all, (_divide(y_t, n_t) - _divide(y_c, n_c)) * n_all)


def qini_curve(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike) -> Curve:
    """Points (i, Q(i)) at the ends of tie blocks, starting at (0, 0)."""
    y, u, t = _check(y_true, uplift, treatment)
    n_all, n_t, n_c, y_t, y_c = _block_sums(y, u, t)
    return _with_origin(n_all, y_t - y_c * _divide(n_t, n_c))


def perfect_uplift_curve(y_true: ArrayLike, treatment: ArrayLike) -> Curve:
    """The uplift curve of the best possible ranking of these rows."""
    y = _binary(y_true, "y_true")
    t = _binary(treatment, "treatment")
    control_responders = int(np.sum((y == 1) & (t == 0)))
    treated_non_responders = int(np.sum((y == 0) & (t == 1)))
    # Rows whose outcome agrees with their arm (treated responders, control non-responders)
    # first; of the rest, the larger group goes last.
    tiebreak = y if control_responders > treated_non_responders else t
    return uplift_curve(y, 2 * (y == t) + tiebreak, t)


def perfect_qini_curve(y_true: ArrayLike, treatment: ArrayLike,
                       negative_effect: bool = True) -> Curve:
    """The Qini curve of the best possible ranking of these rows.

    With `negative_effect`, the treatment may harm some rows: treated responders first, control
    responders last. Without it, the curve rises straight to the total effect and stays there.
    """
    y = _binary(y_true, "y_true")
    t = _binary(treatment, "treatment")
    if negative_effect:
        return qini_curve(y, y * t - y * (1 - t), t)
    n_t, n_c = t.sum(), len(t) - t.sum()
    total = float(y[t == 1].sum() - (y[t == 0].sum() * n_t / n_c if n_c else 0.0))
    return np.array([0.0, total, float(len(y))]), np.array([0.0, total, total])


def _area(x: np.ndarray, v: np.ndarray) -> float:
    return float(np.sum((x[1:] - x[:-1]) * (v[1:] + v[:-1]) / 2.0))


def _normalised_area(actual: Curve, perfect: Curve) -> float:
    x_end, v_end = perfect[0][-1], perfect[1][-1]
    random_area = x_end * v_end / 2.0
    best = _area(*perfect) - random_area
    if best == 0:
        return float("nan")
    return (_area(*actual) - random_area) / best


def uplift_auc_score(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike) -> float:
    """Normalised area under the uplift curve: 1 perfect, 0 random (see the module docstring)."""
    return _normalised_area(uplift_curve(y_true, uplift, treatment),
                            perfect_uplift_curve(y_true, treatment))


def qini_auc_score(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike,
                   negative_effect: bool = True) -> float:
    """Normalised area under the Qini curve (the Qini coefficient): 1 perfect, 0 random."""
    return _normalised_area(
        qini_curve(y_true, uplift, treatment),
        perfect_qini_curve(y_true, treatment, negative_effect=negative_effect),
    )


def _at_every_row(curve: Curve, n: int) -> np.ndarray:
    return np.interp(np.arange(n + 1, dtype=np.float64), curve[0], curve[1])


def auuc_score(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike,
               normalize: bool = True) -> float:
    """causalml's AUUC: mean of the gain curve over i = 0..n (optionally divided by |U(n)|)."""
    x, v = uplift_curve(y_true, uplift, treatment)
    gain = _at_every_row((x, v), int(x[-1]))
    if normalize:
        gain = gain / abs(gain[-1]) if gain[-1] != 0 else gain * np.nan
    return float(gain.mean())


def qini_score(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike,
               normalize: bool = True) -> float:
    """causalml's Qini score: mean height of the Qini curve above the random line."""
    x, v = qini_curve(y_true, uplift, treatment)
    n = int(x[-1])
    qini = _at_every_row((x, v), n)
    if normalize:
        qini = qini / abs(qini[-1]) if qini[-1] != 0 else qini * np.nan
    random = qini[-1] * np.arange(n + 1, dtype=np.float64) / n
    return float((qini - random).mean())


def _descending(u: np.ndarray) -> np.ndarray:
    return np.argsort(u, kind="mergesort")[::-1]


def _count(k: Union[int, float], n: int, what: str) -> int:
    if isinstance(k, (bool, np.bool_)):
        raise ValueError(f"{what} must be a fraction in (0, 1] or a row count, got {k!r}")
    if isinstance(k, (float, np.floating)):
        if not 0.0 < k <= 1.0:
            raise ValueError(f"a fractional {what} must lie in (0, 1], got {k}")
        return int(n * k)
    if isinstance(k, (int, np.integer)) and 0 < k <= n:
        return int(k)
    raise ValueError(f"{what} must be a fraction in (0, 1] or a row count in [1, {n}], got {k!r}")


def _mean(values: np.ndarray) -> float:
    return float(values.mean()) if len(values) else float("nan")


def uplift_at_k(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike,
                strategy: str = "overall", k: Union[int, float] = 0.3) -> float:
    """Observed uplift (treated rate minus control rate) among the top-ranked rows.

    strategy "overall": the top k rows of the whole ranking (k a fraction or a count);
    "by_group": the top k of the treated rows and the top k of the control rows, each ranked
    separately. NaN when the chosen rows hold no treated or no control row.
    """
    y, u, t = _check(y_true, uplift, treatment)
    order = _descending(u)
    y, t = y[order], t[order]
    if strategy == "overall":
        top = _count(k, len(y), "k")
        ys, ts = y[:top], t[:top]
        return _mean(ys[ts == 1]) - _mean(ys[ts == 0])
    if strategy == "by_group":
        treated, control = y[t == 1], y[t == 0]
        n_t = _count(k, len(treated), "k") if isinstance(k, float) else int(k)
        n_c = _count(k, len(control), "k") if isinstance(k, float) else int(k)
        return _mean(treated[:n_t]) - _mean(control[:n_c])
    raise ValueError(f"strategy must be 'overall' or 'by_group', got {strategy!r}")


@dataclasses.dataclass
class PercentileTable:
    """Outcome rates per bin of the ranking; one entry per bin (plus "total" if asked)."""

    percentiles: List[str]
    n_treatment: np.ndarray
    n_control: np.ndarray
    response_rate_treatment: np.ndarray
    response_rate_control: np.ndarray
    uplift: np.ndarray
    std_treatment: np.ndarray
    std_control: np.ndarray
    std_uplift: np.ndarray

    def to_pandas(self, std: bool = False) -> Any:
        import pandas as pd

        columns = ["n_treatment", "n_control", "response_rate_treatment", "response_rate_control",
                   "uplift"]
        if std:
            columns += ["std_treatment", "std_control", "std_uplift"]
        frame = pd.DataFrame({c: getattr(self, c) for c in columns}, index=self.percentiles)
        frame.index.name = "percentile"
        return frame


def _rates(y_t: np.ndarray, y_c: np.ndarray) -> Tuple[float, ...]:
    n_t, n_c = len(y_t), len(y_c)
    r_t, r_c = _mean(y_t), _mean(y_c)
    s_t = float(np.sqrt(r_t * (1 - r_t) / n_t)) if n_t else float("nan")
    s_c = float(np.sqrt(r_c * (1 - r_c) / n_c)) if n_c else float("nan")
    return n_t, n_c, r_t, r_c, r_t - r_c, s_t, s_c, float(np.sqrt(s_t**2 + s_c**2))


def uplift_by_percentile(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike,
                         strategy: str = "overall", bins: int = 10,
                         total: bool = False) -> PercentileTable:
    """Treated and control counts, response rates and their difference per bin of the ranking.

    The ranking is cut into `bins` nearly equal bins (numpy.array_split), over all rows
    ("overall") or over the treated and the control rows separately ("by_group"). Standard
    errors are sqrt(p(1-p)/n) per rate and their root sum of squares for the uplift.
    """
    y, u, t = _check(y_true, uplift, treatment)
    if isinstance(bins, bool) or not isinstance(bins, (int, np.integer)) or not 0 < bins <= len(y):
        raise ValueError(f"bins must be an integer in [1, {len(y)}], got {bins!r}")
    order = _descending(u)
    y, t = y[order], t[order]
    if strategy == "overall":
        parts = [(yb[tb == 1], yb[tb == 0]) for yb, tb in zip(np.array_split(y, bins),
                                                              np.array_split(t, bins))]
    elif strategy == "by_group":
        parts = list(zip(np.array_split(y[t == 1], bins), np.array_split(y[t == 0], bins)))
    else:
        raise ValueError(f"strategy must be 'overall' or 'by_group', got {strategy!r}")
    rows = [_rates(*p) for p in parts]
    edges = np.linspace(0, 100, bins + 1)
    labels = [f"{edges[i]:.0f}-{edges[i + 1]:.0f}" for i in range(bins)]
    if total:
        rows.append(_rates(y[t == 1], y[t == 0]))
        labels.append("total")
    cols = list(zip(*rows))
    return PercentileTable(
        labels,
        np.asarray(cols[0], dtype=np.int64), np.asarray(cols[1], dtype=np.int64),
        *(np.asarray(c, dtype=np.float64) for c in cols[2:]),
    )


def treatment_balance_curve(uplift: ArrayLike, treatment: ArrayLike, winsize: int) -> Curve:
    """Share of treated rows in a sliding window of `winsize` rows along the ranking.

    Returns the window positions as percentages of the ranking (1..100) and the shares; a
    well-randomised experiment stays near the overall treated share everywhere.
    """
    t = _binary(treatment, "treatment")
    u = np.asarray(uplift, dtype=np.float64)
    if u.shape != t.shape:
        raise ValueError(
            f"uplift and treatment must have equal lengths, got {u.shape} and {t.shape}")
    if (isinstance(winsize, bool) or not isinstance(winsize, (int, np.integer))
            or not 0 < winsize <= len(t)):
        raise ValueError(f"winsize must be an integer in [1, {len(t)}], got {winsize!r}")
    t = t[_descending(u)]
    balance = np.convolve(t, np.ones(winsize), "valid") / winsize
    return np.linspace(1, 100, len(balance)), balance


# ----------------------------------------------------------------------- several arms
Metric = Union[str, Callable[..., float]]  # a name of _METRICS or a function
_METRICS: Dict[str, Callable[..., float]] = {
    "qini": qini_auc_score,
    "qini_auc": qini_auc_score,
    "uplift_auc": uplift_auc_score,
    "auuc": uplift_auc_score,
    "qini_score": qini_score,
    "auuc_score": auuc_score,
    "uplift_at_k": uplift_at_k,
}


def _metric(metric: Metric) -> Callable[..., float]:
    if callable(metric):
        return metric
    try:
        return _METRICS[metric]
    except KeyError:
        raise ValueError(f"unknown metric {metric!r}; choose one of {sorted(_METRICS)} or pass "
                         "a function") from None


def arm_data(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike, arms: Sequence[Hashable],
             control: Hashable):
    """Yields (arm, y, uplift of that arm, 0/1 treatment) over the rows of the arm and of
    control, for every arm; column k of `uplift` belongs to `arms[k]`."""
    labels = np.empty(len(treatment), dtype=object)
    labels[:] = list(treatment)
    u = np.asarray(uplift, dtype=np.float64)
    if u.ndim == 1:
        u = u.reshape(-1, 1)
    if u.shape != (len(labels), len(arms)):
        raise ValueError(f"uplift must have shape ({len(labels)}, {len(arms)}), got {u.shape}")
    y = np.asarray(y_true)
    if len(y) != len(labels):
        raise ValueError(f"y_true has {len(y)} rows but treatment has {len(labels)}")
    is_control = labels == control
    if not is_control.any():
        raise ValueError(f"no row has the control label {control!r}")
    for k, arm in enumerate(arms):
        is_arm = labels == arm
        rows = is_control | is_arm
        yield arm, y[rows], u[rows, k], is_arm[rows].astype(np.int64)


def score_arms(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike,
               arms: Sequence[Hashable], control: Hashable, metric: Metric = "qini",
               **kwargs: Any) -> Dict[Hashable, float]:
    """The metric of every arm against control: {arm label: score}.

    `treatment` holds the original labels; `uplift` is a (rows, arms) prediction, column k for
    `arms[k]` (for an `UpliftForest`, pass `model.treatments_` and `model.control_`).
    """
    fn = _metric(metric)
    rows = arm_data(y_true, uplift, treatment, arms, control)
    return {arm: float(fn(y, u, t, **kwargs)) for arm, y, u, t in rows}


def make_uplift_scorer(metric: Metric = "qini", arm: Optional[Hashable] = None,
                       **kwargs: Any) -> Callable[[Any, Any, Any], float]:
    """A scikit-learn scorer `scorer(estimator, X, target)` for a fitted `UpliftForest`.

    `target` is the pair made by `quillmarsh_kit.uplift_target(treatment, y)`. The score is the
    metric of `arm`, or the mean over every arm when `arm` is None. Higher is better for every
    metric offered here.
    """
    fn = _metric(metric)

    def scorer(estimator: Any, X: Any, target: Any) -> float:
        treatment, y = split_target(target)
        prediction = estimator.predict(X)
        scores = score_arms(y, prediction, treatment, estimator.treatments_,
                            getattr(estimator, "control_", estimator.control), fn, **kwargs)
        if arm is not None:
            if arm not in scores:
                raise ValueError(f"arm {arm!r} is not one of {list(scores)}")
            return scores[arm]
        return float(np.mean(list(scores.values())))

    return scorer


# ------------------------------------------------------------ intervals and policy values
class ScoreInterval(NamedTuple):
    """A score on the given rows and its bootstrap interval."""

    score: float
    lower: float
    upper: float


class PolicyValue(NamedTuple):
    """The estimated value per row of a policy and its normal-approximation interval."""

    value: float
    lower: float
    upper: float


_CELLS_PER_CHUNK = 2_000_000  # resamples x rows held at once by the bootstrap


def _level(level: float) -> float:
    if isinstance(level, bool) or not isinstance(level, (int, float, np.floating)) \
            or not 0.0 < level < 1.0:
        raise ValueError(f"level must be a number in (0, 1), got {level!r}")
    return float(level)


def _resample_counts(groups: np.ndarray, n_resamples: int,
                     rng: np.random.Generator) -> np.ndarray:
    """How often each row is drawn in each of `n_resamples` resamples: (n_resamples, rows).

    Each group (a distinct value of `groups`) is resampled with replacement on its own, so
    every resample holds exactly as many rows of each group as the data."""
    counts = np.zeros((n_resamples, len(groups)), dtype=np.float64)
    offsets = np.arange(n_resamples)[:, None]
    for g in np.unique(groups):
        rows = np.flatnonzero(groups == g)
        k = len(rows)
        draws = rng.integers(0, k, size=(n_resamples, k)) + offsets * k
        counts[:, rows] = np.bincount(draws.ravel(), minlength=n_resamples * k).reshape(-1, k)
    return counts


def _ratio(num: np.ndarray, den: np.ndarray) -> np.ndarray:
    return np.divide(num, den, out=np.zeros(np.broadcast(num, den).shape), where=den != 0)


def _curve_values(kind: str, n_all, n_t, y_t, y_c) -> np.ndarray:
    if kind == "qini":
        return y_t - y_c * _ratio(n_t, n_all - n_t)
    return (_ratio(y_t, n_t) - _ratio(y_c, n_all - n_t)) * n_all


def _areas(x: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Trapezoid areas along the last axis of curves starting at (0, 0)."""
    x = np.concatenate([np.zeros(x.shape[:-1] + (1,)), x], axis=-1)
    v = np.concatenate([np.zeros(v.shape[:-1] + (1,)), v], axis=-1)
    return np.sum(np.diff(x, axis=-1) * (v[..., 1:] + v[..., :-1]) / 2.0, axis=-1)


def _perfect_blocks(kind: str, w: np.ndarray, y: np.ndarray, t: np.ndarray,
                    negative_effect: bool) -> Tuple[np.ndarray, np.ndarray]:
    """(x, value) at the block ends of the perfect curve of each weighted resample."""
    tr, tn = w @ (y * t), w @ ((1 - y) * t)
    cr, cn = w @ (y * (1 - t)), w @ ((1 - y) * (1 - t))
    n, n_t, zero = tr + tn + cr + cn, tr + tn, np.zeros_like(tr)
    if kind == "qini" and not negative_effect:
        total = _curve_values(kind, n, n_t, tr, cr)
        return np.stack([total, n], axis=-1), np.stack([total, total], axis=-1)
    if kind == "qini":  # treated responders, then the non-responders, control responders last
        ends = [(tr, tr, tr, zero), (tr + tn + cn, n_t, tr, zero), (n, n_t, tr, cr)]
    else:  # agreeing rows first; of the rest the larger group goes last
        head = [(tr, tr, tr, zero), (tr + cn, tr, tr, zero)]
        by_y = head + [(tr + cn + cr, tr, tr, cr), (n, n_t, tr, cr)]
        by_t = head + [(tr + cn + tn, n_t, tr, zero), (n, n_t, tr, cr)]
        pick = cr > tn
        ends = [tuple(np.where(pick, a, b) for a, b in zip(ea, eb)) for ea, eb in zip(by_y, by_t)]
    cols = [np.stack(c, axis=-1) for c in zip(*ends)]
    return cols[0], _curve_values(kind, *cols)


def _sorted(y: np.ndarray, u: np.ndarray, t: np.ndarray, w: np.ndarray):
    if np.any(np.diff(u) > 0):
        order = np.argsort(u, kind="mergesort")[::-1]
        return y[order], u[order], t[order], w[:, order]
    return y, u, t, w


def _weighted_curves(kind: str, y: np.ndarray, u: np.ndarray, t: np.ndarray,
                     w: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """(x, value) at the ends of tie blocks of the curve of each resample given by the row
    weights `w` (resamples, rows), rows ranked by decreasing `u`."""
    y, u, t, w = _sorted(y, u, t, w)
    ends = np.r_[np.nonzero(np.diff(u))[0], len(u) - 1]
    n_all = np.cumsum(w, axis=1)[:, ends]
    n_t = np.cumsum(w * t, axis=1)[:, ends]
    y_t = np.cumsum(w * (y * t), axis=1)[:, ends]
    y_c = np.cumsum(w * (y * (1 - t)), axis=1)[:, ends]
    return n_all, _curve_values(kind, n_all, n_t, y_t, y_c)


def _weighted_scores(kind: str, y: np.ndarray, u: np.ndarray, t: np.ndarray, w: np.ndarray,
                     negative_effect: bool = True) -> np.ndarray:
    """The normalised area of each resample given by the row weights `w` (resamples, rows):
    the score of the rows repeated as often as their weight says."""
    actual = _areas(*_weighted_curves(kind, y, u, t, w))
    px, pv = _perfect_blocks(kind, w, y, t, negative_effect)
    random = px[:, -1] * pv[:, -1] / 2.0
    best = _areas(px, pv) - random
    return np.divide(actual - random, best, out=np.full(len(best), np.nan), where=best != 0)


def _bootstrap_chunks(y: np.ndarray, t: np.ndarray, n_bootstrap: int, random_state: Any):
    """Row weights of `n_bootstrap` group-preserving resamples, a block of resamples at a time."""
    if isinstance(n_bootstrap, bool) or not isinstance(n_bootstrap, (int, np.integer)) \
            or n_bootstrap < 1:
        raise ValueError(f"n_bootstrap must be a positive integer, got {n_bootstrap!r}")
    rng = np.random.default_rng(random_state)
    chunk = max(1, _CELLS_PER_CHUNK // len(y))
    for start in range(0, n_bootstrap, chunk):
        yield _resample_counts(t, min(chunk, n_bootstrap - start), rng)


def _ranked(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike):
    y, u, t = _check(y_true, uplift, treatment)
    order = np.argsort(u, kind="mergesort")[::-1]
    return y[order], u[order], t[order]


def _bootstrap(kind: str, y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike,
               negative_effect: bool, n_bootstrap: int, level: float,
               random_state: Any) -> ScoreInterval:
    level = _level(level)
    y, u, t = _ranked(y_true, uplift, treatment)
    score = float(qini_auc_score(y, u, t, negative_effect) if kind == "qini"
                  else uplift_auc_score(y, u, t))
    scores = np.concatenate([_weighted_scores(kind, y, u, t, w, negative_effect)
                             for w in _bootstrap_chunks(y, t, n_bootstrap, random_state)])
    if np.isnan(scores).all():
        return ScoreInterval(score, float("nan"), float("nan"))
    lower, upper = np.nanquantile(scores, [(1 - level) / 2, (1 + level) / 2])
    return ScoreInterval(score, float(lower), float(upper))


def qini_auc_score_interval(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike,
                            negative_effect: bool = True, *, n_bootstrap: int = 200,
                            level: float = 0.95, random_state: Any = 0) -> ScoreInterval:
    """`qini_auc_score` and its percentile bootstrap interval: (score, lower, upper).

    Each of `n_bootstrap` resamples draws the treated rows and the control rows with
    replacement, each group on its own, so every resample keeps the data's group sizes; the
    interval holds the central `level` share of the resamples' scores (resamples whose score
    is NaN are left out). `random_state` seeds the draws (an int, a numpy Generator, or None
    for fresh entropy); the default 0 makes the interval reproducible."""
    return _bootstrap("qini", y_true, uplift, treatment, negative_effect, n_bootstrap, level,
                      random_state)


def uplift_auc_score_interval(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike, *,
                              n_bootstrap: int = 200, level: float = 0.95,
                              random_state: Any = 0) -> ScoreInterval:
    """`uplift_auc_score` and its percentile bootstrap interval: (score, lower, upper).

    Resampling as in `qini_auc_score_interval`."""
    return _bootstrap("uplift", y_true, uplift, treatment, True, n_bootstrap, level,
                      random_state)


def qini_curve_band(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike, *,
                    n_bootstrap: int = 200, level: float = 0.95, random_state: Any = 0,
                    points: int = 101) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """A pointwise bootstrap band around the Qini curve: (x, lower, upper).

    x is `points` evenly spaced row counts from 0 to the number of rows; at each, the band
    holds the central `level` share of the Qini curves of the resamples (drawn as in
    `qini_auc_score_interval`, each curve linear between its points)."""
    level = _level(level)
    y, u, t = _ranked(y_true, uplift, treatment)
    if isinstance(points, bool) or not isinstance(points, (int, np.integer)) or points < 2:
        raise ValueError(f"points must be an integer of at least 2, got {points!r}")
    grid = np.linspace(0.0, float(len(y)), points)
    curves = []
    for w in _bootstrap_chunks(y, t, n_bootstrap, random_state):
        xs, vs = _weighted_curves("qini", y, u, t, w)
        curves += [np.interp(grid, np.r_[0.0, x], np.r_[0.0, v]) for x, v in zip(xs, vs)]
    lower, upper = np.quantile(np.asarray(curves), [(1 - level) / 2, (1 + level) / 2], axis=0)
    return grid, lower, upper


def _labels(values: ArrayLike) -> np.ndarray:
    arr = np.empty(len(values), dtype=object)
    arr[:] = list(values)
    return arr


def _group_columns(treatment: np.ndarray, control: Hashable,
                   arms: Optional[Sequence[Hashable]]) -> List[Hashable]:
    if arms is None:
        arms = sorted({label for label in treatment if label != control})
    groups = [control, *arms]
    if len(set(groups)) != len(groups):
        raise ValueError(f"control and arms must be distinct labels, got {groups!r}")
    unknown = {label for label in treatment if label not in groups}
    if unknown:
        raise ValueError(f"treatment holds labels {sorted(map(repr, unknown))} that are neither "
                         f"the control {control!r} nor one of the arms {list(arms)!r}")
    return groups


def _group_index(labels: np.ndarray, groups: List[Hashable], what: str) -> np.ndarray:
    index = {g: k for k, g in enumerate(groups)}
    try:
        return np.fromiter((index[label] for label in labels), dtype=np.int64, count=len(labels))
    except (KeyError, TypeError):
        bad = next(label for label in labels if label not in index)
        raise ValueError(f"{what} holds {bad!r}, which is not one of the groups {groups!r}") \
            from None


def _own_propensity(propensity: Any, g: np.ndarray, groups: List[Hashable]) -> np.ndarray:
    """The probability with which each row was assigned the group it has."""
    n, k = len(g), len(groups)
    if propensity is None:
        shares = np.bincount(g, minlength=k) / n
        return shares[g]
    if isinstance(propensity, Mapping):
        missing = [x for x in groups if x not in propensity]
        if missing:
            raise ValueError(f"propensity has no entry for the groups {missing!r}")
        e = np.array([float(propensity[x]) for x in groups])[g]
    else:
        p = np.asarray(propensity, dtype=np.float64)
        if p.shape == (n, k):
            e = p[np.arange(n), g]
        elif p.shape == (n,):
            e = p
        else:
            raise ValueError(f"propensity must be a mapping of group to probability, or of shape "
                             f"({n},) or ({n}, {k}), got shape {p.shape}")
    if not np.all((e > 0) & (e <= 1)):
        raise ValueError("propensities must lie in (0, 1] for every row's own group")
    return e


def _arm_costs(costs: Optional[Mapping[Hashable, float]], groups: List[Hashable]) -> np.ndarray:
    c = np.zeros(len(groups))
    for label, cost in (costs or {}).items():
        if label not in groups:
            raise ValueError(f"costs names {label!r}, which is not one of the groups {groups!r}")
        if label == groups[0] and cost != 0:
            raise ValueError(f"the control {label!r} costs nothing; costs are per treated row")
        c[groups.index(label)] = float(cost)
    if not np.all(np.isfinite(c)):
        raise ValueError("costs must be finite numbers")
    return c


def _rates_matrix(rates: ArrayLike, n: int, k: int) -> Optional[np.ndarray]:
    if rates is None:
        return None
    r = np.asarray(rates, dtype=np.float64)
    if r.shape != (n, k):
        raise ValueError(f"rates must have shape ({n}, {k}): one column per group, control "
                         f"first, got {r.shape}")
    return r


def _aipw(y: np.ndarray, g: np.ndarray, p: np.ndarray, r: Optional[np.ndarray], e: np.ndarray,
          cost: np.ndarray, value: float, level: float) -> PolicyValue:
    m = np.zeros(len(y)) if r is None else r[np.arange(len(y)), p]
    scores = value * (m + (g == p) / e * (y - m)) - cost[p]
    estimate = float(scores.mean())
    if len(y) < 2:
        return PolicyValue(estimate, float("nan"), float("nan"))
    half = NormalDist().inv_cdf((1 + level) / 2) * float(scores.std(ddof=1)) / len(y) ** 0.5
    return PolicyValue(estimate, estimate - half, estimate + half)


class _Experiment:
    """The labelled rows of an experiment, with groups numbered [control, *arms]."""

    def __init__(self, y_true: ArrayLike, treatment: ArrayLike, control: Hashable,
                 arms: Optional[Sequence[Hashable]], rates: ArrayLike, propensity: Any,
                 costs: Optional[Mapping[Hashable, float]]) -> None:
        self.y = _binary(y_true, "y_true")
        assigned = _labels(treatment)
        if len(assigned) != len(self.y):
            raise ValueError(f"y_true has {len(self.y)} rows but treatment has {len(assigned)}")
        if len(self.y) == 0:
            raise ValueError("no rows to evaluate")
        self.groups = _group_columns(assigned, control, arms)
        self.g = _group_index(assigned, self.groups, "treatment")
        self.r = _rates_matrix(rates, len(self.y), len(self.groups))
        self.e = _own_propensity(propensity, self.g, self.groups)
        self.cost = _arm_costs(costs, self.groups)

    def value(self, p: np.ndarray, value: float, level: float) -> PolicyValue:
        return _aipw(self.y, self.g, p, self.r, self.e, self.cost, float(value), _level(level))


def policy_value(y_true: ArrayLike, treatment: ArrayLike, policy: Any, rates: ArrayLike = None,
                 propensity: Any = None, value: float = 1.0,
                 costs: Optional[Mapping[Hashable, float]] = None, level: float = 0.95, *,
                 control: Hashable = 0,
                 arms: Optional[Sequence[Hashable]] = None) -> PolicyValue:
    """The value per row of giving each row the group `policy` names, estimated on the
    labelled rows of an experiment by the augmented inverse-propensity (doubly robust) estimator.

    `treatment` holds each row's assigned group label and `policy` the label the policy gives
    it (a label per row, or one label for every row); labels are `control` or one of `arms`
    (default: the sorted labels of `treatment` other than `control`). The groups, in the order
    of the columns of `rates`, are `[control, *arms]`; for an `UpliftForest` pass
    `control=model.control_, arms=model.treatments_`.

    Row i, assigned g_i and given p_i, scores
        value * (m_p(x_i) + [g_i == p_i] / e_p(x_i) * (y_i - m_p(x_i))) - cost(p_i)
    where m_p is the outcome rate under group p (`rates[:, column of p]`, the forest's
    predicted rates; without `rates` m = 0, the plain inverse-propensity estimator), e_p the
    probability of being assigned p (`propensity`: None for each group's share of the rows, a
    mapping {group: probability}, an array (rows,) of each row's probability of its own
    group, or (rows, groups)), and cost a mapping {arm: cost per treated row} (the control
    costs nothing). The value is the mean score, and the interval the value -/+ z * (standard
    deviation of the scores) / sqrt(rows), z the normal quantile of (1 + level) / 2.
    """
    data = _Experiment(y_true, treatment, control, arms, rates, propensity, costs)
    n = len(data.y)
    given = _labels([policy] * n if np.ndim(policy) == 0 else policy)
    if len(given) != n:
        raise ValueError(f"policy has {len(given)} labels for {n} rows")
    return data.value(_group_index(given, data.groups, "policy"), value, level)


def targeting_value_curve(y_true: ArrayLike, uplift: ArrayLike, treatment: ArrayLike, *,
                          control: Hashable = 0, arms: Optional[Sequence[Hashable]] = None,
                          rates: ArrayLike = None, propensity: Any = None, value: float = 1.0,
                          costs: Optional[Mapping[Hashable, float]] = None,
                          fractions: ArrayLike = None,
                          level: float = 0.95) -> Tuple[np.ndarray, Dict[Hashable, np.ndarray]]:
    """The value per row of treating the top share q of the rows with one arm, for every q.

    For arm k (column k of `uplift`, a (rows, arms) prediction) and each q of `fractions`
    (default 0, 0.05, ..., 1), the policy gives arm k to the int(q * rows) rows of highest
    predicted uplift of arm k (ties taken as in `uplift_at_k`) and the control to the rest;
    its `policy_value` (same arguments) is estimated over all rows. Returns `fractions` and
    {arm: array (len(fractions), 3) of value, lower, upper}; q = 0 is treating nobody."""
    data = _Experiment(y_true, treatment, control, arms, rates, propensity, costs)
    n, n_arms = len(data.y), len(data.groups) - 1
    u = np.asarray(uplift, dtype=np.float64)
    u = u.reshape(-1, 1) if u.ndim == 1 else u
    if u.shape != (n, n_arms):
        raise ValueError(f"uplift must have shape ({n}, {n_arms}), got {u.shape}")
    q = np.linspace(0.0, 1.0, 21) if fractions is None else np.asarray(fractions, np.float64)
    if q.ndim != 1 or not np.all((q >= 0) & (q <= 1)):
        raise ValueError("fractions must be a 1-D sequence of shares in [0, 1]")
    curves = {}
    for k, arm in enumerate(data.groups[1:]):
        order = _descending(u[:, k])
        rows = []
        for share in q:
            p = np.zeros(n, dtype=np.int64)
            p[order[:int(share * n)]] = k + 1
            rows.append(data.value(p, value, level))
        curves[arm] = np.asarray(rows, dtype=np.float64)
    return q, curves
