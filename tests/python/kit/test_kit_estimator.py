"""The estimator's protocol: parameters, seeds, refitting, progress, failures and persistence."""

import inspect
import io
import json
import pathlib
import pickle
import re
import warnings

import numpy as np
import pytest

from quillmarsh_kit import NativeError, NotFittedError, UpliftForest, _engine, uplift_target
from quillmarsh_kit._native import NativeForest
from quillmarsh_kit._params import PARAM_NAMES, PARAMS, TREE_OPTIONS_OFF
from quillmarsh_kit._progress import training_progress
from quillmarsh_kit.metrics import make_uplift_scorer

X = {"num": [0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8], "cat": list("abababab")}
T = ["c", "t", "c", "t", "c", "t", "u", "u"]
Y = [0, 1, 1, 1, 0, 0, 1, 0]


def test_params_round_trip_and_reach_the_engine():
    model = UpliftForest(n_estimators=7, max_features=1, max_depth=3, min_samples_leaf=2,
                         criterion="ed", max_bins=4, balance_arms=True, normalize_gain=True,
                         alpha=0.25, n_jobs=3, control="c", verbose=False, random_state=5)
    params = model.get_params()
    assert UpliftForest(**params).get_params() == params
    forest = model.fit(X, T, Y)._fitted.forest._forest
    assert (forest.n_trees, forest.max_features, forest.max_depth, forest.min_samples_leaf,
            forest.criterion, forest.max_bins, forest.balance, forest.regularization,
            forest.alpha) == (7, 1, 3, 2, "ED", 4, True, True, 0.25)
    assert model.set_params(max_depth=9) is model and model.max_depth == 9
    with pytest.raises(ValueError, match="invalid parameter 'depth'"):
        model.set_params(depth=3)


def test_the_constructor_and_the_guide_follow_the_parameter_declarations():
    declared = [(p.name, p.default) for p in PARAMS if p.name in PARAM_NAMES]
    init = list(inspect.signature(UpliftForest.__init__).parameters.values())[1:]
    assert [(q.name, q.default) for q in init] == declared  # scikit-learn reads this signature
    assert [q.kind for q in init[:2]] == [inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                         inspect.Parameter.KEYWORD_ONLY]
    values = {name: f"value of {name}" for name in PARAM_NAMES}
    assert UpliftForest(**values).get_params() == values
    guide = (pathlib.Path(__file__).parents[3] / "docs" / "toolkit.md").read_text()
    table = guide.split("| parameter | default | meaning |", 1)[1].split("\n\n", 1)[0]
    shown = [(name, default.strip()) for name, default in
             re.findall(r"^\| `(\w+)` \| ([^|]+) \|", table, re.M)]
    assert shown == [(n, f'`"{d}"`' if isinstance(d, str) else str(d)) for n, d in declared]


def test_sklearn_clone_keeps_parameters_and_drops_the_fit():
    base = pytest.importorskip("sklearn.base")
    model = UpliftForest(n_estimators=3, control="c", criterion="CHI", random_state=2)
    copy = base.clone(model.fit(X, T, Y))
    assert copy.get_params() == model.get_params()
    assert not hasattr(copy, "treatments_")
    with pytest.raises(NotFittedError, match="not fitted"):
        copy.predict(X)
    assert not model.__sklearn_tags__().non_deterministic
    assert UpliftForest().__sklearn_tags__().non_deterministic


