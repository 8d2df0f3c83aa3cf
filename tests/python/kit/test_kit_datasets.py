"""The synthetic experiment and the CSV loader."""

import csv
import gzip
import math

import numpy as np
import pytest

from quillmarsh_kit.datasets import load_csv, make_uplift_experiment


def test_the_same_seed_gives_the_same_experiment():
    a = make_uplift_experiment(500, seed=3)
    b = make_uplift_experiment(500, seed=3)
    c = make_uplift_experiment(500, seed=4)
    np.testing.assert_array_equal(a.y, b.y)
    np.testing.assert_array_equal(a.true_uplift, b.true_uplift)
    assert not np.array_equal(a.X["x0"], c.X["x0"])


@pytest.mark.parametrize("arms,numeric,noise", [(1, 3, 0), (2, 6, 1), (4, 20, 3)])
def test_experiment_shapes_and_labels(arms, numeric, noise):
    exp = make_uplift_experiment(3000, n_treatments=arms, n_numeric=numeric, noise_strings=noise,
                                 seed=1)
    assert exp.true_uplift.shape == (3000, arms)
    assert set(exp.treatment.tolist()) == {"control", *exp.arms}
    assert exp.arms == [f"treatment_{k}" for k in range(1, arms + 1)]
    assert set(exp.y.tolist()) == {0, 1}
    assert len(exp.feature_names) == numeric + 2 + noise
    assert all(isinstance(v, str) for v in exp.X["region"][:10])
    for arm in exp.arms:
        assert set(exp.drivers[arm]) <= set(exp.feature_names)
    assert set(exp.baseline_drivers) <= set(exp.feature_names)

    # the native class's shape: plain lists, group numbers 0..K in the arms' order
    data = exp.native_data()
    assert list(data) == [*exp.feature_names, "treatment", "outcome"]
    for name in exp.feature_names:
        kind = str if name in ("region", "channel") or name.startswith("noise") else float
        assert all(type(v) is kind for v in data[name])
    labels = ["control", *exp.arms]
    assert [labels[g] for g in data["treatment"]] == exp.treatment.tolist()
    assert all(type(v) is int for v in data["treatment"] + data["outcome"])
    rows = exp.rows(10, 20)
    assert len(rows) == 10 and rows[3] == [data[name][13] for name in exp.feature_names]


def test_observed_uplift_matches_the_true_uplift():
    # With 60,000 rows, each arm's observed rate difference is within a few standard errors of
    # the mean true uplift, and higher where the true uplift is high.
    exp = make_uplift_experiment(60_000, n_treatments=2, seed=5)
    control = exp.y[exp.treatment == "control"].mean()
    for k, arm in enumerate(exp.arms):
        rows = exp.treatment == arm
        observed = exp.y[rows].mean() - control
        assert observed == pytest.approx(exp.true_uplift[rows, k].mean(), abs=0.015)
        high = exp.true_uplift[:, k] > np.median(exp.true_uplift[:, k])
        rate = lambda mask: exp.y[mask].mean()  # noqa: E731
        uplift_high = rate(rows & high) - rate((exp.treatment == "control") & high)
        uplift_low = rate(rows & ~high) - rate((exp.treatment == "control") & ~high)
        assert uplift_high > uplift_low + 0.05


def test_missing_cells_are_nan_and_only_numeric():
    complete = make_uplift_experiment(2000, seed=5)
    exp = make_uplift_experiment(2000, missing=0.25, seed=5)
    gone = np.isnan(exp.X["x0"])
    assert 0.2 < gone.mean() < 0.3
    np.testing.assert_array_equal(exp.X["x0"][~gone], complete.X["x0"][~gone])
    np.testing.assert_array_equal(exp.y, complete.y)  # drawn before the cells went missing
    assert all(isinstance(v, str) for v in exp.native_data()["region"])
    assert any(math.isnan(v) for v in exp.native_data()["x0"])


def test_split_partitions_the_rows():
    exp = make_uplift_experiment(1000, seed=2)
    a, b = exp.split(0.7, seed=1)
    assert (a.n_rows, b.n_rows) == (700, 300)
    assert sorted(np.r_[a.X["x1"], b.X["x1"]].tolist()) == sorted(exp.X["x1"].tolist())
    pd = pytest.importorskip("pandas")
    frame = make_uplift_experiment(100, seed=2, as_frame=True)
    assert isinstance(frame.X, pd.DataFrame) and list(frame.X.columns) == frame.feature_names
    first, _ = frame.split(0.5, seed=0)
    assert len(first.X) == 50 and list(first.X.index) == list(range(50))


