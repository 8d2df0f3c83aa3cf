"""`quillmarsh predict` reads and writes in batches: the same bytes as reading the whole file,
CSV or Parquet in and out."""

import csv
import io

import numpy as np
import pytest

from quillmarsh_kit import UpliftForest, _stream
from quillmarsh_kit.cli import main
from quillmarsh_kit.datasets import load_csv, make_uplift_experiment

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
KEEP = ["id", "note", "x0", "visits", "count", "flag"]


def _whole_file_predict(data, model_path, keep):
    """What the command wrote when it read the whole file at once: the reference."""
    model = UpliftForest.load(model_path)
    strings = [n for n, k in zip(model.feature_names_, model.feature_kinds_) if k == "string"]
    copied = [k for k in keep if k not in model.feature_names_]
    read = load_csv(data, features=[*model.feature_names_, *copied],
                    string_columns=strings + copied)
    prediction = model.predict({n: read.columns[n] for n in model.feature_names_})
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(keep + [f"uplift[{arm}]" for arm in model.treatments_])
    kept = [read.columns[k].tolist() for k in keep]
    for i, row in enumerate(prediction.tolist()):
        writer.writerow([col[i] for col in kept] + [repr(v) for v in row])
    return text.getvalue().encode()


def _write(path, exp, rows, late_gap):
    """The experiment with awkward cells: NaN tokens, unseen categories, quotes and commas,
    a whole-number feature missing once near the end (`late_gap`), booleans."""
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["id", "note", *exp.feature_names, "visits", "count", "flag", "arm", "y"])
        for i in range(rows):
            cells = [exp.X[f][i] for f in exp.feature_names]
            if i % 7 == 3:
                cells[0] = ["NA", "", "nan", "-0.0", "0.0"][i % 5]
            if i % 11 == 5:
                cells[-1] = "unseen, \"quoted\""
            visits = "" if late_gap and i == rows - 3 else i % 9
            writer.writerow([i, ["plain", "NA", "a,b", "say \"hi\"", ""][i % 5], *cells, visits,
                             i % 4, ["true", "false"][i % 2], exp.groups[i], exp.y[i]])


@pytest.fixture(scope="module")
def model_path(tmp_path_factory):
    folder = tmp_path_factory.mktemp("stream")
    data = folder / "train.csv"
    _write(data, make_uplift_experiment(3000, n_treatments=2, seed=4), 3000, False)
    path = folder / "model.json"
    assert main(["train", str(data), "--treatment", "arm", "--control", "0", "--outcome", "y",
                 "--exclude", "id", "note", "--model", str(path), "--quiet", "--seed", "3",
                 "--n-estimators", "8", "--min-samples-leaf", "20", "--max-depth", "6"]) == 0
    return path


@pytest.mark.parametrize("block,late_gap", [(None, False), (300, False), (300, True)],
                         ids=["one_batch", "many_batches", "gap_in_a_late_batch"])
def test_streamed_csv_equals_the_whole_file_output_byte_for_byte(
        model_path, tmp_path, monkeypatch, block, late_gap):
    if block:
        monkeypatch.setattr(_stream, "BLOCK_SIZE", block)
    data = tmp_path / "score.csv"
    _write(data, make_uplift_experiment(900, n_treatments=2, seed=9), 900, late_gap)
    expected = _whole_file_predict(data, model_path, KEEP)
    assert (b"\n1,NA," in expected and b'\n3,"say ""hi""",' in expected and b",nan," in expected
            and (b",7.0," in expected) == late_gap)  # the awkward cells are there
    out = tmp_path / "pred.csv"
    assert main(["predict", str(data), "--model", str(model_path), "--output", str(out),
                 "--keep", *KEEP]) == 0
    assert out.read_bytes() == expected
    parquet_out = tmp_path / "pred.parquet"
    assert main(["predict", str(data), "--model", str(model_path), "--output", str(parquet_out),
                 "--keep", *KEEP]) == 0
    _assert_table_matches(pq.read_table(parquet_out), expected)


def _assert_table_matches(table, expected_csv):
    rows = list(csv.reader(io.StringIO(expected_csv.decode())))
    assert table.column_names == rows[0]
    for j, name in enumerate(rows[0]):
        got = table.column(name).to_pylist()
        want = [r[j] for r in rows[1:]]
        if name.startswith("uplift["):
            assert got == [float(v) for v in want]
        elif name in ("note",):
            assert got == want


def test_parquet_input_scores_as_its_csv(model_path, tmp_path):
    data = tmp_path / "score.csv"
    _write(data, make_uplift_experiment(500, n_treatments=2, seed=2), 500, False)
    model = UpliftForest.load(model_path)
    read = load_csv(data, string_columns=[*[n for n, k in zip(model.feature_names_,
                                                              model.feature_kinds_)
                                            if k == "string"], "note"])
    pq.write_table(pa.table({n: pa.array(v) for n, v in read.columns.items()}),
                   tmp_path / "score.parquet")
    outs = [tmp_path / "a.csv", tmp_path / "b.csv"]
    for source, out in zip([data, tmp_path / "score.parquet"], outs):
        assert main(["predict", str(source), "--model", str(model_path), "--output", str(out),
                     "--keep", "id", "note"]) == 0
    assert outs[0].read_bytes() == outs[1].read_bytes()
    expected = model.predict({n: read.columns[n] for n in model.feature_names_})
    with open(outs[1]) as src:
        written = [[float(v) for v in row[2:]] for row in list(csv.reader(src))[1:]]
    np.testing.assert_array_equal(np.array(written), expected)


@pytest.fixture(scope="module")
def same_data(tmp_path_factory):
    """One labelled experiment as a CSV file and as a Parquet file of the same columns."""
    folder = tmp_path_factory.mktemp("parquet")
    data = folder / "data.csv"
    _write(data, make_uplift_experiment(2000, n_treatments=2, seed=6), 2000, False)
    read = load_csv(data)
    pq.write_table(pa.table({n: pa.array(v) for n, v in read.columns.items()}),
                   folder / "data.parquet")
    return data, folder / "data.parquet"


TRAIN = ["--treatment", "arm", "--control", "0", "--outcome", "y", "--exclude", "id", "note",
         "--quiet", "--seed", "2", "--n-estimators", "4", "--min-samples-leaf", "20"]


def test_parquet_trains_and_evaluates_as_its_csv(same_data, tmp_path):
    outputs = []
    for i, source in enumerate(same_data):
        model, table = tmp_path / f"m{i}.json", tmp_path / f"t{i}.csv"
        assert main(["train", str(source), *TRAIN, "--model", str(model)]) == 0
        assert main(["evaluate", str(source), "--model", str(model), "--treatment", "arm",
                     "--outcome", "y", "--table", str(table)]) == 0
        outputs.append((model.read_bytes(), table.read_bytes()))
    assert outputs[0] == outputs[1] and outputs[0][1].count(b"\n") == 3


@pytest.mark.parametrize("change,message", [
    (["--outcome", "nope"], "has no column(s) ['nope']; its columns are"),
    (["--control", "7"], "control label '7' does not occur in the treatment column"),
    (["--features", "x0", "ghost"], "has no column(s) ['ghost']"),
])
def test_parquet_input_is_refused_with_the_csv_messages(same_data, tmp_path, capsys, change,
                                                        message):
    errors = []
    for source in same_data:
        assert main(["train", str(source), *TRAIN, *change, "--model",
                     str(tmp_path / "m.json")]) == 1
        err = capsys.readouterr().err
        assert message in err
        errors.append(err.replace(str(source), "DATA"))
    assert errors[0] == errors[1]
