"""Seeded synthetic uplift experiments with a known true uplift per row and arm.

`generate(n)` draws a randomised experiment: numeric and string features, a control group
(treatment 0) and `n_treatments` treatment groups, and a binary outcome whose rate depends
on the features and on the arm. The uplift of every arm is heterogeneous: it depends on a few
features only (listed in `Experiment.drivers`), so a good model finds those features and ranks
rows by it. The result is in the shape `_UpliftRandomForestModel.fit` takes: a dict of plain
Python lists.

    from synthetic import generate
    exp = generate(100_000, seed=7)
    model.fit(exp.data, exp.x_names, exp.treatment_col, exp.outcome_col, -1)
    held_out = generate(10_000, seed=8)
    predictions = model.predict(held_out.rows(), -1)   # compare with held_out.true_uplift

The same arguments always give the same experiment (numpy's PCG64 stream from `seed`).
Run this file to print a summary of one experiment.
"""

from __future__ import annotations

import argparse
import dataclasses
from typing import Dict, List

import numpy as np

# Levels of the string features. The first string feature modulates the uplift of every arm,
# the second one the baseline rate; further string features are noise.
_LEVELS_0 = ("red", "green", "blue", "amber")
_LEVELS_1 = ("north", "south", "east", "west", "centre")

# Probabilities are kept inside this band so that every arm has both outcomes in every region.
_P_MIN, _P_MAX = 0.02, 0.98


@dataclasses.dataclass
class Experiment:
    """One synthetic experiment.

    data: column name -> list; numeric features hold floats, string features str, the
        treatment column ints 0..n_treatments and the outcome column ints 0/1.
    x_names: the feature names in column order (numeric first, then string).
    treatment_col, outcome_col: names of those two columns in `data`.
    true_uplift: per row, one float per treatment group 1..K: P(outcome | arm k, x) minus
        P(outcome | control, x), the quantity the model estimates.
    drivers: per treatment group 1..K, the feature names its uplift depends on.
    baseline_drivers: the feature names the control group's outcome rate depends on.
    """

    data: Dict[str, list]
    x_names: List[str]
    treatment_col: str
    outcome_col: str
    true_uplift: List[List[float]]
    drivers: List[List[str]]
    baseline_drivers: List[str] = dataclasses.field(default_factory=list)

    @property
    def n_rows(self) -> int:
        return len(self.data[self.outcome_col])

    @property
    def n_treatments(self) -> int:
        return len(self.drivers)

    def rows(self, start: int = 0, stop: int | None = None) -> List[list]:
        """Prediction rows: one list per row with the feature values in `x_names` order."""
        columns = [self.data[name][start:stop] for name in self.x_names]
        return [list(row) for row in zip(*columns)]


def _sigmoid(z: np.ndarray) -> np.ndarray:
    return 1.0 / (1.0 + np.exp(-z))


