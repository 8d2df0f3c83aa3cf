"""Table files read and written in batches, for scoring files larger than memory.

A CSV file is read with pyarrow's streaming reader, block by block (`BLOCK_SIZE` bytes); a
Parquet file by row groups. Each column is given its type before the first batch, so that
every batch reads it alike:

- a numeric feature is read as text and turned into numbers per batch, the missing-value
  tokens (empty, NA, NaN, null, ...) as nulls: numbers, or the booleans true/false;
- a string feature, and a copied column that is not a feature, stays the text of its cells;
- a numeric feature that is also copied to the output keeps the type a reading of the whole
  file would give it (whole numbers, booleans, or floats with NaN when any cell is missing),
  which one pass over that column finds first. Its cells are written as they always were.

Writers take batches of copied columns and predictions and write CSV (the rows' text as the
`csv` module writes it, floats as repr) or Parquet.
"""

from __future__ import annotations

import os
from typing import Any, Dict, Iterator, List, Optional, Sequence

import numpy as np

from ._csv import (
    PathLike,
    _pyarrow,
    as_text_column,
    check_header,
    csv_header,
    is_parquet,
    parquet_module,
)

BLOCK_SIZE = 1 << 21  # bytes of CSV text per batch; the reader reads up to 32 blocks ahead
PARQUET_BATCH_ROWS = 1 << 18


# ---------------------------------------------------------------------------- CSV batches
def _csv_batches(path: PathLike, include: List[str], as_text: Sequence[str],
                 nulls: bool) -> Iterator[Any]:
    pa, pacsv = _pyarrow()
    where = os.fspath(path)
    reader = pacsv.open_csv(
        where, read_options=pacsv.ReadOptions(block_size=BLOCK_SIZE, use_threads=True),
        convert_options=pacsv.ConvertOptions(
            include_columns=include, column_types={n: pa.string() for n in as_text},
            strings_can_be_null=nulls))
    try:
        while True:
            try:
                batch = reader.read_next_batch()
            except StopIteration:
                return
            except pa.ArrowInvalid as err:
                raise ValueError(f"{where}: {err}") from None
            yield batch
    finally:
        reader.close()


def _whole_file_types(path: PathLike, names: List[str]) -> Dict[str, Any]:
    """The type a reading of the whole file gives each of the numeric columns `names`."""
    pa, _ = _pyarrow()
    import pyarrow.compute as pc

    seen = {n: {"nulls": False, "values": False, "int": True, "bool": True} for n in names}
    for batch in _csv_batches(path, names, names, True):
        for name in names:
            column, state = batch.column(name), seen[name]
            state["nulls"] |= column.null_count > 0
            state["values"] |= column.null_count < len(column)
            for kind, flag in ((pa.int64(), "int"), (pa.bool_(), "bool")):
                if state[flag]:
                    try:
                        pc.cast(column, kind)
                    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                        state[flag] = False
    types = {}
    for name, state in seen.items():
        whole = not state["nulls"] and state["values"]
        types[name] = (pa.int64() if whole and state["int"] else
                       pa.bool_() if whole and state["bool"] else pa.float64())
    return types


def _numbers(pa: Any, column: Any, name: str, where: str, kind: Optional[Any]) -> Any:
    """A numeric column of one batch, read as text, as numbers of `kind` (float64 when
    None: booleans become 0 and 1)."""
    for target in ([kind] if kind is not None else [pa.float64(), pa.bool_()]):
        try:
            return column.cast(target)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            continue
    raise ValueError(f"{where}: column {name!r} holds text where the model expects numbers")


def score_batches(path: PathLike, numeric: Sequence[str], text: Sequence[str],
                  keep: Sequence[str]) -> Iterator[Dict[str, Any]]:
    """Batches of the columns `numeric` (as numbers), `text` and `keep` (the cells of the file,
    numeric ones typed as a whole reading would type them), as pyarrow arrays by name.
    Raises a ValueError naming the file for missing or duplicate columns."""
    if is_parquet(path):
        yield from _parquet_batches(path, numeric, text, keep)
        return
    pa, _ = _pyarrow()
    import pyarrow.compute as pc

    where = os.fspath(path)
    wanted = list(dict.fromkeys([*numeric, *text, *keep]))
    check_header(where, csv_header(path), wanted)
    kept_numbers = [n for n in keep if n in numeric]
    kinds = _whole_file_types(path, kept_numbers) if kept_numbers else {}
    as_text = [n for n in wanted if n not in numeric]
    for batch in _csv_batches(path, wanted, [*numeric, *as_text], False):
        # numeric columns again, with the missing-value tokens as nulls
        out = {n: batch.column(n) for n in as_text}
        for name in numeric:
            column = batch.column(name)
            nulls = pc.is_in(column, value_set=_null_tokens(pa))
            column = pc.if_else(nulls, pa.scalar(None, pa.string()), column)
            out[name] = _numbers(pa, column, name, where, kinds.get(name))
        yield out