@pytest.mark.parametrize("params,message", [
    ({"n_estimators": 0}, "n_estimators must be in"),
    ({"n_estimators": 2.5}, "n_estimators must be an integer"),
    ({"max_depth": 31}, "max_depth must be in"),
    ({"max_depth": -1}, "max_depth must be in"),
    ({"min_samples_leaf": -1}, "min_samples_leaf must be >= 0"),
    ({"max_bins": 1}, "max_bins must be >= 2"),
    ({"criterion": "gini"}, "criterion must be one of"),
    ({"balance_arms": 1}, "balance_arms must be True or False"),
    ({"alpha": float("nan")}, "alpha must be a finite number"),
    ({"max_features": 0}, "max_features must be >= 1"),
    ({"max_features": 1.5}, "must lie in"),
    ({"max_features": "half"}, "max_features must be"),
    ({"n_jobs": 0}, "n_jobs must not be 0"),
    ({"random_state": "seed"}, "random_state must be None, an int, or a numpy Generator"),
    ({"random_state": True}, "random_state must be None, an int, or a numpy Generator"),
    ({"max_samples": 0}, "max_samples must be >= 1"),
    ({"max_samples": 1.5}, r"a fractional max_samples must lie in \(0, 1\]"),
    ({"max_samples": "half"}, "max_samples must be None, an int or a float"),
    ({"max_samples": 9}, "max_samples is 9 but there are 8 rows; without bootstrap"),
    ({"bootstrap": 1}, "bootstrap must be True or False"),
    ({"honest": "yes"}, "honest must be True or False"),
    ({"honest": True, "honest_fraction": 1.0}, r"honest_fraction must lie in \(0, 1\)"),
    ({"min_samples_treatment": -1}, "min_samples_treatment must be >= 0"),
])
def test_bad_hyper_parameters_are_refused_at_fit(no_engine, params, message):
    model = UpliftForest(control="c", **params)  # construction stores without checking
    with pytest.raises(ValueError, match=message):
        model.fit(X, T, Y)


@pytest.mark.parametrize("max_features,expected", [
    (None, 2), (10, 2), (1, 1), (0.5, 1), ("sqrt", 1), ("log2", 1),
])
def test_max_features_is_resolved_against_the_feature_count(max_features, expected):
    model = UpliftForest(n_estimators=1, control="c", max_features=max_features).fit(X, T, Y)
    assert model._fitted.forest._forest.max_features == expected


@pytest.mark.parametrize("max_samples,bootstrap,sent", [
    (0.5, False, 4), (0.3, False, 2), (0.01, False, 1), (20, True, 20), (None, True, None),
])
def test_max_samples_reaches_the_engine_as_a_count_of_the_rows(monkeypatch, max_samples,
                                                               bootstrap, sent):
    from quillmarsh_kit import _native

    real, seen = _native.engine(), {}

    class Spy:
        def fit(self, *args, **kwargs):
            seen.update(kwargs)
            return real.fit(*args, **kwargs)

    monkeypatch.setattr(_native, "engine", Spy)
    UpliftForest(n_estimators=1, control="c", max_samples=max_samples,
                 bootstrap=bootstrap).fit(X, T, Y)
    assert seen["max_samples"] == sent and seen["bootstrap"] == bootstrap


# Training keeps at most n_estimators * max_features threads busy, prediction one per block
# of 256 rows.
@pytest.mark.parametrize("n_estimators,max_features,n_jobs,cpus,rows,fit_threads,predict_threads", [
    (3, 1, 2**31 - 1, 2, 8, 3, 1),
    (2, 2, 2**31 - 1, 2, 3 * 256, 4, 3),
    (3, 1, 2, 64, 3 * 256 + 1, 2, 2),
    (3, 1, -1, 64, 10 * 256, 3, 10),
    (3, 1, None, 2, 8, 2, 1),
    (3, 1, -2, 2, 8, 1, 1),
])
def test_threads_are_capped_at_what_the_engine_can_use(
        engine_calls, monkeypatch, n_estimators, max_features, n_jobs, cpus, rows, fit_threads,
        predict_threads):
    from quillmarsh_kit import _params

    monkeypatch.setattr(_params, "available_cpus", lambda: cpus)
    model = UpliftForest(n_estimators=n_estimators, max_features=max_features, n_jobs=n_jobs,
                         control="c").fit(X, T, Y)
    model.predict({"num": np.zeros(rows), "cat": ["a"] * rows})
    assert (engine_calls.fit_threads, engine_calls.predict_threads) == (
        [fit_threads], [predict_threads])


def _file_bytes(model, path):
    model.save(path)
    return path.read_bytes()


