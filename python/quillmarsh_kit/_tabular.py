"""Turns the tables data scientists hold into the plain columns the native class takes.

Accepted inputs: pandas, polars and pyarrow tables, 2-D numpy arrays, dicts of sequences and
lists of rows. Every feature column becomes either numeric (a float64 array; bools and
nullable integers included, missing values become NaN) or string (a list of `str`; missing
values are refused). Columns reach Python lists through numpy's `tolist()` or Arrow's
`to_pylist()`, once, so that the conversion stays small beside training.

The estimator uses `training_data` to train, `to_table` and `align` to predict.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
import sys
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from ._encode import binary_outcome, treatment_groups

NUMERIC = "numeric"
STRING = "string"

_MISSING_TYPE_NAMES = frozenset({"NoneType", "NAType", "NaTType"})
_ColumnValues = Union[np.ndarray, List[str]]


@dataclasses.dataclass
class Column:
    """One feature column: float64 array (numeric) or list of str (string)."""

    name: str
    kind: str
    values: _ColumnValues

    def __len__(self) -> int:
        return len(self.values)

    def as_list(self) -> list:
        return self.values.tolist() if isinstance(self.values, np.ndarray) else self.values


@dataclasses.dataclass
class Table:
    """Feature columns of one input, in column order.

    `named` is False for inputs without column names (arrays, lists of rows), whose columns are
    called x0, x1, ... and are matched by position.
    """

    columns: List[Column]
    n_rows: int
    named: bool

    @property
    def names(self) -> List[str]:
        return [c.name for c in self.columns]

    @property
    def kinds(self) -> List[str]:
        return [c.kind for c in self.columns]

    def drop(self, names: Sequence[str]) -> "Table":
        gone = set(names)
        return Table([c for c in self.columns if c.name not in gone], self.n_rows, self.named)

    def column(self, name: str) -> Column:
        for c in self.columns:
            if c.name == name:
                return c
        raise KeyError(name)

    def rows(self, start: int = 0, stop: Optional[int] = None) -> List[list]:
        """Rows start..stop as one list each, cells in column order: the shape of the native
        `predict`."""
        stop = self.n_rows if stop is None else min(stop, self.n_rows)
        if not self.columns:
            return [[] for _ in range(max(stop - start, 0))]
        if all(c.kind == NUMERIC for c in self.columns):
            return np.column_stack([c.values[start:stop] for c in self.columns]).tolist()
        cells = (c.values[start:stop] for c in self.columns)
        lists = (v.tolist() if isinstance(v, np.ndarray) else v for v in cells)
        return list(map(list, zip(*lists)))


def _module_type(value: Any, module: str, name: str) -> bool:
    """isinstance against an optional package's type, without importing the package."""
    mod = sys.modules.get(module)
    kind = getattr(mod, name, None) if mod is not None else None
    return kind is not None and isinstance(value, kind)


def _unsupported_error(name: str, kind: str) -> ValueError:
    return ValueError(
        f"column {name!r} has {kind}, which is neither numeric nor text; convert it to numbers "
        "or strings first"
    )


def _missing_error(name: str, count: int) -> ValueError:
    return ValueError(
        f"string feature {name!r} has {count} missing value(s); string features cannot be "
        "missing: fill them with a category of their own (e.g. 'missing') first"
    )


def _is_missing(value: Any) -> bool:
    if type(value).__name__ in _MISSING_TYPE_NAMES:
        return True
    return isinstance(value, float) and math.isnan(value)


