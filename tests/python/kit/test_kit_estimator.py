"""The estimator's protocol: parameters, refitting, progress, failures and persistence."""

import io
import pickle
import sys
import warnings

import numpy as np
import pytest

import fake_native
from quillmarsh_kit import NativeError, NotFittedError, UpliftForest, uplift_target
from quillmarsh_kit._native import is_panic
from quillmarsh_kit._progress import capture_training
from quillmarsh_kit.metrics import make_uplift_scorer

X = {"num": [0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8], "cat": list("abababab")}
T = ["c", "t", "c", "t", "c", "t", "u", "u"]
Y = [0, 1, 1, 1, 0, 0, 1, 0]


def test_params_round_trip_and_reach_the_native_constructor(fake):
    model = UpliftForest(n_estimators=7, max_features=1, max_depth=3, min_samples_leaf=2,
                         criterion="ed", max_bins=4, balance_arms=True, normalize_gain=True,
                         alpha=0.25, n_jobs=3, control="c", verbose=False)
    params = model.get_params()
    assert UpliftForest(**params).get_params() == params
    model.fit(X, T, Y)
    assert fake.instances[-1].settings == dict(
        n_estimators=7, max_features=1, max_depth=3, min_sample_leaf=2, eval_func="ED",
        max_bins=4, balance=True, regularization=True, alpha=0.25)
    assert model.set_params(max_depth=9) is model and model.max_depth == 9
    with pytest.raises(ValueError, match="invalid parameter 'depth'"):
        model.set_params(depth=3)


def test_sklearn_clone_keeps_parameters_and_drops_the_fit(fake):
    base = pytest.importorskip("sklearn.base")
    model = UpliftForest(n_estimators=3, control="c", criterion="CHI").fit(X, T, Y)
    copy = base.clone(model)
    assert copy.get_params() == model.get_params()
    assert not hasattr(copy, "treatments_")
    with pytest.raises(NotFittedError, match="not fitted"):
        copy.predict(X)


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
])
def test_bad_hyper_parameters_are_refused_at_fit(fake, params, message):
    model = UpliftForest(control="c", **params)  # construction stores without checking
    with pytest.raises(ValueError, match=message):
        model.fit(X, T, Y)
    assert fake.instances == []


@pytest.mark.parametrize("max_features,expected", [
    (None, 2), (10, 2), (1, 1), (0.5, 1), ("sqrt", 1), ("log2", 1),
])
def test_max_features_is_resolved_against_the_feature_count(fake, max_features, expected):
    UpliftForest(n_estimators=1, control="c", max_features=max_features).fit(X, T, Y)
    assert fake.instances[-1].settings["max_features"] == expected


# Training keeps at most n_estimators * max_features threads busy, prediction one per tree.
@pytest.mark.parametrize("n_estimators,max_features,n_jobs,cpus,fit_threads,predict_threads", [
    (3, 1, 2**31 - 1, 2, 3, 3),
    (2, 2, 2**31 - 1, 2, 4, 2),
    (3, 1, 2, 64, 2, 2),
    (3, 1, -1, 64, 3, 3),
    (3, 1, None, 2, 2, 2),
    (3, 1, -2, 2, 1, 1),
    (1, 1, 8, 64, 1, 1),
])
def test_threads_are_capped_at_what_the_native_call_can_use(
        fake, monkeypatch, n_estimators, max_features, n_jobs, cpus, fit_threads,
        predict_threads):
    from quillmarsh_kit import _params

    monkeypatch.setattr(_params, "available_cpus", lambda: cpus)
    model = UpliftForest(n_estimators=n_estimators, max_features=max_features, n_jobs=n_jobs,
                         control="c").fit(X, T, Y)
    model.predict(X)
    native = fake.instances[-1]
    assert (native.fit_args[-1], native.predict_threads) == (fit_threads, predict_threads)


def test_refit_uses_a_new_native_instance(fake):
    model = UpliftForest(n_estimators=2, control="c")
    model.fit(X, T, Y)
    first = fake.instances[-1]
    model.fit({"other": X["num"]}, T, Y)
    assert fake.instances[-1] is not first and len(fake.instances) == 2
    model.predict({"other": X["num"]})
    assert first.predicted_rows is None and fake.instances[-1].predicted_rows is not None
    assert model.n_features_in_ == 1 and list(model.feature_names_in_) == ["other"]
    model.fit(np.ones((8, 3)), T, Y)  # an array fit forgets the names of the frame fit
    assert not hasattr(model, "feature_names_in_")
    assert model.feature_names_ == ["x0", "x1", "x2"] and model.feature_kinds_ == ["numeric"] * 3


