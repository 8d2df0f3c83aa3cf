"""Factorizing values into integer codes, treatment labels into the engine's int32 groups and
outcomes into its uint8 0/1, from numpy arrays, pandas, polars and pyarrow columns and Python
sequences.

pandas' hash-based `factorize` does the work when pandas is installed; without it a dict does.
"""

from __future__ import annotations

import math
import numbers
from typing import Any, Dict, Hashable, List, Sequence, Tuple

import numpy as np

_MISSING_TYPE_NAMES = frozenset({"NoneType", "NAType", "NaTType"})


def _module_name(value: Any) -> str:
    return type(value).__module__.split(".", 1)[0]


def _pandas() -> Any:
    try:
        import pandas
    except ImportError:
        return None
    return pandas


def is_missing(value: Any) -> bool:
    """None, NaN, pandas' NA and NaT."""
    if type(value).__name__ in _MISSING_TYPE_NAMES:
        return True
    return isinstance(value, float) and math.isnan(value)


def _factorize_by_dict(values: Any) -> Tuple[np.ndarray, List[Any]]:
    """Codes in order of first appearance; -1 for missing values. Raises TypeError for an
    unhashable value."""
    lookup: Dict[Any, int] = {}
    codes = np.fromiter((lookup.setdefault(v, len(lookup)) for v in values), dtype=np.int64,
                        count=len(values))
    uniques = list(lookup)
    missing = np.fromiter(map(is_missing, uniques), dtype=bool, count=len(uniques))
    if not missing.any():
        return codes, uniques
    remap = np.full(len(uniques), -1, dtype=np.int64)
    remap[~missing] = np.arange(int((~missing).sum()))
    return remap[codes], [u for u, gone in zip(uniques, missing.tolist()) if not gone]


def factorize_objects(values: Any) -> Tuple[np.ndarray, List[Any]]:
    """Integer codes (-1 for None, NaN, NA, NaT) into the distinct values, of a list or 1-D
    array of hashable values."""
    pd = _pandas()
    if pd is None:
        return _factorize_by_dict(values)
    if not isinstance(values, np.ndarray):
        array = np.empty(len(values), dtype=object)
        array[:] = values
        values = array
    codes, uniques = pd.factorize(values)
    return codes, uniques.tolist()


def _as_numpy(values: Any, what: str) -> Any:
    """polars and pyarrow columns as numpy arrays; pandas objects, numpy arrays and Python
    sequences as they are."""
    module = _module_name(values)
    if module == "polars" and hasattr(values, "to_numpy"):
        return values.to_numpy()
    if module == "pyarrow" and hasattr(values, "to_numpy"):
        if hasattr(values, "chunks"):
            return values.to_numpy()
        return values.to_numpy(zero_copy_only=False)
    if isinstance(values, np.ndarray):
        if values.ndim != 1:
            raise ValueError(f"{what} must be 1-D, got an array of shape {values.shape}")
        return values
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise TypeError(f"{what} must be a sequence of values, got {type(values).__name__}")
    return values


def label_codes(values: Any, what: str) -> Tuple[np.ndarray, List[Hashable]]:
    """The distinct labels of a column and the code of every row into them (-1: missing)."""
    values = _as_numpy(values, what)
    try:
        if _module_name(values) == "pandas" and hasattr(values, "factorize"):
            codes, uniques = values.factorize()
            return np.asarray(codes), uniques.tolist()
        if isinstance(values, np.ndarray):
            return factorize_objects(values)
        return _factorize_by_dict(values if isinstance(values, list) else list(values))
    except TypeError as err:
        raise ValueError(f"{what} labels must be hashable: {err}") from None


def sort_labels(labels: Sequence[Hashable]) -> List[Hashable]:
    """Labels in their natural order; labels of types that cannot be compared with each other
    are ordered by type name, then by repr."""
    try:
        return sorted(labels)  # type: ignore[type-var]
    except TypeError:
        return sorted(labels, key=lambda label: (type(label).__name__, repr(label)))


def treatment_groups(codes: np.ndarray, labels: List[Hashable],
                     control: Hashable) -> Tuple[np.ndarray, List[Hashable]]:
    """Maps the labels of `label_codes` to groups: `control` to 0, the other labels in sorted
    order to 1..K. Returns the int32 group of every row and the K treatment labels."""
    if len(codes) == 0:
        raise ValueError("treatment is empty")
    if any(map(is_missing, labels)) or bool((codes < 0).any()):
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
    lookup = np.array([0 if label == control else group[label] for label in labels],
                      dtype=np.int32)
    return lookup[codes], arms


def _outcome_array(values: Any) -> np.ndarray:
    values = _as_numpy(values, "y")
    if _module_name(values) == "pandas" and hasattr(values, "to_numpy"):
        pd = _pandas()
        dtype = values.dtype
        if isinstance(dtype, np.dtype) or isinstance(dtype, pd.CategoricalDtype):
            return values.to_numpy()
        if pd.api.types.is_bool_dtype(dtype) or pd.api.types.is_numeric_dtype(dtype):
            return values.to_numpy(dtype=np.float64, na_value=np.nan)
        return values.to_numpy(dtype=object)
    if isinstance(values, np.ndarray):
        return values
    types = set(map(type, values))
    if all(issubclass(t, (numbers.Real, np.bool_)) for t in types):
        return np.asarray(values)
    array = np.empty(len(values), dtype=object)
    array[:] = values
    return array


def binary_outcome(values: Any) -> np.ndarray:
    """Outcomes as uint8 0/1; bools and numbers equal to 0 or 1 are accepted."""
    arr = _outcome_array(values)
    if arr.dtype.kind == "O" and all(
            issubclass(t, (numbers.Real, np.bool_)) for t in set(map(type, arr))):
        arr = arr.astype(np.float64)
    if arr.dtype.kind == "b":
        return arr.astype(np.uint8)
    if arr.dtype.kind in "iuf":
        good = (arr == 0) | (arr == 1)
        if bool(good.all()):
            return arr.astype(np.uint8)
        bad = np.unique(arr[~good])[:5].tolist()
    else:
        bad = []
        for v in arr:
            if not isinstance(v, (numbers.Real, np.bool_)) or not (v == 0 or v == 1):
                v = v.item() if isinstance(v, np.generic) else v
                if v not in bad:
                    bad.append(v)
                    if len(bad) == 5:
                        break
    raise ValueError(
        f"the outcome must be binary (0/1 or False/True); found {', '.join(repr(v) for v in bad)}"
    )
