"""The two-column target of `uplift_target`: treatment label and outcome of every row in one
(n, 2) object array, so that scikit-learn's model-selection tools split both with the rows.

Only numpy: the scorers of `metrics` read it as well as the estimator.
"""

from __future__ import annotations

from typing import Any, Sequence, Tuple

import numpy as np


def pack_target(treatment: Sequence[Any], y: Sequence[Any]) -> np.ndarray:
    """Treatment labels and outcomes, already one value per row, as an (n, 2) object array."""
    if len(treatment) != len(y):
        raise ValueError(f"treatment has {len(treatment)} rows but y has {len(y)}")
    target = np.empty((len(treatment), 2), dtype=object)
    target[:, 0] = treatment
    target[:, 1] = y
    return target


def split_target(target: Any) -> Tuple[list, list]:
    """The (treatment, outcome) columns of a target made by `uplift_target`."""
    arr = target.to_numpy() if hasattr(target, "to_numpy") else np.asarray(target, dtype=object)
    if arr.ndim != 2 or arr.shape[1] != 2:
        raise ValueError(
            "without y, the second argument must be a two-column target made by "
            f"uplift_target(treatment, y); got shape {arr.shape}"
        )
    return arr[:, 0].tolist(), arr[:, 1].tolist()
