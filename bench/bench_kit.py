"""How long quillmarsh_kit takes to turn a pandas frame into native columns, against the native
fit itself (and the same for prediction).

    PYTHONPATH=build/<dir>/python:python python3 bench/bench_kit.py --rows 1000000 --trees 100

The frame is the toolkit's synthetic experiment with 20 numeric and 2 string columns (22
features), two arms and a control group.
The conversion is timed on its own (frame -> columns -> the lists the native call takes, plus
the treatment and outcome encoding); the fit is timed whole through `UpliftForest.fit`, so the
native share is the difference.
"""

from __future__ import annotations

import argparse
import time


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--max-depth", type=int, default=5)
    parser.add_argument("--threads", type=int, default=-1)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    from quillmarsh_kit import UpliftForest
    from quillmarsh_kit._encode import binary_outcome, treatment_groups
    from quillmarsh_kit._tabular import align, to_table, to_vector
    from quillmarsh_kit.datasets import make_uplift_experiment

    exp = make_uplift_experiment(args.rows, n_numeric=20, seed=args.seed, as_frame=True)
    frame, treatment, outcome = exp.X, exp.treatment, exp.y
    print(f"{args.rows:,} rows x {frame.shape[1]} features, {args.trees} trees, depth {args.max_depth}")

    start = time.perf_counter()
    table = to_table(frame)
    lists = [c.as_list() for c in table.columns]
    groups, _ = treatment_groups(*to_vector(treatment, "treatment"), control="control")
    ys = binary_outcome(*to_vector(outcome, "y"))
    convert = time.perf_counter() - start
    del lists, groups, ys

    model = UpliftForest(n_estimators=args.trees, max_depth=args.max_depth, n_jobs=args.threads,
                         control="control")
    start = time.perf_counter()
    model.fit(frame, treatment, outcome)
    fit = time.perf_counter() - start
    native_fit = fit - convert
    print(f"fit:     conversion {convert:8.2f} s   native {native_fit:8.2f} s   "
          f"({100 * convert / fit:.1f} % of {fit:.2f} s)")

    start = time.perf_counter()
    rows = align(to_table(frame), model.feature_names_, model.feature_kinds_, by_name=True).rows()
    convert = time.perf_counter() - start
    del rows
    start = time.perf_counter()
    model.predict(frame)
    predict = time.perf_counter() - start
    print(f"predict: conversion {convert:8.2f} s   native {predict - convert:8.2f} s   "
          f"({100 * convert / predict:.1f} % of {predict:.2f} s)")


if __name__ == "__main__":
    main()
