"""How long quillmarsh_kit takes around the native calls: reading a CSV file, and turning a
pandas frame into the native columns against the native fit itself (and the same for
prediction).

    PYTHONPATH=build/<dir>/python:python python3 bench/bench_kit.py --rows 1000000 --trees 100
    PYTHONPATH=build/<dir>/python:python python3 bench/bench_kit.py --parts csv

The data is the toolkit's synthetic experiment with 20 numeric and 2 string columns (22
features), two arms and a control group.

- csv: the experiment is written as a CSV file (the 22 features with numbers to 4 decimals, as
  data files usually hold them, 1 % of them missing; the treatment label and the outcome), then
  `load_csv` reads it back the way the `quillmarsh` command does, plain and gzip-compressed.
  Target: 1,000,000 rows in a few seconds. The CPU seconds of every thread and the load
  average are printed too: on a shared machine the wall time depends on what else runs.
  `--digits 17` writes every float in full, which more than doubles the file.
- fit: the conversion is timed on its own (frame -> columns -> the lists the native call
  takes, plus the treatment and outcome encoding); the fit is timed whole through
  `UpliftForest.fit`, so the native share is the difference.
- predict: the same for prediction.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time

CSV_TARGET_SECONDS = 5.0


def _bench_csv(exp, digits: int) -> bool:
    import numpy as np
    import pyarrow as pa
    import pyarrow.csv as pacsv

    from quillmarsh_kit.datasets import load_csv

    columns = {name: exp.X[name].to_numpy() for name in exp.feature_names}
    for name, values in columns.items():
        if values.dtype.kind == "f" and digits < 17:
            columns[name] = np.round(values, digits)
    columns["treatment"], columns["outcome"] = exp.treatment.astype(str), exp.y
    table = pa.table(columns)
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("data.csv", "data.csv.gz"):
            path = os.path.join(tmp, name)
            with pa.output_stream(path, compression="detect") as out:
                pacsv.write_csv(table, out)
            size = os.path.getsize(path) / 2**20
            start, cpu = time.perf_counter(), time.process_time()
            data = load_csv(path, treatment="treatment", outcome="outcome")
            seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
            numeric = sum(data.X[n].dtype.kind == "f" for n in data.feature_names)
            met = seconds < CSV_TARGET_SECONDS
            ok = ok and met
            print(f"csv:     {name:<12} {size:7.1f} MiB read in {seconds:6.2f} s "
                  f"(cpu {cpu:5.2f} s, load {os.getloadavg()[0]:.1f}; {numeric} numeric and "
                  f"{len(data.feature_names) - numeric} string features)  "
                  f"[{'ok' if met else 'MISSED'}: < {CSV_TARGET_SECONDS:g} s]")
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--max-depth", type=int, default=5)
    parser.add_argument("--threads", type=int, default=-1)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--parts", default="csv,fit,predict", help="comma-separated")
    parser.add_argument("--digits", type=int, default=4, help="decimals of numbers in the CSV")
    args = parser.parse_args()
    parts = args.parts.split(",")

    from quillmarsh_kit import UpliftForest
    from quillmarsh_kit._tabular import align, to_table, training_data
    from quillmarsh_kit.datasets import make_uplift_experiment

    exp = make_uplift_experiment(args.rows, n_numeric=20, missing=0.01, seed=args.seed,
                                 as_frame=True)
    frame, treatment, outcome = exp.X, exp.treatment, exp.y
    print(f"{args.rows:,} rows x {frame.shape[1]} features, {args.trees} trees, "
          f"depth {args.max_depth}")
    ok = _bench_csv(exp, args.digits) if "csv" in parts else True
    if "fit" not in parts and "predict" not in parts:
        return 0 if ok else 1

    start = time.perf_counter()
    data = training_data(frame, treatment, outcome, "control")
    lists = [c.as_list() for c in data.table.columns]
    convert = time.perf_counter() - start
    del data, lists

    model = UpliftForest(n_estimators=args.trees, max_depth=args.max_depth, n_jobs=args.threads,
                         control="control")
    start = time.perf_counter()
    model.fit(frame, treatment, outcome)
    fit = time.perf_counter() - start
    if "fit" in parts:
        print(f"fit:     conversion {convert:8.2f} s   native {fit - convert:8.2f} s   "
              f"({100 * convert / fit:.1f} % of {fit:.2f} s)")

    if "predict" in parts:
        start = time.perf_counter()
        table = align(to_table(frame), model.feature_names_, model.feature_kinds_, by_name=True)
        rows = table.rows()
        convert = time.perf_counter() - start
        del rows
        start = time.perf_counter()
        model.predict(frame)
        predict = time.perf_counter() - start
        print(f"predict: conversion {convert:8.2f} s   native {predict - convert:8.2f} s   "
              f"({100 * convert / predict:.1f} % of {predict:.2f} s)")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
