"""The main-job example runs end to end on a small experiment and finds the planted uplift."""

import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("numpy")
pytest.importorskip("quillmarsh")

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_quickstart_reports_importance_ranking_and_round_trip():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)  # the module under test
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "quickstart.py"), "--train-rows", "20000",
         "--test-rows", "10000", "--trees", "8", "--threads", "2"],
        capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "Start training with 2 threads... 8 trees finished" in out
    assert "Feature importance" in out
    for arm in (1, 2):
        assert f"Treatment {arm} vs control" in out
    assert "predicts exactly the same numbers" in out
