"""`DaskUpliftForest(mode="exact")` on real `distributed.LocalCluster`s of 1, 2 and 3 worker
processes: the saved forest is byte for byte the one `UpliftForest` grows from the same rows in
partition order with the same seed, for a table of settings."""

import os
import pathlib
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

if "libasan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("no worker processes under the sanitizer preload", allow_module_level=True)

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import cloudpickle  # noqa: E402  (a dependency of distributed)

from quillmarsh_kit import UpliftForest  # noqa: E402
from quillmarsh_kit import dask as qdask  # noqa: E402
from quillmarsh_kit.datasets import make_uplift_experiment  # noqa: E402

pytestmark = pytest.mark.timeout(300)
cloudpickle.register_pickle_by_value(sys.modules[__name__])

# Partitions of unequal sizes, so that nodes' rows fall unevenly on the workers.
PART_ROWS = [900, 400, 1300, 700]

SETTINGS = [
    {},  # the defaults: honest trees, KL
    {"honest": False, "criterion": "ED", "max_depth": 5, "min_samples_leaf": 40},
    {"criterion": "CHI", "max_samples": 0.6, "min_samples_treatment": 15,
     "normalize_gain": True, "max_features": 3},
    {"bootstrap": True, "balance_arms": True, "max_bins": 4, "min_samples_leaf": 30},
    {"ci_group_size": 2, "max_samples": 0.4, "max_depth": 3},
]


def experiment_part(number, rows):
    exp = make_uplift_experiment(rows, n_treatments=2, effect=0.15, seed=40 + number,
                                 as_frame=True)
    frame = exp.X.copy()
    # texts of its own in every partition: each holds its own codes of "region"
    frame.loc[frame.index[:40], "region"] = f"only-in-{number}"
    frame.loc[frame.index[::7], "x1"] = np.nan  # missing values go right
    frame["x2"] = frame["x2"].round(1)  # ties among the sampled values
    frame["treatment"] = exp.treatment
    frame["y"] = exp.y
    return frame


PARTS = [experiment_part(k, rows) for k, rows in enumerate(PART_ROWS)]
ALL_ROWS = pd.concat(PARTS, ignore_index=True)


@pytest.fixture(scope="module")
def local_files(tmp_path_factory):
    """The one-process model file of every setting."""
    out = []
    for k, params in enumerate(SETTINGS):
        path = tmp_path_factory.mktemp("local") / f"{k}.json"
        UpliftForest(n_estimators=4, control="control", random_state=7, **params).fit(
            ALL_ROWS, "treatment", "y").save(path)
        out.append(path.read_bytes())
    return out


@pytest.mark.parametrize("workers", [1, 2, 3])
def test_exact_mode_saves_the_one_process_forest_byte_for_byte(workers, local_files, tmp_path):
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        names = sorted(client.scheduler_info()["workers"])
        futures = [client.scatter(part, workers=[names[k % workers]])
                   for k, part in enumerate(PARTS)]
        frame = dd.from_delayed(futures, meta=PARTS[0].iloc[:0])
        for k, params in enumerate(SETTINGS):
            model = qdask.DaskUpliftForest(n_estimators=4, control="control", random_state=7,
                                           **params).fit(frame, "treatment", "y")
            model.save(tmp_path / f"{k}.json")
            saved = (tmp_path / f"{k}.json").read_bytes()
            assert saved == local_files[k], f"setting {params} on {workers} workers"
            assert model.shares_ == []
        # the shards' state left every worker with its fit
        left = client.run(lambda: len(qdask._dask_exact._SHARDS))
        assert set(left.values()) == {0}


def test_an_unknown_mode_is_refused_before_anything_runs():
    frame = dd.from_pandas(ALL_ROWS.head(50), npartitions=2)
    with pytest.raises(ValueError, match="mode must be 'exact' or 'shares', got 'exactly'"):
        qdask.DaskUpliftForest(mode="exactly", client=object()).fit(frame, "treatment", "y")


def test_a_worker_lost_mid_fit_ends_it_with_a_clear_error_and_no_state_left(monkeypatch):
    """The worker holding partition 0 is killed as the fit's third round starts: the shards'
    routing went with it, so the fit stops, names the worker, and leaves the estimator as it
    was; the surviving worker drops the fit's state."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        frame = dd.from_pandas(ALL_ROWS, npartitions=4)
        model = qdask.DaskUpliftForest(n_estimators=4, control="control", random_state=7)
        grow_round = qdask._dask_exact.ExactGrowth._round
        killed = []

        def kill_on_third(self, rounds, requests):
            if self.rounds_run == 2 and not killed:
                victim = sorted(client.scheduler_info()["workers"])[0]
                killed.append(victim)
                pid = client.run(os.getpid, workers=[victim])[victim]
                os.kill(pid, signal.SIGKILL)
            return grow_round(self, rounds, requests)

        monkeypatch.setattr(qdask._dask_exact.ExactGrowth, "_round", kill_on_third)
        with pytest.raises(RuntimeError, match="left the cluster during the exact fit") as err:
            model.fit(frame, "treatment", "y")
        assert killed and killed[0] in str(err.value)
        assert getattr(model, "_fitted", None) is None
        client.wait_for_workers(2)
        assert set(client.run(lambda: len(qdask._dask_exact._SHARDS)).values()) == {0}


# A client in a process of its own, growing a forest far too big to finish in exact mode; it
# reports progress after every batch of trees and prints "interrupted" on KeyboardInterrupt.
INTERRUPTED_FIT = """
    import sys
    import dask.dataframe as dd
    import distributed
    from quillmarsh_kit.dask import DaskUpliftForest
    from quillmarsh_kit.datasets import make_uplift_experiment

    exp = make_uplift_experiment(8_000, n_treatments=1, seed=3, as_frame=True)
    client = distributed.Client(sys.argv[1])
    frame = dd.from_pandas(exp.X.assign(treatment=exp.treatment, y=exp.y), npartitions=4)
    model = DaskUpliftForest(n_estimators=20_000, control="control", random_state=5,
                             verbose=True)
    try:
        model.fit(frame, "treatment", "y")
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
"""


def test_ctrl_c_stops_an_exact_fit_and_its_state_leaves_every_worker():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        env = {**os.environ, "PYTHONPATH": str(pathlib.Path(qdask.__file__).parents[1])}
        child = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(INTERRUPTED_FIT), cluster.scheduler_address],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            for line in child.stderr:  # the first batch of trees is grown: the fit is running
                if "trees (exact" in line:
                    break
            held = client.run(lambda: len(qdask._dask_exact._SHARDS))
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=170)
        finally:
            child.kill()
            child.wait()
        assert sum(held.values()) == 4  # every partition was a shard while the fit ran
        assert out == "interrupted\n", err
        assert set(client.run(lambda: len(qdask._dask_exact._SHARDS)).values()) == {0}