def test_a_seed_gives_the_same_file_for_every_n_jobs(tmp_path):
    def fitted(**params):
        model = UpliftForest(n_estimators=6, max_depth=3, min_samples_leaf=1, max_features=1,
                             control="c", **params)
        return _file_bytes(model.fit(X, T, Y), tmp_path / "m.json")

    same = {fitted(random_state=11, n_jobs=n, verbose=n == 8) for n in (1, 2, 8)}
    assert len(same) == 1
    assert fitted(random_state=12) not in same


@pytest.mark.parametrize("random_state,seed", [(0, 0), (2**64 - 1, 2**64 - 1), (-1, 2**64 - 1),
                                               (2**64 + 5, 5), (np.int8(-2), 2**64 - 2)])
def test_int_seeds_are_taken_modulo_2_to_the_64(random_state, seed):
    model = UpliftForest(n_estimators=1, control="c", random_state=random_state)
    assert model.fit(X, T, Y).seed_ == seed


@pytest.mark.parametrize("make", [np.random.default_rng, np.random.RandomState])
def test_a_generator_seed_is_reproducible_and_advances(tmp_path, make):
    def fitted(random_state):
        model = UpliftForest(n_estimators=6, max_depth=3, min_samples_leaf=1, max_features=1,
                             control="c", random_state=random_state)
        return model.fit(X, T, Y).seed_

    first, second = make(3), make(3)
    assert fitted(first) == fitted(second)
    assert fitted(first) != fitted(make(3))  # the first draw is used up


def test_without_a_seed_every_fit_draws_another():
    model = UpliftForest(n_estimators=1, control="c")
    seeds = {model.fit(X, T, Y).seed_ for _ in range(3)}
    assert len(seeds) == 3 and all(0 <= s < 2**64 for s in seeds)
    again = UpliftForest(n_estimators=1, control="c", random_state=model.seed_).fit(X, T, Y)
    assert again._fitted.forest.to_bytes(None) == model._fitted.forest.to_bytes(None)


def test_refit_replaces_the_forest_and_its_attributes():
    model = UpliftForest(n_estimators=2, control="c")
    model.fit(X, T, Y)
    first = model._fitted
    model.fit({"other": X["num"]}, T, Y)
    assert model._fitted is not first
    assert model.n_features_in_ == 1 and list(model.feature_names_in_) == ["other"]
    model.fit(np.ones((8, 3)), T, Y)  # an array fit forgets the names of the frame fit
    assert not hasattr(model, "feature_names_in_")
    assert model.feature_names_ == ["x0", "x1", "x2"] and model.feature_kinds_ == ["numeric"] * 3


def _snapshot(model):
    return {k: (v if not isinstance(v, np.ndarray) else v.tolist())
            for k, v in model.__dict__.items()}


@pytest.mark.parametrize("raised,expected", [
    (_engine.PanicException("boom"), NativeError),
    (KeyboardInterrupt(), KeyboardInterrupt),
    (SystemExit(3), SystemExit),
], ids=["panic", "interrupt", "exit"])
def test_a_failed_fit_leaves_the_estimator_as_it_was(monkeypatch, raised, expected):
    from quillmarsh_kit import _progress

    generator = np.random.default_rng(4)
    model = UpliftForest(n_estimators=30, control="c", verbose=True, random_state=generator)
    model.fit(X, T, Y)
    before, state = _snapshot(model), generator.bit_generator.state

    def fail(self, done):  # from the engine's progress callback, while trees grow
        raise raised

    monkeypatch.setattr(_progress._Reporter, "update", fail)
    with pytest.raises(expected) as err:
        model.fit({"other": X["num"]}, T, Y)
    if expected is NativeError:
        assert err.value.__cause__ is raised
        assert str(err.value) == "training failed inside the native module: boom"
    else:
        assert err.value is raised
    assert _snapshot(model) == before and generator.bit_generator.state == state
    monkeypatch.undo()
    assert model.predict(X).shape == (8, 2)  # the earlier forest is still in place


def test_quiet_training_prints_nothing(capsys):
    UpliftForest(n_estimators=5, control="c").fit(X, T, Y)
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err == ""