def object_column(name: str, values: list) -> Column:
    """Classifies a list of Python objects as a numeric or a string column."""
    types = set(map(type, values))
    strings = {t for t in types if issubclass(t, str)}
    missing = {t for t in types if t.__name__ in _MISSING_TYPE_NAMES}
    numbers_ = {
        t for t in types
        if t not in strings and t not in missing and issubclass(t, (numbers.Real, np.bool_))
    }
    other = types - strings - missing - numbers_
    if other:
        found = ", ".join(sorted(t.__name__ for t in other))
        raise ValueError(
            f"column {name!r} holds values of type {found}; a feature column must hold only "
            "numbers (int, float, bool) or only strings"
        )
    if strings:
        if numbers_ and not all(_is_missing(v) for v in values if type(v) in numbers_):
            found = ", ".join(sorted(t.__name__ for t in strings | numbers_))
            raise ValueError(
                f"column {name!r} mixes strings and numbers ({found}); a feature column must "
                "hold only numbers or only strings"
            )
        n_missing = sum(1 for v in values if _is_missing(v))
        if n_missing:
            raise _missing_error(name, n_missing)
        return Column(name, STRING, values if strings == {str} else [str(v) for v in values])
    if missing:
        values = [math.nan if type(v).__name__ in _MISSING_TYPE_NAMES else v for v in values]
    return Column(name, NUMERIC, np.asarray(values, dtype=np.float64).reshape(-1))


def _numpy_column(name: str, arr: np.ndarray) -> Column:
    kind = arr.dtype.kind
    if kind in "biuf":
        return Column(name, NUMERIC, np.asarray(arr, dtype=np.float64))
    if kind == "U":
        return Column(name, STRING, arr.tolist())
    if kind == "O":
        return object_column(name, arr.tolist())
    raise _unsupported_error(name, f"dtype {arr.dtype}")


def _pandas_column(name: str, series: Any) -> Column:
    import pandas as pd

    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        codes = series.cat.codes.to_numpy()
        n_missing = int((codes < 0).sum())
        if n_missing:
            raise _missing_error(name, n_missing)
        categories = [str(c) for c in series.cat.categories.tolist()]
        return Column(name, STRING, np.asarray(categories, dtype=object)[codes].tolist())
    if isinstance(dtype, np.dtype) and dtype.kind == "O":
        return object_column(name, series.to_numpy(dtype=object).tolist())
    if pd.api.types.is_bool_dtype(dtype) or (
        pd.api.types.is_numeric_dtype(dtype) and dtype.kind != "c"
    ):
        return Column(name, NUMERIC, series.to_numpy(dtype=np.float64, na_value=np.nan))
    if pd.api.types.is_string_dtype(dtype):
        n_missing = int(series.isna().sum())
        if n_missing:
            raise _missing_error(name, n_missing)
        return Column(name, STRING, series.to_numpy(dtype=object).tolist())
    raise _unsupported_error(name, f"dtype {dtype}")


def _polars_column(name: str, series: Any) -> Column:
    import polars as pl

    dtype = series.dtype
    if dtype.is_numeric() or dtype == pl.Boolean:
        return Column(
            name, NUMERIC, series.cast(pl.Float64).fill_null(float("nan")).to_numpy()
        )
    if dtype in (pl.String, pl.Categorical) or isinstance(dtype, (pl.Categorical, pl.Enum)):
        if series.null_count():
            raise _missing_error(name, series.null_count())
        return Column(name, STRING, series.cast(pl.String).to_list())
    if dtype == pl.Object:
        return object_column(name, series.to_list())
    raise _unsupported_error(name, f"dtype {dtype}")


def _arrow_column(name: str, column: Any) -> Column:
    import pyarrow as pa
    import pyarrow.compute as pc

    kind = column.type
    if pa.types.is_dictionary(kind):
        column = column.cast(kind.value_type)
        kind = column.type
    if (pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_boolean(kind)
            or pa.types.is_decimal(kind)):
        as_float = pc.fill_null(pc.cast(column, pa.float64()), float("nan"))
        return Column(name, NUMERIC, as_float.to_numpy())
    if pa.types.is_string(kind) or pa.types.is_large_string(kind) or (
        hasattr(pa.types, "is_string_view") and pa.types.is_string_view(kind)
    ):
        if column.null_count:
            raise _missing_error(name, column.null_count)
        return Column(name, STRING, column.cast(pa.string()).to_pylist())
    raise _unsupported_error(name, f"Arrow type {kind}")


