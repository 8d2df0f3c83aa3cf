"""`DaskUpliftForest` on a real `distributed.LocalCluster` of two worker processes: training
where the data lives, the merged forest, scoring, bad input and a worker killed mid-fit."""

import os
import pickle
import signal
import sys
import threading
import time

import numpy as np
import pytest

# Under the sanitizer preload the worker processes would inherit it, and distributed, once
# imported, leaves threads that the leak checker cannot stop at exit; the engine calls the
# workers make are tested in-process there.
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("no worker processes under the sanitizer preload", allow_module_level=True)

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import cloudpickle  # noqa: E402  (a dependency of distributed)

from quillmarsh_kit import UpliftForest, _engine  # noqa: E402
from quillmarsh_kit import dask as qdask  # noqa: E402
from quillmarsh_kit.datasets import make_uplift_experiment  # noqa: E402
from quillmarsh_kit.metrics import score_arms  # noqa: E402

# A hang fails the test instead of blocking the run.
pytestmark = pytest.mark.timeout(180)

# The workers unpickle this module's functions by value: they cannot import the test module.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

ROWS_PER_PART = 10_000


def experiment_part(number, rows=ROWS_PER_PART, base=0):
    """One partition of a planted-uplift experiment, made on the worker that runs it; every
    partition adds a text of its own to "region", so the workers see different categories."""
    exp = make_uplift_experiment(rows, n_treatments=2, effect=0.15, seed=base + number,
                                 as_frame=True)
    frame = exp.X.copy()
    frame.loc[frame.index[:5], "region"] = f"only-in-{number}"
    frame["treatment"] = exp.treatment
    frame["y"] = exp.y
    return frame


def _cluster_client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


client = pytest.fixture(scope="module")(_cluster_client)
# The tests that kill workers get a cluster of their own: how long the nannies take to bring
# their workers back is no concern of the tests that follow.
own_client = pytest.fixture(_cluster_client)


@pytest.fixture(scope="module")
def train(client):
    # persisted, as users often hold their frames: the fit must leave those partitions alone
    return dd.from_map(experiment_part, range(8)).persist()


@pytest.fixture(scope="module")
def fitted(train):
    return qdask.DaskUpliftForest(n_estimators=40, max_depth=5, min_samples_leaf=50,
                                  control="control", random_state=11).fit(train, "treatment", "y")


def test_fit_on_the_workers_matches_one_process_on_hold_out_qini(train, fitted):
    rows = train.compute()
    local = UpliftForest(n_estimators=40, max_depth=5, min_samples_leaf=50, control="control",
                         random_state=11).fit(rows, "treatment", "y")
    hold_out = pd.concat([experiment_part(n, base=1000) for n in range(6)], ignore_index=True)
    features = hold_out.drop(columns=["treatment", "y"])
    predictions = {"dask": fitted.predict(dd.from_pandas(features, npartitions=3)).compute(),
                   "local": local.predict(features)}
    qini = {name: score_arms(hold_out["y"], np.asarray(uplift), hold_out["treatment"],
                             fitted.treatments_, "control")
            for name, uplift in predictions.items()}
    for arm in fitted.treatments_:
        assert qini["local"][arm] > 0.1  # the planted uplift is found at all
        assert abs(qini["dask"][arm] - qini["local"][arm]) <= 0.02, qini
    assert fitted._fitted.forest.n_trees == 40 == sum(s.trees for s in fitted.shares_)
    assert sum(s.rows for s in fitted.shares_) == len(rows)
    # the categories of every partition, agreed before the trees grew
    assert {f"only-in-{n}" for n in range(8)} <= set(fitted.feature_categories_[
        fitted.feature_names_.index("region")])


def test_the_merged_forest_is_the_shares_forests_grown_on_their_rows(train, fitted):
    """Each share's trees are those of the engine on that worker's rows and seed, so the
    encodings agreed on the client mean the same on every worker."""
    forests = []
    for share in fitted.shares_:
        rows = pd.concat([experiment_part(p) for p in share.partitions])
        alone = UpliftForest(n_estimators=share.trees, max_depth=5, min_samples_leaf=50,
                             control="control", random_state=share.seed)
        forests.append(alone.fit(rows, "treatment", "y")._fitted.forest._forest)
    assert len(fitted.shares_) == 2  # both workers grew trees
    merged = _engine.merge(forests)
    assert merged.to_bytes() == fitted._fitted.forest._forest.to_bytes()


