"""The Hillstrom e-mail experiment: train on 70 %, evaluate on a 30 % hold-out, through the
command line. Both e-mail arms must rank customers better than chance on `visit`."""

import csv
import gzip

import numpy as np
import pytest

from quillmarsh_kit.cli import main

FEATURES = ["recency", "history_segment", "history", "mens", "womens", "zip_code", "newbie",
            "channel"]


def test_hillstrom_visit_uplift_on_a_hold_out(hillstrom_path, tmp_path, capsys):
    with gzip.open(hillstrom_path, "rt", newline="") as src:
        rows = list(csv.reader(src))
    header, body = rows[0], rows[1:]
    assert len(body) == 64_000
    held_out = np.random.default_rng(2008).permutation(len(body)) < round(0.3 * len(body))
    train, test = tmp_path / "train.csv", tmp_path / "test.csv"
    for path, keep in ((train, ~held_out), (test, held_out)):
        with open(path, "w", newline="") as out:
            writer = csv.writer(out)
            writer.writerow(header)
            writer.writerows(row for row, k in zip(body, keep) if k)

    model, table, png = tmp_path / "model.json", tmp_path / "table.csv", tmp_path / "curves.png"
    assert main(["train", str(train), "--treatment", "segment", "--control", "No E-Mail",
                 "--outcome", "visit", "--features", *FEATURES, "--n-estimators", "100",
                 "--max-depth", "5", "--criterion", "ED", "--n-jobs", "2", "--model", str(model),
                 "--quiet"]) == 0
    pytest.importorskip("matplotlib")
    assert main(["evaluate", str(test), "--model", str(model), "--treatment", "segment",
                 "--outcome", "visit", "--table", str(table), "--plot", str(png)]) == 0
    out = capsys.readouterr().out
    assert "evaluation on 19,200 rows" in out
    with open(table) as src:
        scores = {row["arm"]: row for row in csv.DictReader(src)}
    assert sorted(scores) == ["Mens E-Mail", "Womens E-Mail"]
    for arm, row in scores.items():
        assert float(row["qini"]) > 0, (arm, row)
        assert int(row["treated"]) + int(row["control"]) == int(row["rows"])
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
