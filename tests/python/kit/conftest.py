"""Fixtures of the toolkit tests: a guard that fails a test reaching the engine, a recorder of
the engine's thread counts, and the Hillstrom data set (found as bench/data_location.py says)."""

import pytest

from data_location import data_file


@pytest.fixture(autouse=True)
def _quiet_matplotlib(monkeypatch):
    monkeypatch.setenv("MPLBACKEND", "Agg")


@pytest.fixture
def no_engine(monkeypatch):
    """Fails the test if the kit calls into its engine: for input the kit must refuse first."""
    from quillmarsh_kit import _native

    def refuse():
        raise AssertionError("the engine was called")

    monkeypatch.setattr(_native, "engine", refuse)


class _Recorder:
    """The engine module with the thread counts of its fit and predict calls recorded."""

    def __init__(self, engine):
        self._engine = engine
        self.fit_threads = []
        self.predict_threads = []

    def fit(self, *args, **kwargs):
        self.fit_threads.append(kwargs["n_threads"])
        return _RecordedForest(self._engine.fit(*args, **kwargs), self)


class _RecordedForest:
    def __init__(self, forest, recorder):
        self._forest, self._recorder = forest, recorder

    def __getattr__(self, name):
        return getattr(self._forest, name)

    def predict(self, columns, out, n_threads, std_out=None):
        self._recorder.predict_threads.append(n_threads)
        return self._forest.predict(columns, out, n_threads, std_out)


@pytest.fixture
def engine_calls(monkeypatch):
    """Records the thread counts the kit gives the engine; yields the record."""
    from quillmarsh_kit import _engine, _native

    recorder = _Recorder(_engine)
    monkeypatch.setattr(_native, "engine", lambda: recorder)
    yield recorder


@pytest.fixture
def hillstrom_path():
    path = data_file("hillstrom.csv.gz")
    if not path.exists():
        pytest.skip(f"{path} is not available")
    return path
