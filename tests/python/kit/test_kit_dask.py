"""`DaskUpliftForest` on a real `distributed.LocalCluster` of two worker processes: training
where the data lives, the merged forest, scoring, bad input and a worker killed mid-fit."""

import json
import math
import os
import pathlib
import pickle
import queue
import signal
import statistics
import subprocess
import sys
import textwrap
import threading

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
import dask  # noqa: E402

from quillmarsh_kit import UpliftForest, _engine  # noqa: E402
from quillmarsh_kit import dask as qdask  # noqa: E402
from quillmarsh_kit._native import NativeForest  # noqa: E402
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


def placed(client, parts):
    """A Dask frame of `parts` held on the workers in turn: where each partition lies is the
    test's choice, not the scheduler's."""
    workers = sorted(client.scheduler_info()["workers"])
    futures = [client.scatter(part, workers=[workers[k % len(workers)]])
               for k, part in enumerate(parts)]
    return dd.from_delayed(futures, meta=parts[0].iloc[:0])


@pytest.fixture(scope="module")
def train(client):
    # held on the workers, as users often hold their frames: the fit must leave them alone
    return placed(client, [experiment_part(n) for n in range(8)])


class ShareEvents:
    """The events the shares log on the workers, as they arrive at this client."""

    def __init__(self, client):
        self.client, self.arrived = client, queue.Queue()
        client.subscribe_topic(qdask.EVENT_TOPIC, lambda event: self.arrived.put(event[1]))

    def wait_for(self, state, count, key_part):
        """The next `count` events of `state` whose task key holds `key_part`; waits for them
        (a hang is ended by the test's timeout)."""
        found = []
        while len(found) < count:
            event = self.arrived.get(timeout=170)
            if event["state"] == state and key_part in event["key"]:
                found.append(event)
        return found

    def close(self):
        self.client.unsubscribe_topic(qdask.EVENT_TOPIC)


@pytest.fixture
def share_events(client):
    events = ShareEvents(client)
    yield events
    events.close()


@pytest.fixture(scope="module")
def fitted(train):
    return qdask.DaskUpliftForest(mode="shares", n_estimators=40, max_depth=5,
                                  min_samples_leaf=50, control="control",
                                  random_state=11).fit(train, "treatment", "y")


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


@pytest.mark.parametrize("return_std", [False, True])
def test_predictions_are_lazy_per_arm_and_equal_the_local_model(client, train, fitted,
                                                                 return_std):
    features = train.drop(columns=["treatment", "y"])
    lazy = fitted.predict(features, return_std=return_std)
    frames = lazy if return_std else (lazy,)
    assert len(frames) == 1 + return_std
    for frame in frames:
        assert list(frame.columns) == fitted.treatments_ and frame.npartitions == 8
    rows = features.compute()
    got = dask.compute(*frames)
    expected = fitted.to_local().predict(rows, return_std=return_std)
    for frame, values in zip(got, expected if return_std else (expected,)):
        np.testing.assert_array_equal(frame.to_numpy(), values)
        pd.testing.assert_index_equal(frame.index, rows.index)


def test_the_model_travels_as_one_key_not_once_per_partition(client, train, fitted):
    """Every partition's scoring task takes the model from one key, broadcast before the
    graph runs, and the graph itself holds no copy of it; the tasks leave the worker's copy
    as it arrived. (How often a worker fetches that key again is Dask's memory management:
    it may drop a replica and fetch it back.)"""
    lazy = fitted.predict(train.repartition(npartitions=16).drop(columns=["treatment", "y"]))
    graph = dict(lazy.__dask_graph__())
    scoring = [task for key, task in graph.items() if key[0].startswith("_predict_part")]
    shared = set.intersection(*(set(task.dependencies) for task in scoring))
    assert len(scoring) == 16 and len(shared) == 1 and not shared & set(graph)
    assert len(cloudpickle.dumps(graph)) < len(pickle.dumps(fitted.to_local()))
    lazy.compute()
    (key,) = shared
    held = client.run(lambda dask_worker: [dask_worker.data[key].get_params()]
                      if key in dask_worker.data else [])
    copies = [params for found in held.values() for params in found]
    assert copies and all(p == fitted.to_local().get_params() for p in copies)


