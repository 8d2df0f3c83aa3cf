"""DaskUpliftForest on a LocalCluster of 2 worker processes: the fit's time, each worker's peak
memory and the prediction throughput on a frame made on the workers; at a smaller size the
same beside UpliftForest in one process.

    PYTHONPATH=build/<dir>/python:python python3 bench/bench_dask.py
    PYTHONPATH=build/<dir>/python:python python3 bench/bench_dask.py --rows 4000000 --trees 10

The data is the toolkit's synthetic experiment, made partition by partition on the workers:
20 numeric (float64, 1 % missing) and 2 string columns (pandas categoricals), the treatment
label and a 0/1 outcome: about 165 bytes per row. By default 20,000,000 rows (3.1 GiB of
frame) on 2 workers of 4 GiB each: one process could not hold the frame beside its float32
copy (another 1.6 GiB), each worker holds half. Dask's spilling is off, so the memory figures
are the workers' own; the workers are still ended at 95 % of their limit.

The forest: --trees trees (20), max_depth 8, max_features 10, min_samples_leaf 100, a fixed
seed, fitted once in each of --modes ("exact,shares": DaskUpliftForest's two training modes,
on the same persisted frame; exact mode also reports its rounds and the arrays it sent);
the engine runs 1 thread per worker (2 worker processes on 2 cores), UpliftForest 2 threads.
Prediction keeps its result on the workers (as when it is written to files).

Times are wall seconds; on a shared machine they depend on what else runs. Peak memory is
each process's peak resident set (VmHWM of /proc/self/status, after resetting it), Linux only.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any, Dict, List

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peak_memory  # noqa: E402

MIB = 1 << 20
# The plain forest (no honest trees), as in the figures quoted in the docs.
SETTINGS = dict(max_depth=8, max_features=10, min_samples_leaf=100, honest=False,
                random_state=1)


def bench_part(number: int, rows: int, seed: int) -> Any:
    """One partition of the experiment, made where it runs."""
    import pandas as pd

    from quillmarsh_kit.datasets import make_uplift_experiment

    exp = make_uplift_experiment(rows, n_numeric=20, missing=0.01, seed=seed * 100_003 + number,
                                 as_frame=True)
    frame = exp.X
    for name in ("region", "channel"):
        frame[name] = frame[name].astype("category")
    frame["treatment"] = pd.Categorical(exp.treatment)
    frame["y"] = exp.y.astype(np.int8)
    return frame


def _peak_reset() -> int:
    peak_memory.reset_peak()
    return peak_memory.status_kib("VmRSS")


def _peak() -> int:
    return peak_memory.status_kib("VmHWM")


def _workers_mib(values: Dict[str, int]) -> str:
    return ", ".join(f"{v / 1024:.0f}" for _, v in sorted(values.items())) + " MiB"


def bench_dask(client: Any, rows: int, part_rows: int, trees: int, seed: int,
               modes: List[str]) -> Any:
    import dask.dataframe as dd
    import distributed

    parts = -(-rows // part_rows)
    sizes = [min(part_rows, rows - k * part_rows) for k in range(parts)]
    start = time.perf_counter()
    frame = dd.from_map(bench_part, range(parts), sizes, [seed] * parts,
                        enforce_metadata=False).persist()
    distributed.wait(frame)
    made = time.perf_counter() - start
    held = client.run(peak_memory.status_kib, "VmRSS")
    print(f"  {rows:,} rows in {parts} partitions made on the workers in {made:.1f} s; "
          f"workers hold {_workers_mib(held)}")
    model = None
    for mode in modes:
        model = bench_fit(client, frame, rows, trees, mode)

    features = frame.drop(columns=["treatment", "y"])
    client.run(_peak_reset)
    start = time.perf_counter()
    scored = model.predict(features).persist()
    distributed.wait(scored)
    predict_s = time.perf_counter() - start
    peaks = client.run(_peak)
    print(f"  predict: {predict_s:.1f} s, {rows / predict_s / 1e6:.2f} M rows/s; peak per "
          f"worker {_workers_mib(peaks)}")
    del scored
    return frame


def bench_fit(client: Any, frame: Any, rows: int, trees: int, mode: str) -> Any:
    """One DaskUpliftForest fit in `mode`: its time, each worker's peak and what it sent."""
    from quillmarsh_kit.dask import DaskUpliftForest

    before = client.run(_peak_reset)
    start = time.perf_counter()
    model = DaskUpliftForest(n_estimators=trees, control="control", mode=mode,
                             **SETTINGS).fit(frame, "treatment", "y")
    fit_s = time.perf_counter() - start
    peaks = client.run(_peak)
    above = {w: peaks[w] - before[w] for w in peaks}
    if mode == "exact":
        r = model.exact_rounds_
        how = (f"{r['rounds']} rounds, {r['batch']} trees per batch, arrays sent "
               f"{r['array_bytes_sent'] / MIB:.1f} MiB, received "
               f"{r['array_bytes_received'] / MIB:.1f} MiB")
    else:
        how = f"{len(model.shares_)} shares: " + ", ".join(
            f"{s.rows:,} rows/{s.trees} trees" for s in model.shares_)
    print(f"  {mode} fit: {fit_s:.1f} s ({rows / fit_s / 1e6:.2f} M rows/s, {how}; load "
          f"{os.getloadavg()[0]:.1f})")
    print(f"  {mode} fit peak per worker: {_workers_mib(peaks)} "
          f"({_workers_mib(above)} above what it held before)")
    return model