def _sequence_column(name: str, values: Any) -> Column:
    """One column of a dict input."""
    if isinstance(values, np.ndarray):
        if values.ndim != 1:
            raise ValueError(f"column {name!r} must be 1-D, got shape {values.shape}")
        return _numpy_column(name, values)
    if _module_type(values, "pandas", "Series"):
        return _pandas_column(name, values)
    if _module_type(values, "polars", "Series"):
        return _polars_column(name, values)
    if _module_type(values, "pyarrow", "ChunkedArray") or _module_type(values, "pyarrow", "Array"):
        return _arrow_column(name, values)
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise ValueError(
            f"column {name!r} must be a sequence of values, got {type(values).__name__}")
    return object_column(name, list(values))


def _check_names(names: List[Any]) -> List[str]:
    text = [n if isinstance(n, str) else str(n) for n in names]
    seen: Dict[str, int] = {}
    for n in text:
        seen[n] = seen.get(n, 0) + 1
    dup = sorted(n for n, c in seen.items() if c > 1)
    if dup:
        raise ValueError(f"duplicate column names: {dup}")
    return text


def _from_columns(columns: List[Column], named: bool) -> Table:
    lengths = {len(c) for c in columns}
    if len(lengths) > 1:
        first = columns[0]
        other = next(c for c in columns if len(c) != len(first))
        raise ValueError(
            f"columns have different lengths: {first.name!r} has {len(first)} rows, "
            f"{other.name!r} has {len(other)}"
        )
    return Table(columns, lengths.pop() if lengths else 0, named)


def _from_array(arr: np.ndarray) -> Table:
    if arr.ndim != 2:
        raise ValueError(
            f"X must be 2-D (rows x features), got an array of shape {arr.shape}; "
            "use X.reshape(-1, 1) for a single feature"
        )
    names = [f"x{j}" for j in range(arr.shape[1])]
    if arr.dtype.kind in "biuf":
        as_float = np.asarray(arr, dtype=np.float64)
        columns = [Column(n, NUMERIC, as_float[:, j]) for j, n in enumerate(names)]
    else:
        columns = [_numpy_column(n, arr[:, j]) for j, n in enumerate(names)]
    return Table(columns, arr.shape[0], named=False)


def to_table(data: Any) -> Table:
    """Converts a supported table into feature columns (see the module docstring)."""
    if _module_type(data, "pandas", "DataFrame"):
        names = _check_names(list(data.columns))
        cols = [_pandas_column(n, data.iloc[:, j]) for j, n in enumerate(names)]
        return Table(cols, len(data), named=True)
    if _module_type(data, "polars", "DataFrame"):
        return Table([_polars_column(s.name, s) for s in data.get_columns()], data.height, True)
    if _module_type(data, "polars", "LazyFrame"):
        raise TypeError("X is a polars LazyFrame; call .collect() first")
    if _module_type(data, "pyarrow", "Table") or _module_type(data, "pyarrow", "RecordBatch"):
        names = _check_names(list(data.schema.names))
        cols = [_arrow_column(n, data.column(j)) for j, n in enumerate(names)]
        return Table(cols, data.num_rows, named=True)
    if isinstance(data, Mapping):
        names = _check_names(list(data.keys()))
        columns = [_sequence_column(n, v) for n, v in zip(names, data.values())]
        return _from_columns(columns, named=True)
    if isinstance(data, np.ndarray):
        return _from_array(data)
    if _module_type(data, "pandas", "Series") or _module_type(data, "polars", "Series"):
        raise ValueError("X must be 2-D (a table), got a single series; use series.to_frame()")
    if isinstance(data, (list, tuple)):
        if not data:
            return Table([], 0, named=False)
        lengths = {len(r) if hasattr(r, "__len__") and not isinstance(r, str) else -1 for r in data}
        if -1 in lengths:
            raise ValueError("X must be 2-D: a list of rows, each a sequence of values")
        if len(lengths) > 1:
            raise ValueError(f"rows of X have different lengths: {sorted(lengths)}")
        arr = np.empty((len(data), lengths.pop()), dtype=object)
        arr[:] = [list(r) for r in data]
        return _from_array(arr)
    raise TypeError(
        "X must be a pandas, polars or pyarrow table, a 2-D numpy array, a dict of columns or a "
        f"list of rows; got {type(data).__name__}"
    )


