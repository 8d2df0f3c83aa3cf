"""The `quillmarsh` command line: train, predict, evaluate and demo."""

import csv
import json
import re
import statistics

import numpy as np
import pytest

from quillmarsh_kit import UpliftForest, __version__, metrics
from quillmarsh_kit.cli import main
from quillmarsh_kit.datasets import load_csv, make_uplift_experiment

FOREST = ["--n-estimators", "6", "--max-depth", "3", "--min-samples-leaf", "30", "--n-jobs", "2"]


@pytest.fixture(scope="module")
def csv_files(tmp_path_factory):
    """Train and test CSV files of a synthetic experiment with integer arm codes 0, 1, 2."""
    exp = make_uplift_experiment(4000, n_treatments=2, seed=21)
    folder = tmp_path_factory.mktemp("cli")
    paths = []
    for part, name in zip(exp.split(0.6, seed=1), ("train.csv", "test.csv")):
        path = folder / name
        with open(path, "w", newline="") as out:
            writer = csv.writer(out)
            writer.writerow(["id"] + part.feature_names + ["arm", "converted"])
            for i, group in enumerate(part.groups.tolist()):
                writer.writerow([i] + [part.X[f][i] for f in part.feature_names]
                                + [group, part.y[i]])
        paths.append(path)
    return paths


def test_train_predict_evaluate(csv_files, tmp_path, capsys):
    train, test = csv_files
    model_path = tmp_path / "model.json"
    assert main(["train", str(train), "--treatment", "arm", "--control", "0",
                 "--outcome", "converted",
                 "--exclude", "id", "--model", str(model_path), "--quiet", *FOREST]) == 0
    out = capsys.readouterr().out
    assert "trained 6 trees on 2,400 rows and 8 features" in out and "arms 1, 2 against 0" in out
    model = UpliftForest.load(model_path)
    assert model.control == 0 and model.treatments_ == [1, 2] and "id" not in model.feature_names_
    # a seed gives the same file, whatever the threads
    seeded = [tmp_path / "a.json", tmp_path / "b.json"]
    for path, jobs in zip(seeded, ("1", "2")):
        assert main(["train", str(train), "--treatment", "arm", "--control", "0", "--outcome",
                     "converted", "--exclude", "id", "--model", str(path), "--quiet", *FOREST,
                     "--seed", "5", "--n-jobs", jobs]) == 0
    assert seeded[0].read_bytes() == seeded[1].read_bytes()

    predictions = tmp_path / "pred.csv"
    assert main(["predict", str(test), "--model", str(model_path), "--output", str(predictions),
                 "--keep", "id"]) == 0
    with open(predictions) as src:
        rows = list(csv.reader(src))
    assert rows[0] == ["id", "uplift[1]", "uplift[2]"]
    assert len(rows) == 1601 and [r[0] for r in rows[1:4]] == ["0", "1", "2"]
    assert all(np.isfinite(float(v)) for r in rows[1:] for v in r[1:])

    table, png = tmp_path / "table.csv", tmp_path / "curves.png"
    pytest.importorskip("matplotlib")
    assert main(["evaluate", str(test), "--model", str(model_path), "--treatment", "arm",
                 "--outcome", "converted", "--table", str(table), "--plot", str(png)]) == 0
    out = capsys.readouterr().out
    assert "evaluation on 1,600 rows" in out and out.count("\n1 ") + out.count("\n2 ") == 2
    with open(table) as src:
        written = list(csv.DictReader(src))
    assert [r["arm"] for r in written] == ["1", "2"]
    assert all(-1 <= float(r["qini"]) <= 1 for r in written)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_evaluate_scores_against_the_control_the_model_was_grown_with(csv_files, tmp_path,
                                                                      capsys):
    train, test = csv_files
    data = load_csv(train, treatment="arm", outcome="converted", exclude=["id"])
    model = UpliftForest(n_estimators=3, max_depth=3, control=0, random_state=1)
    model.fit(data.X, data.treatment, data.y).set_params(control=1, max_depth=9)
    model.save(tmp_path / "m.json")
    assert main(["evaluate", str(test), "--model", str(tmp_path / "m.json"), "--treatment",
                 "arm", "--outcome", "converted"]) == 0
    out = capsys.readouterr().out
    assert "evaluation on 1,600 rows" in out and "(control 0)" in out and "note:" not in out
    with open(test) as src:
        groups = [int(r["arm"]) for r in csv.DictReader(src)]
    treated, control = groups.count(1), groups.count(0)
    assert re.search(rf"\n1(\.0)? +{treated + control} +{treated} +{control} ", out), out