def test_a_given_client_is_used_and_shared_by_clones_not_pickled(client):
    """With client=, fit and predict run on that client's cluster, not on the current
    client's; a clone shares it and a pickle leaves it out."""
    sklearn_base = pytest.importorskip("sklearn.base")
    rows = experiment_part(0, rows=4_000)
    with distributed.LocalCluster(n_workers=1, processes=False, dashboard_address=":0") as own, \
            distributed.Client(own, set_as_default=False) as other:
        model = qdask.DaskUpliftForest(mode="shares", n_estimators=4, max_depth=3,
                                       control="control", random_state=3, client=other)
        model.fit(dd.from_pandas(rows, npartitions=2), "treatment", "y")
        assert [s.worker for s in model.shares_] == list(other.scheduler_info()["workers"])
        features = dd.from_pandas(rows.drop(columns=["treatment", "y"]), npartitions=2)
        uplift, spread = other.gather(other.compute(list(model.predict(features, True))))
        local = model.to_local().predict(rows.drop(columns=["treatment", "y"]), True)
        np.testing.assert_array_equal(uplift.to_numpy(), local[0])
        np.testing.assert_array_equal(spread.to_numpy(), local[1])
        assert sklearn_base.clone(model).get_params() == model.get_params()
        copy = pickle.loads(pickle.dumps(model))
        assert copy.client is None and model.client is other
        assert copy.get_params() == {**model.get_params(), "client": None}


