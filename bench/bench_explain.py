"""Speed of the per-row contributions (`UpliftForest.explain`, path-dependent TreeSHAP).

A forest of 100 trees of depth 8 (two arms, min_samples_leaf 10, 3 features searched per
node, not honest) is grown on a synthetic experiment of 20,000 rows with 8 numeric features
and 2 string features;
then the contributions of 10,000 other rows are computed on 2 threads, three times, and the
fastest kept (wall seconds; CPU seconds of the process beside them). The forest's leaves are
counted so that the figure can be read against the work (rows x trees x leaves x distinct
features per path), and the machine's load average is printed with it: on a shared machine
wall time follows the load, CPU time much less.

Target: at most 10 s on 2 threads.

    PYTHONPATH=python python3 bench/bench_explain.py [--rows N] [--trees T] [--threads J]
        [--repeats R]
"""

from __future__ import annotations

import argparse
import json
import os

import numpy as np

from quillmarsh_kit import UpliftForest
from quillmarsh_kit.datasets import make_uplift_experiment
from timing import fastest

TARGET_SECONDS = 10.0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--depth", type=int, default=8)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    exp = make_uplift_experiment(20_000 + args.rows, n_treatments=2, n_numeric=8,
                                 noise_strings=2, seed=0)
    train, test = exp.split(20_000 / (20_000 + args.rows), seed=0)
    model = UpliftForest(n_estimators=args.trees, max_depth=args.depth, min_samples_leaf=10,
                         max_features=3, honest=False, n_jobs=args.threads, random_state=0,
                         control="control")
    model.fit(train.X, train.treatment, train.y)
    document = json.loads(model._fitted.forest.to_bytes("null"))
    leaves = sum(1 for tree in document["trees"] for node in tree["nodes"] if node["prob"])
    X = {name: np.asarray(values)[: args.rows] for name, values in test.X.items()}
    wall, cpu = fastest(lambda: model.explain(X), args.repeats)
    contributions, base = model.explain(X)
    prediction = model.predict(X)
    gap = np.nanmax(np.abs(contributions.sum(axis=1) + base - prediction))
    undefined = int(np.isnan(prediction).any(axis=1).sum())
    print(f"explain: {args.rows:,} rows x {args.trees} trees of depth {args.depth} "
          f"({leaves / args.trees:.0f} leaves per tree), {len(model.treatments_)} arms, "
          f"{args.threads} threads: {wall:.2f} s wall, {cpu:.2f} s CPU "
          f"(target <= {TARGET_SECONDS:.0f} s); largest |sum + base - predict| {gap:.1e} "
          f"({undefined} rows reach a leaf without a value: NaN, as their prediction); "
          f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
