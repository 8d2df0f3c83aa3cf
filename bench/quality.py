"""How good the forest's uplift estimates are on real experiments, held out: the Qini
coefficient (`metrics.qini_auc_score`, scikit-uplift's normalised Qini) of the defaults, of
each option alone, of each criterion and of a small grid of depths and leaf sizes.

    PYTHONPATH=build/<dir>/python:python python3 bench/quality.py
    PYTHONPATH=build/<dir>/python:python python3 bench/quality.py --tasks hillstrom_womens \\
        --groups options --splits 3

Tasks (the data sets in the folder QUILLMARSH_DATA, default ../shared/data beside the project
root: bench/data_location.py; a task whose files are missing is skipped):

- hillstrom: Kevin Hillstrom's e-mail experiment, outcome `visit`, the three groups in one
  model (control "No E-Mail"); scored per arm against control.
- hillstrom_womens, hillstrom_mens: each e-mail arm alone against control (the other arm's
  rows left out).
- starbucks: the Starbucks promotion experiment (`Promotion` No/Yes, outcome `purchase`),
  its training and test files pooled.

Each setting is trained on 10 fixed 70/30 splits, stratified by group and outcome (split i:
numpy seed 1000 + i, forest seed i), 100 trees; the table shows the mean and standard
deviation of the hold-out Qini per arm over the splits, and the mean fit time. "defaults" is
`UpliftForest()` as it stands; "plain" is KL, depth 5, leaf 100 with every option off (the
defaults before the options), and the options, criteria and grid each change that alone;
"defaults, ..." rows change the defaults in one respect. The markdown table goes to standard
output and to --out (default docs/quality.md), above that file's sections.

Fit times are wall seconds on the machine at hand: on a shared machine they vary with what
else runs; compare them within one run.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time
from typing import Dict, List, NamedTuple, Optional, Sequence

import numpy as np

from data_location import data_dir
from markdown_section import replace_head
from quillmarsh_kit import UpliftForest
from quillmarsh_kit.datasets import load_csv
from quillmarsh_kit.metrics import qini_auc_score

ROOT = pathlib.Path(__file__).resolve().parents[1]
DATA = data_dir()
HILLSTROM_FEATURES = ["recency", "history_segment", "history", "mens", "womens", "zip_code",
                      "newbie", "channel"]
STARBUCKS_FEATURES = ["V1", "V2", "V3", "V4", "V5", "V6", "V7"]
HOLD_OUT = 0.3


class Task(NamedTuple):
    name: str
    X: Dict[str, np.ndarray]
    treatment: np.ndarray
    y: np.ndarray
    control: str
    arms: List[str]  # scored arms, with their short names in the table
    short: List[str]


def _subset(X: Dict[str, np.ndarray], rows: np.ndarray) -> Dict[str, np.ndarray]:
    return {name: values[rows] for name, values in X.items()}


def load_tasks(names: Sequence[str]) -> List[Task]:
    tasks = []
    hillstrom = DATA / "hillstrom.csv.gz"
    if any(n.startswith("hillstrom") for n in names):
        if not hillstrom.exists():
            print(f"skipping the Hillstrom tasks: {hillstrom} is missing", file=sys.stderr)
        else:
            data = load_csv(hillstrom, treatment="segment", outcome="visit",
                            features=HILLSTROM_FEATURES)
            t = np.asarray(data.treatment, dtype=object)
            y = np.asarray(data.y)
            if "hillstrom" in names:
                tasks.append(Task("hillstrom", data.X, t, y, "No E-Mail",
                                  ["Womens E-Mail", "Mens E-Mail"], ["womens", "mens"]))
            for arm, short in (("Womens E-Mail", "womens"), ("Mens E-Mail", "mens")):
                if f"hillstrom_{short}" in names:
                    rows = (t == "No E-Mail") | (t == arm)
                    tasks.append(Task(f"hillstrom_{short}", _subset(data.X, rows), t[rows],
                                      y[rows], "No E-Mail", [arm], [short]))
    if "starbucks" in names:
        parts = [DATA / "starbucks_training.csv.gz", DATA / "starbucks_test.csv.gz"]
        missing = [str(p) for p in parts if not p.exists()]
        if missing:
            print(f"skipping the Starbucks task: {', '.join(missing)} missing", file=sys.stderr)
        else:
            read = [load_csv(p, treatment="Promotion", outcome="purchase",
                             features=STARBUCKS_FEATURES) for p in parts]
            X = {n: np.concatenate([r.X[n] for r in read]) for n in STARBUCKS_FEATURES}
            t = np.concatenate([np.asarray(r.treatment, dtype=object) for r in read])
            y = np.concatenate([np.asarray(r.y) for r in read])
            tasks.append(Task("starbucks", X, t, y, "No", ["Yes"], ["promotion"]))
    return tasks


# The former defaults with every option off: the baseline each option and the grid change.
PLAIN = dict(criterion="KL", max_depth=5, min_samples_leaf=100, max_samples=None,
             bootstrap=False, honest=False, min_samples_treatment=None)


def settings(groups: Sequence[str]) -> Dict[str, dict]:
    """Setting name -> the parameters it gives `UpliftForest`."""
    chosen: Dict[str, dict] = {}
    if "defaults" in groups:
        chosen["defaults"] = {}
        chosen["plain: KL, depth 5, leaf 100, no option"] = PLAIN
    if "options" in groups:
        for name, option in {
            "max_samples=0.5": dict(max_samples=0.5),
            "max_samples=0.63": dict(max_samples=0.63),
            "bootstrap": dict(bootstrap=True),
            "honest": dict(honest=True),
            "min_samples_treatment=50": dict(min_samples_treatment=50),
        }.items():
            chosen[f"plain + {name}"] = {**PLAIN, **option}
    if "criteria" in groups:
        chosen.update({f"plain, criterion={c}": {**PLAIN, "criterion": c}
                       for c in ("KL", "ED", "CHI") if c != PLAIN["criterion"]})
    if "grid" in groups:
        for depth in (4, 6, 8):
            for leaf in (50, 100, 400):
                chosen[f"plain, max_depth={depth}, min_samples_leaf={leaf}"] = {
                    **PLAIN, "max_depth": depth, "min_samples_leaf": leaf}
    if "around" in groups:
        chosen.update({
            "defaults, criterion=ED": dict(criterion="ED"),
            "defaults, criterion=CHI": dict(criterion="CHI"),
            "defaults, max_depth=5": dict(max_depth=5),
            "defaults, max_depth=6": dict(max_depth=6),
            "defaults, min_samples_leaf=50": dict(min_samples_leaf=50),
            "defaults, honest_fraction=0.5": dict(honest_fraction=0.5),
            "defaults + max_samples=0.5": dict(max_samples=0.5),
            "defaults + bootstrap": dict(bootstrap=True),
            "defaults + min_samples_treatment=50": dict(min_samples_treatment=50),
        })
    if "combined" in groups:
        deep = {**PLAIN, "max_depth": 6}
        chosen.update({
            "KL, depth 6, leaf 100 + honest": {**deep, "honest": True},
            "KL, depth 6, leaf 100 + max_samples=0.5": {**deep, "max_samples": 0.5},
            "KL, depth 6, leaf 100 + honest, max_samples=0.63": {
                **deep, "honest": True, "max_samples": 0.63},
        })
    return chosen


def splits(treatment: np.ndarray, y: np.ndarray, count: int) -> List[np.ndarray]:
    """The hold-out mask of each split, stratified: HOLD_OUT of the rows of every (group,
    outcome) pair, drawn for split i with numpy seed 1000 + i."""
    strata = [(treatment == g) & (y == o) for g in np.unique(treatment) for o in (0, 1)]
    masks = []
    for i in range(count):
        rng = np.random.default_rng(1000 + i)
        test = np.zeros(len(y), dtype=bool)
        for stratum in strata:
            rows = np.flatnonzero(stratum)
            test[rng.choice(rows, size=round(HOLD_OUT * len(rows)), replace=False)] = True
        masks.append(test)
    return masks


class Result(NamedTuple):
    scores: np.ndarray  # (splits, arms)
    seconds: np.ndarray  # (splits,)


def evaluate(task: Task, params: dict, masks: Sequence[np.ndarray], n_jobs: int) -> Result:
    scores, seconds = [], []
    for i, test in enumerate(masks):
        model = UpliftForest(control=task.control, random_state=i, n_jobs=n_jobs, **params)
        start = time.perf_counter()
        model.fit(_subset(task.X, ~test), task.treatment[~test], task.y[~test])
        seconds.append(time.perf_counter() - start)
        uplift = model.predict(_subset(task.X, test))
        t, y = task.treatment[test], task.y[test]
        row = []
        for arm in task.arms:
            k = model.treatments_.index(arm)
            rows = (t == task.control) | (t == arm)
            row.append(qini_auc_score(y[rows], uplift[rows, k], (t[rows] == arm).astype(int)))
        scores.append(row)
    return Result(np.asarray(scores), np.asarray(seconds))


def _cell(values: np.ndarray) -> str:
    return f"{values.mean():.3f} ± {values.std(ddof=1) if len(values) > 1 else 0.0:.3f}"


def table(tasks: Sequence[Task], names: Sequence[str],
          results: Dict[str, Dict[str, Result]]) -> str:
    header = ["setting"]
    for task in tasks:
        header += [f"{task.name} {short}" if len(task.arms) > 1 else task.name
                   for short in task.short]
        header.append(f"{task.name} fit s")
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for name in names:
        cells = [name]
        for task in tasks:
            result = results[task.name][name]
            cells += [_cell(result.scores[:, a]) for a in range(len(task.arms))]
            cells.append(f"{result.seconds.mean():.2f}")
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tasks", default="hillstrom,hillstrom_womens,hillstrom_mens,starbucks",
                        help="comma-separated tasks (default: all four)")
    parser.add_argument("--groups", default="defaults,options,criteria,grid,around,combined",
                        help="comma-separated groups of settings: defaults, options, criteria, "
                             "grid, around (the defaults with one change), combined (default: "
                             "all)")
    parser.add_argument("--splits", type=int, default=10, help="hold-out splits (default 10)")
    parser.add_argument("--n-jobs", type=int, default=2, help="training threads (default 2)")
    parser.add_argument("--out", default=str(ROOT / "docs" / "quality.md"),
                        help="where to write the markdown table ('' for nowhere)")
    args = parser.parse_args(argv)

    tasks = load_tasks(args.tasks.split(","))
    if not tasks:
        print("no data: nothing to evaluate", file=sys.stderr)
        return 0
    chosen = settings(args.groups.split(","))
    masks = {task.name: splits(task.treatment, task.y, args.splits) for task in tasks}
    results: Dict[str, Dict[str, Result]] = {task.name: {} for task in tasks}
    for name, params in chosen.items():
        for task in tasks:
            result = evaluate(task, params, masks[task.name], args.n_jobs)
            results[task.name][name] = result
            print(f"{task.name:18} {name:50} " + "  ".join(
                _cell(result.scores[:, a]) for a in range(len(task.arms))) +
                f"  {result.seconds.mean():.2f} s", file=sys.stderr, flush=True)
    defaults = UpliftForest().get_params()
    shown = {k: defaults[k] for k in ("criterion", "max_depth", "min_samples_leaf",
                                      "max_samples", "bootstrap", "honest",
                                      "min_samples_treatment")}
    text = (f"Hold-out Qini coefficient, mean ± standard deviation over {args.splits} splits "
            f"(70 % train, 30 % hold-out), 100 trees; defaults: "
            + ", ".join(f"{k}={v!r}" for k, v in shown.items()) + ".\n\n"
            + table(tasks, list(chosen), results) + "\n")
    print(text)
    if args.out:  # the sections other scripts write below the table stay
        replace_head(pathlib.Path(args.out), text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
