"""Model file speed: `save` and `load` of a large forest.

Builds the document of a forest of full trees (default 100 trees of max_depth 10, 2,047 node
slots each, half of them leaves with a 2-entry uplift vector) with random splits, loads it
into an instance, then times `save` and `load` of that instance and reports megabytes per
second and the size of the file. The document is generated here, not trained, so that the
figures measure only the file layer.

Target: save and load each under 1 second for 100 depth-10 trees (about 45 MB).

    PYTHONPATH=build/<dir>/python python3 bench/bench_model_file.py [--trees N] [--depth N]

Run on an otherwise idle machine; compare figures only from the same machine.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import tempfile
import time

import quillmarsh

TARGET_SECONDS = 1.0


def forest_document(trees: int, depth: int, seed: int = 1) -> str:
    rnd = random.Random(seed)
    features = [f"f{i}" for i in range(20)] + ["city", "plan"]

    def node(slot: int) -> dict:
        level = (slot + 1).bit_length() - 1
        if level == depth:
            return {"col_name": "", "col_idx": -1, "split_value": {"Numeric": 0.0},
                    "prob": [rnd.uniform(-0.2, 0.2), rnd.uniform(-0.2, 0.2)], "gain": 0.0}
        idx = rnd.randrange(len(features))
        value = ({"Str": rnd.choice(["red", "green", "blue"])} if idx >= 20
                 else {"Numeric": float(rnd.getrandbits(24)) / 2**20})
        return {"col_name": features[idx], "col_idx": idx, "split_value": value, "prob": [],
                "gain": rnd.random()}

    tree = lambda: {  # noqa: E731
        "nodes": [node(i) for i in range(2 ** (depth + 1) - 1)], "max_depth": depth,
        "min_sample_leaf": 100, "max_features": 5, "eval_func": "KL", "max_bins": 10,
        "treatment_col": "t", "outcome_col": "y", "feature_cols": features, "balance": False,
        "regularization": False, "alpha": 0.9}
    return json.dumps({
        "n_estimators": trees, "max_features": 5, "max_depth": depth, "min_sample_leaf": 100,
        "eval_func": "KL", "max_bins": 10, "treatment_col": "t", "outcome_col": "y",
        "balance": False, "regularization": False, "alpha": 0.9,
        "trees": [tree() for _ in range(trees)]})


def best_of(repeats: int, call) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--depth", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    model = quillmarsh._UpliftRandomForestModel(1, 1, 1, 1, "KL", 2, False, False, 0.0)
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, "source.json")
        with open(source, "w", encoding="utf-8") as f:
            f.write(forest_document(args.trees, args.depth))
        model.load(source)
        target = os.path.join(tmp, "model.json")
        save_s = best_of(args.repeats, lambda: model.save(target))
        size_mb = os.path.getsize(target) / 1e6
        load_s = best_of(args.repeats, lambda: model.load(target))

    print(f"{args.trees} trees of depth {args.depth}: file {size_mb:.1f} MB")
    for name, seconds in (("save", save_s), ("load", load_s)):
        verdict = "ok" if seconds < TARGET_SECONDS else "SLOWER THAN TARGET"
        print(f"{name}: {seconds:.3f} s, {size_mb / seconds:.0f} MB/s "
              f"(target < {TARGET_SECONDS:.1f} s: {verdict})")


if __name__ == "__main__":
    main()