def test_dask_arrays_train_and_score_by_position(client):
    da = pytest.importorskip("dask.array")
    exp = make_uplift_experiment(8_000, n_treatments=1, seed=5)
    X = np.column_stack([exp.X[f"x{j}"] for j in range(6)])
    groups = (exp.treatment != exp.control).astype(np.int64)
    model = qdask.DaskUpliftForest(mode="shares", n_estimators=6, random_state=2).fit(
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
    model = qdask.DaskUpliftForest(mode="shares", n_estimators=4, control="control", random_state=1)
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
        qdask.DaskUpliftForest(mode="shares", n_estimators=4, control=control).fit(
            frame, "treatment", "y")


@pytest.mark.parametrize("in_memory,message", [
    (True, "X must be a Dask DataFrame or a 2-D Dask array"),
    (False, "y names column 'nope', which X does not have"),
])
def test_inputs_that_are_not_dask_frames_or_columns_are_refused(client, train, in_memory,
                                                                 message):
    X = np.zeros((4, 2)) if in_memory else train
    with pytest.raises((TypeError, ValueError), match=message):
        qdask.DaskUpliftForest(mode="shares").fit(X, "treatment", "nope")


def test_groups_that_do_not_divide_the_trees_are_refused_before_any_share_grows(client, train):
    model = qdask.DaskUpliftForest(mode="shares", n_estimators=5, ci_group_size=2,
                                   control="control")
    with pytest.raises(ValueError, match="multiple of ci_group_size"):
        model.fit(train, "treatment", "y")
    assert not hasattr(model, "treatments_")


def _tree_predictions(fitted, table):
    """Each tree's own uplift (trees, rows, arms), each from a model document holding it
    alone."""
    doc = json.loads(fitted.forest.to_bytes(None))
    return np.stack([NativeForest.from_bytes(json.dumps(
        dict(doc, trees=[tree], n_estimators=1)).encode())[0].predict(table, 1)
        for tree in doc["trees"]])


def _little_bags_variance(per_tree, size):
    """The little-bags variance of the mean of `per_tree` (trees, ...) grown in groups of
    `size`, with its positivity guard: v + s phi(v/s) / Phi(v/s)."""
    groups = per_tree.shape[0] // size
    grouped = per_tree.reshape(groups, size, *per_tree.shape[1:])
    means = grouped.mean(axis=1)
    between = ((means - means.mean(axis=0)) ** 2).mean(axis=0)
    within = ((grouped - means[:, None]) ** 2).sum(axis=(0, 1)) / (groups * size * (size - 1))
    raw, se = between - within, np.maximum(between, within) * math.sqrt(2.0 / groups)
    cdf = np.vectorize(lambda r: 0.5 * math.erfc(-r / math.sqrt(2.0)))(raw / se)
    return raw + se * np.exp(-0.5 * (raw / se) ** 2) / math.sqrt(2 * math.pi) / cdf


def test_shares_grown_in_groups_add_their_variances_lazily_and_after_loading(client, tmp_path):
    """Two workers holding 2:1 of the rows grow 16 and 8 trees in groups of 2; the interval's
    variance is sum_s w_s^2 V_s (w_s = 2/3 and 1/3), V_s each share's own little-bags variance
    computed here from the trees' predictions, not the groups pooled across shares."""
    frame = placed(client, [experiment_part(n, base=500) for n in range(3)])
    model = qdask.DaskUpliftForest(mode="shares", n_estimators=24, ci_group_size=2, max_depth=5,
                                   min_samples_leaf=50, control="control", random_state=5)
    model.fit(frame, "treatment", "y")
    trees = [s.trees for s in model.shares_]
    assert sorted(trees) == [8, 16]
    rows = pd.concat([experiment_part(n, rows=300, base=2000) for n in range(2)],
                     ignore_index=True).drop(columns=["treatment", "y"])
    lazy = model.predict(dd.from_pandas(rows, npartitions=2), return_interval=True, level=0.9)
    assert len(lazy) == 3 and all(isinstance(f, dd.DataFrame) for f in lazy)
    uplift, lower, upper = (f.to_numpy() for f in dask.compute(*lazy))

    local = model.to_local()
    per_tree = _tree_predictions(model._fitted, local._prediction_table(model._fitted, rows))
    variance = sum((len(part) / 24) ** 2 * _little_bags_variance(part, 2)
                   for part in np.split(per_tree, [trees[0]]))
    z = statistics.NormalDist().inv_cdf(0.95)
    np.testing.assert_allclose(uplift, per_tree.mean(axis=0), rtol=0, atol=1e-12)
    np.testing.assert_allclose((upper - lower) / 2, z * np.sqrt(variance), rtol=1e-9, atol=1e-15)
    assert np.isfinite(lower).all() and (upper > lower).all()
    pooled = _little_bags_variance(per_tree, 2)
    assert np.abs(pooled / variance - 1).max() > 0.05  # the two rules differ on these rows

    model.save(tmp_path / "m.json")  # the shares travel in the file
    loaded = UpliftForest.load(tmp_path / "m.json").predict(rows, return_interval=True,
                                                           level=0.9)
    np.testing.assert_array_equal(np.stack(loaded), np.stack([uplift, lower, upper]))
    lazy_rates, lazy_best = dask.compute(model.predict_rates(dd.from_pandas(rows, 2)),
                                         model.recommend(dd.from_pandas(rows, 2), costs={
                                             "treatment_1": 0.05}, cautious=True))
    np.testing.assert_array_equal(lazy_rates.to_numpy(), local.predict_rates(rows))
    assert list(lazy_rates.columns) == ["control", *model.treatments_]
    np.testing.assert_array_equal(lazy_best.to_numpy(),
                                  local.recommend(rows, costs={"treatment_1": 0.05},
                                                  cautious=True))


@pytest.mark.parametrize("rows,trees,expected", [
    ([30_000, 10_000], 20, [15, 5]),
    ([1, 1, 1], 3, [1, 1, 1]),
    ([5, 1_000_000], 10, [1, 9]),  # every share grows at least one tree
    ([3, 3, 4], 100, [30, 30, 40]),
    ([1, 1, 98], 3, [1, 1, 1]),  # the minimum comes out of the big share
])
def test_trees_are_shared_in_proportion_to_rows(rows, trees, expected):
    assert qdask._tree_counts(rows, trees) == expected


@pytest.mark.parametrize("rows,trees,size,expected", [
    ([30_000, 10_000], 20, 2, [16, 4]),  # whole groups in proportion, at least 2 each
    ([5, 1_000_000], 12, 3, [6, 6]),
    ([1, 1, 1], 8, 2, [4, 4]),  # 4 groups: at most 2 shares of 2 groups
    ([3, 1], 2, 2, [2]),  # one group: one share
])
def test_trees_in_groups_are_shared_in_whole_groups_of_at_least_two(rows, trees, size,
                                                                     expected):
    placed, counts = qdask._placed_groups([f"w{k}" for k in range(len(rows))], rows, trees,
                                          size)
    assert counts == expected and len(placed) == len(expected)


def test_with_fewer_trees_than_workers_the_smallest_shares_join_others():
    shares = qdask._shares_of(["a", "b", "a", "c", "c"], [5, 1, 5, 3, 0], 2)
    assert shares == [("a", [0, 2]), ("c", [1, 3])]


# A hang is ended by the timeout; on a busy machine the nanny's new worker and the share grown
# again take their time.
@pytest.mark.timeout(600)
def test_a_worker_killed_during_the_fit_gives_a_complete_forest_or_a_clear_error(own_client):
    """The worker is killed while its share grows (after the share's "growing" event)."""
    client = own_client
    big = dd.from_map(experiment_part, range(8), rows=20_000)
    model = qdask.DaskUpliftForest(mode="shares", n_estimators=80, max_depth=8, min_samples_leaf=20,
                                   control="control", random_state=4)
    outcome = {}

    def run():
        try:
            outcome["model"] = model.fit(big, "treatment", "y")
        except Exception as err:  # noqa: BLE001 - reported below
            outcome["error"] = err

    events = ShareEvents(client)
    fitting = threading.Thread(target=run)
    fitting.start()
    try:
        victim = events.wait_for("growing", 1, "quillmarsh-grow")[0]["worker"]
    finally:
        events.close()
    pids = client.run(os.getpid, workers=[victim])
    os.kill(pids[victim], signal.SIGKILL)
    fitting.join()
    if "error" in outcome:
        assert "worker" in str(outcome["error"])
    else:
        assert model._fitted.forest.n_trees == 80


# A client in a process of its own, growing a forest far too big to finish: two shares, one
# per worker, from partitions it places itself. It prints "interrupted" on KeyboardInterrupt.
ABANDONED_FIT = """
    import sys
    import dask.dataframe as dd
    import distributed
    from quillmarsh_kit.dask import DaskUpliftForest
    from quillmarsh_kit.datasets import make_uplift_experiment

    def part(number):
        exp = make_uplift_experiment(5_000, n_treatments=1, seed=number, as_frame=True)
        return exp.X.assign(treatment=exp.treatment, y=exp.y)

    client = distributed.Client(sys.argv[1])
    workers = sorted(client.scheduler_info()["workers"])
    parts = [client.scatter(part(n), workers=[workers[n % 2]]) for n in range(4)]
    frame = dd.from_delayed(parts, meta=part(0).iloc[:0])
    model = DaskUpliftForest(mode="shares", n_estimators=40_000, max_depth=6, control="control",
                             random_state=0xC0FFEE)
    try:
        model.fit(frame, "treatment", "y")
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
"""


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGKILL], ids=["ctrl-c", "client-gone"])
def test_an_abandoned_fit_stops_growing_on_every_worker(client, train, share_events, stop):
    """Ctrl-C on the client (or the client's death) cancels the shares, and each share's
    training on its worker ends because it was cancelled; the workers then take a new fit."""
    env = {**os.environ, "PYTHONPATH": str(pathlib.Path(qdask.__file__).parents[1])}
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(ABANDONED_FIT), client.scheduler.address],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        growing = share_events.wait_for("growing", 2, f"{0xC0FFEE:016x}")
        child.send_signal(stop)
        cancelled = share_events.wait_for("cancelled", 2, f"{0xC0FFEE:016x}")
        out, err = child.communicate(timeout=170)
    finally:
        child.kill()
        child.wait()
    assert {e["worker"] for e in growing} == set(client.scheduler_info()["workers"])
    assert {e["key"] for e in cancelled} == {e["key"] for e in growing}
    assert all(e["trees"] < 20_000 for e in cancelled)
    if stop == signal.SIGINT:
        assert out == "interrupted\n", err
    model = qdask.DaskUpliftForest(mode="shares", n_estimators=4, max_depth=3, control="control")
    assert model.fit(train, "treatment", "y")._fitted.forest.n_trees == 4


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


# Each death waits for the nanny to start a new worker process, four times over: on a busy
# machine that alone can take minutes, so only a hang is cut short.
@pytest.mark.timeout(600)
def test_a_share_whose_workers_keep_dying_fails_the_fit_clearly(own_client):
    own_client.register_plugin(_DieWhileGrowing(), name="die-while-growing")
    model = qdask.DaskUpliftForest(mode="shares", n_estimators=4, control="control")
    with pytest.raises(RuntimeError, match=r"share \d+ \(\d+ trees\) died repeatedly"):
        model.fit(dd.from_map(experiment_part, range(4), rows=1_000), "treatment", "y")
    assert not hasattr(model, "treatments_") and not hasattr(model, "shares_")