@pytest.fixture(scope="module")
def evaluated(csv_files, tmp_path_factory):
    """A model trained on the training file, the test file and its rows."""
    train, test = csv_files
    model_path = tmp_path_factory.mktemp("evaluate") / "model.json"
    assert main(["train", str(train), "--treatment", "arm", "--control", "0", "--outcome",
                 "converted", "--exclude", "id", "--model", str(model_path), "--quiet",
                 *FOREST, "--seed", "4"]) == 0
    return model_path, test, load_csv(test, treatment="arm", outcome="converted", exclude=["id"])


def _aipw(y, g, policy, rates, value, cost, z):
    """The augmented inverse-propensity value of giving group index `policy[i]` to row i,
    written out with the groups' shares as propensities: (value, lower, upper)."""
    n = len(y)
    shares = np.bincount(g, minlength=rates.shape[1]) / n
    m = rates[np.arange(n), policy]
    scores = value * (m + (g == policy) / shares[policy] * (y - m)) - cost[policy]
    half = z * scores.std(ddof=1) / np.sqrt(n)
    return [scores.mean(), scores.mean() - half, scores.mean() + half]


def _printed_policies(out):
    """{policy: [treated share, value, lower, upper]} from evaluate's policy table."""
    lines = out[out.index("value per row of each policy"):].splitlines()[3:7]
    return {re.split(r"  +", line)[0]: [float(v) for v in re.split(r"  +", line)[1:]]
            for line in lines}


@pytest.mark.parametrize("value,costs,level", [
    (1.0, {}, 0.95),
    (2.0, {1: 0.02, 2: 0.05}, 0.9),
    (1.0, {2: 0.3}, 0.8),
], ids=["value_only", "costs_per_arm", "one_arm_priced_out"])
def test_evaluate_prints_intervals_and_policy_values_computed_by_hand(evaluated, tmp_path,
                                                                      capsys, value, costs,
                                                                      level):
    model_path, test, data = evaluated
    table = tmp_path / "table.csv"
    options = [f"--cost={arm}={c}" for arm, c in costs.items()]
    assert main(["evaluate", str(test), "--model", str(model_path), "--treatment", "arm",
                 "--outcome", "converted", "--value", str(value), *options, "--level",
                 str(level), "--bootstrap", "40", "--seed", "3", "--table", str(table)]) == 0
    out = capsys.readouterr().out
    model = UpliftForest.load(model_path)
    uplift, rates = model.predict(data.X), model.predict_rates(data.X)
    y, g = np.asarray(data.y, dtype=float), np.asarray(data.treatment, dtype=np.int64)
    # the scores' intervals: the bootstrap of each arm's rows at the asked level and seed
    with open(table) as src:
        written = {int(r["arm"]): r for r in csv.DictReader(src)}
    for k, arm in enumerate((1, 2)):
        rows = (g == 0) | (g == arm)
        for name, interval in (("qini", metrics.qini_auc_score_interval),
                               ("auuc", metrics.uplift_auc_score_interval)):
            expected = interval(y[rows], uplift[rows, k], (g[rows] == arm).astype(int),
                                n_bootstrap=40, level=level, random_state=3)
            got = [float(written[arm][f"{name}{s}"]) for s in ("", "_lower", "_upper")]
            np.testing.assert_allclose(got, expected, rtol=1e-12)
            assert got[1] < got[0] < got[2]
    # the policies' values: the estimator written out in numpy, the recommendation the
    # argmax of value x uplift - cost with control worth 0
    cost = np.array([0.0, costs.get(1, 0.0), costs.get(2, 0.0)])
    z = statistics.NormalDist().inv_cdf((1 + level) / 2)
    best = np.argmax(np.column_stack([np.zeros(len(y)), value * uplift - cost[1:]]), axis=1)
    assert 0 < (best == 0).sum() < len(y)  # a real choice between groups
    expected = {"recommended": [np.mean(best > 0), *_aipw(y, g, best, rates, value, cost, z)]}
    for label, name in ((0, "nobody: 0"), (1, "everybody: 1"), (2, "everybody: 2")):
        policy = np.full(len(y), label)
        expected[name] = [float(label > 0), *_aipw(y, g, policy, rates, value, cost, z)]
    assert _printed_policies(out).keys() == expected.keys()
    counts = np.bincount(best, minlength=3)
    assert f"recommended: 0 {counts[0]:,} rows, 1 {counts[1]:,} rows, 2 {counts[2]:,} rows" in out
    for name, numbers in _printed_policies(out).items():
        np.testing.assert_allclose(numbers, expected[name], rtol=0, atol=5.01e-5, err_msg=name)
    # with the forest's rates, the estimator still centres on the group's observed mean:
    # treating nobody is worth about the control rows' mean outcome
    control_mean = value * y[g == 0].mean()
    nobody = _printed_policies(out)["nobody: 0"]
    assert nobody[2] < control_mean < nobody[3]


