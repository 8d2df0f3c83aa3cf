"""Speed of the metrics' evidence: bootstrap intervals, the Qini band and policy values.

On a synthetic experiment (default 100,000 rows, two groups, predictions with ties to two
decimals) it times `qini_auc_score_interval`, `uplift_auc_score_interval` and
`qini_curve_band` with 200 resamples, and `targeting_value_curve` with 21 shares. Each is
timed three times and the fastest kept (wall seconds; CPU seconds beside them).

Target: each bootstrap call under 10 seconds for 200 resamples of 100,000 rows on one core.

    PYTHONPATH=python python3 bench/bench_metrics.py [--rows N] [--resamples B]
"""

from __future__ import annotations

import argparse

import numpy as np

from quillmarsh_kit import metrics
from timing import fastest

TARGET_SECONDS = 10.0


def experiment(rows: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    t = rng.integers(0, 2, rows)
    u = np.round(rng.normal(size=rows), 2)
    y = (rng.random(rows) < 0.1 + 0.05 * t * (u > 0)).astype(np.int64)
    return y, u, t


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--resamples", type=int, default=200)
    args = parser.parse_args()
    y, u, t = experiment(args.rows)
    b = args.resamples
    calls = {
        "qini_auc_score_interval": lambda: metrics.qini_auc_score_interval(y, u, t,
                                                                           n_bootstrap=b),
        "uplift_auc_score_interval": lambda: metrics.uplift_auc_score_interval(y, u, t,
                                                                               n_bootstrap=b),
        "qini_curve_band": lambda: metrics.qini_curve_band(y, u, t, n_bootstrap=b),
        "targeting_value_curve": lambda: metrics.targeting_value_curve(y, u, t,
                                                                       costs={1: 0.01}),
    }
    print(f"{args.rows:,} rows, {b} resamples")
    for name, call in calls.items():
        wall, cpu = fastest(call)
        verdict = "" if name == "targeting_value_curve" or wall < TARGET_SECONDS else " (over)"
        print(f"{name:28s} {wall:7.2f} s wall {cpu:7.2f} s CPU{verdict}")


if __name__ == "__main__":
    main()
