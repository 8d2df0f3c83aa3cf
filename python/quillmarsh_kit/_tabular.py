"""Turns the tables data scientists hold into the numpy columns the engine reads in place.

Accepted inputs: pandas, polars and pyarrow tables, 2-D numpy arrays, dicts of sequences and
lists of rows. Every feature column becomes either numeric or string, column by column and
without a Python object per cell:

- numeric (ints, floats, bools, nullable and Arrow-backed numbers): a 1-D numpy array of a
  real dtype with NaN for missing values. It is usually a view of the caller's column; the
  engine's float32 copy is made by `Column.engine_column`, for the whole column to train and
  by row block to predict.
- string (text, categorical, dictionary-encoded): uint32 codes into a list of distinct
  texts, from `pandas.factorize`, categorical codes, Arrow dictionary encoding or a polars
  enum. Missing values are refused, a null kept inside an Arrow dictionary included.

The estimator uses `training_data` to train, `to_table` and `align` to predict.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
import sys
from typing import Any, Callable, Dict, Hashable, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from ._encode import (
    binary_outcome,
    factorize_objects,
    is_missing,
    label_codes,
    treatment_groups,
)

NUMERIC = "numeric"
STRING = "string"

_MISSING_TYPE_NAMES = frozenset({"NoneType", "NAType", "NaTType"})


@dataclasses.dataclass
class Column:
    """One feature column (see the module docstring): `values` of a real dtype (numeric), or
    uint32 codes into `categories` (string)."""

    name: str
    kind: str
    values: np.ndarray
    categories: Optional[List[str]] = None

    def __len__(self) -> int:
        return len(self.values)

    def engine_column(self, start: int = 0, stop: Optional[int] = None) -> Any:
        """Rows start..stop as the engine takes them: a C-contiguous float32 array, or the
        pair (uint32 codes, texts)."""
        values = self.values[start:stop]
        if self.kind == STRING:
            return (np.ascontiguousarray(values), self.categories)
        return np.ascontiguousarray(values, dtype=np.float32)

    def to_float32(self) -> "Column":
        """The same column with numeric values as float32 (a no-op for a string column)."""
        if self.kind == STRING:
            return self
        return Column(self.name, self.kind, self.engine_column())


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

    def column(self, name: str) -> Column:
        for c in self.columns:
            if c.name == name:
                return c
        raise KeyError(name)


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


def string_column(name: str, codes: np.ndarray, texts: Sequence[Any]) -> Column:
    """A string column from integer codes into `texts` (a negative code is a missing value).

    The categories come out sorted, without the texts no row uses and with equal texts merged,
    so that every input of the same data gives the engine the same codes."""
    n_missing = int(np.count_nonzero(codes < 0)) if codes.dtype.kind == "i" else 0
    if n_missing:
        raise _missing_error(name, n_missing)
    texts = [t if type(t) is str else str(t) for t in texts]
    used = np.flatnonzero(np.bincount(codes, minlength=len(texts)))
    categories = sorted({texts[i] for i in used.tolist()})
    position = {text: k for k, text in enumerate(categories)}
    remap = np.array([position.get(text, 0) for text in texts], dtype=np.uint32)
    return Column(name, STRING, remap[codes], categories)


def object_column(name: str, values: Any) -> Column:
    """Classifies a sequence of Python objects (a list or an object array) as a numeric or a
    string column."""
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
        if numbers_ and not all(is_missing(v) for v in values if type(v) in numbers_):
            found = ", ".join(sorted(t.__name__ for t in strings | numbers_))
            raise ValueError(
                f"column {name!r} mixes strings and numbers ({found}); a feature column must "
                "hold only numbers or only strings"
            )
        return string_column(name, *factorize_objects(values))
    if missing:
        nan = math.nan
        filled = np.fromiter((nan if type(v) in missing else v for v in values),
                             dtype=np.float32, count=len(values))
        return Column(name, NUMERIC, filled)
    return Column(name, NUMERIC, np.asarray(values, dtype=np.float32))


def _numpy_column(name: str, arr: np.ndarray) -> Column:
    kind = arr.dtype.kind
    if kind in "biuf":
        return Column(name, NUMERIC, arr)
    if kind == "U":
        return string_column(name, *factorize_objects(arr))
    if kind == "O":
        return object_column(name, arr)
    raise _unsupported_error(name, f"dtype {arr.dtype}")


def _pandas_column(name: str, series: Any) -> Column:
    import pandas as pd

    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return string_column(name, series.cat.codes.to_numpy(), series.cat.categories.tolist())
    if isinstance(dtype, np.dtype):
        if dtype.kind in "biuf":
            return Column(name, NUMERIC, series.to_numpy())  # a view of the frame's block
        if dtype.kind == "O":
            return object_column(name, series.to_numpy())
    elif pd.api.types.is_bool_dtype(dtype) or (
        pd.api.types.is_numeric_dtype(dtype) and dtype.kind != "c"
    ):
        return Column(name, NUMERIC, series.to_numpy(dtype=np.float32, na_value=np.nan))
    elif pd.api.types.is_string_dtype(dtype):
        codes, uniques = series.factorize()
        return string_column(name, codes, uniques.tolist())
    elif isinstance(dtype, getattr(pd, "ArrowDtype", ())):  # dictionary-encoded text
        import pyarrow as pa

        return _arrow_column(name, pa.array(series.array))
    raise _unsupported_error(name, f"dtype {dtype}")


def _polars_column(name: str, series: Any) -> Column:
    import polars as pl

    dtype = series.dtype
    if dtype.is_numeric() or dtype == pl.Boolean:
        if series.null_count() == 0 and (dtype.is_float() or dtype.is_integer()):
            return Column(name, NUMERIC, series.to_numpy())  # without a copy where it can
        as_float = series.cast(pl.Float32).fill_null(float("nan"))
        return Column(name, NUMERIC, as_float.to_numpy())
    if isinstance(dtype, pl.Enum):
        if series.null_count():
            raise _missing_error(name, series.null_count())
        return string_column(name, series.to_physical().to_numpy(),
                             dtype.categories.to_list())
    if dtype == pl.String or isinstance(dtype, pl.Categorical):
        if series.null_count():
            raise _missing_error(name, series.null_count())
        text = series.cast(pl.String)
        uniques = text.unique(maintain_order=True).to_list()
        codes = text.cast(pl.Enum(uniques)).to_physical().to_numpy()
        return string_column(name, codes, uniques)
    if dtype == pl.Object:
        return object_column(name, series.to_numpy())
    raise _unsupported_error(name, f"dtype {dtype}")


def _arrow_column(name: str, column: Any) -> Column:
    import pyarrow as pa
    import pyarrow.compute as pc

    kind = column.type
    if pa.types.is_dictionary(kind) and not _is_arrow_text(pa, kind.value_type):
        column = column.cast(kind.value_type)
        kind = column.type
    if pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_boolean(kind):
        chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
        if column.null_count == 0 and len(chunks) == 1:
            return Column(name, NUMERIC, chunks[0].to_numpy(zero_copy_only=False))
    if (pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_boolean(kind)
            or pa.types.is_decimal(kind)):
        # float32 at once: a column of many chunks is copied anyway
        as_float = pc.fill_null(pc.cast(column, pa.float32(), safe=False), float("nan"))
        return Column(name, NUMERIC, as_float.to_numpy())
    if _is_arrow_text(pa, kind) or (
            pa.types.is_dictionary(kind) and _is_arrow_text(pa, kind.value_type)):
        n_missing = _arrow_missing(pa, pc, column)
        if n_missing:
            raise _missing_error(name, n_missing)
        return string_column(name, *_arrow_codes(pa, column))
    raise _unsupported_error(name, f"Arrow type {kind}")


def _arrow_missing(pa: Any, pc: Any, column: Any) -> int:
    """Missing values of a text column: its nulls, and in a dictionary column also the rows
    whose index points at a null kept in the dictionary (`null_count` leaves those out)."""
    if not pa.types.is_dictionary(column.type):
        return int(column.null_count)
    chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
    if not any(chunk.dictionary.null_count for chunk in chunks):
        return int(column.null_count)
    return int(pc.sum(pc.is_null(column)).as_py() or 0)


def _is_arrow_text(pa: Any, kind: Any) -> bool:
    return pa.types.is_string(kind) or pa.types.is_large_string(kind) or (
        hasattr(pa.types, "is_string_view") and pa.types.is_string_view(kind))


def _arrow_codes(pa: Any, column: Any) -> Tuple[np.ndarray, List[str]]:
    """Dictionary codes of a text column without nulls, and the dictionary's texts."""
    if isinstance(column, pa.ChunkedArray):
        if not pa.types.is_dictionary(column.type):
            column = column.dictionary_encode()
        column = column.unify_dictionaries()
        if column.num_chunks == 0:
            return np.zeros(0, np.int64), []
        codes = np.concatenate([c.indices.to_numpy() for c in column.chunks])
        return codes, column.chunk(0).dictionary.to_pylist()
    if not pa.types.is_dictionary(column.type):
        column = column.dictionary_encode()
    return column.indices.to_numpy(), column.dictionary.to_pylist()


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
    return object_column(name, values if isinstance(values, list) else list(values))


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


