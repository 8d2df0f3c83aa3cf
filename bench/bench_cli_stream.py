"""Scoring a large CSV file with the `quillmarsh predict` command: wall time, rows per second
and the peak resident memory of the command's process.

    PYTHONPATH=python python3 bench/bench_cli_stream.py --rows 10000000
    PYTHONPATH=python python3 bench/bench_cli_stream.py --rows 2000000 --output pred.parquet

The file is the toolkit's synthetic experiment (an id, 6 numeric features with numbers to 4
decimals and 1 % missing, 2 string features), written once to a temporary folder (or --keep-dir).
The model: 50 trees of depth 8 trained on 50,000 rows of the same experiment with a fixed seed.
The command runs in a child process with --keep id, `--repeat` times; its peak resident memory
is the child's ru_maxrss (os.wait4). Targets: under 1 GiB at 10,000,000 rows, and at least
80 % of the rows per second of reading the whole file at once.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

GIB = 2**30


def _write_csv(path: str, rows: int) -> None:
    import pyarrow as pa
    import pyarrow.csv as pacsv

    from quillmarsh_kit.datasets import make_uplift_experiment

    schema = pa.schema([("id", pa.int64())] + [(f"x{j}", pa.float64()) for j in range(6)]
                       + [("region", pa.string()), ("channel", pa.string())])
    with pacsv.CSVWriter(path, schema) as writer:
        chunk = 1_000_000
        for start in range(0, rows, chunk):
            n = min(chunk, rows - start)
            exp = make_uplift_experiment(n, missing=0.01, seed=start)
            columns = [pa.array(np.arange(start, start + n))]
            columns += [pa.array(np.round(exp.X[f"x{j}"], 4)) for j in range(6)]
            columns += [pa.array(exp.X["region"].tolist()), pa.array(exp.X["channel"].tolist())]
            writer.write_table(pa.Table.from_arrays(columns, schema=schema))


def _train(model: str) -> None:
    from quillmarsh_kit import UpliftForest
    from quillmarsh_kit.datasets import make_uplift_experiment

    exp = make_uplift_experiment(50_000, missing=0.01, seed=99)
    UpliftForest(n_estimators=50, max_depth=8, min_samples_leaf=100, max_features=None,
                 control=exp.control, random_state=1).fit(exp.X, exp.treatment, exp.y).save(model)


def _run(argv: list) -> tuple:
    start = time.perf_counter()
    child = subprocess.Popen([sys.executable, "-m", "quillmarsh_kit", *argv],
                             stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    if status != 0:
        raise SystemExit(f"quillmarsh {' '.join(argv)} failed with status {status}")
    return elapsed, usage.ru_maxrss * 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--output", default="pred.csv", help="name of the output (.csv/.parquet)")
    parser.add_argument("--keep-dir", help="folder to keep the data in between runs")
    args = parser.parse_args()
    folder = args.keep_dir or tempfile.mkdtemp(prefix="qm_stream_")
    data, model = os.path.join(folder, f"data_{args.rows}.csv"), os.path.join(folder, "m.json")
    if not os.path.exists(data):
        _write_csv(data, args.rows)
    if not os.path.exists(model):
        _train(model)
    out = os.path.join(folder, args.output)
    argv = ["predict", data, "--model", model, "--output", out, "--keep", "id"]
    best, peak = min(_run(argv) for _ in range(args.repeat))
    print(f"{args.rows:,} rows ({os.path.getsize(data) / 2**20:.0f} MiB of CSV) -> {args.output}: "
          f"{best:.2f} s, {args.rows / best:,.0f} rows/s, peak resident memory "
          f"{peak / 2**20:,.0f} MiB (target < {GIB / 2**20:,.0f} MiB); load average "
          f"{os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