_NULL_TOKENS = ["", "#N/A", "#N/A N/A", "#NA", "-1.#IND", "-1.#QNAN", "-NaN", "-nan", "1.#IND",
                "1.#QNAN", "N/A", "NA", "NULL", "NaN", "n/a", "nan", "null"]


def _null_tokens(pa: Any) -> Any:
    return pa.array(_NULL_TOKENS, pa.string())


# ---------------------------------------------------------------------------- Parquet batches
def _parquet_batches(path: PathLike, numeric: Sequence[str], text: Sequence[str],
                     keep: Sequence[str]) -> Iterator[Dict[str, Any]]:
    pa, _ = _pyarrow()
    pq = parquet_module()
    where = os.fspath(path)
    wanted = list(dict.fromkeys([*numeric, *text, *keep]))
    try:
        source = pq.ParquetFile(where)
    except pa.ArrowInvalid as err:
        raise ValueError(f"{where}: {err}") from None
    check_header(where, list(source.schema_arrow.names), wanted)
    for batch in source.iter_batches(batch_size=PARQUET_BATCH_ROWS, columns=wanted):
        out = {n: batch.column(n) for n in wanted}
        for name in text:
            out[name] = as_text_column(pa, out[name])
        yield out


# ---------------------------------------------------------------------------- writers
def _cells(pa: Any, column: Any) -> List[Any]:
    """A column's values as the CSV writer gets them: missing numbers as NaN."""
    if pa.types.is_floating(column.type) and column.null_count:
        import pyarrow.compute as pc

        column = pc.fill_null(column, float("nan"))
    if pa.types.is_floating(column.type) or pa.types.is_integer(column.type):
        return column.to_numpy(zero_copy_only=False).tolist()
    return column.to_pylist()


class CsvWriter:
    """Writes the header, then batches of rows, to an open text file."""

    def __init__(self, target: Any, header: Sequence[str]) -> None:
        import csv

        self._writer = csv.writer(target, lineterminator="\n")
        self._writer.writerow(header)

    def write(self, kept: Sequence[Any], predicted: Sequence[np.ndarray]) -> None:
        """Writes the copied columns `kept`, then the `predicted` ones: numbers in full
        precision, labels as their text."""
        pa, _ = _pyarrow()
        columns = [_cells(pa, c) for c in kept]
        columns += [[repr(v) for v in col.tolist()] if col.dtype.kind == "f" else col.tolist()
                    for col in predicted]
        self._writer.writerows(zip(*columns))


class ParquetWriter:
    """Writes batches of rows to a Parquet file: copied columns as read, uplift as float64,
    the `labels` columns (group labels) as their text."""

    def __init__(self, path: str, header: Sequence[str], kept: int,
                 labels: Sequence[str] = ()) -> None:
        self._path, self._header, self._kept = path, list(header), kept
        self._writer: Any = None  # a pyarrow ParquetWriter once the first batch is known
        self._labels = set(labels)

    def write(self, kept: Sequence[Any], predicted: Sequence[np.ndarray]) -> None:
        pa, _ = _pyarrow()
        columns = [*kept, *(pa.array([str(v) for v in col], pa.string())
                            if col.dtype.kind == "O" else pa.array(col) for col in predicted)]
        batch = pa.Table.from_arrays(columns, names=self._header)
        if self._writer is None:
            self._writer = parquet_module().ParquetWriter(self._path, batch.schema)
        self._writer.write_table(batch.cast(self._writer.schema))

    def close(self) -> None:
        """Ends the file; with no rows written, a file of the header's columns and no rows."""
        if self._writer is None:
            pa, _ = _pyarrow()
            text = [i < self._kept or n in self._labels for i, n in enumerate(self._header)]
            parquet_module().write_table(
                pa.table({n: pa.array([], pa.string() if t else pa.float64())
                          for n, t in zip(self._header, text)}), self._path)
            return
        self._writer.close()