def _without_node_statistics(model_path, tmp_path):
    document = json.loads(model_path.read_text())
    del document["quillmarsh_kit"]["node_stats"]  # as a model saved before they were kept
    old = tmp_path / "old.json"
    old.write_text(json.dumps(document))
    return old


@pytest.mark.parametrize("options,old_model,status,message", [
    (["--cost", "3=0.1"], False, 1, "arm of --cost '3' does not occur in the model's arms"),
    (["--cost", "0=0.1"], False, 1, "arm of --cost '0' does not occur in the model's arms"),
    (["--cost", "1"], False, 1, "--cost takes ARM=COST, got '1'"),
    (["--cost", "1=cheap"], False, 1, "--cost '1=cheap': 'cheap' is not a number"),
    (["--value", "1"], True, 1, "this model holds no per-node group statistics"),
    ([], True, 0, ""),
    (["--level", "1.5"], False, 2, "the level must lie strictly between 0 and 1"),
    (["--bootstrap", "-1"], False, 2, "the number of resamples cannot be negative"),
], ids=["unknown_arm", "control_priced", "no_equals", "not_a_number", "value_without_stats",
        "scores_without_stats", "level", "resamples"])
def test_evaluate_refuses_bad_decision_options_clearly(evaluated, tmp_path, capsys, options,
                                                       old_model, status, message):
    model_path, test, _ = evaluated
    model = _without_node_statistics(model_path, tmp_path) if old_model else model_path
    argv = ["evaluate", str(test), "--model", str(model), "--treatment", "arm", "--outcome",
            "converted", "--bootstrap", "5", *options]
    try:
        got = main(argv)
    except SystemExit as exit_:  # the parser's own refusals
        got = exit_.code
    captured = capsys.readouterr()
    assert got == status and message in captured.err
    if status == 0:
        assert "qini_lower" in captured.out and "value per row" not in captured.out
    elif status == 1:  # one line, no traceback
        assert captured.err.startswith("quillmarsh evaluate: error: ")
        assert captured.err.count("\n") == 1


TREE_OPTIONS = ("max_samples", "bootstrap", "honest", "honest_fraction", "min_samples_treatment")


@pytest.mark.parametrize("flags,expected", [
    ([], {k: UpliftForest().get_params()[k] for k in TREE_OPTIONS}),
    (["--max-samples", "0.5", "--bootstrap", "--honest", "--honest-fraction", "0.3",
      "--min-samples-treatment", "12"],
     dict(max_samples=0.5, bootstrap=True, honest=True, honest_fraction=0.3,
          min_samples_treatment=12)),
    (["--max-samples", "1000", "--no-bootstrap", "--no-honest"],
     dict(max_samples=1000, bootstrap=False, honest=False)),
], ids=["estimator_defaults", "every_option", "counts_and_negations"])
def test_train_takes_the_tree_options(csv_files, tmp_path, flags, expected):
    model_path = tmp_path / "model.json"
    assert main(["train", str(csv_files[0]), "--treatment", "arm", "--control", "0", "--outcome",
                 "converted", "--exclude", "id", "--model", str(model_path), "--quiet", *FOREST,
                 *flags]) == 0
    params = UpliftForest.load(model_path).get_params()
    assert {k: params[k] for k in expected} == expected


