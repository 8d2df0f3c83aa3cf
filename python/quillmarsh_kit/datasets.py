"""Data sets: a synthetic experiment with a known true uplift, and a CSV loader.

    exp = make_uplift_experiment(20_000, n_treatments=2, seed=1)
    model = UpliftForest(control=exp.control).fit(exp.X, exp.treatment, exp.y)

    # the same experiment in the shape the native class takes (benchmarks, the quickstart)
    native.fit(exp.native_data(), exp.feature_names, "treatment", "outcome", -1)
    native.predict(exp.rows(), -1)

    data = load_csv("hillstrom.csv.gz", treatment="segment", outcome="visit",
                    features=["recency", "history", "mens", "womens", "zip_code", ...])
"""

from __future__ import annotations

import dataclasses
import os
from typing import Any, Dict, List, Optional, Sequence, Union

import numpy as np

from ._csv import read_csv

_REGIONS = ("north", "south", "east", "west")
_CHANNELS = ("web", "phone", "store")
_P_MIN, _P_MAX = 0.01, 0.99


@dataclasses.dataclass
class UpliftExperiment:
    """A randomised experiment with its true uplift.

    X: the features, a dict of 1-D arrays (float for numeric, str objects for string
        features), or a pandas DataFrame when made with as_frame=True.
    treatment: the label of each row's group: `control` or one of `arms`.
    y: the binary outcome (int 0/1).
    true_uplift: (rows, arms) array, P(y=1 | arm, x) - P(y=1 | control, x) for every row.
    drivers: for every arm, the features its uplift depends on.
    baseline_drivers: the features the control rate depends on.

    `groups`, `native_data` and `rows` give the same experiment in the shape of the native
    `_UpliftRandomForestModel`: group numbers, a dict of plain lists, rows as lists.
    """

    X: Any
    treatment: np.ndarray
    y: np.ndarray
    true_uplift: np.ndarray
    control: str
    arms: List[str]
    feature_names: List[str]
    drivers: Dict[str, List[str]]
    baseline_drivers: List[str] = dataclasses.field(default_factory=list)

    @property
    def n_rows(self) -> int:
        return len(self.y)

    @property
    def groups(self) -> np.ndarray:
        """The native group of every row: 0 for control, k for `arms[k - 1]`."""
        codes = {label: k for k, label in enumerate([self.control, *self.arms])}
        return np.asarray([codes[label] for label in self.treatment.tolist()], dtype=np.int64)

    def native_data(self, treatment_col: str = "treatment",
                    outcome_col: str = "outcome") -> Dict[str, list]:
        """The columns the native `fit` takes: every feature as a list (floats or str), the
        group number (see `groups`) in `treatment_col` and the outcome in `outcome_col`."""
        if treatment_col == outcome_col or {treatment_col, outcome_col} & set(self.feature_names):
            raise ValueError(
                "treatment_col and outcome_col must differ from each other and the features")
        data = {name: np.asarray(self.X[name]).tolist() for name in self.feature_names}
        data[treatment_col] = self.groups.tolist()
        data[outcome_col] = self.y.tolist()
        return data

    def rows(self, start: int = 0, stop: Optional[int] = None) -> List[list]:
        """Rows start..stop as the native `predict` takes them: one list of cells per row, in
        `feature_names` order."""
        columns = [np.asarray(self.X[name])[start:stop].tolist() for name in self.feature_names]
        return list(map(list, zip(*columns)))

    def split(self, fraction: float,
              seed: Optional[int] = None) -> "tuple[UpliftExperiment, UpliftExperiment]":
        """A random split into two experiments, the first with about `fraction` of the rows."""
        if not 0.0 < fraction < 1.0:
            raise ValueError(f"fraction must lie in (0, 1), got {fraction}")
        rng = np.random.default_rng(seed)
        first = rng.permutation(self.n_rows) < round(fraction * self.n_rows)
        return self._subset(first), self._subset(~first)

    def _subset(self, rows: np.ndarray) -> "UpliftExperiment":
        if isinstance(self.X, dict):
            X = {k: v[rows] for k, v in self.X.items()}
        else:
            X = self.X[rows].reset_index(drop=True)
        return dataclasses.replace(self, X=X, treatment=self.treatment[rows], y=self.y[rows],
                                   true_uplift=self.true_uplift[rows])


def _sigmoid(z: np.ndarray) -> np.ndarray:
    return 1.0 / (1.0 + np.exp(-z))


