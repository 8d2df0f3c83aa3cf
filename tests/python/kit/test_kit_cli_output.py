"""The files the `quillmarsh` command line writes: complete or not at all."""

import csv
import os
import signal
import subprocess
import sys
import time

import pytest

from quillmarsh_kit import cli
from quillmarsh_kit.datasets import make_uplift_experiment

FOREST = ["--n-estimators", "4", "--max-depth", "3", "--min-samples-leaf", "30", "--n-jobs", "1"]
PREVIOUS = b"a previous, complete file\n"


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """A labelled CSV file and a model trained on it."""
    folder = tmp_path_factory.mktemp("cli_output")
    exp = make_uplift_experiment(1500, n_treatments=2, seed=8)
    data = folder / "data.csv"
    with open(data, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["id", *exp.feature_names, "arm", "converted"])
        for i in range(exp.n_rows):
            writer.writerow([i, *(exp.X[f][i] for f in exp.feature_names), exp.groups[i],
                             exp.y[i]])
    model = folder / "model.json"
    assert cli.main(["train", str(data), "--treatment", "arm", "--control", "0", "--outcome",
                     "converted", "--exclude", "id", "--model", str(model), "--quiet",
                     *FOREST]) == 0
    return data, model


class _InterruptedWriter:
    """A csv writer that writes its first row (the header) and part of the next one, and
    is then interrupted: a Ctrl-C in the middle of the file."""

    real = staticmethod(csv.writer)

    def __init__(self, target, **options):
        self.target, self.writer, self.rows = target, self.real(target, **options), 0

    def writerow(self, row):
        if self.rows == 1:
            self.target.write(str(row[0])[:1])
            raise KeyboardInterrupt
        self.rows += 1
        self.writer.writerow(row)

    def writerows(self, rows):
        for row in rows:
            self.writerow(row)


def _interrupted_savefig(self, fname, *args, **kwargs):
    with open(fname, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
    raise KeyboardInterrupt


# The child stops in the middle of its output and waits there for a real SIGINT.
CHILD = """
import csv, os, sys, time
from quillmarsh_kit import cli
real = csv.writer
class Paused:
    def __init__(self, target, **options):
        self.writer, self.rows = real(target, **options), 0
    def writerow(self, row):
        self.writer.writerow(row)
        self.rows += 1
        if self.rows == 3:
            open(sys.argv[1], "w").close()
            while True:
                time.sleep(0.05)
    def writerows(self, rows):
        for row in rows:
            self.writerow(row)
csv.writer = Paused
sys.exit(cli.main(sys.argv[2:]))
"""


def _interrupt_child(argv, folder):
    marker = folder / "writing"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(marker), *argv], env=env,
                             stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while not marker.exists() and child.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)  # waits for the event; the deadline only ends a broken run
    assert marker.exists(), child.communicate(timeout=60)[1].decode()
    marker.unlink()
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=120)
    return child.returncode, err.decode()


@pytest.mark.parametrize("command,option,name,how", [
    ("predict", "--output", "pred.csv", "raise"),
    ("predict", "--output", "pred.csv", "sigint"),
    ("evaluate", "--table", "table.csv", "raise"),
    ("evaluate", "--table", "table.csv", "sigint"),
    ("evaluate", "--plot", "curves.png", "raise"),
])
def test_an_interrupted_output_leaves_the_previous_file_and_no_temporary_file(
        trained, tmp_path, monkeypatch, capsys, command, option, name, how):
    if option == "--plot":
        figure = pytest.importorskip("matplotlib.figure")
        monkeypatch.setattr(figure.Figure, "savefig", _interrupted_savefig)
    data, model = trained
    target = tmp_path / name
    target.write_bytes(PREVIOUS)
    argv = [command, str(data), "--model", str(model), option, str(target)]
    if command == "evaluate":
        argv += ["--treatment", "arm", "--outcome", "converted"]
    if how == "sigint":
        status, err = _interrupt_child(argv, tmp_path)
    else:
        monkeypatch.setattr(csv, "writer", _InterruptedWriter)
        status, err = cli.main(argv), capsys.readouterr().err
    assert (status, err) == (130, f"quillmarsh {command}: interrupted\n")
    assert target.read_bytes() == PREVIOUS
    assert sorted(os.listdir(tmp_path)) == [name]


@pytest.mark.parametrize("where", ["missing/model.json", "locked/model.json"])
def test_train_refuses_an_unwritable_folder_before_growing_a_tree(trained, tmp_path, capsys,
                                                                  no_engine, where):
    (tmp_path / "locked").mkdir(mode=0o500)
    if where.startswith("locked") and os.access(tmp_path / "locked", os.W_OK):
        pytest.skip("running as a user who may write anywhere")
    data, _ = trained
    target = tmp_path / where
    assert cli.main(["train", str(data), "--treatment", "arm", "--control", "0", "--outcome",
                     "converted", "--model", str(target), "--quiet", *FOREST]) == 1
    err = capsys.readouterr().err
    assert err.startswith("quillmarsh train: error: the folder ") and str(target.parent) in err
