"""Scoring with the exported ONNX graph in onnxruntime against `UpliftForest.predict`.

    PYTHONPATH=python python3 bench/bench_onnx.py
    PYTHONPATH=python python3 bench/bench_onnx.py --rows 1000000 --threads 2

The forest: 100 trees of depth 8 (min_samples_leaf 100, every feature searched, a fixed seed)
trained on 50,000 rows of the toolkit's synthetic experiment (6 numeric features with 1 %
missing, 2 string features, two arms). Both score the same `--rows` rows of a fresh draw of
the experiment on `--threads` threads, the fastest of `--repeat` runs; the numeric columns are
float32 and the string ones object arrays in both. Also printed: the largest difference
between the two outputs.
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np


def _best(repeat: int, run) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    import onnxruntime as ort

    from quillmarsh_kit import UpliftForest
    from quillmarsh_kit.datasets import make_uplift_experiment

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    train = make_uplift_experiment(50_000, missing=0.01, seed=99)
    model = UpliftForest(n_estimators=100, max_depth=8, min_samples_leaf=100, max_features=None,
                         control=train.control, random_state=1, n_jobs=args.threads)
    model.fit(train.X, train.treatment, train.y)
    score = make_uplift_experiment(args.rows, missing=0.01, seed=7)
    kinds = dict(zip(model.feature_names_, model.feature_kinds_))
    X = {n: np.asarray(score.X[n], dtype=object if kinds[n] == "string" else np.float32)
         for n in model.feature_names_}
    feeds = {n: v.reshape(-1, 1) for n, v in X.items()}

    start = time.perf_counter()
    proto = model.to_onnx()
    export = time.perf_counter() - start
    options = ort.SessionOptions()
    options.intra_op_num_threads = args.threads
    options.inter_op_num_threads = 1
    options.add_session_config_entry("session.intra_op.allow_spinning", "0")  # shared machines
    session = ort.InferenceSession(proto.SerializeToString(), options,
                                   providers=["CPUExecutionProvider"])

    expected = model.predict(X)
    got = session.run(["uplift"], feeds)[0]
    t_predict = _best(args.repeat, lambda: model.predict(X))
    t_onnx = _best(args.repeat, lambda: session.run(["uplift"], feeds))
    print(f"{args.rows:,} rows, 100 trees of depth 8, {args.threads} threads "
          f"(onnxruntime {ort.__version__}; export {export:.2f} s, "
          f"{len(proto.SerializeToString()) / 2**20:.1f} MiB)")
    print(f"  UpliftForest.predict : {t_predict:.3f} s ({args.rows / t_predict:,.0f} rows/s)")
    print(f"  onnxruntime          : {t_onnx:.3f} s ({args.rows / t_onnx:,.0f} rows/s)")
    print(f"  largest difference   : {np.nanmax(np.abs(got - expected)):.2e}; load average "
          f"{os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
