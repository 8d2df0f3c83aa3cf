"""Training time against the share of rows each tree draws (`max_samples`), with and without
honest trees: a tree grown from half the rows should take about half the time. The last two
rows compare the toolkit's defaults with those before the options.

    PYTHONPATH=build/<dir>/python:python python3 bench/bench_sampling.py [--rows N] [--trees N]

The data is the toolkit's synthetic experiment (default 400,000 rows, 8 features, two arms);
the forest 50 trees, max_depth 8, min_samples_leaf 100, a fixed seed, 2 threads. Each setting
is timed three times, fastest kept (wall seconds; on a shared machine they vary with what else
runs, the ratios less so).
"""

from __future__ import annotations

import argparse
import os
import time

from quillmarsh_kit import UpliftForest
from quillmarsh_kit.datasets import make_uplift_experiment

SETTINGS = {
    "every row": dict(max_samples=None),
    "max_samples=0.75": dict(max_samples=0.75),
    "max_samples=0.5": dict(max_samples=0.5),
    "max_samples=0.25": dict(max_samples=0.25),
    "bootstrap": dict(bootstrap=True),
    "honest": dict(honest=True),
    "honest, max_samples=0.5": dict(honest=True, max_samples=0.5),
    # the toolkit's defaults against the defaults before the options (depth 5, every row)
    "former defaults: depth 5": dict(max_depth=5),
    "defaults: depth 4, honest": dict(max_depth=4, honest=True, honest_fraction=0.3),
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=400_000)
    parser.add_argument("--trees", type=int, default=50)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    exp = make_uplift_experiment(args.rows, n_treatments=2, seed=3)
    base = None
    print(f"{args.rows:,} rows, {args.trees} trees, {args.threads} threads, "
          f"load average {os.getloadavg()[0]:.1f}")
    print("| setting | fit s | relative |\n|---|---|---|")
    for name, options in SETTINGS.items():
        best = float("inf")
        for _ in range(3):
            model = UpliftForest(n_estimators=args.trees, max_depth=8, min_samples_leaf=100,
                                 control="control", n_jobs=args.threads, random_state=1,
                                 honest=False, bootstrap=False, min_samples_treatment=None)
            model.set_params(**options)
            start = time.perf_counter()
            model.fit(exp.X, exp.treatment, exp.y)
            best = min(best, time.perf_counter() - start)
        base = base or best
        print(f"| {name} | {best:.2f} | {best / base:.2f} |", flush=True)


if __name__ == "__main__":
    main()