@pytest.mark.parametrize("kwargs", [
    {"n_samples": 0}, {"n_treatments": 0}, {"n_numeric": 2}, {"effect": 0.9}, {"missing": 1.0},
])
def test_experiment_arguments_are_checked(kwargs):
    with pytest.raises(ValueError):
        make_uplift_experiment(**{"n_samples": 10, **kwargs})
    with pytest.raises(ValueError, match="must differ"):
        make_uplift_experiment(10, seed=0).native_data(treatment_col="x1")


NAN = float("nan")


@pytest.mark.parametrize("cells,expected,dtype", [
    (["1", "2", "3"], [1, 2, 3], np.int64),
    (["1", "2.5", "-3e2"], [1, 2.5, -300], np.float64),
    (["1", "", "3"], [1, NAN, 3], np.float64),
    (["1", "NA", "3", "NaN", "null", "N/A", "#N/A", "5"], [1, NAN, 3, NAN, NAN, NAN, NAN, 5],
     np.float64),
    (["NA", "", "null"], [NAN, NAN, NAN], np.float64),
    (["true", "false", "True"], [True, False, True], np.bool_),
    (["a", "1", ""], ["a", "1", ""], object),
    (["a", "NA", "b"], ["a", "NA", "b"], object),  # in text, a token is a category
    (["6) $750 - $1,000", "x", "y"], ["6) $750 - $1,000", "x", "y"], object),
    (["2020-01-01", "2020-01-31", "2021-02-28"], ["2020-01-01", "2020-01-31", "2021-02-28"],
     object),
])
def test_column_types_follow_the_cells(tmp_path, cells, expected, dtype):
    path = tmp_path / "column.csv"
    with open(path, "w", newline="") as out:
        csv.writer(out).writerows([["id", "v"], *([i, c] for i, c in enumerate(cells))])
    values = load_csv(path).X["v"]
    assert values.dtype == dtype
    if dtype is object:
        assert values.tolist() == expected
    else:
        np.testing.assert_array_equal(values, np.array(expected, dtype=dtype))
    as_text = load_csv(path, string_columns=["v"]).X["v"]
    assert as_text.tolist() == cells


LONG = "w" * 3_000_000  # longer than the reader's first block
CSV = ('\ufeffid,segment,visit,zip,history,note\r\n1,No E-Mail,0,Urban,"1,5",a\r\n'
       f'2,Mens E-Mail,1,Rural,2.5,"{LONG}"\r\n3,Womens E-Mail,0,Urban,3,c')


@pytest.mark.parametrize("gzipped", [False, True])
def test_load_csv_reads_a_bom_quoted_and_long_cells_crlf_and_gzip(tmp_path, gzipped):
    path = tmp_path / ("data.csv.gz" if gzipped else "data.csv")
    if gzipped:
        with gzip.open(path, "wt", newline="", encoding="utf-8") as out:
            out.write(CSV)
    else:
        path.write_text(CSV, newline="", encoding="utf-8")
    data = load_csv(path, treatment="segment", outcome="visit", features=["zip", "history", "note"])
    assert data.feature_names == ["zip", "history", "note"]
    assert data.X["zip"].tolist() == ["Urban", "Rural", "Urban"]
    assert data.X["history"].tolist() == ["1,5", "2.5", "3"]  # "1,5" is not a number
    assert data.X["note"].tolist() == ["a", LONG, "c"]
    assert data.treatment.tolist() == ["No E-Mail", "Mens E-Mail", "Womens E-Mail"]
    assert data.y.tolist() == [0, 1, 0] and data.y.dtype == np.int64
    everything = load_csv(path, treatment="segment", outcome="visit", exclude=["note"])
    assert everything.feature_names == ["id", "zip", "history"]  # no byte-order mark in "id"
    assert set(everything.columns) == {"id", "segment", "visit", "zip", "history"}


@pytest.mark.parametrize("text,kwargs,message", [
    ("", {}, "is empty"),
    ("a,b\n1,2\n3\n", {}, "Row #3: Expected 2 columns, got 1"),
    ("a,a\n1,2\n", {}, "duplicate column names"),
    ("a,b\n1,2\n", {"treatment": "t"}, r"no column\(s\) \['t'\]"),
])
def test_load_csv_errors_name_the_file(tmp_path, text, kwargs, message):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=message) as err:
        load_csv(path, **kwargs)
    assert str(err.value).startswith(str(path))