def bench_local(client: Any, frame: Any, trees: int) -> None:
    from quillmarsh_kit import UpliftForest

    local = frame.compute()
    features = local.drop(columns=["treatment", "y"])
    held = peak_memory.status_kib("VmRSS")
    peak_memory.reset_peak()
    start = time.perf_counter()
    model = UpliftForest(n_estimators=trees, control="control", n_jobs=2, **SETTINGS).fit(
        local, "treatment", "y")
    fit_s = time.perf_counter() - start
    peak = peak_memory.status_kib("VmHWM")
    print(f"  UpliftForest in one process: fit {fit_s:.1f} s "
          f"({len(local) / fit_s / 1e6:.2f} M rows/s), peak {peak / 1024:.0f} MiB "
          f"({(peak - held) / 1024:.0f} MiB above the frame and the client)")
    peak_memory.reset_peak()
    start = time.perf_counter()
    model.predict(features)
    predict_s = time.perf_counter() - start
    print(f"  UpliftForest predict: {predict_s:.1f} s, "
          f"{len(local) / predict_s / 1e6:.2f} M rows/s")


def run(rows: int, part_rows: int, trees: int, seed: int, memory: str, local: bool,
        modes: List[str]) -> None:
    import dask
    import distributed

    print(f"{rows:,} rows x 22 features, {trees} trees, depth {SETTINGS['max_depth']}, "
          f"2 workers of {memory}, load average {os.getloadavg()[0]:.1f}")
    # spilling off: the workers' figures are what they hold; 95 % of the limit still ends one
    with dask.config.set({"distributed.worker.memory.target": False,
                          "distributed.worker.memory.spill": False}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      memory_limit=memory, dashboard_address=":0") as cluster:
            with distributed.Client(cluster) as client:
                frame = bench_dask(client, rows, part_rows, trees, seed, modes)
                if local:
                    bench_local(client, frame, trees)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20_000_000)
    parser.add_argument("--compare-rows", type=int, default=2_000_000,
                        help="rows of the run beside UpliftForest in one process (0: none)")
    parser.add_argument("--partition-rows", type=int, default=500_000)
    parser.add_argument("--trees", type=int, default=20)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--worker-memory", default="4GiB")
    parser.add_argument("--modes", default="exact,shares",
                        help="comma-separated training modes, each fitted on the same frame")
    args = parser.parse_args()
    modes = args.modes.split(",")

    import cloudpickle

    # the workers cannot import this script or its helpers: send their functions by value
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    cloudpickle.register_pickle_by_value(peak_memory)
    if args.compare_rows:
        run(args.compare_rows, args.partition_rows, args.trees, args.seed, args.worker_memory,
            local=True, modes=modes)
    if args.rows:
        run(args.rows, args.partition_rows, args.trees, args.seed, args.worker_memory,
            local=False, modes=modes)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
