"""The `quillmarsh` command line: train, predict, evaluate and demo."""

import csv
import re

import numpy as np
import pytest

from quillmarsh_kit import UpliftForest
from quillmarsh_kit.cli import main
from quillmarsh_kit.datasets import make_uplift_experiment

FOREST = ["--n-estimators", "6", "--max-depth", "3", "--min-samples-leaf", "30", "--n-jobs", "2"]


@pytest.fixture(scope="module")
def csv_files(tmp_path_factory):
    """Train and test CSV files of a synthetic experiment with integer arm codes 0, 1, 2."""
    exp = make_uplift_experiment(4000, n_treatments=2, seed=21)
    codes = {"control": 0, "treatment_1": 1, "treatment_2": 2}
    folder = tmp_path_factory.mktemp("cli")
    paths = []
    for part, name in zip(exp.split(0.6, seed=1), ("train.csv", "test.csv")):
        path = folder / name
        with open(path, "w", newline="") as out:
            writer = csv.writer(out)
            writer.writerow(["id"] + part.feature_names + ["arm", "converted"])
            for i in range(part.n_rows):
                writer.writerow([i] + [part.X[f][i] for f in part.feature_names]
                                + [codes[part.treatment[i]], part.y[i]])
        paths.append(path)
    return paths


def test_train_predict_evaluate(native, csv_files, tmp_path, capsys):
    train, test = csv_files
    model_path = tmp_path / "model.json"
    assert main(["train", str(train), "--treatment", "arm", "--control", "0", "--outcome", "converted",
                 "--exclude", "id", "--model", str(model_path), "--quiet", *FOREST]) == 0
    out = capsys.readouterr().out
    assert "trained 6 trees on 2,400 rows and 8 features" in out and "arms 1, 2 against 0" in out
    model = UpliftForest.load(model_path)
    assert model.control == 0 and model.treatments_ == [1, 2] and "id" not in model.feature_names_

    predictions = tmp_path / "pred.csv"
    assert main(["predict", str(test), "--model", str(model_path), "--output", str(predictions), "--keep", "id"]) == 0
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


@pytest.mark.parametrize("argv,message", [
    (["--control", "7"], "control label '7' does not occur"),
    (["--control", "0", "--features", "x0,nope"], r"no column\(s\) \['nope'\]"),
    (["--control", "0", "--max-depth", "40"], "max_depth must be in"),
])
def test_train_reports_bad_input_without_a_traceback(native, csv_files, tmp_path, capsys, argv, message):
    train, _ = csv_files
    status = main(["train", str(train), "--treatment", "arm", "--outcome", "converted",
                   "--model", str(tmp_path / "m.json"), "--quiet", *argv])
    assert status == 1
    err = capsys.readouterr().err
    assert err.startswith("quillmarsh train: error: ")
    assert re.search(message, err)


def test_predict_refuses_a_missing_model(tmp_path, csv_files, capsys):
    _, test = csv_files
    assert main(["predict", str(test), "--model", str(tmp_path / "none.json"), "--output", "-"]) == 1
    assert "none.json.kit.json not found" in capsys.readouterr().err


def test_demo_reports_scores_importances_and_writes_the_plot(native, tmp_path, capsys):
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
