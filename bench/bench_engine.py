"""Benchmark of the toolkit's engine (quillmarsh_kit._engine) on numpy columns: fit seconds and
the fit's own peak memory, prediction of the same rows on 1 and n threads, and how long Ctrl-C
takes to stop a fit and a prediction.

The default workload is 1,000,000 rows of 20 numeric (float32) and 2 string (uint32 codes)
features, control and 2 treatment groups, 100 trees, max_features 10, max_depth 8,
min_samples_leaf 100, max_bins 10, 2 threads, seed 1.

Memory: just before the fit the process's peak resident set is reset (/proc/self/clear_refs);
the peak after it minus the resident set before it is what the fit itself took, beyond the
caller's arrays (which the engine reads in place). The target is what the dataset adds to
them, 8 bytes per row (packed group/outcome word and the root row list), plus the per-tree row
lists of the trees in flight, well below the size of the caller's arrays themselves.

    PYTHONPATH=build/<dir>/python python3 bench/bench_engine.py [--rows N] [--trees N] ...
"""

from __future__ import annotations

import argparse
import os
import resource
import signal
import sys
import threading
import time

import numpy as np

from peak_memory import reset_peak, status_kib
from quillmarsh_kit import _engine as engine


def make_data(rows: int, seed: int):
    rng = np.random.default_rng(seed)
    numeric = [rng.standard_normal(rows, dtype=np.float32) for _ in range(20)]
    strings = [(rng.integers(0, 4, rows).astype(np.uint32), ["red", "green", "blue", "amber"]),
               (rng.integers(0, 5, rows).astype(np.uint32),
                ["north", "south", "east", "west", "centre"])]
    treatment = rng.integers(0, 3, rows).astype(np.int32)
    uplift = 0.05 * (numeric[0] > 0) + 0.03 * (strings[0][0] == 0)
    rate = 0.1 + np.where(treatment == 0, 0.0, uplift)
    outcome = (rng.uniform(size=rows) < rate).astype(np.uint8)
    names = [f"x{j}" for j in range(20)] + ["cat0", "cat1"]
    return numeric + strings, names, treatment, outcome


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--max-features", type=int, default=10)
    parser.add_argument("--max-depth", type=int, default=8)
    parser.add_argument("--min-samples-leaf", type=int, default=100)
    parser.add_argument("--max-bins", type=int, default=10)
    parser.add_argument("--criterion", default="KL")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    columns, names, treatment, outcome = make_data(args.rows, args.seed)
    array_mib = (sum(c.nbytes if isinstance(c, np.ndarray) else c[0].nbytes for c in columns)
                 + treatment.nbytes + outcome.nbytes) / 2**20
    settings = dict(n_estimators=args.trees, max_features=args.max_features,
                    max_depth=args.max_depth, min_samples_leaf=args.min_samples_leaf,
                    criterion=args.criterion, max_bins=args.max_bins, balance=False,
                    regularization=False, alpha=0.9, n_threads=args.threads, seed=args.seed)
    print(f"{args.rows:,} rows x {len(names)} features ({array_mib:.1f} MiB of arrays), "
          f"{args.trees} trees, max_depth {args.max_depth}, max_features {args.max_features}, "
          f"{args.criterion}, {args.threads} threads")

    before_kib = status_kib("VmRSS")
    can_reset = reset_peak()
    cpu_start = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    forest = engine.fit(columns, names, treatment, outcome, **settings)
    seconds = time.perf_counter() - start
    cpu_end = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (cpu_end.ru_utime - cpu_start.ru_utime) + (cpu_end.ru_stime - cpu_start.ru_stime)
    peak_kib = status_kib("VmHWM")
    extra_mib = (peak_kib - before_kib) / 1024 if can_reset else float("nan")
    print(f"fit: {seconds:6.2f} s  {args.trees / seconds:6.1f} trees/s  (CPU {cpu:6.2f} s, "
          f"load {os.getloadavg()[0]:.1f})  peak RSS {peak_kib / 1024:7.1f} MiB, of which the "
          f"fit {extra_mib:6.1f} MiB = {extra_mib / array_mib:.2f} x the caller's arrays")

    n_outputs = forest.n_outputs
    predict_seconds = 1.0
    for threads in sorted({1, args.threads}):
        # written once, so that their pages count before the call
        out = np.full((args.rows, n_outputs), np.nan)
        spread = np.full((args.rows, n_outputs), np.nan)
        before_kib = status_kib("VmRSS")
        can_reset = reset_peak()
        start = time.perf_counter()
        forest.predict(columns, out, threads)
        seconds = time.perf_counter() - start
        predict_seconds = seconds
        extra_mib = (status_kib("VmHWM") - before_kib) / 1024 if can_reset else float("nan")
        start = time.perf_counter()
        forest.predict(columns, out, threads, std_out=spread)
        with_spread = time.perf_counter() - start
        print(f"predict on {threads} thread{'s' if threads > 1 else ''}: {seconds:5.2f} s "
              f"({args.rows / seconds:,.0f} rows/s), with std_out {with_spread:5.2f} s; the call "
              f"itself took {extra_mib:.1f} MiB beyond the caller's arrays")

    # Ctrl-C: SIGINT to this process 1 s into calls that would run far longer. (A shell that
    # starts the benchmark in the background has it ignore SIGINT; Python's handler is put back.)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    latencies = []
    long_fit = dict(settings, n_estimators=100_000)
    # copies of the forest enough for a prediction of about 5 s
    many_trees = engine.merge([forest] * max(2, min(10_000, int(5 / predict_seconds))))
    out = np.empty((args.rows, n_outputs))
    for name, call in [("fit", lambda: engine.fit(columns, names, treatment, outcome, **long_fit)),
                       ("predict", lambda: many_trees.predict(columns, out, args.threads))]:
        sent = []
        timer = threading.Timer(1.0, lambda sent=sent: (sent.append(time.perf_counter()),
                                                        os.kill(os.getpid(), signal.SIGINT)))
        timer.start()
        try:
            call()
            print(f"Ctrl-C: the {name} was not interrupted")
            return 1
        except KeyboardInterrupt:
            latencies.append(f"{name} {(time.perf_counter() - sent[0]) * 1000:.0f} ms")
        finally:
            timer.cancel()
    print("Ctrl-C: KeyboardInterrupt after the signal: " + ", ".join(latencies))
    return 0


if __name__ == "__main__":
    sys.exit(main())
