"""Ctrl-C during DaskUpliftForest.fit: the delay from the interrupt to every worker's share
having stopped, and how long a small fit takes right after it, beside the same fit on idle
workers.

    PYTHONPATH=build/<dir>/python:python python3 bench/bench_dask_cancel.py
    PYTHONPATH=build/<dir>/python:python python3 bench/bench_dask_cancel.py --repeat 10

A LocalCluster of 2 worker processes (1 thread each) runs here; the client that fits runs in
a child process, with 2 shares (one per worker) of a forest far too big to finish. Once both
shares report that they grow, this process sends the child SIGINT, the signal of Ctrl-C, and
waits for both shares' "cancelled" events (logged on the workers after the engine's threads
have ended, topic "quillmarsh"). The delay is from the signal to the arrival here of the
last of them, so it includes the event's trip to the scheduler and this client; the target
is under 1 s. Times are wall seconds; on a shared machine they depend on what else runs.
"""

from __future__ import annotations

import argparse
import os
import queue
import signal
import statistics
import subprocess
import sys
import textwrap
import time
from typing import Any, Dict, List

FIT = """
    import sys
    import dask.dataframe as dd
    import distributed
    from quillmarsh_kit.dask import DaskUpliftForest
    from quillmarsh_kit.datasets import make_uplift_experiment

    def part(number):
        exp = make_uplift_experiment(int(sys.argv[2]), n_treatments=1, seed=number,
                                     as_frame=True)
        return exp.X.assign(treatment=exp.treatment, y=exp.y)

    client = distributed.Client(sys.argv[1])
    workers = sorted(client.scheduler_info()["workers"])
    parts = [client.scatter(part(n), workers=[workers[n % 2]]) for n in range(4)]
    frame = dd.from_delayed(parts, meta=part(0).iloc[:0])
    model = DaskUpliftForest(n_estimators=100_000, max_depth=8, min_samples_leaf=20,
                             control="control", random_state=int(sys.argv[3]))
    try:
        model.fit(frame, "treatment", "y")
    except KeyboardInterrupt:
        print("interrupted", flush=True)
"""


def _wait_for(events: "queue.Queue[Any]", state: str, key_part: str) -> List[float]:
    """Arrival times of the next two events of `state` for keys holding `key_part`."""
    times = []
    while len(times) < 2:
        arrived, msg = events.get(timeout=300)
        if msg["state"] == state and key_part in msg["key"]:
            times.append(arrived)
    return times


def _small_fit(frame: Any) -> float:
    from quillmarsh_kit.dask import DaskUpliftForest

    start = time.monotonic()
    DaskUpliftForest(n_estimators=8, max_depth=4, control="control").fit(frame, "treatment", "y")
    return time.monotonic() - start


def _interrupt_once(client: Any, events: "queue.Queue[Any]", rows: int, seed: int,
                    small: Any) -> Dict[str, float]:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(FIT), client.scheduler.address, str(rows),
         str(seed)], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        _wait_for(events, "growing", f"{seed:016x}")
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        stopped = _wait_for(events, "cancelled", f"{seed:016x}")
        next_fit = _small_fit(small)
        out, _ = child.communicate(timeout=120)
    finally:
        child.kill()
        child.wait()
    if out.strip() != "interrupted":
        raise RuntimeError(f"the child did not report the interrupt: {out!r}")
    return {"delay": max(stopped) - sent, "next_fit": next_fit}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--rows", type=int, default=50_000, help="rows per partition (4)")
    args = parser.parse_args()

    import distributed

    from quillmarsh_kit.datasets import make_uplift_experiment

    exp = make_uplift_experiment(20_000, n_treatments=1, seed=99, as_frame=True)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        import dask.dataframe as dd

        small = dd.from_pandas(exp.X.assign(treatment=exp.treatment, y=exp.y),
                               npartitions=2).persist()
        idle = [_small_fit(small) for _ in range(args.repeat)]
        events: "queue.Queue[Any]" = queue.Queue()
        client.subscribe_topic("quillmarsh", lambda e: events.put((time.monotonic(), e[1])))
        runs = [_interrupt_once(client, events, args.rows, 1000 + k, small)
                for k in range(args.repeat)]
    delays = [r["delay"] for r in runs]
    print(f"interrupt to every share stopped: median {statistics.median(delays):.3f} s, "
          f"max {max(delays):.3f} s over {len(runs)} interrupts ({4 * args.rows:,} rows, "
          "2 workers)")
    print(f"small fit (8 trees) right after the interrupt: median "
          f"{statistics.median(r['next_fit'] for r in runs):.2f} s; on idle workers: median "
          f"{statistics.median(idle):.2f} s")


if __name__ == "__main__":
    main()