@pytest.mark.parametrize("argv,message", [
    (["--control", "7"], "control label '7' does not occur"),
    (["--control", "0", "--features", "x0,nope"], r"no column\(s\) \['nope'\]"),
    (["--control", "0", "--max-depth", "40"], "max_depth must be in"),
])
def test_train_reports_bad_input_without_a_traceback(csv_files, tmp_path, capsys, argv,
                                                     message):
    train, _ = csv_files
    status = main(["train", str(train), "--treatment", "arm", "--outcome", "converted",
                   "--model", str(tmp_path / "m.json"), "--quiet", *argv])
    assert status == 1
    err = capsys.readouterr().err
    assert err.startswith("quillmarsh train: error: ")
    assert re.search(message, err)


def _write_with_na(path, exp):
    """The experiment as CSV with a byte-order mark before "id", and NA in 1 of 100 cells of
    every numeric column."""
    with open(path, "w", newline="", encoding="utf-8-sig") as out:
        writer = csv.writer(out)
        writer.writerow(["id", *exp.feature_names, "arm", "converted"])
        for i in range(exp.n_rows):
            cells = [exp.X[f][i] for f in exp.feature_names]
            cells[:6] = ["NA" if i % 100 == j else c for j, c in enumerate(cells[:6])]
            writer.writerow([i, *cells, ["control", *exp.arms].index(exp.treatment[i]), exp.y[i]])


def test_csv_with_a_bom_and_na_cells_trains_and_predicts(tmp_path, capsys):
    train, test = tmp_path / "train.csv", tmp_path / "test.csv"
    _write_with_na(train, make_uplift_experiment(600, seed=3))
    _write_with_na(test, make_uplift_experiment(300, seed=4))
    model_path = tmp_path / "model.json"
    assert main(["train", str(train), "--treatment", "arm", "--control", "0",
                 "--outcome", "converted", "--exclude", "id", "--model", str(model_path), "--quiet",
                 *FOREST]) == 0
    out = tmp_path / "pred.csv"
    assert main(["predict", str(test), "--model", str(model_path), "--output", str(out),
                 "--keep", "id"]) == 0
    with open(out) as src:
        rows = list(csv.reader(src))
    assert rows[0] == ["id", "uplift[1]", "uplift[2]"] and len(rows) == 301
    assert all(np.isfinite(float(v)) for r in rows[1:] for v in r[1:])
    model = UpliftForest.load(model_path)
    assert model.feature_names_ == make_uplift_experiment(10, seed=0).feature_names
    assert model.feature_kinds_ == ["numeric"] * 6 + ["string"] * 2


@pytest.mark.parametrize("damage,message", [
    (lambda meta: meta.pop("feature_kinds"), "is incomplete: missing 'feature_kinds'"),
    (lambda meta: [meta.pop("named"), meta["params"].pop("control")],
     "is incomplete: missing 'named', 'params.control'"),
    (lambda meta: meta.update(feature_kinds=["numeric"]), "'feature_kinds' must hold"),
    (lambda meta: meta.update(treatments=[["t"]]), "a treatment label is malformed"),
    (lambda meta: meta.update(seed=-1), "'seed' must be an integer"),
    (lambda meta: meta.update(feature_categories=[["a"], None]), "'feature_categories' must"),
    (lambda meta: meta.update(feature_names=["num", "other"]), "does not describe its model"),
    (lambda meta: meta.update(treatments=["t", "u"]), "names 2 treatments, the model predicts 1"),
    (lambda meta: meta.update(format="something else"), "is not quillmarsh_kit model metadata"),
    (lambda meta: meta["params"].update(control="t"),
     "the control label 't' is also one of its arms ['t']"),
    (lambda meta: meta.update(format_version=3, version="9.0"),
     f"format version 3, written by quillmarsh_kit 9.0; this quillmarsh_kit ({__version__}) "
     "reads format versions up to 2: upgrade"),
    (lambda meta: meta.update(format_version="2"), "'format_version' must be a positive integer"),
    (lambda meta: meta.update(share_trees=[1, 1]), "'share_trees' must list positive multiples"),
], ids=["kinds", "two_missing", "short_kinds", "label", "seed", "categories", "names", "arms",
        "format", "control_is_an_arm", "newer_format", "format_version_text", "shares"])
