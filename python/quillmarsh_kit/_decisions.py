"""From estimates to decisions: the checks and arithmetic behind `UpliftForest`'s intervals,
out-of-bag figures and recommended groups (the forest's own work stays in the engine)."""

from __future__ import annotations

import math
import numbers
import statistics
from typing import Any, Dict, Hashable, List, Optional, Sequence

import numpy as np

from .metrics import qini_auc_score

# The estimator's attributes that hold one fit's out-of-bag figures.
OOB_STATE = ("_oob_prediction", "_oob_scores")
_OOB_ENABLERS = "max_samples, bootstrap=True or ci_group_size >= 2"


def normal_quantile(level: Any) -> float:
    """The two-sided standard normal quantile of a confidence level in (0, 1)."""
    if (isinstance(level, (bool, np.bool_)) or not isinstance(level, numbers.Real)
            or not 0.0 < float(level) < 1.0):
        raise ValueError(f"level must lie in (0, 1), got {level!r}")
    return statistics.NormalDist().inv_cdf(0.5 + float(level) / 2.0)


def check_node_stats(fitted: Any) -> None:
    if not fitted.forest.has_node_stats:
        raise ValueError(
            "this model holds no per-node group statistics: it was saved by a version that did "
            "not keep them; fit it again to predict rates")


def check_grouped(fitted: Any) -> int:
    """The forest's group size, refusing forests grown without groups."""
    size = fitted.ci_group_size
    if (isinstance(size, bool) or not isinstance(size, int) or size < 2
            or fitted.forest.n_trees % size or fitted.forest.n_trees // size < 2):
        raise ValueError(
            "confidence intervals need trees grown in groups: fit with ci_group_size >= 2 "
            f"(this forest has ci_group_size={size!r} and {fitted.forest.n_trees} trees; at "
            "least 2 groups are needed)")
    return size


def out_of_bag_state(oob: Optional[np.ndarray], groups: np.ndarray,
                     outcome: np.ndarray) -> Dict[str, Any]:
    """The estimator's out-of-bag attributes for one fit (none without samples)."""
    if oob is None:
        return {}
    seen = ~np.isnan(oob).any(axis=1)
    scores: List[float] = []
    for k in range(oob.shape[1]):
        rows = seen & ((groups == 0) | (groups == k + 1))
        treated = (groups[rows] == k + 1).astype(np.int64)
        if treated.all() or not treated.any():
            scores.append(float("nan"))  # no out-of-bag row of the arm or of control
            continue
        scores.append(float(qini_auc_score(outcome[rows], oob[rows, k], treated)))
    return {"_oob_prediction": oob, "_oob_scores": scores}


def oob_attribute(estimator: Any, key: str, name: str) -> Any:
    value = estimator.__dict__.get(key)
    if value is not None:
        return value
    if getattr(estimator, "_fitted", None) is None:
        raise AttributeError(f"{name} is set by fit; this UpliftForest is not fitted yet")
    raise AttributeError(
        f"{name} is available only when the trees draw samples ({_OOB_ENABLERS}) and only "
        "on the estimator that was fitted (a saved model does not keep it)")


def recommend(uplift: np.ndarray, lower: Optional[np.ndarray], arms: Sequence[Hashable],
              control: Hashable, value: Any, costs: Optional[Dict[Any, float]]) -> np.ndarray:
    """Per row, the label of the group of the largest value x uplift - cost (control 0)."""
    if (isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real)
            or not math.isfinite(float(value))):
        raise ValueError(f"value must be a finite number, got {value!r}")
    cost = _arm_costs(arms, costs)
    worth = float(value) * uplift - cost
    if lower is not None:
        worth = np.where(float(value) * lower - cost > 0, worth, -np.inf)
    # NaN worth (an uplift the forest could not estimate) never wins over control
    worth = np.where(np.isnan(worth), -np.inf, worth)
    best = np.argmax(np.column_stack([np.zeros(len(worth)), worth]), axis=1)
    labels = np.empty(len(arms) + 1, dtype=object)
    labels[:] = [control, *arms]
    return labels[best]


def _arm_costs(arms: Sequence[Hashable], costs: Optional[Dict[Any, float]]) -> np.ndarray:
    costs = dict(costs or {})
    unknown = [a for a in costs if a not in list(arms)]
    if unknown:
        raise ValueError(f"costs name {unknown!r}, which are not arms; the arms are {list(arms)}")
    out = np.zeros(len(arms))
    for k, arm in enumerate(arms):
        c = costs.get(arm, 0.0)
        if (isinstance(c, (bool, np.bool_)) or not isinstance(c, numbers.Real)
                or not math.isfinite(float(c))):
            raise ValueError(f"the cost of arm {arm!r} must be a finite number, got {c!r}")
        out[k] = float(c)
    return out