def test_quiet_training_prints_nothing(fake, capsys):
    UpliftForest(n_estimators=5, control="c").fit(X, T, Y)
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err == ""


@pytest.mark.parametrize("total,shown", [
    (20, [2, 4, 6, 8, 10, 12, 14, 16, 18, 20]),
    (3, [1, 2, 3]),
    (25, [3, 5, 8, 10, 13, 15, 18, 20, 23, 25]),
])
def test_plain_progress_prints_a_line_per_tenth(total, shown):
    err = io.StringIO()
    with capture_training(total, verbose=True, stream=err, use_tqdm=False) as progress:
        print("Start training with 4 threads...")
        for i in range(1, total + 1):
            print(f"Tree [{i}] is finished!")
    lines = err.getvalue().splitlines()
    assert lines[0] == f"quillmarsh: training {total} trees on 4 threads"
    assert [int(line.split()[1].split("/")[0]) for line in lines[1:]] == shown
    assert lines[-1] == f"quillmarsh: {total}/{total} trees (100 %)"
    assert progress.threads == 4 and progress.trees == list(range(1, total + 1))


def test_progress_capture_passes_other_output_through_and_restores_stdout(capsys):
    import sys

    before = sys.stdout
    with capture_training(2, verbose=False):
        print("Tree [1] is finished!")
        print("something else")
        sys.stdout.write("partial")
    assert sys.stdout is before
    assert capsys.readouterr().out == "something else\npartial\n"


def test_verbose_fit_drives_a_tqdm_bar(fake, capsys):
    pytest.importorskip("tqdm")
    UpliftForest(n_estimators=4, control="c", verbose=True).fit(X, T, Y)
    captured = capsys.readouterr()
    assert captured.out == ""
    assert "4/4" in captured.err