@pytest.mark.parametrize("total,reports,shown", [
    (20, range(1, 21), [2, 4, 6, 8, 10, 12, 14, 16, 18, 20]),
    (3, [1, 2, 3], [1, 2, 3]),
    (25, range(1, 26), [3, 5, 8, 10, 13, 15, 18, 20, 23, 25]),
    (20, [7, 7, 20], [7, 20]),  # several trees at once, and a repeated count
])
def test_plain_progress_prints_a_line_per_tenth(total, reports, shown):
    err = io.StringIO()
    with training_progress(total, 4, verbose=True, stream=err, use_tqdm=False) as progress:
        for done in reports:
            progress(done)
    lines = err.getvalue().splitlines()
    assert lines[0] == f"quillmarsh: training {total} trees on 4 threads"
    assert [int(line.split()[1].split("/")[0]) for line in lines[1:]] == shown
    assert lines[-1] == f"quillmarsh: {total}/{total} trees (100 %)"


def test_verbose_fit_drives_a_tqdm_bar(capsys):
    pytest.importorskip("tqdm")
    UpliftForest(n_estimators=4, control="c", verbose=True).fit(X, T, Y)
    captured = capsys.readouterr()
    assert captured.out == "" and "4/4" in captured.err


def test_verbose_fit_without_tqdm_prints_plain_lines(capsys, monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # makes `import tqdm.auto` fail
    UpliftForest(n_estimators=10, control="c", verbose=True, n_jobs=3).fit(X, T, Y)
    captured = capsys.readouterr()
    assert captured.out == ""
    lines = captured.err.splitlines()
    assert lines[0] == "quillmarsh: training 10 trees on 3 threads"
    assert lines[-1] == "quillmarsh: 10/10 trees (100 %)"


def test_engine_panics_in_prediction_become_native_errors(monkeypatch):
    model = UpliftForest(n_estimators=2, control="c").fit(X, T, Y)
    panic = _engine.PanicException

    def explode(self, table, threads, return_std=False):
        from quillmarsh_kit._native import native_call

        with native_call("prediction"):
            raise panic("not f64")

    monkeypatch.setattr(NativeForest, "predict", explode)
    with pytest.raises(NativeError, match="prediction failed inside the native module: not f64"):
        model.predict(X)


@pytest.mark.parametrize("control,labels", [
    ("c", T),
    (0, [0, 1, 0, 1, 0, 1, 2, 2]),
    ((0, "x"), [(0, "x"), (1, "y"), (0, "x"), (1, "y"), (0, "x"), (1, "y"), (2, "z"), (2, "z")]),
])
def test_save_and_load_restore_labels_names_and_predictions(tmp_path, control, labels):
    model = UpliftForest(n_estimators=2, control=control, max_depth=4, min_samples_leaf=0,
                         n_jobs=1, verbose=True).fit(X, labels, Y)
    path = tmp_path / "model.json"
    model.save(path)
    assert [p.name for p in tmp_path.iterdir()] == ["model.json"]  # one file
    loaded = UpliftForest.load(path)
    assert loaded.get_params() == {**model.get_params(), "n_jobs": -1, "verbose": False}
    assert loaded.treatments_ == model.treatments_ and loaded.seed_ == model.seed_
    assert list(loaded.feature_names_in_) == ["num", "cat"]
    assert loaded.feature_categories_ == [None, ["a", "b"]]
    np.testing.assert_array_equal(loaded.predict(X), model.predict(X))
    assert _file_bytes(loaded, tmp_path / "again.json") == path.read_bytes()


def test_one_file_loads_in_the_native_class_and_predicts_the_same(tmp_path):
    import quillmarsh

    model = UpliftForest(n_estimators=5, control="c", max_depth=3, min_samples_leaf=0,
                         random_state=3).fit(X, T, Y)
    model.save(tmp_path / "m.json")
    native = quillmarsh._UpliftRandomForestModel(1, 1, 1, 1, "KL", 2, False, False, 0.0)
    native.load(str(tmp_path / "m.json"))
    rows = [list(r) for r in zip(X["num"], X["cat"])]
    np.testing.assert_array_equal(np.asarray(native.predict(rows, 1)), model.predict(X))
    assert native.feature_cols() == ["num", "cat"]


def _legacy_pair(path):
    """A model file and metadata file as earlier versions of the kit wrote them: the native
    class's file, and the metadata beside it."""
    import quillmarsh

    native = quillmarsh._UpliftRandomForestModel(3, 2, 3, 0, "KL", 10, False, False, 0.9)
    rows = {"num": X["num"], "cat": X["cat"], "__treatment__": [0, 1, 0, 1, 0, 1, 2, 2],
            "__outcome__": Y}
    native.fit(rows, ["num", "cat"], "__treatment__", "__outcome__", 1)
    native.save(str(path))
    params = dict(n_estimators=3, max_features=10, max_depth=3, min_samples_leaf=0,
                  criterion="KL", max_bins=10, balance_arms=False, normalize_gain=False,
                  alpha=0.9, n_jobs=2, control="c", verbose=False)
    meta = {"format": "quillmarsh_kit.UpliftForest", "version": "0.1.0", "params": params,
            "feature_names": ["num", "cat"], "feature_kinds": ["numeric", "string"],
            "named": True, "target_cols": [], "treatments": ["t", "u"], "n_trees": 3}
    with open(str(path) + ".kit.json", "w") as out:
        json.dump(meta, out)
    expected = np.asarray(native.predict([list(r) for r in zip(X["num"], X["cat"])], 1))
    return meta, expected


def test_a_legacy_model_and_metadata_pair_still_loads_and_pickles(tmp_path, capsys):
    path = tmp_path / "old.json"
    meta, expected = _legacy_pair(path)
    capsys.readouterr()
    loaded = UpliftForest.load(path)
    assert loaded.treatments_ == ["t", "u"] and loaded.n_jobs == 2 and loaded.random_state is None
    assert not hasattr(loaded, "seed_") and loaded.feature_categories_ == [None, None]
    # metadata older than the tree options describes a forest grown without them
    assert {k: loaded.get_params()[k] for k in TREE_OPTIONS_OFF} == TREE_OPTIONS_OFF
    np.testing.assert_array_equal(loaded.predict(X), expected)
    # a pickle of an earlier version: the metadata beside the native file's bytes
    old_pickle = UpliftForest.__new__(UpliftForest)
    state = {k: v for k, v in UpliftForest(**meta["params"]).__dict__.items()
             if k != "random_state" and k not in TREE_OPTIONS_OFF}
    old_pickle.__setstate__({**state, "_meta": meta, "_model_bytes": path.read_bytes()})
    np.testing.assert_array_equal(old_pickle.predict(X), expected)
    assert {k: old_pickle.get_params()[k] for k in TREE_OPTIONS_OFF} == TREE_OPTIONS_OFF
    (tmp_path / "old.json.kit.json").unlink()
    with pytest.raises(ValueError, match=r"holds no quillmarsh_kit metadata, and .*kit\.json"):
        UpliftForest.load(path)


def test_pickle_round_trip_of_fitted_and_unfitted_models():
    model = UpliftForest(n_estimators=2, control="c", random_state=np.random.default_rng(1))
    copy = pickle.loads(pickle.dumps(model.fit(X, T, Y)))
    assert copy._fitted.forest is not model._fitted.forest
    np.testing.assert_array_equal(copy.predict(X), model.predict(X))
    assert copy.treatments_ == ["t", "u"] and copy.seed_ == model.seed_
    blank = pickle.loads(pickle.dumps(UpliftForest(max_depth=3)))
    assert blank.max_depth == 3 and not hasattr(blank, "treatments_")


def _through_file(model, folder):
    model.save(folder / "through.json")
    return UpliftForest.load(folder / "through.json")


@pytest.mark.parametrize("round_trip,keeps_current", [
    (_through_file, False), (lambda model, folder: pickle.loads(pickle.dumps(model)), True),
], ids=["save_load", "pickle"])
def test_parameters_set_after_fit_do_not_rewrite_the_fitted_model(tmp_path, round_trip,
                                                                 keeps_current):
    grown = dict(n_estimators=2, control="c", max_depth=3, min_samples_leaf=0, random_state=4)
    model = UpliftForest(**grown).fit(X, T, Y)
    model.set_params(control="t", max_depth=9, n_estimators=7, random_state=11, honest=False)
    copy = round_trip(model, tmp_path)
    assert copy.control_ == "c" and copy.treatments_ == ["t", "u"]
    expected = model.get_params() if keeps_current else UpliftForest(**grown).get_params()
    assert copy.get_params() == expected
    np.testing.assert_array_equal(copy.predict(X), model.predict(X))
    # whatever its current parameters, the copy's own file describes the grown forest
    assert _through_file(copy, tmp_path).get_params() == UpliftForest(**grown).get_params()


def test_unsaveable_labels_are_refused_with_their_type(tmp_path):
    labels = [frozenset([i % 3]) for i in range(8)]
    model = UpliftForest(n_estimators=1, control=frozenset([0])).fit(X, labels, Y)
    with pytest.raises(ValueError, match="of type frozenset cannot be saved"):
        model.save(tmp_path / "m.json")
    assert list(tmp_path.iterdir()) == []


INF = float("inf")


@pytest.mark.parametrize("gains,expected", [
    ([1.0, 3.0, 0.0], [0.25, 0.75, 0.0]),
    ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0]),  # no split at all
    ([INF, 3.0, 0.0], [1.0, 0.0, 0.0]),
    ([INF, 3.0, INF], [0.5, 0.0, 0.5]),
])
def test_infinite_gains_share_the_normalised_importance(monkeypatch, gains, expected):
    table = {"a": X["num"], "b": X["num"], "c": X["cat"]}
    model = UpliftForest(n_estimators=1, control="c").fit(table, T, Y)
    monkeypatch.setattr(NativeForest, "feature_importance", lambda self, kind: np.array(gains))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        by_property = model.feature_importances_
        by_method = model.get_feature_importance("gain", normalize=True)
    for values in (by_property, by_method):
        np.testing.assert_array_equal(values, expected)
    messages = [str(w.message) for w in caught]
    if INF in gains:
        assert len(messages) == 2 and all(w.category is RuntimeWarning for w in caught)
        assert ("splits of infinite gain, from a node whose control outcome rate is exactly 0 "
                "or 1 under KL/CHI") in messages[0]
        assert all(w.filename == __file__ for w in caught)  # points at the caller
    else:
        assert messages == []
    np.testing.assert_array_equal(model.get_feature_importance("gain"), gains)  # raw stays raw


