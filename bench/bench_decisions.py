"""What acting on the forest's recommendations is worth: the hold-out value per row of
`UpliftForest.recommend` beside treating nobody, treating everybody with the better arm, and
the recommended treatment of causalml's uplift forest; and, on synthetic experiments where
each row's best group is known, how often `recommend` picks it.

    PYTHONPATH=build/<dir>/python:python python3 bench/bench_decisions.py --splits 3
    # with causalml, from a benchmark environment (about 18 minutes on 2 busy cores):
    PYTHONPATH=build/<dir>/python:python /tmp/cml_venv/bin/python bench/bench_decisions.py

Hillstrom (outcome `visit`, control "No E-Mail", arms "Mens E-Mail" and "Womens E-Mail"):
the splits of bench/quality.py (70 % train, 30 % hold-out, split i: numpy seed 1000 + i,
forest seed i). Each policy's value on the hold-out is `metrics.policy_value` (the augmented
inverse-propensity estimator, the groups' shares as propensities, our forest's predicted
rates as the outcome model for every policy alike; with randomised assignment any outcome
model leaves it unbiased), with a value of 1 per visit and a cost per e-mail of 0, 0.02 and
0.05 (the same for both arms). The policies:

- nobody: no e-mail;
- everybody, better arm: every row gets the arm of the higher mean visit rate less its cost
  on the training part;
- causalml: `causalml.inference.tree.UpliftRandomForestClassifier` (100 trees, its default
  depth 5, leaf 100, KL, the string features one-hot coded); each row gets the group of the
  largest value x (rate of the arm - rate of control) - cost from `predict(X, full_output=True)`,
  control worth 0. Skipped when causalml is not installed (it is a benchmark-only package:
  `python3 -m venv /tmp/cml_venv --system-site-packages && /tmp/cml_venv/bin/pip install
  causalml==0.18.0`);
- recommend: `UpliftForest(control="No E-Mail")` with the defaults, `recommend(X, value=1,
  costs=...)`; and "recommend, cautious": the forest grown with `ci_group_size=2` and
  `recommend(..., cautious=True)`.

The synthetic part trains the defaults on `make_uplift_experiment(rows, n_treatments=2)` (70 %
train) and counts the hold-out rows where `recommend` gives the group of the largest true
value x uplift - cost; it also gives the true value per row of the recommendation beside
that of the best possible choice and of the best constant policy.

The markdown goes to standard output and replaces the section "## Decisions" of --out
(default docs/quality.md).
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from markdown_section import replace_section
from quality import ROOT, Task, _subset, load_tasks, splits
from quillmarsh_kit import UpliftForest
from quillmarsh_kit.datasets import make_uplift_experiment
from quillmarsh_kit.metrics import policy_value

COSTS = (0.0, 0.02, 0.05)
VALUE = 1.0
HEADING = "## Decisions"


def _log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def _numeric(X: Dict[str, np.ndarray]) -> np.ndarray:
    """The features as one float matrix, each string feature one-hot coded (for causalml)."""
    columns = []
    for values in X.values():
        if values.dtype.kind in "OUS":
            columns += [(values == level).astype(float) for level in sorted(set(values.tolist()))]
        else:
            columns.append(values.astype(float))
    return np.column_stack(columns)


def _best_of(worth: np.ndarray, groups: Sequence[Any]) -> np.ndarray:
    """Per row, the group of the largest worth; column 0 (control, worth 0) wins ties."""
    labels = np.empty(len(groups), dtype=object)
    labels[:] = list(groups)
    return labels[np.argmax(np.column_stack([np.zeros(len(worth)), worth]), axis=1)]


class Causalml:
    """causalml's uplift forest, if it is installed."""

    def __init__(self, n_jobs: int, trees: int) -> None:
        try:
            from causalml.inference.tree import UpliftRandomForestClassifier
        except ImportError:
            self.forest = None
            _log("causalml is not installed: its column is left out")
            return
        self.forest, self.n_jobs, self.trees = UpliftRandomForestClassifier, n_jobs, trees

    def policies(self, task: Task, train: np.ndarray, test: np.ndarray,
                 seed: int) -> Dict[float, np.ndarray]:
        """The recommended group of every hold-out row, for each cost."""
        model = self.forest(control_name=task.control, n_estimators=self.trees,
                            random_state=seed, n_jobs=self.n_jobs)
        X = _numeric(task.X)
        start = time.perf_counter()
        model.fit(X[train], treatment=task.treatment[train].astype(str), y=task.y[train])
        _log(f"  causalml fit {time.perf_counter() - start:.1f} s")
        frame = model.predict(X[test], full_output=True)
        arms = [a for a in task.arms]
        rates = frame[[task.control, *arms]].to_numpy(dtype=float)
        uplift = rates[:, 1:] - rates[:, :1]
        return {c: _best_of(VALUE * uplift - c, [task.control, *arms]) for c in COSTS}