def test_predictions_are_lazy_per_arm_and_equal_the_local_model(client, train, fitted):
    features = train.drop(columns=["treatment", "y"])
    lazy = fitted.predict(features)
    assert list(lazy.columns) == fitted.treatments_ and lazy.npartitions == 8
    rows = features.compute()
    got = lazy.compute()
    np.testing.assert_array_equal(got.to_numpy(), fitted.to_local().predict(rows))
    pd.testing.assert_index_equal(got.index, rows.index)


def test_the_model_reaches_each_worker_once(client, train, fitted):
    def count_loads():
        from quillmarsh_kit import _persist

        original = _persist.from_pickle_state
        _persist.loads = 0

        def counted(*args):
            _persist.loads += 1
            return original(*args)

        _persist.from_pickle_state = counted

    client.run(count_loads)
    fitted.predict(train.repartition(npartitions=16).drop(columns=["treatment", "y"])).compute()
    def read_loads():
        from quillmarsh_kit import _persist

        return _persist.loads

    loads = client.run(read_loads)
    assert sorted(loads.values()) == [1, 1], loads


def test_dask_arrays_train_and_score_by_position(client):
    da = pytest.importorskip("dask.array")
    exp = make_uplift_experiment(8_000, n_treatments=1, seed=5)
    X = np.column_stack([exp.X[f"x{j}"] for j in range(6)])
    groups = (exp.treatment != exp.control).astype(np.int64)
    model = qdask.DaskUpliftForest(n_estimators=6, random_state=2).fit(
        da.from_array(X, chunks=(2_000, 3)), da.from_array(groups, chunks=2_000),
        da.from_array(exp.y, chunks=2_000))
    assert model.feature_names_ == [f"x{j}" for j in range(6)] and model.treatments_ == [1]
    got = model.predict(da.from_array(X, chunks=(2_000, 6))).compute().to_numpy()
    np.testing.assert_array_equal(got, model.to_local().predict(X))


def test_a_saved_dask_model_loads_in_the_kit_and_in_the_native_class(tmp_path, fitted):
    import quillmarsh

    path = tmp_path / "model.json"
    fitted.save(path)
    rows = experiment_part(0).drop(columns=["treatment", "y"])
    loaded = UpliftForest.load(path)
    assert type(loaded) is UpliftForest and loaded.seed_ == fitted.seed_
    assert loaded.control_ == fitted.control_ == "control" and loaded.max_depth == 5
    np.testing.assert_array_equal(loaded.predict(rows), fitted.to_local().predict(rows))
    copy = pickle.loads(pickle.dumps(fitted))
    assert type(copy) is qdask.DaskUpliftForest and copy.get_params() == fitted.get_params()
    np.testing.assert_array_equal(copy.to_local().predict(rows), loaded.predict(rows))
    native = quillmarsh._UpliftRandomForestModel(1, 1, 1, 1, "KL", 2, False, False, 0.0)
    native.load(str(path))
    cells = rows[native.feature_cols()].astype(object).to_numpy().tolist()
    np.testing.assert_array_equal(np.asarray(native.predict(cells, 1)), loaded.predict(rows))


