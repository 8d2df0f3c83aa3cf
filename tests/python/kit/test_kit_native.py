"""The estimator on its engine: planted uplift, refitting, threads, persistence, interrupts."""

import pickle

import numpy as np
import pytest

from quillmarsh_kit import UpliftForest, metrics, uplift_target
from quillmarsh_kit.datasets import make_uplift_experiment

SMALL = dict(n_estimators=12, max_depth=4, min_samples_leaf=40, max_features=None, n_jobs=2)


@pytest.fixture(scope="module")
def experiment():
    exp = make_uplift_experiment(12_000, n_treatments=2, seed=11)
    return exp.split(0.7, seed=11)


@pytest.fixture
def fitted(experiment):
    train, _ = experiment
    model = UpliftForest(control="control", criterion="ED", **SMALL)
    return model.fit(train.X, train.treatment, train.y)


def test_planted_uplift_is_found_in_every_arm(fitted, experiment):
    _, test = experiment
    prediction = fitted.predict(test.X)
    assert prediction.shape == (test.n_rows, 2) and np.isfinite(prediction).all()
    scores = metrics.score_arms(test.y, prediction, test.treatment, fitted.treatments_, "control")
    assert all(score > 0.03 for score in scores.values()), scores
    # the prediction follows the true uplift of each arm
    for k in range(2):
        assert np.corrcoef(prediction[:, k], test.true_uplift[:, k])[0, 1] > 0.3


def test_importances_follow_the_feature_names(experiment):
    train, _ = experiment
    X = dict(train.X)
    X["const"] = np.ones(train.n_rows)  # one distinct value: no split can ever use it
    model = UpliftForest(control="control", **SMALL).fit(X, train.treatment, train.y)
    assert model.feature_names_ == list(X)
    importances = model.feature_importances_
    assert importances.shape == (len(X),) and importances.sum() == pytest.approx(1.0)
    assert importances[-1] == 0.0 and (importances[:-1] >= 0).all()
    splits = model.get_feature_importance("split")
    assert splits[-1] == 0.0 and splits.sum() > 0


@pytest.mark.parametrize("criterion", ["KL", "CHI"])
def test_a_control_rate_of_one_gives_finite_importances(criterion):
    # Every control row with a > 0 converts: the split on a reaches a node whose control rate
    # is exactly 1, where KL and CHI give an infinite gain.
    rng = np.random.default_rng(3)
    n = 4000
    X = {"a": rng.normal(size=n), "b": rng.normal(size=n), "c": rng.normal(size=n)}
    t = rng.integers(0, 2, n)
    rate = np.where(t == 1, 0.3, np.where(X["a"] > 0, 1.0, 0.2))
    y = (rng.uniform(size=n) < rate).astype(int)
    model = UpliftForest(criterion=criterion, **SMALL).fit(X, t, y)
    assert np.isposinf(model.get_feature_importance("gain")[0])
    with pytest.warns(RuntimeWarning, match="splits of infinite gain") as caught:
        importances = model.feature_importances_
    assert len(caught) == 1
    assert np.isfinite(importances).all() and importances.sum() == pytest.approx(1.0)
    assert importances[0] == max(importances) > 0


def test_a_second_fit_replaces_the_first(experiment):
    train, test = experiment
    model = UpliftForest(control="control", **SMALL)
    first = model.fit(train.X, train.treatment, train.y).predict(test.X)
    second = model.fit(train.X, train.treatment, train.y).predict(test.X)
    # appended trees would double every prediction of a model averaged over n_estimators
    ratio = np.abs(second).mean() / np.abs(first).mean()
    assert 0.7 < ratio < 1.4


def test_one_and_several_threads_predict_the_same(fitted, experiment, monkeypatch):
    from quillmarsh_kit import _native

    _, test = experiment
    one = fitted.set_params(n_jobs=1).predict(test.X)
    np.testing.assert_array_equal(fitted.set_params(n_jobs=2).predict(test.X), one)
    # numeric columns converted to float32 by blocks of 1,000 rows
    monkeypatch.setattr(_native, "PREDICT_BLOCK_BYTES", 4 * 6 * 1000)
    np.testing.assert_array_equal(fitted.set_params(n_jobs=2**31 - 1).predict(test.X), one)


def test_saved_loaded_and_unpickled_models_predict_identically(fitted, experiment, tmp_path):
    _, test = experiment
    expected = fitted.predict(test.X)
    fitted.save(tmp_path / "model.json")
    loaded = UpliftForest.load(tmp_path / "model.json")
    np.testing.assert_array_equal(loaded.predict(test.X), expected)
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(fitted)).predict(test.X), expected)
    assert loaded.treatments_ == fitted.treatments_


def test_training_output_stays_off_stdout(experiment, capsys):
    train, _ = experiment
    few = {**SMALL, "n_estimators": 3}
    UpliftForest(control="control", **few).fit(train.X, train.treatment, train.y)
    assert capsys.readouterr().out == ""
    UpliftForest(control="control", verbose=True, **few).fit(train.X, train.treatment, train.y)
    captured = capsys.readouterr()
    assert captured.out == "" and "3/3" in captured.err


CHILD = """
    import pickle
    from quillmarsh_kit import UpliftForest
    from quillmarsh_kit.datasets import make_uplift_experiment

    exp = make_uplift_experiment(50_000, seed=1)
    model = UpliftForest(n_estimators=3, max_depth=3, control="control", random_state=1)
    model.fit(exp.X, exp.treatment, exp.y)
    before = pickle.dumps(model)
    model.set_params(n_estimators=5000, max_depth=8, min_samples_leaf=50, n_jobs=2)
    print("ready", flush=True)
    try:
        model.fit(exp.X, exp.treatment, exp.y)
        print("finished")
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
        model.set_params(n_estimators=3, max_depth=3, min_samples_leaf=100, n_jobs=-1)
        print(pickle.dumps(model) == before)
"""


def test_ctrl_c_stops_a_fit_and_leaves_the_earlier_model():
    from lib_support import interrupt_child

    _, line, rest, err = interrupt_child(CHILD, delay=1.0)
    assert line == "KeyboardInterrupt", (line, rest, err)
    assert rest == "True\n", err


def test_frames_and_arrays_train_the_native_forest(experiment):
    pd = pytest.importorskip("pandas")
    train, test = experiment
    frame = pd.DataFrame(train.X)
    frame["region"] = frame["region"].astype("category")
    model = UpliftForest(control="control", **SMALL).fit(frame, train.treatment, train.y)
    assert model.predict(pd.DataFrame(test.X)).shape == (test.n_rows, 2)
    numeric = np.column_stack([train.X[f"x{j}"] for j in range(6)])
    model = UpliftForest(control="control", **SMALL).fit(numeric, train.treatment, train.y)
    assert model.predict(numeric[:5]).shape == (5, 2)


def test_cross_validate_on_the_native_forest(experiment):
    model_selection = pytest.importorskip("sklearn.model_selection")
    pd = pytest.importorskip("pandas")
    train, _ = experiment
    result = model_selection.cross_validate(
        UpliftForest(control="control", **{**SMALL, "n_estimators": 5}), pd.DataFrame(train.X),
        uplift_target(train.treatment, train.y), cv=2,
        scoring=metrics.make_uplift_scorer("qini"), error_score="raise")
    assert result["test_score"].shape == (2,) and np.isfinite(result["test_score"]).all()