def _better_arm(task: Task, train: np.ndarray, cost: float) -> Any:
    """The arm of the higher mean outcome on the training part (the control if no arm's
    mean less its cost beats it)."""
    t, y = task.treatment[train], task.y[train]
    worth = {a: VALUE * y[t == a].mean() - cost for a in task.arms}
    worth[task.control] = VALUE * y[t == task.control].mean()
    return max(worth, key=worth.get)


def hillstrom_split(task: Task, test: np.ndarray, seed: int, n_jobs: int, trees: int,
                    causalml: Causalml) -> Dict[str, Dict[float, float]]:
    """{policy: {cost: hold-out value per row}} on one split."""
    train = ~test
    fit = dict(control=task.control, random_state=seed, n_jobs=n_jobs, n_estimators=trees)
    model = UpliftForest(**fit).fit(_subset(task.X, train), task.treatment[train], task.y[train])
    grouped = UpliftForest(ci_group_size=2, **fit).fit(_subset(task.X, train),
                                                       task.treatment[train], task.y[train])
    X_test, t, y = _subset(task.X, test), task.treatment[test], task.y[test]
    rates = model.predict_rates(X_test)
    policies: Dict[str, Dict[float, Any]] = {
        "nobody": {c: task.control for c in COSTS},
        "everybody, better arm": {c: _better_arm(task, train, c) for c in COSTS},
    }
    if causalml.forest is not None:
        policies["causalml uplift forest"] = causalml.policies(task, train, test, seed)
    costs = {c: {a: c for a in task.arms} for c in COSTS}
    policies["recommend"] = {c: model.recommend(X_test, VALUE, costs[c]) for c in COSTS}
    policies["recommend, cautious (ci_group_size=2)"] = {
        c: grouped.recommend(X_test, VALUE, costs[c], cautious=True) for c in COSTS}
    return {name: {c: policy_value(y, t, p[c], rates=rates, value=VALUE, costs=costs[c],
                                   control=model.control_, arms=model.treatments_).value
                   for c in COSTS}
            for name, p in policies.items()}


def hillstrom_table(count: int, n_jobs: int, trees: int) -> Optional[str]:
    tasks = load_tasks(["hillstrom"])
    if not tasks:
        return None
    task = tasks[0]
    causalml = Causalml(n_jobs, trees)
    results: List[Dict[str, Dict[float, float]]] = []
    for i, test in enumerate(splits(task.treatment, task.y, count)):
        results.append(hillstrom_split(task, test, i, n_jobs, trees, causalml))
        _log(f"split {i}: " + "; ".join(f"{n} " + " ".join(f"{v:.4f}" for v in r.values())
                                        for n, r in results[-1].items()))
    header = ["policy"] + [f"cost {c:g}" for c in COSTS]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for name in results[0]:
        cells = []
        for c in COSTS:
            values = np.array([r[name][c] for r in results])
            cells.append(f"{values.mean():.4f} ± {values.std(ddof=1) if count > 1 else 0:.4f}")
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n\n" + _wins(results)