def test_damaged_metadata_in_the_model_file_is_one_clear_error(tmp_path, capsys, damage,
                                                               message):
    model_path = tmp_path / "m.json"
    UpliftForest(n_estimators=1, control="c").fit(
        {"num": [0.1, 0.2, 0.3, 0.4], "cat": list("abab")}, list("ctct"), [0, 1, 1, 0]
    ).save(model_path)
    document = json.loads(model_path.read_text())
    damage(document["quillmarsh_kit"])
    model_path.write_text(json.dumps(document))
    data = tmp_path / "data.csv"
    data.write_text("num,cat\n0.5,a\n")
    assert main(["predict", str(data), "--model", str(model_path), "--output", "-"]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"quillmarsh predict: error: {model_path}") and message in err
    assert err.count("\n") == 1  # one line, no traceback


@pytest.mark.parametrize("content,message", [
    (None, "none.json not found"),
    ("{", "loading .*none.json failed inside the native module"),
], ids=["missing", "truncated"])
def test_predict_refuses_a_missing_or_broken_model(tmp_path, csv_files, capsys, content,
                                                    message):
    _, test = csv_files
    path = tmp_path / "none.json"
    if content is not None:
        path.write_text(content)
    assert main(["predict", str(test), "--model", str(path), "--output", "-"]) == 1
    err = capsys.readouterr().err
    assert re.match(f"quillmarsh predict: error: .*{message}", err) and err.count("\n") == 1


def test_demo_reports_scores_importances_and_writes_the_plot(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    png = tmp_path / "demo.png"
    assert main(["demo", "--n-samples", "6000", "--n-estimators", "8", "--n-jobs", "2",
                 "--plot", str(png)]) == 0
    captured = capsys.readouterr()
    lines = captured.out.splitlines()
    header = next(i for i, line in enumerate(lines) if line.startswith("arm "))
    for row in lines[header + 2:header + 4]:
        arm, qini, qini_random, qini_truth = row.split()[:4]
        assert arm.startswith("treatment_") and float(qini) > float(qini_random)
    assert sum(1 for line in lines if line.startswith("  x")) == 6
    assert "8/8" in captured.err  # the progress bar or its plain lines
    assert png.stat().st_size > 10_000


def test_ctrl_c_ends_a_command_quietly_with_status_130(monkeypatch, capsys):
    def interrupted(self, *args):
        raise KeyboardInterrupt

    monkeypatch.setattr(UpliftForest, "fit", interrupted)
    assert main(["demo", "--n-samples", "1000", "--plot", "", "--quiet"]) == 130
    assert capsys.readouterr().err == "quillmarsh demo: interrupted\n"


def test_a_boolean_treatment_column_takes_its_control_label_as_written(tmp_path, capsys):
    # The reader makes true/false cells booleans; --control false must still name the label.
    exp = make_uplift_experiment(600, n_treatments=1, seed=5)
    path = tmp_path / "bool.csv"
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow([*exp.feature_names, "mailed", "converted"])
        for i in range(exp.n_rows):
            mailed = "true" if exp.treatment[i] != "control" else "false"
            writer.writerow([*(exp.X[f][i] for f in exp.feature_names), mailed, exp.y[i]])
    assert main(["train", str(path), "--treatment", "mailed", "--control", "false", "--outcome",
                 "converted", "--model", str(tmp_path / "m.json"), "--quiet", *FOREST]) == 0
    assert "arms True against False" in capsys.readouterr().out
