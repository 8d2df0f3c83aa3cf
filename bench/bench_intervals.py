"""Intervals, out-of-bag scores and recommendations against what they claim.

    PYTHONPATH=build/<dir>/python:python python3 bench/bench_intervals.py            # full size
    PYTHONPATH=build/<dir>/python:python python3 bench/bench_intervals.py --quick    # minutes

Parts (each printed as a small table):

- calibration: on `datasets.make_uplift_experiment` (two arms; --rows training rows), --draws
  independent training sets, each fitted with --trees trees in groups of 2; on one hold-out
  set the forest's expected prediction is the mean prediction over the draws. Per draw: how
  often the nominal --level interval covers that expected prediction and the true uplift,
  the forest's bias (expected prediction - truth, mean and root mean square), the mean width,
  the share of cells where the variance guard acted (between - within <= 0), and for
  comparison how often uplift -/+ z x (spread across trees) covers the expected prediction.
- best arm: how often `recommend` (costs 0) picks the group with the largest true uplift
  (control when both are negative).
- cost: predict of --predict-rows rows with and without intervals; fit in groups of 2 against
  the same forest with max_samples=0.5 (each the fastest of 3 runs; wall seconds and CPU
  seconds of all threads, the steadier figure on a shared machine).
- oob: on Hillstrom (skipped when ../shared/data/hillstrom.csv.gz is missing), the 10 splits of
  bench/quality.py: out-of-bag Qini on the training part against hold-out Qini, per arm, and
  beside them the hold-out Qini of the forest's first half of the trees alone (each row's
  out-of-bag prediction averages about half of them).

--parts runs some of the parts only. Figures are seconds on the machine at hand; on a shared
machine compare them within one run.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
from typing import Dict, List

import numpy as np

from quillmarsh_kit import UpliftForest
from quillmarsh_kit._native import NativeForest
from quillmarsh_kit.datasets import make_uplift_experiment
from quillmarsh_kit.metrics import score_arms
from timing import fastest


def _forest(trees: int, seed: int, args: argparse.Namespace, **extra) -> UpliftForest:
    params = dict(n_estimators=trees, control="control", random_state=seed, n_jobs=args.threads,
                  max_depth=args.max_depth, min_samples_leaf=args.min_samples_leaf)
    params.update(extra)
    return UpliftForest(**params)


def calibration(rows: int, args: argparse.Namespace) -> Dict[str, float]:
    holdout = make_uplift_experiment(args.holdout, seed=10_000)
    z = statistics.NormalDist().inv_cdf(0.5 + args.level / 2)
    runs = []
    for draw in range(args.draws):
        data = make_uplift_experiment(rows, seed=draw)
        model = _forest(args.trees, draw, args, ci_group_size=2).fit(data.X, data.treatment,
                                                                      data.y)
        uplift, lower, upper, std = model.predict(holdout.X, return_interval=True,
                                                  level=args.level, return_std=True)
        fitted = model._fitted
        table = model._prediction_table(fitted, holdout.X)
        _, between, within, _ = fitted.forest.predict_spread(table, args.threads, 2)
        best = model.recommend(holdout.X)
        runs.append((uplift, lower, upper, std, between - within <= 0, best))
    expected = np.mean([r[0] for r in runs], axis=0)
    truth = holdout.true_uplift
    true_best = np.array(["control", *holdout.arms], dtype=object)[
        np.column_stack([np.zeros(len(truth)), truth]).argmax(axis=1)]
    out = dict(
        cover_expected=np.mean([((lo <= expected) & (expected <= hi)).mean()
                                for _, lo, hi, *_ in runs]),
        cover_truth=np.mean([((lo <= truth) & (truth <= hi)).mean() for _, lo, hi, *_ in runs]),
        bias_mean=float((expected - truth).mean()),
        bias_rms=float(np.sqrt(((expected - truth) ** 2).mean())),
        width=np.mean([(hi - lo).mean() for _, lo, hi, *_ in runs]),
        guard=np.mean([g.mean() for *_, g, _ in runs]),
        cover_spread=np.mean([(np.abs(u - expected) <= z * s).mean()
                              for u, _, _, s, _, _ in runs]),
        best_arm=np.mean([(b == true_best).mean() for *_, b in runs]),
    )
    return out


def cost(args: argparse.Namespace) -> Dict[str, float]:
    """Wall and CPU seconds (all threads) of the fastest of 3 runs of each call."""
    train = make_uplift_experiment(args.fit_rows or args.rows[0], seed=1)
    rows = make_uplift_experiment(args.predict_rows, seed=2).X
    grouped = _forest(args.cost_trees or args.trees, 0, args, ci_group_size=2)
    half = _forest(args.cost_trees or args.trees, 0, args, max_samples=0.5)
    out: Dict[str, float] = {}
    for name, call in (
            ("fit_groups", lambda: grouped.fit(train.X, train.treatment, train.y)),
            ("fit_half", lambda: half.fit(train.X, train.treatment, train.y)),
            ("predict", lambda: grouped.predict(rows)),
            ("predict_interval", lambda: grouped.predict(rows, return_interval=True))):
        out[f"{name}_s"], out[f"{name}_cpu_s"] = fastest(call)
    out["fit_ratio"] = out["fit_groups_s"] / out["fit_half_s"]
    out["fit_cpu_ratio"] = out["fit_groups_cpu_s"] / out["fit_half_cpu_s"]
    out["predict_ratio"] = out["predict_interval_s"] / out["predict_s"]
    out["predict_cpu_ratio"] = out["predict_interval_cpu_s"] / out["predict_cpu_s"]
    return out


def oob(args: argparse.Namespace) -> List[str]:
    sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parent))
    import quality

    tasks = quality.load_tasks(["hillstrom"])
    if not tasks:
        return ["hillstrom data missing: skipped"]
    task = tasks[0]
    lines, gaps = [], {}
    for i, test in enumerate(quality.splits(task.treatment, task.y, args.splits)):
        train = ~test
        X_train = {k: v[train] for k, v in task.X.items()}
        X_test = {k: v[test] for k, v in task.X.items()}
        model = UpliftForest(args.oob_trees, control=task.control, random_state=i,
                             n_jobs=args.threads, ci_group_size=2)
        model.fit(X_train, task.treatment[train], task.y[train])
        held = score_arms(task.y[test], model.predict(X_test), task.treatment[test],
                          model.treatments_, model.control)
        halved = score_arms(task.y[test], _half_forest_prediction(model, X_test, args.threads),
                            task.treatment[test], model.treatments_, model.control)
        for arm in model.treatments_:
            gaps.setdefault(arm, []).append((model.oob_score_[arm], held[arm], halved[arm]))
    for arm, triples in gaps.items():
        o, h, half = np.mean(triples, axis=0)
        lines.append(f"| {arm} | {o:.4f} | {h:.4f} | {o - h:+.4f} | {half:.4f} |")
    return lines


def _half_forest_prediction(model: UpliftForest, X, threads: int) -> np.ndarray:
    """The hold-out prediction of the forest's first half of its groups alone: about as many
    trees as each row's out-of-bag prediction averages."""
    doc = json.loads(model._fitted.forest.to_bytes(None))
    half = len(doc["trees"]) // 2
    forest, _ = NativeForest.from_bytes(json.dumps(
        dict(doc, trees=doc["trees"][:half], n_estimators=half)).encode())
    return forest.predict(model._prediction_table(model._fitted, X), threads)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, nargs="+", default=[20_000, 100_000])
    parser.add_argument("--trees", type=int, default=1000)
    parser.add_argument("--draws", type=int, default=20)
    parser.add_argument("--holdout", type=int, default=5000)
    parser.add_argument("--level", type=float, default=0.9)
    parser.add_argument("--max-depth", type=int, default=4)
    parser.add_argument("--min-samples-leaf", type=int, default=100)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--predict-rows", type=int, default=1_000_000)
    parser.add_argument("--splits", type=int, default=10)
    parser.add_argument("--oob-trees", type=int, default=100)
    parser.add_argument("--cost-trees", type=int, default=0,
                        help="trees of the cost part's forests (default: --trees)")
    parser.add_argument("--fit-rows", type=int, default=0,
                        help="training rows of the cost part (default: the first --rows)")
    parser.add_argument("--parts", nargs="+", default=["calibration", "cost", "oob"],
                        choices=["calibration", "cost", "oob"])
    parser.add_argument("--quick", action="store_true",
                        help="20,000 rows, 100 trees, 5 draws, 200,000 rows to predict, 3 splits")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.trees, args.draws = [20_000], 100, 5
        args.predict_rows, args.splits = 200_000, 3
    print(f"level {args.level}, {args.trees} trees in groups of 2, depth {args.max_depth}, "
          f"leaf {args.min_samples_leaf}, {args.draws} draws, {args.threads} threads")
    if "calibration" in args.parts:
        print("| rows | cover E[pred] | cover truth | bias mean | bias rms | width | guard | "
              "cover by tree spread | best arm |")
        print("|---|---|---|---|---|---|---|---|---|")
        for rows in args.rows:
            c = calibration(rows, args)
            print(f"| {rows:,} | {c['cover_expected']:.3f} | {c['cover_truth']:.3f} | "
                  f"{c['bias_mean']:+.4f} | {c['bias_rms']:.4f} | {c['width']:.4f} | "
                  f"{c['guard']:.3f} | {c['cover_spread']:.3f} | {c['best_arm']:.3f} |",
                  flush=True)
    if "cost" in args.parts:
        print(f"\ncost: {args.cost_trees or args.trees} trees, {args.predict_rows:,} rows "
              "to predict")
        print(" ".join(f"{k} {v:.3f}" for k, v in cost(args).items()), flush=True)
    if "oob" in args.parts:
        print(f"\nout of bag: {args.oob_trees} trees in groups of 2, {args.splits} splits")
        print("| arm | out-of-bag Qini | hold-out Qini | difference | hold-out Qini, first half "
              "of the trees |")
        print("|---|---|---|---|---|")
        print("\n".join(oob(args)))


if __name__ == "__main__":
    main()