def test_verbose_fit_without_tqdm_prints_plain_lines(fake, capsys, monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # makes `import tqdm.auto` fail
    UpliftForest(n_estimators=10, control="c", verbose=True, n_jobs=3).fit(X, T, Y)
    captured = capsys.readouterr()
    assert captured.out == ""
    lines = captured.err.splitlines()
    assert lines[0] == "quillmarsh: training 10 trees on 3 threads"
    assert lines[1:] == [f"quillmarsh: {i}/10 trees ({10 * i} %)" for i in range(1, 11)]


def test_a_tree_lost_in_training_is_an_error_not_a_silent_success(fake):
    fake.lose_trees = 1
    model = UpliftForest(n_estimators=3, control="c")
    with pytest.raises(NativeError, match="only 2 of 3 trees"):
        model.fit(X, T, Y)
    assert not hasattr(model, "treatments_")


def test_native_panics_become_native_errors(fake):
    model = UpliftForest(n_estimators=2, control="c").fit(X, T, Y)

    def explode(rows, n_threads):
        raise fake_native.PanicException("not f64")

    fake.instances[-1].predict = explode
    with pytest.raises(NativeError,
                       match="prediction failed inside the native module: not f64") as err:
        model.predict(X)
    assert type(err.value.__cause__).__name__ == "PanicException"


# The native module reports a KeyboardInterrupt met while it printed progress as this panic.
_INTERRUPTED = ("called `Result::unwrap()` on an `Err` value: PyErr { type: <class "
                "'KeyboardInterrupt'>, value: KeyboardInterrupt(), traceback: None }")


@pytest.mark.parametrize("raised,expected", [
    (fake_native.PanicException(_INTERRUPTED), KeyboardInterrupt),
    (KeyboardInterrupt(), KeyboardInterrupt),
    (SystemExit(3), SystemExit),
    (fake_native.PanicException(_INTERRUPTED.replace("KeyboardInterrupt", "AttributeError")),
     NativeError),
], ids=["interrupt_in_a_panic", "interrupt", "exit", "other_error_in_a_panic"])
@pytest.mark.parametrize("call", ["fit", "predict"])
def test_interrupts_pass_through_as_themselves(fake, monkeypatch, raised, expected, call):
    model = UpliftForest(n_estimators=2, control="c").fit(X, T, Y)
    stdout = sys.stdout

    def interrupted(self, *args):
        raise raised

    monkeypatch.setattr(fake, call, interrupted)
    with pytest.raises(expected) as err:
        model.fit(X, T, Y) if call == "fit" else model.predict(X)
    assert type(err.value) is expected and sys.stdout is stdout
    if is_panic(raised):
        assert err.value.__cause__ is raised
    else:
        assert err.value is raised
    monkeypatch.undo()
    assert model.predict(X).shape == (8, 2)  # the earlier forest is still in place


@pytest.mark.parametrize("control,labels", [
    ("c", T),
    (0, [0, 1, 0, 1, 0, 1, 2, 2]),
    ((0, "x"), [(0, "x"), (1, "y"), (0, "x"), (1, "y"), (0, "x"), (1, "y"), (2, "z"), (2, "z")]),
])
def test_save_and_load_restore_labels_names_and_predictions(fake, tmp_path, control, labels):
    model = UpliftForest(n_estimators=2, control=control, max_depth=4).fit(X, labels, Y)
    path = tmp_path / "model.json"
    model.save(path)
    assert (tmp_path / "model.json.kit.json").exists()
    loaded = UpliftForest.load(path)
    assert loaded.get_params() == model.get_params()
    assert loaded.treatments_ == model.treatments_
    assert list(loaded.feature_names_in_) == ["num", "cat"]
    np.testing.assert_array_equal(loaded.predict(X), model.predict(X))


def test_load_without_the_sidecar_says_where_it_looked(fake, tmp_path):
    model = UpliftForest(n_estimators=1, control="c").fit(X, T, Y)
    model.save(tmp_path / "m.json")
    (tmp_path / "m.json.kit.json").unlink()
    with pytest.raises(FileNotFoundError, match=r"m\.json\.kit\.json not found"):
        UpliftForest.load(tmp_path / "m.json")


def test_pickle_round_trip_of_fitted_and_unfitted_models(fake):
    model = UpliftForest(n_estimators=2, control="c").fit(X, T, Y)
    copy = pickle.loads(pickle.dumps(model))
    assert len(fake.instances) == 2  # the copy loaded its own native instance
    np.testing.assert_array_equal(copy.predict(X), model.predict(X))
    assert copy.treatments_ == ["t", "u"]
    blank = pickle.loads(pickle.dumps(UpliftForest(max_depth=3)))
    assert blank.max_depth == 3 and not hasattr(blank, "treatments_")


def test_unsaveable_labels_are_refused_with_their_type(fake, tmp_path):
    labels = [frozenset([i % 3]) for i in range(8)]
    model = UpliftForest(n_estimators=1, control=frozenset([0])).fit(X, labels, Y)
    with pytest.raises(ValueError, match="of type frozenset cannot be saved"):
        model.save(tmp_path / "m.json")


INF = float("inf")


@pytest.mark.parametrize("gains,expected", [
    ([1.0, 3.0, 0.0], [0.25, 0.75, 0.0]),
    ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0]),  # no split at all
    ([INF, 3.0, 0.0], [1.0, 0.0, 0.0]),
    ([INF, 3.0, INF], [0.5, 0.0, 0.5]),
])
def test_infinite_gains_share_the_normalised_importance(fake, gains, expected):
    table = {"a": X["num"], "b": X["num"], "c": X["cat"]}
    model = UpliftForest(n_estimators=1, control="c").fit(table, T, Y)
    fake.instances[-1].get_feature_importance = lambda kind: list(gains)
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


def test_uplift_target_packs_treatment_and_outcome(fake):
    model = UpliftForest(n_estimators=1, control="c").fit(X, uplift_target(T, Y))
    data, _, treatment_col, outcome_col, _ = fake.instances[-1].fit_args
    assert data[outcome_col] == Y and data[treatment_col] == [0, 1, 0, 1, 0, 1, 2, 2]
    with pytest.raises(ValueError, match="two-column target"):
        model.fit(X, T)


def test_cross_validate_with_a_qini_scorer(fake):
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
    assert len(result["test_qini"]) == 3
    # the stand-in predicts a constant, so every row ties: exactly the random ranking's score
    np.testing.assert_allclose(result["test_qini"], 0.0, atol=1e-12)
    np.testing.assert_allclose(result["test_auuc"], 0.0, atol=1e-12)
    assert len(fake.instances) == 3