def to_vector(values: Any, what: str) -> Tuple[list, Optional[np.ndarray]]:
    """A 1-D input (treatment, outcome) as a Python list, plus its numpy array when it has one.

    Numpy arrays, pandas/polars series, pyarrow arrays and Python sequences are accepted.
    """
    if _module_type(values, "pandas", "Series") or _module_type(values, "pandas", "Index"):
        # Extension dtypes (nullable ints, categoricals, strings) keep their missing markers
        # in the list, where the encoders find them.
        if isinstance(values.dtype, np.dtype) and values.dtype.kind in "biuf":
            arr = values.to_numpy()
            return arr.tolist(), arr
        return values.tolist(), None
    if _module_type(values, "polars", "Series"):
        return values.to_list(), None
    if _module_type(values, "pyarrow", "ChunkedArray") or _module_type(values, "pyarrow", "Array"):
        return values.to_pylist(), None
    if isinstance(values, np.ndarray):
        if values.ndim != 1:
            raise ValueError(f"{what} must be 1-D, got an array of shape {values.shape}")
        return values.tolist(), (values if values.dtype.kind in "biuf" else None)
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise TypeError(f"{what} must be a sequence of values, got {type(values).__name__}")
    return list(values), None


def _target_values(table: Table, values: Any, what: str) -> Tuple[list, Optional[np.ndarray]]:
    """`to_vector` of a target given as values, or as the name of a column of `table`."""
    if not isinstance(values, str):
        return to_vector(values, what)
    try:
        column = table.column(values)
    except KeyError:
        raise ValueError(f"{what} names column {values!r}, which X does not have") from None
    if isinstance(column.values, np.ndarray):
        return column.values.tolist(), column.values
    return column.values, None


@dataclasses.dataclass
class TrainingData:
    """The inputs of one fit, checked and converted."""

    table: Table  # the features
    groups: List[int]  # per row: 0 for control, k for arms[k - 1]
    outcome: List[int]  # per row: 0 or 1
    arms: List[Any]  # the treatment labels other than control, sorted
    target_cols: List[str]  # columns of X that held treatment or outcome


def training_data(X: Any, treatment: Any, y: Any, control: Any) -> TrainingData:
    """Converts the features `X`, the treatment labels and the outcomes, each given as values
    or (for a named X) as the name of a column of X; refuses what cannot be trained on."""
    table = to_table(X)
    target_cols = [v for v in (treatment, y) if isinstance(v, str)]
    if target_cols and not table.named:
        raise ValueError("treatment and y may name columns only when X has column names")
    treatment_values = _target_values(table, treatment, "treatment")
    y_values = _target_values(table, y, "y")
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
    groups, arms = treatment_groups(*treatment_values, control=control)
    return TrainingData(table, groups, binary_outcome(*y_values), arms, target_cols)


def align(table: Table, names: Sequence[str], kinds: Sequence[str], by_name: bool,
          ignore: Sequence[str] = ()) -> Table:
    """The columns of `table` that stand for the training features `names` (of `kinds`), in
    that order.

    With `by_name` (a model trained on named columns) a named table is matched by name and the
    columns in `ignore` (the training targets) are left out; otherwise columns are matched by
    position. Missing, extra or differently typed columns are refused by name.
    """
    if table.named and by_name:
        table = table.drop([c for c in ignore if c not in names])
        given = table.names
        missing = [n for n in names if n not in given]
        extra = [n for n in given if n not in names]
        if missing or extra:
            parts = []
            if missing:
                parts.append(f"missing {missing}")
            if extra:
                parts.append(f"unexpected {extra}")
            raise ValueError("X has different columns from the training data: " + "; ".join(parts))
        columns = [table.column(n) for n in names]
    else:
        if len(table.columns) != len(names) and not (table.n_rows == 0 and not table.columns):
            raise ValueError(
                f"X has {len(table.columns)} features, but the model was trained with "
                f"{len(names)}"
            )
        columns = [Column(n, c.kind, c.values) for n, c in zip(names, table.columns)]
    for column, kind in zip(columns, kinds):
        if column.kind != kind and table.n_rows > 0:  # an empty column has no kind
            raise ValueError(
                f"feature {column.name!r} was a {kind} column in training but holds "
                f"{column.kind} values here"
            )
    return Table(columns, table.n_rows, table.named)
