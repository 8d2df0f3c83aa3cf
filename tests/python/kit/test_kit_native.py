"""The estimator on the real native forest: planted uplift, refitting, persistence, progress."""

import pickle
import sys

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
def fitted(native, experiment):
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


def test_importances_follow_the_feature_names(native, experiment):
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
def test_a_control_rate_of_one_gives_finite_importances(native, criterion):
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


def test_a_second_fit_replaces_the_first(native, experiment):
    train, test = experiment
    model = UpliftForest(control="control", **SMALL)
    first = model.fit(train.X, train.treatment, train.y).predict(test.X)
    second = model.fit(train.X, train.treatment, train.y).predict(test.X)
    # appended trees would double every prediction of a model averaged over n_estimators
    ratio = np.abs(second).mean() / np.abs(first).mean()
    assert 0.7 < ratio < 1.4


def test_one_and_several_threads_predict_the_same(fitted, experiment):
    _, test = experiment
    several = fitted.predict(test.X)
    as_many_as_asked = fitted.set_params(n_jobs=2**31 - 1).predict(test.X)  # one per tree
    one = fitted.set_params(n_jobs=1).predict(test.X)
    np.testing.assert_allclose(one, several, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(one, as_many_as_asked, rtol=1e-12, atol=1e-15)


def test_chunked_prediction_keeps_row_order(fitted, experiment, monkeypatch):
    from quillmarsh_kit import _native

    _, test = experiment
    fitted.set_params(n_jobs=1)
    whole = fitted.predict(test.X)
    monkeypatch.setattr(_native, "PREDICT_CHUNK_ROWS", 1000)
    np.testing.assert_array_equal(fitted.predict(test.X), whole)


def test_saved_loaded_and_unpickled_models_predict_identically(fitted, experiment, tmp_path):
    _, test = experiment
    # one thread sums the trees in stored order, so equal forests give equal bits
    fitted.set_params(n_jobs=1)
    expected = fitted.predict(test.X)
    fitted.save(tmp_path / "model.json")
    loaded = UpliftForest.load(tmp_path / "model.json")
    assert loaded.n_jobs == 1
    np.testing.assert_array_equal(loaded.predict(test.X), expected)
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(fitted)).predict(test.X), expected)
    assert loaded.treatments_ == fitted.treatments_


def test_training_output_stays_off_stdout(native, experiment, capsys):
    train, _ = experiment
    few = {**SMALL, "n_estimators": 3}
    UpliftForest(control="control", **few).fit(train.X, train.treatment, train.y)
    assert capsys.readouterr().out == ""
    UpliftForest(control="control", verbose=True, **few).fit(train.X, train.treatment, train.y)
    captured = capsys.readouterr()
    assert captured.out == "" and "3/3" in captured.err


def test_ctrl_c_during_training_is_a_keyboard_interrupt(native, experiment, monkeypatch):
    from quillmarsh_kit import _progress

    train, _ = experiment
    stdout = sys.stdout

    def interrupted(self, line):  # Ctrl-C lands in the first progress line the module prints
        raise KeyboardInterrupt

    monkeypatch.setattr(_progress.TrainingStream, "_line", interrupted)
    model = UpliftForest(control="control", **SMALL)
    with pytest.raises(KeyboardInterrupt) as err:
        model.fit(train.X, train.treatment, train.y)
    assert type(err.value.__cause__).__name__ == "PanicException"
    assert sys.stdout is stdout and not hasattr(model, "treatments_")


def test_frames_and_arrays_train_the_native_forest(native, experiment):
    pd = pytest.importorskip("pandas")
    train, test = experiment
    frame = pd.DataFrame(train.X)
    frame["region"] = frame["region"].astype("category")
    model = UpliftForest(control="control", **SMALL).fit(frame, train.treatment, train.y)
    assert model.predict(pd.DataFrame(test.X)).shape == (test.n_rows, 2)
    numeric = np.column_stack([train.X[f"x{j}"] for j in range(6)])
    model = UpliftForest(control="control", **SMALL).fit(numeric, train.treatment, train.y)
    assert model.predict(numeric[:5]).shape == (5, 2)


def test_cross_validate_on_the_native_forest(native, experiment):
    model_selection = pytest.importorskip("sklearn.model_selection")
    pd = pytest.importorskip("pandas")
    train, _ = experiment
    result = model_selection.cross_validate(
        UpliftForest(control="control", **{**SMALL, "n_estimators": 5}), pd.DataFrame(train.X),
        uplift_target(train.treatment, train.y), cv=2,
        scoring=metrics.make_uplift_scorer("qini"), error_score="raise")
    assert result["test_score"].shape == (2,) and np.isfinite(result["test_score"]).all()
