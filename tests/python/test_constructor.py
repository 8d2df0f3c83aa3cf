"""__new__ of _UpliftRandomForestModel: how arguments bind and convert to its scalars."""
import sys

import pytest

from lib_support import PARAMS, VALID, Model, new_model


class Index:
    """An int stand-in through the index protocol only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    def __float__(self):
        return 2.5


class StrSub(str):
    pass


@pytest.mark.parametrize("split", range(10))
def test_any_mix_of_positional_and_keyword_arguments_binds(split):
    kwargs = dict(zip(PARAMS[split:], VALID[split:]))
    assert type(Model(*VALID[:split], **kwargs)) is Model


@pytest.mark.parametrize("name,value,message", [
    ("balance", 1, "argument 'balance': 'int' object cannot be converted to 'PyBool'"),
    ("regularization", 0,
     "argument 'regularization': 'int' object cannot be converted to 'PyBool'"),
    ("balance", None, "argument 'balance': 'NoneType' object cannot be converted to 'PyBool'"),
    ("eval_func", 3, "argument 'eval_func': 'int' object cannot be converted to 'PyString'"),
    ("eval_func", b"KL", "argument 'eval_func': 'bytes' object cannot be converted to 'PyString'"),
    ("eval_func", Index(1),
     "argument 'eval_func': 'Index' object cannot be converted to 'PyString'"),
    ("n_estimators", 1.0,
     "argument 'n_estimators': 'float' object cannot be interpreted as an integer"),
    ("max_depth", "3", "argument 'max_depth': 'str' object cannot be interpreted as an integer"),
    ("max_bins", None,
     "argument 'max_bins': 'NoneType' object cannot be interpreted as an integer"),
])
def test_conversion_type_errors_name_the_argument(name, value, message):
    with pytest.raises(TypeError) as err:
        new_model(**{name: value})
    assert type(err.value) is TypeError
    assert str(err.value) == message


def test_alpha_from_a_string_is_a_named_type_error():
    with pytest.raises(TypeError) as err:
        new_model(alpha="1")
    assert str(err.value).startswith("argument 'alpha': ")


def test_qualname_of_a_nested_class_is_used_in_messages():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as err:
        new_model(balance=Outer.Inner())
    assert str(err.value) == (
        "argument 'balance': 'test_qualname_of_a_nested_class_is_used_in_messages.<locals>."
        "Outer.Inner' object cannot be converted to 'PyBool'")


def test_unreadable_qualname_has_a_stand_in():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    with pytest.raises(TypeError) as err:
        new_model(balance=Odd())
    assert str(err.value) == ("argument 'balance': '<failed to extract type name>' object "
                              "cannot be converted to 'PyBool'")


@pytest.mark.parametrize("name,value", [
    ("max_depth", -1),
    ("max_features", 2**64),
    ("min_sample_leaf", -(2**70)),
    ("n_estimators", 2**31),
    ("n_estimators", -(2**31) - 1),
    ("n_estimators", 2**80),
    ("alpha", 10**400),
])
def test_overflow_passes_through_without_the_argument_name(name, value):
    with pytest.raises(OverflowError) as err:
        new_model(**{name: value})
    assert type(err.value) is OverflowError
    assert "argument" not in str(err.value)


def test_out_of_range_n_estimators_message():
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        new_model(n_estimators=2**31)


@pytest.mark.parametrize("changes", [
    {"n_estimators": -5},
    {"n_estimators": 2**31 - 1},
    {"n_estimators": -(2**31)},
    {"max_features": 2**64 - 1, "max_depth": 0, "min_sample_leaf": 0, "max_bins": 0},
    {"max_features": Index(3), "n_estimators": Index(-2)},
    {"n_estimators": True, "max_bins": False},
    {"eval_func": "ed"},
    {"eval_func": ""},
    {"eval_func": StrSub("CHI")},
    {"eval_func": "ü€𝄞"},
    {"alpha": 1},
    {"alpha": FloatLike()},
    {"alpha": Index(7)},
    {"alpha": float("nan")},
    {"balance": True, "regularization": True},
])
def test_accepted_values(changes):
    assert type(new_model(**changes)) is Model


def test_lone_surrogate_in_eval_func_is_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError):
        new_model(eval_func="\ud800")


def test_error_raised_by_index_passes_through_with_its_type():
    class Bad:
        def __index__(self):
            raise ValueError("nope")

    with pytest.raises(ValueError, match="^nope$"):
        new_model(max_bins=Bad())


def test_type_error_subclass_is_not_renamed():
    class MyTypeError(TypeError):
        pass

    class Bad:
        def __index__(self):
            raise MyTypeError("raw")

    with pytest.raises(MyTypeError) as err:
        new_model(max_bins=Bad())
    assert str(err.value) == "raw"


def test_renamed_type_error_keeps_the_original_cause():
    root = KeyError("root")

    class Bad:
        def __index__(self):
            raise TypeError("inner") from root

    with pytest.raises(TypeError) as err:
        new_model(max_bins=Bad())
    assert str(err.value) == "argument 'max_bins': inner"
    assert err.value.__cause__ is root


def test_first_failing_argument_in_parameter_order_is_reported():
    with pytest.raises(TypeError, match="^argument 'max_features': "):
        new_model(max_features="x", eval_func=1, balance=1)


def test_failed_constructions_release_their_arguments():
    eval_func = "".join(["K", "L"]) * 50
    alpha = 12345.678
    before = (sys.getrefcount(eval_func), sys.getrefcount(alpha))
    for _ in range(100):
        with pytest.raises(TypeError):
            new_model(eval_func=eval_func, alpha=alpha, balance=1)
        with pytest.raises(OverflowError):
            new_model(eval_func=eval_func, alpha=alpha, max_depth=-1)
    m = new_model(eval_func=eval_func, alpha=alpha)
    del m
    assert (sys.getrefcount(eval_func), sys.getrefcount(alpha)) == before


def test_constructor_writes_nothing(capsys):
    new_model()
    assert capsys.readouterr() == ("", "")