def test_shuffle_spreads_ordered_partitions_so_every_worker_can_train(client):
    """Partition 0 holds the control group and partition 1 the treated rows; placed on
    different workers, no worker could train without the shuffle."""
    exp = make_uplift_experiment(4_000, n_treatments=1, seed=3, as_frame=True)
    frame = exp.X.assign(treatment=exp.treatment, y=exp.y).sort_values("treatment")
    halves = [frame.iloc[:len(frame) // 2], frame.iloc[len(frame) // 2:]]
    workers = sorted(client.scheduler_info()["workers"])
    futures = [client.scatter(h, workers=[w]) for h, w in zip(halves, workers)]
    ordered = dd.from_delayed(futures, meta=frame.iloc[:0])
    model = qdask.DaskUpliftForest(n_estimators=4, control="control", random_state=1)
    with pytest.raises(ValueError, match="hold no control rows .* pass shuffle=True"):
        model.fit(ordered, "treatment", "y")
    model.set_params(shuffle=True).fit(ordered, "treatment", "y")
    assert model._fitted.forest.n_trees == 4 and len(model.shares_) == 2


def _bad_part(case, number):
    frame = experiment_part(number, rows=500)
    if number == 1:
        if case == "kind":
            frame["x0"] = frame["x0"].map(lambda v: f"{v:.2f}").astype(object)
        elif case == "outcome":
            frame.loc[frame.index[3], "y"] = 2
        elif case == "missing label":
            frame["treatment"] = frame["treatment"].astype(object)
            frame.loc[frame.index[3], "treatment"] = None
    return frame


@pytest.mark.parametrize("case,control,message", [
    ("kind", "control", "column 'x0' holds numeric values in partition 0 and string values in "
                        "partition 1"),
    ("outcome", "control", r"the outcome must be binary \(0/1 or False/True\); found 2"),
    ("missing label", "control", "treatment has missing values"),
    ("none", "c", "the control label 'c' does not occur in treatment"),
])
def test_bad_input_is_refused_with_the_estimators_errors(client, case, control, message):
    frame = dd.from_map(_bad_part, [case] * 3, range(3))
    with pytest.raises(ValueError, match=message):
        qdask.DaskUpliftForest(n_estimators=4, control=control).fit(frame, "treatment", "y")


@pytest.mark.parametrize("in_memory,message", [
    (True, "X must be a Dask DataFrame or a 2-D Dask array"),
    (False, "y names column 'nope', which X does not have"),
])
def test_inputs_that_are_not_dask_frames_or_columns_are_refused(client, train, in_memory,
                                                                 message):
    X = np.zeros((4, 2)) if in_memory else train
    with pytest.raises((TypeError, ValueError), match=message):
        qdask.DaskUpliftForest().fit(X, "treatment", "nope")


def test_trees_in_groups_are_refused_before_any_share_grows(client, train):
    model = qdask.DaskUpliftForest(n_estimators=4, ci_group_size=2, control="control")
    with pytest.raises(ValueError, match="does not grow trees in groups yet"):
        model.fit(train, "treatment", "y")
    assert not hasattr(model, "treatments_")


@pytest.mark.parametrize("rows,trees,expected", [
    ([30_000, 10_000], 20, [15, 5]),
    ([1, 1, 1], 3, [1, 1, 1]),
    ([5, 1_000_000], 10, [1, 9]),  # every share grows at least one tree
    ([3, 3, 4], 100, [30, 30, 40]),
    ([1, 1, 98], 3, [1, 1, 1]),  # the minimum comes out of the big share
])
def test_trees_are_shared_in_proportion_to_rows(rows, trees, expected):
    assert qdask._tree_counts(rows, trees) == expected


def test_with_fewer_trees_than_workers_the_smallest_shares_join_others():
    shares = qdask._shares_of(["a", "b", "a", "c", "c"], [5, 1, 5, 3, 0], 2)
    assert shares == [("a", [0, 2]), ("c", [1, 3])]


def test_a_worker_killed_during_the_fit_gives_a_complete_forest_or_a_clear_error(own_client):
    client = own_client
    big = dd.from_map(experiment_part, range(8), rows=40_000)
    model = qdask.DaskUpliftForest(n_estimators=160, max_depth=8, min_samples_leaf=20,
                                   control="control", random_state=4)
    outcome = {}

    def run():
        try:
            outcome["model"] = model.fit(big, "treatment", "y")
        except Exception as err:  # noqa: BLE001 - reported below
            outcome["error"] = err

    fitting = threading.Thread(target=run)
    fitting.start()
    deadline = time.monotonic() + 60
    victim = None
    while victim is None and time.monotonic() < deadline and fitting.is_alive():
        for worker, keys in client.processing().items():
            if any(str(k).startswith("quillmarsh-grow") for k in keys):
                victim = worker
                break
        time.sleep(0.05)
    assert victim is not None, "no share started growing"
    pids = client.run(os.getpid, workers=[victim])
    os.kill(pids[victim], signal.SIGKILL)
    fitting.join(150)
    assert not fitting.is_alive(), "the fit hangs after losing a worker"
    if "error" in outcome:
        assert "worker" in str(outcome["error"])
    else:
        assert model._fitted.forest.n_trees == 160


class _DieWhileGrowing(distributed.WorkerPlugin):
    """Makes every worker, the ones the nanny starts again included, end its process as soon
    as it starts growing a share."""

    def setup(self, worker):
        from quillmarsh_kit import dask as kit_dask

        self.original = kit_dask._grow_share
        kit_dask._grow_share = lambda *args, **kwargs: os._exit(1)

    def teardown(self, worker):
        from quillmarsh_kit import dask as kit_dask

        kit_dask._grow_share = self.original


def test_a_share_whose_workers_keep_dying_fails_the_fit_clearly(own_client):
    own_client.register_plugin(_DieWhileGrowing(), name="die-while-growing")
    model = qdask.DaskUpliftForest(n_estimators=4, control="control")
    with pytest.raises(RuntimeError, match=r"share \d+ \(\d+ trees\) died repeatedly"):
        model.fit(dd.from_map(experiment_part, range(4), rows=1_000), "treatment", "y")
    assert not hasattr(model, "treatments_") and not hasattr(model, "shares_")
