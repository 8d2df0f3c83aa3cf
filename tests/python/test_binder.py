"""The argument binder of every method of _UpliftRandomForestModel: one table of its messages
(too many or too few positional arguments, a value given twice, an unknown keyword)."""
import pytest

from lib_support import VALID, Model, new_model

NAME = "_UpliftRandomForestModel"
NEW, FIT = f"{NAME}.__new__()", f"{NAME}.fit()"
PREDICT, PREDICT_ROW = f"{NAME}.predict()", f"{NAME}.predict_row()"
IMPORTANCE = f"{NAME}.get_feature_importance()"
LOAD, SAVE = f"{NAME}.load()", f"{NAME}.save()"
FIT_ARGS = ({}, [], "t", "y", 1)


@pytest.mark.parametrize("call,message", [
    (lambda: Model(*VALID, 1), f"{NEW} takes 9 positional arguments but 10 were given"),
    (lambda: Model(*VALID, 1, 2), f"{NEW} takes 9 positional arguments but 11 were given"),
    (lambda: Model(*VALID[:8]), f"{NEW} missing 1 required positional argument: 'alpha'"),
    (lambda: Model(*VALID[:7]),
     f"{NEW} missing 2 required positional arguments: 'regularization' and 'alpha'"),
    (lambda: Model(*VALID[:6]), f"{NEW} missing 3 required positional arguments: "
                                "'balance', 'regularization', and 'alpha'"),
    (lambda: Model(), f"{NEW} missing 9 required positional arguments: 'n_estimators', "
                      "'max_features', 'max_depth', 'min_sample_leaf', 'eval_func', 'max_bins', "
                      "'balance', 'regularization', and 'alpha'"),
    (lambda: Model(*VALID, alpha=1.0), f"{NEW} got multiple values for argument 'alpha'"),
    (lambda: Model(*VALID[:1], n_estimators=1),
     f"{NEW} got multiple values for argument 'n_estimators'"),
    (lambda: Model(*VALID, seed=1), f"{NEW} got an unexpected keyword argument 'seed'"),
    # The unexpected keyword is reported before any missing parameter.
    (lambda: Model(Alpha=1), f"{NEW} got an unexpected keyword argument 'Alpha'"),
    # Keywords are checked in the order given.
    (lambda: Model(*VALID[:8], bogus=1, alpha=0.0),
     f"{NEW} got an unexpected keyword argument 'bogus'"),
    (lambda: Model(*VALID[:8], max_bins=1, bogus=1),
     f"{NEW} got multiple values for argument 'max_bins'"),
    (lambda: new_model().fit(1, 2, 3, 4, 5, 6),
     f"{FIT} takes 5 positional arguments but 6 were given"),
    (lambda: new_model().fit(), f"{FIT} missing 5 required positional arguments: 'data', "
                                "'x_names', 'treatment_col', 'outcome_col', and 'n_threads'"),
    (lambda: new_model().fit(*FIT_ARGS[:4]),
     f"{FIT} missing 1 required positional argument: 'n_threads'"),
    (lambda: new_model().fit(*FIT_ARGS, x_names=[]),
     f"{FIT} got multiple values for argument 'x_names'"),
    (lambda: new_model().fit(*FIT_ARGS, threads=1),
     f"{FIT} got an unexpected keyword argument 'threads'"),
    (lambda: new_model().predict([[1.0]]),
     f"{PREDICT} missing 1 required positional argument: 'n_threads'"),
    (lambda: new_model().predict(),
     f"{PREDICT} missing 2 required positional arguments: 'data' and 'n_threads'"),
    (lambda: new_model().predict([], 1, 2),
     f"{PREDICT} takes 2 positional arguments but 3 were given"),
    (lambda: new_model().predict([], 1, data=[]),
     f"{PREDICT} got multiple values for argument 'data'"),
    (lambda: new_model().predict_row(),
     f"{PREDICT_ROW} missing 1 required positional argument: 'x'"),
    (lambda: new_model().predict_row([1.0], [2.0]),
     f"{PREDICT_ROW} takes 1 positional arguments but 2 were given"),
    (lambda: new_model().predict_row(row=[1.0]),
     f"{PREDICT_ROW} got an unexpected keyword argument 'row'"),
    (lambda: new_model().get_feature_importance(),
     f"{IMPORTANCE} missing 1 required positional argument: 'importance_type'"),
    (lambda: new_model().feature_cols(1), f"{NAME}.feature_cols() takes no arguments (1 given)"),
    (lambda: new_model().load(), f"{LOAD} missing 1 required positional argument: 'path'"),
    (lambda: new_model().save(), f"{SAVE} missing 1 required positional argument: 'path'"),
    (lambda: new_model().save("a", "b"), f"{SAVE} takes 1 positional arguments but 2 were given"),
    (lambda: new_model().load("a", path="b"), f"{LOAD} got multiple values for argument 'path'"),
    (lambda: new_model().save(file="a"), f"{SAVE} got an unexpected keyword argument 'file'"),
])
def test_binder_messages(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert type(err.value) is TypeError
    assert str(err.value) == message
