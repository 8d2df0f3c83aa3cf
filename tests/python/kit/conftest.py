"""Fixtures of the toolkit tests: the recording stand-in for the native class, the real native
class when it is built, and the location of the shared data sets."""

import pathlib

import pytest

import fake_native

REPO = pathlib.Path(__file__).resolve().parents[3]
DATA_DIR = REPO.parent / "shared" / "data"


@pytest.fixture(autouse=True)
def _quiet_matplotlib(monkeypatch):
    monkeypatch.setenv("MPLBACKEND", "Agg")


@pytest.fixture
def fake(monkeypatch):
    """Routes the kit's native calls to `fake_native.FakeForest`; yields that class."""
    from quillmarsh_kit import _native

    fake_native.FakeForest.instances = []
    fake_native.FakeForest.lose_trees = 0
    monkeypatch.setattr(_native, "native_class", lambda: fake_native.FakeForest)
    yield fake_native.FakeForest


@pytest.fixture
def native():
    """The real native class."""
    import quillmarsh

    return quillmarsh._UpliftRandomForestModel


@pytest.fixture
def hillstrom_path():
    path = DATA_DIR / "hillstrom.csv.gz"
    if not path.exists():
        pytest.skip(f"{path} is not available")
    return path
