"""CSV files to numpy columns, with pyarrow's multi-threaded CSV reader.

What a data tool does: a UTF-8 byte-order mark is not part of the first name, quoted cells and
fields of any length are read, compressed files (.gz, .bz2, .zst, ...) are decompressed, and
the usual missing-value tokens (empty, NA, N/A, NaN, null, NULL, #N/A, ...) make a column of
numbers numeric with NaN where they stand. A column of text keeps those tokens as text (a
category of their own). Dates and times stay text; booleans (true/false) are booleans.
"""

from __future__ import annotations

import os
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

PathLike = Union[str, "os.PathLike[str]"]

# pyarrow reads a file in blocks and refuses a row that does not fit in one; a longer row is
# read again with blocks this many times larger, up to the reader's limit.
_BLOCK_SIZE = 1 << 20
_BLOCK_GROWTH = 16
_MAX_BLOCK_SIZE = 1 << 30


PARQUET_SUFFIXES = (".parquet", ".pq", ".parq")


def is_parquet(path: PathLike) -> bool:
    """Whether `path` names a Parquet file (by its extension); anything else is CSV."""
    return os.fspath(path).lower().endswith(PARQUET_SUFFIXES)


def parquet_module() -> Any:
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise ImportError(
            "Parquet files need pyarrow: pip install pyarrow (or quillmarsh[kit])") from None
    return pq


def _pyarrow() -> Tuple[Any, Any]:
    try:
        import pyarrow as pa
        import pyarrow.csv as pacsv
    except ImportError:
        raise ImportError(
            "reading CSV files needs pyarrow: pip install pyarrow (or quillmarsh[kit])"
        ) from None
    return pa, pacsv


def _with_blocks(where: str, read: Callable[[int, bool], Any]) -> Any:
    """Calls read(block_size, use_threads), with larger blocks for long rows; turns the
    reader's errors into ValueErrors that name the file."""
    pa, _ = _pyarrow()
    block = _BLOCK_SIZE
    while True:
        try:
            return read(block, True)
        except pa.ArrowInvalid as err:
            text = str(err)
            if "straddl" in text and block < _MAX_BLOCK_SIZE:
                block *= _BLOCK_GROWTH
                continue
            if text == "Empty CSV file":
                raise ValueError(f"{where} is empty; a header row is needed") from None
            if text.startswith("CSV parse error") and "Row #" not in text:
                # Only the single-threaded reader knows the row number; read again for it.
                try:
                    read(block, False)
                except pa.ArrowInvalid as again:
                    text = str(again)
            raise ValueError(f"{where}: {text}") from None


def _to_numpy(pa: Any, name: str, column: Any, where: str) -> np.ndarray:
    kind = column.type
    if pa.types.is_null(kind):  # every cell empty or a missing-value token
        return np.full(len(column), np.nan)
    text = kind.value_type if pa.types.is_dictionary(kind) else kind
    if pa.types.is_binary(text) or pa.types.is_large_binary(text):
        raise ValueError(f"{where}: column {name!r} is not text in the file's encoding")
    if pa.types.is_dictionary(kind):
        # A text column of few distinct values: one str object per value, shared by its rows.
        out = np.empty(len(column), dtype=object)
        start = 0
        for chunk in column.chunks:
            values = np.asarray(chunk.dictionary.to_pylist(), dtype=object)
            out[start:start + len(chunk)] = values[chunk.indices.to_numpy()]
            start += len(chunk)
        return out
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return column.to_numpy()
    if column.null_count:
        return column.cast(pa.float64()).to_numpy()
    return column.to_numpy()


def csv_header(path: PathLike, *, delimiter: str = ",", encoding: str = "utf-8") -> List[str]:
    """The column names of a CSV file's header row."""
    _, pacsv = _pyarrow()
    where = os.fspath(path)

    def header(block: int, threads: bool) -> List[str]:
        reader = pacsv.open_csv(
            where, read_options=pacsv.ReadOptions(block_size=block, use_threads=threads,
                                                  encoding=encoding),
            parse_options=pacsv.ParseOptions(delimiter=delimiter))
        try:
            return list(reader.schema.names)
        finally:
            reader.close()

    return _with_blocks(where, header)