def test_uplift_target_packs_treatment_and_outcome():
    direct = UpliftForest(n_estimators=2, control="c", random_state=1).fit(X, T, Y)
    packed = UpliftForest(n_estimators=2, control="c", random_state=1).fit(X, uplift_target(T, Y))
    assert packed._fitted.forest.to_bytes(None) == direct._fitted.forest.to_bytes(None)
    with pytest.raises(ValueError, match="two-column target"):
        packed.fit(X, T)


def test_cross_validate_with_a_qini_scorer():
    model_selection = pytest.importorskip("sklearn.model_selection")
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(0)
    n = 60
    features = pd.DataFrame({"num": rng.normal(size=n), "cat": rng.choice(["a", "b"], n)})
    labels = rng.choice(["c", "t"], n).tolist()
    outcome = rng.integers(0, 2, n).tolist()
    result = model_selection.cross_validate(
        UpliftForest(n_estimators=2, control="c"), features, uplift_target(labels, outcome),
        cv=3, scoring={"qini": make_uplift_scorer("qini"), "auuc": make_uplift_scorer("auuc")},
        error_score="raise")
    # 60 rows and min_samples_leaf 100: one leaf, every row tied, the random ranking's score
    np.testing.assert_allclose(result["test_qini"], 0.0, atol=1e-12)
    np.testing.assert_allclose(result["test_auuc"], 0.0, atol=1e-12)