def make_uplift_experiment(
    n_samples: int = 20_000,
    *,
    n_treatments: int = 2,
    n_numeric: int = 6,
    noise_strings: int = 0,
    effect: float = 0.1,
    missing: float = 0.0,
    seed: Optional[int] = None,
    as_frame: bool = False,
) -> UpliftExperiment:
    """Draws a randomised experiment: a control group and `n_treatments` arms of equal size.

    Features: numeric "x0".."x{n_numeric-1}" (standard normal), and two string features,
    "region" (4 levels) and "channel" (3 levels), plus `noise_strings` string features of
    pure noise. The control rate depends on x0 and "channel". The uplift of arm k (labels
    "treatment_1", ...) is heterogeneous: a step in one numeric feature, a trend in a second
    one and a bonus in one "region" level, scaled by `effect`; its drivers are recorded. The
    control label is "control". With `missing`, about that fraction of the numeric cells are
    NaN; the outcome and the true uplift were drawn from the values before they went missing.
    The same arguments and seed always give the same experiment.
    """
    if isinstance(n_samples, bool) or not isinstance(n_samples, (int, np.integer)) or n_samples < 1:
        raise ValueError(f"n_samples must be a positive integer, got {n_samples!r}")
    if n_treatments < 1:
        raise ValueError(f"n_treatments must be >= 1, got {n_treatments}")
    if n_numeric < 3:
        raise ValueError(f"n_numeric must be >= 3, got {n_numeric}")
    if not 0.0 <= effect <= 0.5:
        raise ValueError(f"effect must lie in [0, 0.5], got {effect}")
    if not 0.0 <= missing < 1.0:
        raise ValueError(f"missing must lie in [0, 1), got {missing}")
    rng = np.random.default_rng(seed)
    n = int(n_samples)
    numeric = {f"x{j}": rng.standard_normal(n) for j in range(n_numeric)}
    region = rng.integers(0, len(_REGIONS), n)
    channel = rng.integers(0, len(_CHANNELS), n)
    strings = {
        "region": np.asarray(_REGIONS, dtype=object)[region],
        "channel": np.asarray(_CHANNELS, dtype=object)[channel],
    }
    for j in range(noise_strings):
        levels = np.asarray([f"n{j}_{v}" for v in range(5)], dtype=object)
        strings[f"noise{j}"] = levels[rng.integers(0, 5, n)]

    baseline = -1.5 + 0.6 * np.tanh(numeric["x0"]) + 0.4 * (channel == 0)
    p_control = np.clip(_sigmoid(baseline), _P_MIN, _P_MAX)
    arms = [f"treatment_{k}" for k in range(1, n_treatments + 1)]
    uplifts = []
    drivers: Dict[str, List[str]] = {}
    for k, arm in enumerate(arms):
        a = 1 + (2 * k) % (n_numeric - 1)
        b = 1 + (2 * k + 1) % (n_numeric - 1)
        step = (numeric[f"x{a}"] > 0.0).astype(np.float64)
        trend = np.tanh(numeric[f"x{b}"])
        bonus = (region == k % len(_REGIONS)).astype(np.float64)
        tau = effect * (1.5 * step + 0.8 * trend + 1.0 * bonus - 0.6)
        p_arm = np.clip(p_control + tau, _P_MIN, _P_MAX)
        uplifts.append(p_arm - p_control)
        drivers[arm] = [f"x{a}", f"x{b}", "region"]

    group = rng.integers(0, n_treatments + 1, n)
    rates = np.vstack([p_control] + [p_control + u for u in uplifts])
    y = (rng.uniform(size=n) < rates[group, np.arange(n)]).astype(np.int64)
    labels = np.asarray(["control"] + arms, dtype=object)[group]
    if missing > 0.0:
        for column in numeric.values():
            column[rng.uniform(size=n) < missing] = np.nan

    X: Any = {**numeric, **strings}
    names = list(X)
    if as_frame:
        import pandas as pd

        X = pd.DataFrame(X)
    return UpliftExperiment(
        X=X, treatment=labels, y=y, true_uplift=np.column_stack(uplifts), control="control",
        arms=arms, feature_names=names, drivers=drivers, baseline_drivers=["x0", "channel"],
    )


@dataclasses.dataclass
class CsvData:
    """A table read by `load_csv`: features as a dict of arrays, and the two target columns
    (None when not asked for)."""

    X: Dict[str, np.ndarray]
    treatment: Optional[np.ndarray]
    y: Optional[np.ndarray]
    feature_names: List[str]
    columns: Dict[str, np.ndarray]


def load_csv(
    path: Union[str, "os.PathLike[str]"],
    treatment: Optional[str] = None,
    outcome: Optional[str] = None,
    features: Optional[Sequence[str]] = None,
    *,
    exclude: Sequence[str] = (),
    string_columns: Sequence[str] = (),
    delimiter: str = ",",
    encoding: str = "utf-8",
) -> CsvData:
    """Reads a CSV table with a header row, with pyarrow's CSV reader (compressed files such as
    .gz are decompressed), or a Parquet file (.parquet, .pq, .parq), whose columns keep their
    types.

    features: the feature columns; by default every column except `treatment`, `outcome` and
    those in `exclude`. A column is numeric when every cell is a number or a missing-value
    token (empty, NA, N/A, NaN, null, ...), which becomes NaN: int64 when all are whole and
    none is missing, else float64. Any other column is text (str objects), tokens included;
    so are the columns in `string_columns`, whatever they hold, and dates. `columns` holds
    every column read, by name.
    """
    targets = [c for c in (treatment, outcome) if c]

    def features_of(header: List[str]) -> List[str]:
        return [c for c in (header if features is None else features)
                if c not in targets and c not in exclude]

    header, columns = read_csv(path, lambda header: [*features_of(header), *targets],
                               string_columns, delimiter=delimiter, encoding=encoding)
    names = features_of(header)
    return CsvData(
        X={name: columns[name] for name in names},
        treatment=columns[treatment] if treatment else None,
        y=columns[outcome] if outcome else None,
        feature_names=names,
        columns=columns,
    )
