"""Quickstart: train an uplift forest on a synthetic experiment and see how well it ranks rows.

The experiment has a control group and two treatment groups; the uplift of each treatment
depends on a few features and is known for every row, so the report can compare the model's
predicted uplift with the truth:

  1. the experiment: rows and outcome rate per group;
  2. training: a forest of uplift trees, and the features it relied on most;
  3. held-out rows ranked by predicted uplift, per treatment group, in deciles: mean predicted
     uplift, mean true uplift and the uplift observed in the data of that decile;
  4. the model saved to a file and loaded back, predicting exactly the same numbers.

    python3 examples/quickstart.py [--train-rows N] [--test-rows N] [--trees N] [--threads N]

Exits with status 1 if the forest fails to rank rows by uplift (top decile not above the
bottom one for some group), so it doubles as a smoke test of the installed module.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
import tempfile
import time

import numpy as np

from quillmarsh import _UpliftRandomForestModel
from quillmarsh_kit.datasets import UpliftExperiment, make_uplift_experiment


def describe_experiment(exp: UpliftExperiment) -> None:
    t, y = exp.groups, exp.y
    print(f"Training data: {exp.n_rows:,} rows, {len(exp.feature_names)} features "
          f"({sum(exp.X[n].dtype == object for n in exp.feature_names)} of them text), "
          f"control group plus {len(exp.arms)} treatment groups")
    for arm in range(len(exp.arms) + 1):
        label = "control" if arm == 0 else f"treatment {arm}"
        print(f"  {label:<12} {np.sum(t == arm):>8,} rows   outcome rate {y[t == arm].mean():.4f}")


def fit(model, exp: UpliftExperiment, n_threads: int) -> None:
    progress = io.StringIO()
    data = exp.native_data()  # the native class takes plain lists
    start = time.perf_counter()
    with contextlib.redirect_stdout(progress):  # one line per finished tree
        model.fit(data, exp.feature_names, "treatment", "outcome", n_threads)
    seconds = time.perf_counter() - start
    lines = progress.getvalue().splitlines()
    finished = sum(line.startswith("Tree [") for line in lines)
    print(f"{lines[0] if lines else ''} {finished} trees finished in {seconds:.1f} s.")


def report_importance(model, exp: UpliftExperiment, top: int = 8) -> None:
    names = model.feature_cols()
    gains = model.get_feature_importance("gain")
    splits = model.get_feature_importance("split")
    drivers = {name for arm in exp.drivers.values() for name in arm}
    baseline = set(exp.baseline_drivers) - drivers
    total = sum(g for g in gains if np.isfinite(g)) or 1.0
    order = sorted(range(len(names)), key=lambda i: gains[i], reverse=True)
    print("\nFeature importance, mean gain per tree (* the true uplift depends on the feature,"
          " + the control group's outcome rate does):")
    print(f"  {'feature':<8} {'gain':>9} {'share':>6} {'splits/tree':>11}")
    for i in order[:top]:
        bar = "#" * round(30 * gains[i] / total) if np.isfinite(gains[i]) else "inf"
        mark = "*" if names[i] in drivers else "+" if names[i] in baseline else " "
        print(f"{mark} {names[i]:<8} {gains[i]:9.5f} {gains[i] / total:6.1%} "
              f"{splits[i]:11.2f} {bar}")
    rest = len(order) - top
    if rest > 0:
        share = sum(gains[i] for i in order[top:]) / total
        print(f"  ... {rest} more features with {share:.1%} of the gain together")


def report_ranking(predicted: np.ndarray, exp: UpliftExperiment, bins: int = 10) -> bool:
    """Prints the decile tables; True when every group's top decile beats its bottom one."""
    t, y, true = exp.groups, exp.y, exp.true_uplift
    all_ranked = True
    for arm in range(1, len(exp.arms) + 1):
        p, u = predicted[:, arm - 1], true[:, arm - 1]
        corr = np.corrcoef(p, u)[0, 1]
        print(f"\nTreatment {arm} vs control: held-out rows ranked by predicted uplift "
              f"(true uplift depends on {', '.join(exp.drivers[exp.arms[arm - 1]])}; "
              f"correlation predicted/true {corr:+.3f})")
        print(f"  {'decile':<8} {'predicted':>10} {'true':>10} {'observed':>10}")
        order = np.argsort(-p, kind="stable")
        means = []
        for d, part in enumerate(np.array_split(order, bins), start=1):
            in_arm, in_control = y[part][t[part] == arm], y[part][t[part] == 0]
            observed = in_arm.mean() - in_control.mean() if in_arm.size and in_control.size \
                else float("nan")
            means.append(u[part].mean())
            print(f"  {d:<8} {p[part].mean():+10.4f} {u[part].mean():+10.4f} {observed:+10.4f}")
        print(f"  {'all':<8} {p.mean():+10.4f} {u.mean():+10.4f}")
        best = np.sort(u)[::-1][: max(len(u) // bins, 1)].mean()
        print(f"  Top decile: true uplift {means[0]:+.4f} against {u.mean():+.4f} on average "
              f"(the best possible decile would reach {best:+.4f}).")
        all_ranked &= bool(means[0] > means[-1])
    return all_ranked


def check_round_trip(model, rows: list) -> None:
    # One thread on both sides: the threaded path adds the trees in the order they finish,
    # which can change the last bits from run to run.
    predicted = model.predict(rows, 1)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "forest.json")
        model.save(path)
        size = os.path.getsize(path)
        loaded = _UpliftRandomForestModel(1, 1, 1, 1, "ED", 2, False, False, 0.0)
        loaded.load(path)
    same = loaded.predict(rows, 1) == predicted
    print(f"\nSaved the model ({size / 1024:,.0f} KiB of JSON) and loaded it back: the loaded "
          f"model predicts {'exactly the same numbers' if same else 'DIFFERENT numbers'}.")
    if not same:
        raise SystemExit("round trip through the model file changed the predictions")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--train-rows", type=int, default=60_000)
    parser.add_argument("--test-rows", type=int, default=50_000)
    parser.add_argument("--trees", type=int, default=40)
    parser.add_argument("--threads", type=int, default=-1, help="-1: every logical processor")
    parser.add_argument("--effect", type=float, default=0.2,
                        help="size of the planted uplift (see make_uplift_experiment)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    train = make_uplift_experiment(args.train_rows, n_numeric=20, effect=args.effect,
                                   seed=args.seed)
    test = make_uplift_experiment(args.test_rows, n_numeric=20, effect=args.effect,
                                  seed=args.seed + 1)
    describe_experiment(train)

    model = _UpliftRandomForestModel(
        n_estimators=args.trees, max_features=12, max_depth=6, min_sample_leaf=200,
        eval_func="KL", max_bins=10, balance=False, regularization=False, alpha=0.9)
    print()
    fit(model, train, args.threads)
    report_importance(model, train)

    rows = test.rows()
    start = time.perf_counter()
    predicted = model.predict(rows, args.threads)
    seconds = time.perf_counter() - start
    print(f"\nPredicted {len(rows):,} held-out rows in {seconds:.2f} s.")
    ranked = report_ranking(np.asarray(predicted), test)

    check_round_trip(model, rows)
    if not ranked:
        print("The forest did not rank the held-out rows by uplift.", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
