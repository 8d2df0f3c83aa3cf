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
"""

from __future__ import annotations

import dataclasses
from typing import Any, Callable, Dict, Hashable, List, Optional, Sequence, Tuple, Union

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
