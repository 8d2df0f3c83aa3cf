"""Constructs and drops many _UpliftRandomForestModel instances and prints the resident memory
at intervals: after warm-up the figures must stay flat (no per-instance leak).

    PYTHONPATH=build/<dir>/python python3 bench/instance_churn.py [count] [interval]
"""
import sys
import time

import quillmarsh


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    interval = int(sys.argv[2]) if len(sys.argv) > 2 else 20_000
    model = quillmarsh._UpliftRandomForestModel
    # A text longer than the small-string buffer, so every record makes a heap allocation.
    eval_func = "KL" + " " * 62
    start = time.perf_counter()
    readings = [(0, resident_kib())]
    print(f"{0:>9} instances  rss {readings[0][1]:>8} KiB")
    for i in range(1, count + 1):
        instance = model(100, 5, 10, 100, eval_func, 10, False, False, 0.0)
        del instance
        if i % interval == 0:
            readings.append((i, resident_kib()))
            print(f"{i:>9} instances  rss {readings[-1][1]:>8} KiB")
    seconds = time.perf_counter() - start
    after_warmup = [kib for n, kib in readings if n >= interval]
    print(f"{count} instances in {seconds:.2f} s ({seconds / count * 1e9:.0f} ns each); "
          f"rss growth after the first {interval}: {after_warmup[-1] - after_warmup[0]} KiB")


if __name__ == "__main__":
    main()
