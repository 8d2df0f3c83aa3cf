"""Benchmark of one fit: seconds, trees per second and the module's own peak memory.

The default workload is 200,000 rows of a seeded synthetic experiment (20 numeric and 2 string
features, control and 2 treatment groups), 100 trees, max_features 10, max_depth 8,
min_sample_leaf 100, max_bins 10 and 2 threads, once per divergence measure.

Each measure runs in a fresh process. Memory: just before the fit the process's peak resident
set is reset (Linux /proc/self/clear_refs); after it, the peak minus the resident set just
before the fit is what the fit itself took (conversion, dataset, row lists, trees), beyond the
caller's lists that already existed. It is compared with the size of the converted dataset
(4 bytes per numeric cell, 4 per string cell code, 4 per row for treatment and outcome, plus
the distinct texts). CPU seconds (all threads) and the load average are printed too: on a
shared machine the wall time depends on what else runs.

    PYTHONPATH=build/<dir>/python:python python3 bench/bench_fit.py [--rows N] [--trees N] ...
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import resource
import subprocess
import sys
import time

import quillmarsh
from peak_memory import reset_peak, status_kib
from quillmarsh_kit.datasets import make_uplift_experiment

TARGET_SECONDS = 10.0
TARGET_MEMORY_FACTOR = 3.0


def _dataset_bytes(data, x_names, n) -> int:
    total = 4 * n  # packed treatment and outcome
    for name in x_names:
        column = data[name]
        total += 4 * n
        if column and isinstance(column[0], str):
            total += sum(32 + len(s) for s in set(column))
    return total


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--max-features", type=int, default=10)
    parser.add_argument("--max-depth", type=int, default=8)
    parser.add_argument("--min-sample-leaf", type=int, default=100)
    parser.add_argument("--max-bins", type=int, default=10)
    parser.add_argument("--measures", default="ED,KL,CHI")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--in-process", action="store_true",
                        help="run every measure in this process (default: one process each)")
    args = parser.parse_args()

    measures = args.measures.split(",")
    if len(measures) > 1 and not args.in_process:
        ok = True
        for i, measure in enumerate(measures):
            cmd = [sys.executable, os.path.abspath(__file__), "--measures", measure]
            for name in ("rows", "trees", "threads", "max_features", "max_depth",
                         "min_sample_leaf", "max_bins", "seed"):
                cmd += ["--" + name.replace("_", "-"), str(getattr(args, name))]
            out = subprocess.run(cmd, capture_output=True, text=True)
            lines = out.stdout.splitlines()
            print("\n".join(lines if i == 0 else lines[1:]), flush=True)
            if out.returncode != 0:
                ok = False
                if out.stderr:
                    print(out.stderr, file=sys.stderr)
        return 0 if ok else 1

    exp = make_uplift_experiment(args.rows, n_numeric=20, n_treatments=2, seed=args.seed)
    data, x_names = exp.native_data(), exp.feature_names
    dataset_mib = _dataset_bytes(data, x_names, exp.n_rows) / 2**20
    del exp
    print(
        f"{len(data['outcome'])} rows, {len(x_names)} features, 2 treatment groups; "
        f"converted dataset {dataset_mib:.1f} MiB; {args.trees} trees, max_depth "
        f"{args.max_depth}, max_features {args.max_features}, max_bins {args.max_bins}, "
        f"min_sample_leaf {args.min_sample_leaf}, {args.threads} threads"
    )
    ok = True
    for measure in measures:
        model = quillmarsh._UpliftRandomForestModel(
            args.trees, args.max_features, args.max_depth, args.min_sample_leaf, measure,
            args.max_bins, False, False, 0.9,
        )
        before_kib = status_kib("VmRSS")
        can_reset = reset_peak()
        cpu_start = resource.getrusage(resource.RUSAGE_SELF)
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            model.fit(data, x_names, "treatment", "outcome", args.threads)
        seconds = time.perf_counter() - start
        cpu_end = resource.getrusage(resource.RUSAGE_SELF)
        cpu = (cpu_end.ru_utime - cpu_start.ru_utime) + (cpu_end.ru_stime - cpu_start.ru_stime)
        peak_kib = status_kib("VmHWM")
        extra_mib = (peak_kib - before_kib) / 1024 if can_reset else float("nan")
        factor = extra_mib / dataset_mib
        met = seconds < TARGET_SECONDS and factor < TARGET_MEMORY_FACTOR
        ok = ok and met
        print(
            f"{measure:>3}: {seconds:6.2f} s  {args.trees / seconds:7.1f} trees/s  "
            f"(CPU {cpu:6.2f} s, load {os.getloadavg()[0]:.1f})  peak RSS "
            f"{peak_kib / 1024:7.1f} MiB, of which the fit {extra_mib:6.1f} MiB = "
            f"{factor:.2f} x dataset  [{'ok' if met else 'MISSED'}: < {TARGET_SECONDS:g} s, "
            f"< {TARGET_MEMORY_FACTOR:g} x]"
        )
        del model
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