def _from_array(arr: np.ndarray, float32: bool) -> Table:
    if arr.ndim != 2:
        raise ValueError(
            f"X must be 2-D (rows x features), got an array of shape {arr.shape}; "
            "use X.reshape(-1, 1) for a single feature"
        )
    columns = [_numpy_column(f"x{j}", arr[:, j]) for j in range(arr.shape[1])]
    return Table([c.to_float32() for c in columns] if float32 else columns, arr.shape[0],
                 named=False)


@dataclasses.dataclass
class _NamedInput:
    """A table with column names: how to reach and convert its columns."""

    names: List[str]
    column_at: Callable[[int], Any]
    convert: Callable[[str, Any], Column]
    n_rows: Optional[int]  # None for a dict, whose columns tell


def _named_input(data: Any) -> Optional[_NamedInput]:
    if _module_type(data, "pandas", "DataFrame"):
        return _NamedInput(_check_names(list(data.columns)), lambda j: data.iloc[:, j],
                           _pandas_column, len(data))
    if _module_type(data, "polars", "DataFrame"):
        return _NamedInput(list(data.columns), data.to_series, _polars_column, data.height)
    if _module_type(data, "pyarrow", "Table") or _module_type(data, "pyarrow", "RecordBatch"):
        return _NamedInput(_check_names(list(data.schema.names)), data.column, _arrow_column,
                           data.num_rows)
    if isinstance(data, Mapping):
        values = list(data.values())
        return _NamedInput(_check_names(list(data.keys())), values.__getitem__,
                           _sequence_column, None)
    return None


