"""What prediction keeps between and within calls: the prediction-ready trees built once per
trained or loaded record, and each distinct text of a call converted once."""
import pytest

from lib_support import (
    UNDER_SANITIZER,
    new_model,
    quiet_fit,
    raises_panic,
    run_child,
    small_data,
    trained_model,
)


def test_predictions_follow_every_fit_and_load(tmp_path):
    # The prediction-ready trees are built once per record: a second fit (8 trees over
    # n_estimators 4) and a load must each replace them, on every path of prediction.
    rows = [[i / 10, c] for i in range(10) for c in ("red", "green", "blue")]
    model = trained_model()
    first = model.predict(rows, 1)
    model.save(str(tmp_path / "four.json"))
    quiet_fit(model, small_data())
    model.save(str(tmp_path / "eight.json"))
    reloaded = new_model(n_estimators=4)
    reloaded.load(str(tmp_path / "eight.json"))
    assert model.predict(rows, 1) == reloaded.predict(rows, 1) != first
    model.load(str(tmp_path / "four.json"))
    raises_panic(lambda: model.load(str(tmp_path / "missing.json")))
    assert model.predict(rows, 1) == first
    assert [model.predict_row(r) for r in rows] == first
    threaded = model.predict(rows, 2)
    flat = [v for r in first for v in r]
    assert [v for r in threaded for v in r] == pytest.approx(flat, abs=1e-12)


@pytest.mark.skipif(UNDER_SANITIZER, reason="resident memory of a sanitizer build says nothing")
def test_long_texts_repeated_over_many_rows_are_converted_once():
    # Two 1 MiB str objects over 4,000 rows: a copy per cell would take 4 GB.
    result = run_child("""
        import resource
        import quillmarsh
        model = quillmarsh._UpliftRandomForestModel(2, 1, 2, 1, "ED", 10, False, False, 0.0)
        texts = ["a" * 2**20, "b" * 2**20]
        rows = [[0.5, texts[i % 2]] for i in range(4000)]
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        assert model.predict(rows, 1) == [[]] * 4000
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(grown // 1024)
    """)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 100  # MiB
