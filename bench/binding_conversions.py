"""Cost of the binding's conversions on large inputs.

fit with n_estimators = 0 does everything except growing trees: the column-map walk, the
element conversions of every column (20 numeric, 2 text by default) and the dataset build.
predict with an untrained model and one thread converts every row and returns one empty list
per row, so it measures row conversion and result building alone.

    PYTHONPATH=build/<dir>/python python3 bench/binding_conversions.py [rows]
"""
import contextlib
import gc
import io
import random
import sys
import time

import quillmarsh


def best_of(repeats, call):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times), times[0]


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rnd = random.Random(1)
    base = [rnd.random() for _ in range(rows + 20)]
    data = {f"f{i}": base[i:i + rows] for i in range(20)}
    categories = ["alpha", "beta", "gamma", "delta", "epsilon"]
    data["s0"] = [rnd.choice(categories) for _ in range(rows)]
    data["s1"] = [f"c{rnd.randrange(50)}" for _ in range(rows)]
    data["t"] = [rnd.randrange(3) for _ in range(rows)]
    data["y"] = [int(rnd.random() < 0.3) for _ in range(rows)]
    names = [f"f{i}" for i in range(20)] + ["s0", "s1"]
    model_type = quillmarsh._UpliftRandomForestModel

    def fit_without_trees():
        model = model_type(0, 5, 3, 100, "KL", 10, False, False, 0.0)
        with contextlib.redirect_stdout(io.StringIO()):
            model.fit(data, names, "t", "y", 1)

    best, first = best_of(3, fit_without_trees)
    cells = rows * (len(names) + 2)
    print(f"fit intake, {rows} rows x {len(names)} features: first {first:.3f} s, "
          f"best {best:.3f} s ({best / cells * 1e9:.1f} ns per cell)")

    prediction_rows = [[data[n][r] for n in names] for r in range(min(rows, 200_000))]
    untrained = model_type(1, 5, 3, 100, "KL", 10, False, False, 0.0)
    best, first = best_of(3, lambda: untrained.predict(prediction_rows, 1))
    cells = len(prediction_rows) * len(names)
    print(f"predict row conversion, {len(prediction_rows)} rows x {len(names)} cells: "
          f"first {first:.3f} s, best {best:.3f} s ({best / cells * 1e9:.1f} ns per cell)")
    # Building one result list per row triggers the interpreter's cyclic collector, which then
    # walks every live container (the input rows included); without it the conversion's own
    # cost shows.
    gc.disable()
    try:
        best, _ = best_of(3, lambda: untrained.predict(prediction_rows, 1))
    finally:
        gc.enable()
    print(f"  the same with the cyclic collector disabled: best {best:.3f} s "
          f"({best / cells * 1e9:.1f} ns per cell)")


if __name__ == "__main__":
    main()