def _convert_named(named: _NamedInput, skip: Sequence[str], float32: bool) -> Table:
    columns = []
    for j, name in enumerate(named.names):
        if name in skip:
            continue
        column = named.convert(name, named.column_at(j))
        # one column at a time, so that only one source copy exists at once
        columns.append(column.to_float32() if float32 else column)
    if named.n_rows is None:
        return _from_columns(columns, named=True)
    return Table(columns, named.n_rows, named=True)


def to_table(data: Any, skip: Sequence[str] = (), float32: bool = False) -> Table:
    """Converts a supported table into feature columns (see the module docstring), leaving out
    the named columns in `skip`; with `float32`, numeric columns are the engine's float32."""
    named = _named_input(data)
    if named is not None:
        return _convert_named(named, skip, float32)
    if _module_type(data, "polars", "LazyFrame"):
        raise TypeError("X is a polars LazyFrame; call .collect() first")
    if isinstance(data, np.ndarray):
        return _from_array(data, float32)
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
        return _from_array(arr, float32)
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


def _target_column(named: Optional[_NamedInput], value: Any, what: str) -> Any:
    """A target given as values, or as the name of a column of the table."""
    if not isinstance(value, str):
        return value
    if named is None:
        raise ValueError("treatment and y may name columns only when X has column names")
    if value not in named.names:
        raise ValueError(f"{what} names column {value!r}, which X does not have")
    return named.column_at(named.names.index(value))


@dataclasses.dataclass
class TrainingData:
    """The inputs of one fit, checked and converted for the engine."""

    table: Table  # the features, numeric columns as float32
    groups: np.ndarray  # int32 per row: 0 for control, k for arms[k - 1]
    outcome: np.ndarray  # uint8 per row: 0 or 1
    arms: List[Hashable]  # the treatment labels other than control, sorted
    target_cols: List[str]  # columns of X that held treatment or outcome


def training_data(X: Any, treatment: Any, y: Any, control: Any) -> TrainingData:
    """Converts the features `X`, the treatment labels and the outcomes, each given as values
    or (for a named X) as the name of a column of X; refuses what cannot be trained on.

    The targets come first, then the features one column at a time, each numeric column
    straight to the engine's float32."""
    named = _named_input(X)
    target_cols = [v for v in (treatment, y) if isinstance(v, str)]
    codes, labels = label_codes(_target_column(named, treatment, "treatment"), "treatment")
    outcome = binary_outcome(_target_column(named, y, "y"))
    if named is not None:
        table = _convert_named(named, target_cols, float32=True)
    else:
        table = to_table(X, float32=True)
    if table.n_rows == 0:
        raise ValueError("X has no rows")
    if not table.columns:
        raise ValueError("X has no feature columns")
    if not len(codes) == len(outcome) == table.n_rows:
        raise ValueError(
            f"X has {table.n_rows} rows, treatment has {len(codes)} and y has "
            f"{len(outcome)}; they must match"
        )
    groups, arms = treatment_groups(codes, labels, control)
    return TrainingData(table, groups, outcome, arms, target_cols)


def align(table: Table, names: Sequence[str], kinds: Sequence[str], by_name: bool) -> Table:
    """The columns of `table` that stand for the training features `names` (of `kinds`), in
    that order.

    With `by_name` (a model trained on named columns) a named table is matched by name;
    otherwise columns are matched by position. Missing, extra or differently typed columns are
    refused by name.
    """
    if table.named and by_name:
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
        columns = [Column(n, c.kind, c.values, c.categories)
                   for n, c in zip(names, table.columns)]
    for column, kind in zip(columns, kinds):
        if column.kind != kind and table.n_rows > 0:  # an empty column has no kind
            raise ValueError(
                f"feature {column.name!r} was a {kind} column in training but holds "
                f"{column.kind} values here"
            )
    return Table(columns, table.n_rows, table.named)