def check_header(where: str, names: List[str], wanted: Sequence[str]) -> None:
    """Refuses a header with duplicate names or without every column of `wanted`."""
    duplicates = sorted({n for n in names if names.count(n) > 1})
    if duplicates:
        raise ValueError(f"{where} has duplicate column names in its header: {duplicates}")
    unknown = [c for c in wanted if c not in names]
    if unknown:
        raise ValueError(f"{where} has no column(s) {unknown}; its columns are {names}")


def read_csv(
    path: PathLike,
    columns: Optional[Callable[[List[str]], Sequence[str]]] = None,
    text_columns: Sequence[str] = (),
    *,
    delimiter: str = ",",
    encoding: str = "utf-8",
) -> Tuple[List[str], Dict[str, np.ndarray]]:
    """The header of a CSV file, and the columns that `columns(header)` names (all when None)
    as 1-D arrays by name.

    Numbers become int64 (whole numbers without missing cells), float64 (NaN for missing
    cells) or bool arrays; text becomes object arrays of str. `text_columns` are read as text
    whatever they hold.
    """
    if is_parquet(path):
        return _read_parquet(path, columns, text_columns)
    pa, pacsv = _pyarrow()
    where = os.fspath(path)
    parse = pacsv.ParseOptions(delimiter=delimiter)

    def options(block: int, threads: bool) -> Any:
        return pacsv.ReadOptions(block_size=block, use_threads=threads, encoding=encoding)

    names = csv_header(path, delimiter=delimiter, encoding=encoding)
    wanted = list(dict.fromkeys(names if columns is None else columns(names)))
    check_header(where, names, [*wanted, *text_columns])

    def table_of(include: List[str], as_text: Sequence[str]) -> Any:
        convert = pacsv.ConvertOptions(
            include_columns=include, column_types={n: pa.string() for n in as_text},
            auto_dict_encode=True)
        return _with_blocks(where, lambda block, threads: pacsv.read_csv(
            where, read_options=options(block, threads), parse_options=parse,
            convert_options=convert))

    if not wanted:
        return names, {}
    table = table_of(wanted, [c for c in text_columns if c in wanted])
    result = {name: table.column(name) for name in wanted}
    # Dates and times are of no use to the kit as such: they are read again as their text.
    again = [name for name in wanted if pa.types.is_temporal(result[name].type)]
    if again:
        retyped = table_of(again, again)
        result.update({name: retyped.column(name) for name in again})
    return names, {name: _to_numpy(pa, name, col, where) for name, col in result.items()}


def _read_parquet(
    path: PathLike,
    columns: Optional[Callable[[List[str]], Sequence[str]]],
    text_columns: Sequence[str],
) -> Tuple[List[str], Dict[str, np.ndarray]]:
    """read_csv for a Parquet file: its columns keep their types (numbers, booleans, text),
    with the same checks and messages; `text_columns`, dates and times become text."""
    pa, _ = _pyarrow()
    where = os.fspath(path)
    try:
        source = parquet_module().ParquetFile(where)
    except (pa.ArrowInvalid, pa.ArrowIOError) as err:
        raise ValueError(f"{where}: {err}") from None
    names = list(source.schema_arrow.names)
    wanted = list(dict.fromkeys(names if columns is None else columns(names)))
    check_header(where, names, [*wanted, *text_columns])
    if not wanted:
        return names, {}
    table = source.read(columns=wanted)
    result = {}
    for name in wanted:
        column = table.column(name)
        if name in text_columns or pa.types.is_temporal(column.type):
            column = as_text_column(pa, column)
        result[name] = _to_numpy(pa, name, column, where)
    return names, result


def as_text_column(pa: Any, column: Any) -> Any:
    """A column read as text: text as it is, anything else as its text."""
    kind = column.type.value_type if pa.types.is_dictionary(column.type) else column.type
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return column
    return column.cast(pa.string())
