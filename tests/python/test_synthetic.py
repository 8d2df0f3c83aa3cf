"""The synthetic experiment generator used by the benchmarks and the quickstart."""

import math
import pathlib
import sys

import pytest

np = pytest.importorskip("numpy")
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import synthetic  # noqa: E402


@pytest.mark.parametrize("n_numeric,n_string,n_treatments", [(20, 2, 2), (1, 0, 1), (3, 5, 4)])
def test_columns_have_the_shape_fit_takes(n_numeric, n_string, n_treatments):
    exp = synthetic.generate(500, n_numeric=n_numeric, n_string=n_string,
                             n_treatments=n_treatments, seed=3)
    assert len(exp.x_names) == n_numeric + n_string
    assert set(exp.data) == set(exp.x_names) | {exp.treatment_col, exp.outcome_col}
    assert all(len(column) == 500 for column in exp.data.values())
    for name in exp.x_names[:n_numeric]:
        assert all(type(v) is float and math.isfinite(v) for v in exp.data[name])
    for name in exp.x_names[n_numeric:]:
        assert all(type(v) is str for v in exp.data[name])
    assert set(exp.data[exp.treatment_col]) == set(range(n_treatments + 1))
    assert all(type(v) is int for v in exp.data[exp.treatment_col])
    assert set(exp.data[exp.outcome_col]) == {0, 1}
    assert len(exp.true_uplift) == 500
    assert all(len(u) == n_treatments for u in exp.true_uplift)
    assert len(exp.drivers) == n_treatments
    assert all(set(d) <= set(exp.x_names) and d for d in exp.drivers)
    assert exp.baseline_drivers and set(exp.baseline_drivers) <= set(exp.x_names)


def test_same_seed_same_experiment_other_seed_other_experiment():
    a, b = synthetic.generate(300, seed=11), synthetic.generate(300, seed=11)
    c = synthetic.generate(300, seed=12)
    assert a.data == b.data and a.true_uplift == b.true_uplift
    assert a.data["x0"] != c.data["x0"]


def test_rows_follow_feature_order_and_slicing():
    exp = synthetic.generate(50, seed=1)
    rows = exp.rows(10, 20)
    assert len(rows) == 10
    assert rows[3] == [exp.data[name][13] for name in exp.x_names]
    assert synthetic.generate(0).rows() == []


def test_missing_cells_are_nan_and_only_numeric():
    exp = synthetic.generate(2000, missing=0.25, seed=5)
    nan_share = np.mean([math.isnan(v) for v in exp.data["x0"]])
    assert 0.2 < nan_share < 0.3
    assert all(isinstance(v, str) for v in exp.data["cat0"])


# The outcomes must really carry the stated uplift: within the rows of each true-uplift half,
# the observed difference of rates follows the true one.
@pytest.mark.parametrize("arm", [1, 2])
def test_observed_uplift_follows_true_uplift(arm):
    exp = synthetic.generate(200_000, seed=9)
    t = np.array(exp.data[exp.treatment_col])
    y = np.array(exp.data[exp.outcome_col])
    u = np.array(exp.true_uplift)[:, arm - 1]
    high = u > np.median(u)
    for part in (high, ~high):
        observed = y[part & (t == arm)].mean() - y[part & (t == 0)].mean()
        assert abs(observed - u[part].mean()) < 0.012
    assert u[high].mean() - u[~high].mean() > 0.05


@pytest.mark.parametrize("kwargs", [
    {"n": -1}, {"n": 5, "n_numeric": 0}, {"n": 5, "n_treatments": 0},
    {"n": 5, "missing": 1.0}, {"n": 5, "treatment_col": "x1"},
    {"n": 5, "treatment_col": "y", "outcome_col": "y"},
])
def test_bad_arguments_are_refused(kwargs):
    with pytest.raises(ValueError):
        synthetic.generate(**kwargs)