def generate(
    n: int,
    *,
    n_numeric: int = 20,
    n_string: int = 2,
    n_treatments: int = 2,
    effect: float = 0.12,
    missing: float = 0.0,
    seed: int = 0,
    treatment_col: str = "treatment",
    outcome_col: str = "outcome",
) -> Experiment:
    """Draws an experiment of `n` rows.

    n_numeric: numeric features "x0", "x1", ... (at least 1); standard normal except every
        third one, which is uniform on [0, 10).
    n_string: string features "cat0", "cat1", ...
    n_treatments: treatment groups 1..K; rows are assigned to the K+1 arms uniformly.
    effect: size of the uplift; arm k's uplift ranges over about [-effect/4, 3*effect/4].
    missing: fraction of numeric cells replaced by NaN after the outcome was drawn (the
        outcome and the true uplift use the value before it went missing).
    """
    if n < 0:
        raise ValueError(f"n must be >= 0, got {n}")
    if n_numeric < 1:
        raise ValueError(f"n_numeric must be >= 1, got {n_numeric}")
    if n_string < 0:
        raise ValueError(f"n_string must be >= 0, got {n_string}")
    if n_treatments < 1:
        raise ValueError(f"n_treatments must be >= 1, got {n_treatments}")
    if not 0.0 <= missing < 1.0:
        raise ValueError(f"missing must be in [0, 1), got {missing}")

    rng = np.random.default_rng(seed)
    numeric = [
        rng.uniform(0.0, 10.0, n) if j % 3 == 2 else rng.standard_normal(n)
        for j in range(n_numeric)
    ]
    numeric_names = [f"x{j}" for j in range(n_numeric)]
    levels = [_LEVELS_0, _LEVELS_1] + [
        tuple(f"c{j}_{v}" for v in range(3)) for j in range(2, n_string)
    ]
    codes = [rng.integers(0, len(levels[j]), n) for j in range(n_string)]
    string_names = [f"cat{j}" for j in range(n_string)]
    if treatment_col == outcome_col or {treatment_col, outcome_col} & set(
        numeric_names + string_names
    ):
        raise ValueError("treatment_col and outcome_col must differ from each other and the features")

    # Baseline rate: driven by the last two numeric features and the second string feature.
    z = -1.0 + 0.5 * np.tanh(numeric[-1]) - 0.4 * np.tanh(numeric[(n_numeric - 2) % n_numeric])
    baseline_drivers = sorted({numeric_names[-1], numeric_names[(n_numeric - 2) % n_numeric]},
                              key=numeric_names.index)
    if n_string >= 2:
        z = z + 0.5 * (codes[1] == 0)
        baseline_drivers.append(string_names[1])
    p_control = np.clip(_sigmoid(z), _P_MIN, _P_MAX)

    # Arm k: a step in one numeric feature, a smooth trend in another, and a bonus for one
    # level of the first string feature; each arm uses its own features where there are enough.
    uplifts, drivers = [], []
    for k in range(1, n_treatments + 1):
        a, b = (2 * k - 2) % n_numeric, (2 * k - 1) % n_numeric
        tau = 0.5 * (numeric[a] > (5.0 if a % 3 == 2 else 0.0)) + 0.3 * np.tanh(
            numeric[b] - (5.0 if b % 3 == 2 else 0.0)
        )
        names = sorted({numeric_names[a], numeric_names[b]}, key=numeric_names.index)
        if n_string >= 1:
            tau = tau + 0.2 * (codes[0] == (k - 1) % len(_LEVELS_0))
            names.append(string_names[0])
        tau = effect * (tau - 0.25)
        p_arm = np.clip(p_control + tau, _P_MIN, _P_MAX)
        uplifts.append(p_arm - p_control)
        drivers.append(names)

    treatment = rng.integers(0, n_treatments + 1, n)
    p_all = np.stack([p_control] + [p_control + u for u in uplifts])  # (K+1, n)
    p_row = p_all[treatment, np.arange(n)]
    outcome = (rng.uniform(0.0, 1.0, n) < p_row).astype(np.int64)

    if missing > 0.0:
        for column in numeric:
            column[rng.uniform(0.0, 1.0, n) < missing] = np.nan

    data: Dict[str, list] = {}
    for name, column in zip(numeric_names, numeric):
        data[name] = column.tolist()
    for name, lv, code in zip(string_names, levels, codes):
        table = np.array(lv, dtype=object)
        data[name] = table[code].tolist()
    data[treatment_col] = treatment.tolist()
    data[outcome_col] = outcome.tolist()

    true_uplift = np.stack(uplifts, axis=1).tolist() if n else []
    return Experiment(
        data=data,
        x_names=numeric_names + string_names,
        treatment_col=treatment_col,
        outcome_col=outcome_col,
        true_uplift=true_uplift,
        drivers=drivers,
        baseline_drivers=baseline_drivers,
    )


def _main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--treatments", type=int, default=2)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    exp = generate(args.rows, n_treatments=args.treatments, seed=args.seed)
    treatment = np.array(exp.data[exp.treatment_col])
    outcome = np.array(exp.data[exp.outcome_col])
    uplift = np.array(exp.true_uplift).reshape(exp.n_rows, exp.n_treatments)
    print(f"{exp.n_rows} rows, {len(exp.x_names)} features, {exp.n_treatments} treatment groups")

    def rate_of(arm: int) -> float:
        hits = outcome[treatment == arm]
        return float(hits.mean()) if hits.size else float("nan")

    control_rate = rate_of(0)
    print(f"arm 0 (control): {np.sum(treatment == 0)} rows, outcome rate {control_rate:.4f}")
    for k in range(1, exp.n_treatments + 1):
        rate = rate_of(k)
        print(
            f"arm {k}: {np.sum(treatment == k)} rows, outcome rate {rate:.4f}, observed uplift "
            f"{rate - control_rate:+.4f}, mean true uplift {uplift[:, k - 1].mean():+.4f}, "
            f"driven by {', '.join(exp.drivers[k - 1])}"
        )


if __name__ == "__main__":
    _main()
