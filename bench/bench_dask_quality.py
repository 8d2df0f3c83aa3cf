"""Hold-out Qini of DaskUpliftForest's two modes beside UpliftForest in one process, on an
experiment with a small planted uplift: what letting every tree see every row buys.

    PYTHONPATH=build/<dir>/python:python python3 bench/bench_dask_quality.py
    PYTHONPATH=build/<dir>/python:python python3 bench/bench_dask_quality.py --seeds 1 2 3

The experiment is the toolkit's synthetic one with one treatment arm (its uplift is a step in
one numeric feature, a trend in a second and a bonus in one region level, scaled by
--effect), made in --partitions partitions of --partition-rows rows; the Qini is taken on
--hold-out further rows. Each forest has --trees trees and otherwise the defaults (honest
trees), the same seed for every mode. Share mode runs on LocalClusters of each of --workers
worker processes (1 thread each); exact mode on the largest, and its saved model file is
compared byte for byte with the one-process forest's. Prints one line per effect and worker
count with the mean and standard deviation over the seeds.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Dict, List, Tuple

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_dask_exact import _saved, qini  # noqa: E402


def planted_part(number: int, rows: int, seed: int, effect: float) -> Any:
    """One partition of the experiment, made where it runs."""
    from quillmarsh_kit.datasets import make_uplift_experiment

    exp = make_uplift_experiment(rows, n_treatments=1, effect=effect,
                                 seed=seed * 100_003 + number, as_frame=True)
    frame = exp.X
    frame["treatment"] = exp.treatment
    frame["y"] = exp.y.astype(np.int8)
    return frame


def run_seed(effect: float, seed: int, args: Any) -> Dict[str, Any]:
    import dask.dataframe as dd
    import distributed
    import pandas as pd

    from quillmarsh_kit import UpliftForest
    from quillmarsh_kit.dask import DaskUpliftForest

    sizes = [args.partition_rows] * args.partitions
    hold_out = planted_part(10**6, args.hold_out, seed, effect)
    local_rows = pd.concat([planted_part(k, n, seed, effect) for k, n in enumerate(sizes)],
                           ignore_index=True)
    one = UpliftForest(n_estimators=args.trees, control="control", random_state=seed,
                       n_jobs=2).fit(local_rows, "treatment", "y")
    found: Dict[str, Any] = {"one": qini(one, hold_out)}
    for workers in args.workers:
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=":0") as cluster, \
                distributed.Client(cluster):
            frame = dd.from_map(planted_part, range(args.partitions), sizes,
                                [seed] * args.partitions, [effect] * args.partitions,
                                enforce_metadata=False).persist()
            distributed.wait(frame)
            modes = ("shares", "exact") if workers == max(args.workers) else ("shares",)
            for mode in modes:
                model = DaskUpliftForest(n_estimators=args.trees, control="control",
                                         random_state=seed, mode=mode).fit(
                    frame, "treatment", "y")
                found[f"{mode} {workers}"] = qini(model, hold_out)
                if mode == "exact":
                    found["identical"] = _saved(model) == _saved(one)
    return found


def spread(runs: List[Dict[str, Any]], key: str) -> Tuple[float, float]:
    values = [r[key] for r in runs]
    return float(np.mean(values)), float(np.std(values))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--effects", type=float, nargs="+", default=[0.02, 0.01])
    parser.add_argument("--seeds", type=int, nargs="+", default=[1, 2, 3])
    parser.add_argument("--workers", type=int, nargs="+", default=[2, 4])
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--partition-rows", type=int, default=50_000)
    parser.add_argument("--hold-out", type=int, default=200_000)
    parser.add_argument("--trees", type=int, default=100)
    args = parser.parse_args()
    print(f"{args.partitions} partitions x {args.partition_rows:,} rows, {args.trees} trees "
          f"(defaults), Qini on {args.hold_out:,} held-out rows, seeds {args.seeds}")
    for effect in args.effects:
        runs: List[Dict[str, Any]] = []
        for seed in args.seeds:
            runs.append(run_seed(effect, seed, args))
            print(f"  effect {effect}, seed {seed}: {runs[-1]}", flush=True)
        one = spread(runs, "one")
        for workers in args.workers:
            shares = spread(runs, f"shares {workers}")
            line = (f"effect {effect} | {workers} workers | shares {shares[0]:.4f} ± "
                    f"{shares[1]:.4f}")
            if workers == max(args.workers):
                exact = spread(runs, f"exact {workers}")
                same = all(r["identical"] for r in runs)
                line += f" | exact {exact[0]:.4f} ± {exact[1]:.4f} (files identical: {same})"
            print(line + f" | one process {one[0]:.4f} ± {one[1]:.4f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
