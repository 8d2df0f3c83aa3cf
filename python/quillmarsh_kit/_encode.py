"""Treatment labels to native group numbers, and outcomes to 0/1 integers."""

from __future__ import annotations

import math
import numbers
from typing import Any, Hashable, List, Optional, Sequence, Tuple

import numpy as np


def _label_key(label: Any) -> Tuple[str, str]:
    return (type(label).__name__, repr(label))


def sort_labels(labels: Sequence[Hashable]) -> List[Hashable]:
    """Labels in their natural order; labels of types that cannot be compared with each other
    are ordered by type name, then by repr."""
    try:
        return sorted(labels)  # type: ignore[type-var]
    except TypeError:
        return sorted(labels, key=_label_key)


def _is_missing_label(label: Any) -> bool:
    if label is None or type(label).__name__ in ("NAType", "NaTType"):
        return True
    return isinstance(label, float) and math.isnan(label)


def treatment_groups(
    values: list, arr: Optional[np.ndarray], control: Hashable
) -> Tuple[List[int], List[Hashable]]:
    """Maps treatment labels to groups: `control` to 0, the other labels in sorted order to
    1..K. Returns the group of every row and the K treatment labels."""
    if not values:
        raise ValueError("treatment is empty")
    if arr is not None:
        uniques, inverse = np.unique(arr, return_inverse=True)
        labels = uniques.tolist()
    else:
        inverse = None
        try:
            labels = list(set(values))
        except TypeError as err:
            raise ValueError(f"treatment labels must be hashable: {err}") from None
    missing = [label for label in labels if _is_missing_label(label)]
    if missing:
        raise ValueError("treatment has missing values (None or NaN); every row needs a label")
    if control not in labels:
        shown = ", ".join(repr(x) for x in sort_labels(labels)[:10])
        raise ValueError(
            f"the control label {control!r} does not occur in treatment (labels found: {shown}); "
            "pass control=<label of the control group>"
        )
    arms = sort_labels([label for label in labels if label != control])
    if not arms:
        raise ValueError(
            f"treatment holds only the control label {control!r}; at least one treated row is "
            "needed"
        )
    group = {label: k for k, label in enumerate(arms, start=1)}
    group[control] = 0
    if inverse is not None:
        lookup = np.array([group[label] for label in labels], dtype=np.int64)
        return lookup[inverse.reshape(-1)].tolist(), arms
    return [group[v] for v in values], arms


def binary_outcome(values: list, arr: Optional[np.ndarray]) -> List[int]:
    """Outcomes as 0/1 ints; bools and numbers equal to 0 or 1 are accepted."""
    if arr is not None:
        good = (arr == 0) | (arr == 1)
        if bool(good.all()):
            return arr.astype(np.int64).tolist()
        bad = np.unique(arr[~good])[:5].tolist()
    else:
        bad_list: list = []
        for v in values:
            if not isinstance(v, (numbers.Real, np.bool_)) or not (v == 0 or v == 1):
                if v not in bad_list:
                    bad_list.append(v)
                    if len(bad_list) == 5:
                        break
        if not bad_list:
            return [int(v) for v in values]
        bad = bad_list
    raise ValueError(
        f"the outcome must be binary (0/1 or False/True); found {', '.join(repr(v) for v in bad)}"
    )