def _wins(results: List[Dict[str, Dict[float, float]]]) -> str:
    """How often, and by how much, recommend beats each other policy, split by split."""
    lines = []
    for other in results[0]:
        if other.startswith("recommend"):
            continue
        diffs = {c: np.array([r["recommend"][c] - r[other][c] for r in results])
                 for c in COSTS}
        lines.append(f"- recommend − {other}: " + "; ".join(
            f"cost {c:g}: {d.mean():+.4f} (better on {int((d > 0).sum())} of {len(d)})"
            for c, d in diffs.items()))
    return "\n".join(lines)


def _synthetic_run(rows: int, seed: int, n_jobs: int, trees: int) -> Dict[float, List[float]]:
    """{cost: [hit share, true gain of recommend, best possible, best constant]} on one
    experiment; gains per row over treating nobody."""
    exp = make_uplift_experiment(rows, n_treatments=2, seed=seed)
    train, test = exp.split(0.7, seed=seed)
    model = UpliftForest(control=exp.control, random_state=seed, n_jobs=n_jobs,
                         n_estimators=trees).fit(train.X, train.treatment, train.y)
    groups, figures = [exp.control, *exp.arms], {}
    for cost in COSTS:
        truth = np.column_stack([np.zeros(test.n_rows), VALUE * test.true_uplift - cost])
        chosen = model.recommend(test.X, VALUE, {a: cost for a in exp.arms})
        index = np.array([groups.index(g) for g in chosen])
        figures[cost] = [np.mean(index == truth.argmax(axis=1)),
                         truth[np.arange(test.n_rows), index].mean(),
                         truth.max(axis=1).mean(), truth.mean(axis=0).max()]
    return figures


def synthetic_table(rows: int, seeds: int, n_jobs: int, trees: int) -> str:
    runs = [_synthetic_run(rows, seed, n_jobs, trees) for seed in range(seeds)]
    header = ["cost per treated row", "recommend picks the best group",
              "true gain per row: recommend", "best possible", "best constant policy"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for cost in COSTS:
        hits, mine, best, constant = np.mean([run[cost] for run in runs], axis=0)
        lines.append(f"| {cost:g} | {hits:.1%} | {mine:.4f} | {best:.4f} | {constant:.4f} |")
        _log(lines[-1])
    return "\n".join(lines)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--splits", type=int, default=10,
                        help="Hillstrom hold-out splits, the first of bench/quality.py's ten "
                             "(default 10)")
    parser.add_argument("--trees", type=int, default=100, help="trees of every forest")
    parser.add_argument("--n-jobs", type=int, default=2, help="training threads (default 2)")
    parser.add_argument("--synthetic-rows", type=int, default=50_000,
                        help="rows of each synthetic experiment (default 50000)")
    parser.add_argument("--synthetic-seeds", type=int, default=3,
                        help="synthetic experiments (seeds 0, 1, ...; default 3)")
    parser.add_argument("--out", default=str(ROOT / "docs" / "quality.md"),
                        help="markdown file whose section '## Decisions' is replaced ('' for "
                             "nowhere)")
    args = parser.parse_args(argv)

    hillstrom = hillstrom_table(args.splits, args.n_jobs, args.trees)
    synthetic = synthetic_table(args.synthetic_rows, args.synthetic_seeds, args.n_jobs,
                                args.trees)
    text = f"{HEADING}\n\n" + (
        f"Hold-out value per row (visits less e-mail costs) on Hillstrom, mean ± standard "
        f"deviation over {args.splits} of the splits of `bench/quality.py`, {args.trees} trees "
        "per forest, by `metrics.policy_value` (`bench/bench_decisions.py`):\n\n"
        + hillstrom + "\n\n" if hillstrom else "Hillstrom: the data set is missing.\n\n")
    text += (f"Synthetic experiments (`make_uplift_experiment({args.synthetic_rows:,}, "
             f"n_treatments=2)`, seeds 0 to {args.synthetic_seeds - 1}, 70 % train, the "
             "defaults): the share of hold-out rows where `recommend` gives the group of the "
             "largest true value − cost, and the true gain per row over treating nobody of "
             "its choice, of the best choice and of the best constant policy:\n\n"
             + synthetic + "\n")
    print(text)
    if args.out:
        replace_section(pathlib.Path(args.out), HEADING, text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
