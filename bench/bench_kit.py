"""How long quillmarsh_kit takes around its engine, and how much memory it adds: reading a CSV
file, and training on and predicting from a pandas frame against the engine alone.

    PYTHONPATH=build/<dir>/python:python python3 bench/bench_kit.py
    PYTHONPATH=build/<dir>/python:python python3 bench/bench_kit.py --parts csv
    PYTHONPATH=build/<dir>/python:python python3 bench/bench_kit.py --rows 10000000 --parts fit

The data is the toolkit's synthetic experiment as a pandas frame: 20 numeric (float64, 1 %
missing) and 2 string columns, two arms and a control group. The forest: 100 trees,
max_depth 8, max_features 10, min_samples_leaf 100, a fixed seed.

- csv: the experiment is written as a CSV file (the 22 features with numbers to 4 decimals, as
  data files usually hold them; the treatment label and the outcome), then `load_csv` reads it
  back the way the `quillmarsh` command does, plain and gzip-compressed. Target: 1,000,000
  rows in under 5 s. `--digits 17` writes every float in full, which more than doubles the
  file.
- fit: the engine's own training time on arrays converted beforehand, against
  `UpliftForest.fit` on the frame (conversion included), and the conversion alone. Targets:
  the kit within 10 % of the engine, the conversion at most 5 % of it, and the fit's peak
  resident memory above the frame's at most 2 x the engine's dataset (4 bytes per cell and
  8 per row).
- predict: `UpliftForest.predict` of every row of the frame, the fastest of three. Targets:
  at most 0.6 s, and the peak resident memory above the frame and the forest at most the
  result array plus 64 MiB.

Times are wall seconds, with the CPU seconds of every thread and the load average beside them:
on a shared machine the wall time depends on what else runs. Peak memory is read from
/proc/self/status after resetting the peak (/proc/self/clear_refs), so Linux only.
"""

from __future__ import annotations

import argparse
import ctypes
import functools
import gc
import os
import resource
import tempfile
import time
from typing import Any, Callable, Tuple

from peak_memory import reset_peak, status_kib

CSV_TARGET_SECONDS = 5.0
FIT_SLOWDOWN_TARGET = 1.10
CONVERSION_SHARE_TARGET = 0.05
FIT_MEMORY_FACTOR_TARGET = 2.0
PREDICT_TARGET_SECONDS = 0.6
PREDICT_EXTRA_MIB_TARGET = 64.0
MIB = 2**20


def _status_mib(field: str) -> float:
    return status_kib(field) / 1024


def _cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def _trim_heap() -> None:
    """Returns the C heap's free pages to the system, so that memory an earlier step freed
    does not hide what the next one needs (glibc only)."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def measured(call: Callable[[], Any]) -> Tuple[Any, float, float, float]:
    """call()'s result, its wall and CPU seconds, and the peak resident memory it added in
    MiB."""
    gc.collect()
    _trim_heap()
    before = _status_mib("VmRSS")
    reset_peak()
    cpu, start = _cpu_seconds(), time.perf_counter()
    result = call()
    seconds, cpu = time.perf_counter() - start, _cpu_seconds() - cpu
    return result, seconds, cpu, _status_mib("VmHWM") - before


def _verdict(met: bool, target: str) -> str:
    return f"[{'ok' if met else 'MISSED'}: {target}]"


def _load() -> str:
    return f"load {os.getloadavg()[0]:.1f}"


def _bench_csv(exp, digits: int) -> bool:
    import numpy as np
    import pyarrow as pa
    import pyarrow.csv as pacsv

    from quillmarsh_kit.datasets import load_csv

    columns = {name: exp.X[name].to_numpy() for name in exp.feature_names}
    for name, values in columns.items():
        if values.dtype.kind == "f" and digits < 17:
            columns[name] = np.round(values, digits)
    columns["treatment"], columns["outcome"] = exp.treatment.astype(str), exp.y
    table = pa.table(columns)
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("data.csv", "data.csv.gz"):
            path = os.path.join(tmp, name)
            with pa.output_stream(path, compression="detect") as out:
                pacsv.write_csv(table, out)
            size = os.path.getsize(path) / MIB
            data, seconds, cpu, _ = measured(
                lambda path=path: load_csv(path, treatment="treatment", outcome="outcome"))
            numeric = sum(data.X[n].dtype.kind == "f" for n in data.feature_names)
            met = seconds < CSV_TARGET_SECONDS
            ok = ok and met
            print(f"csv:     {name:<12} {size:7.1f} MiB read in {seconds:6.2f} s "
                  f"(cpu {cpu:5.2f} s, {_load()}; {numeric} numeric and "
                  f"{len(data.feature_names) - numeric} string features)  "
                  f"{_verdict(met, f'< {CSV_TARGET_SECONDS:g} s')}")
    return ok


def _bench_fit(frame, treatment, outcome, settings, threads: int, seed: int, engine_too: bool,
               repeat: int):
    from quillmarsh_kit import UpliftForest, _engine
    from quillmarsh_kit._tabular import training_data

    n_rows, n_cols = frame.shape
    dataset_mib = (4 * n_rows * n_cols + 8 * n_rows) / MIB
    ok = True
    # first the kit, so that its peak is measured on a heap no earlier fit has grown
    model = UpliftForest(**settings, n_jobs=threads, control="control", random_state=seed)
    _, seconds, cpu, mib = measured(lambda: model.fit(frame, treatment, outcome))
    met_memory = mib <= FIT_MEMORY_FACTOR_TARGET * dataset_mib
    print(f"fit:     {seconds:7.2f} s (cpu {cpu:6.2f} s, {_load()})  peak +{mib:7.1f} MiB "
          f"above the frame = {mib / dataset_mib:.2f} x the engine's dataset "
          f"({dataset_mib:.0f} MiB) {_verdict(met_memory, '<= 2 x')}; "
          f"process peak {_status_mib('VmHWM'):.0f} MiB")
    ok = ok and met_memory
    if not engine_too:
        return model, ok

    # the conversion alone, then the engine alone on what it gave, then the kit again: the
    # fastest of `repeat` rounds of each, as other work on the machine only ever slows them
    data, convert, convert_cpu, convert_mib = measured(
        lambda: training_data(frame, treatment, outcome, "control"))
    print(f"convert: {convert:7.2f} s (cpu {convert_cpu:6.2f} s)  peak +{convert_mib:7.1f} MiB")
    engine_fit = functools.partial(
        _engine.fit, [c.engine_column() for c in data.table.columns], data.table.names,
        data.groups, data.outcome, n_estimators=settings["n_estimators"],
        max_features=settings["max_features"], max_depth=settings["max_depth"],
        min_samples_leaf=settings["min_samples_leaf"], criterion="KL", max_bins=10,
        balance=False, regularization=False, alpha=0.9, n_threads=threads, seed=seed)
    del data  # the engine's arguments hold the arrays
    engine_seconds, kit_seconds = [], [seconds]
    for round_ in range(repeat):
        _, took, cpu, mib = measured(engine_fit)
        engine_seconds.append(took)
        print(f"engine:  {took:7.2f} s (cpu {cpu:6.2f} s, {_load()})  peak +{mib:7.1f} MiB "
              "above its arrays")
        if round_ + 1 < repeat:
            _, took, cpu, _ = measured(lambda: model.fit(frame, treatment, outcome))
            kit_seconds.append(took)
            print(f"fit:     {took:7.2f} s (cpu {cpu:6.2f} s, {_load()})")
    del engine_fit
    kit, engine = min(kit_seconds), min(engine_seconds)
    met_speed = kit <= FIT_SLOWDOWN_TARGET * engine
    met_share = convert <= CONVERSION_SHARE_TARGET * engine
    print(f"         fastest kit / fastest engine {kit / engine:.3f} "
          f"{_verdict(met_speed, '<= 1.10')}, conversion {100 * convert / engine:.1f} % of "
          f"the engine {_verdict(met_share, '<= 5 %')}")
    return model, ok and met_speed and met_share


def _bench_predict(model, frame, rounds: int = 3) -> bool:
    """The fastest of `rounds` predictions (other work on the machine only slows them), and
    the peak memory of the first."""
    runs = [measured(lambda: model.predict(frame))[1:] for _ in range(rounds)]
    seconds, cpu, _ = min(runs)
    mib = runs[0][2]
    result_mib = len(frame) * len(model.treatments_) * 8 / MIB
    met_time = seconds <= PREDICT_TARGET_SECONDS
    met_memory = mib <= result_mib + PREDICT_EXTRA_MIB_TARGET
    print(f"predict: {seconds:7.2f} s (cpu {cpu:6.2f} s, {_load()}; fastest of {rounds}) "
          f"{_verdict(met_time, f'<= {PREDICT_TARGET_SECONDS} s')}  peak +{mib:6.1f} MiB "
          f"above the frame: the result's {result_mib:.1f} MiB + {mib - result_mib:.1f} MiB "
          f"{_verdict(met_memory, '<= result + 64 MiB')}")
    return met_time and met_memory


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--max-depth", type=int, default=8)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--parts", default="csv,fit,predict", help="comma-separated")
    parser.add_argument("--digits", type=int, default=4, help="decimals of numbers in the CSV")
    parser.add_argument("--no-engine", action="store_true",
                        help="skip the engine's own fit (it holds a second copy of the data)")
    parser.add_argument("--repeat", type=int, default=1,
                        help="rounds of the engine's and the kit's fit, the fastest compared")
    args = parser.parse_args()
    parts = args.parts.split(",")

    from quillmarsh_kit.datasets import make_uplift_experiment

    exp = make_uplift_experiment(args.rows, n_numeric=20, missing=0.01, seed=args.seed,
                                 as_frame=True)
    frame, treatment, outcome = exp.X, exp.treatment, exp.y
    frame_mib = frame.memory_usage(deep=True).sum() / MIB
    print(f"{args.rows:,} rows x {frame.shape[1]} features ({frame_mib:.0f} MiB frame), "
          f"{args.trees} trees, depth {args.max_depth}, max_features 10, "
          f"min_samples_leaf 100, {args.threads} threads")
    ok = _bench_csv(exp, args.digits) if "csv" in parts else True
    if "fit" not in parts and "predict" not in parts:
        return 0 if ok else 1
    del exp  # the true uplift and the other arrays the frame does not need

    # the plain forest, the one the engine's own fit below grows: no honest trees
    settings = dict(n_estimators=args.trees, max_depth=args.max_depth, max_features=10,
                    min_samples_leaf=100, honest=False)
    model, fit_ok = _bench_fit(frame, treatment, outcome, settings, args.threads, args.seed,
                               engine_too="fit" in parts and not args.no_engine,
                               repeat=args.repeat)
    ok = ok and ("fit" not in parts or fit_ok)
    if "predict" in parts:
        model.set_params(n_jobs=args.threads)
        ok = _bench_predict(model, frame) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
