"""The toolkit's engine quillmarsh_kit._engine: numpy buffers in, the interpreter free while it
trains and predicts, Ctrl-C and progress between waits, seeds, and no thread outliving a call."""
import errno
import json
import os
import sys
import threading
import time

import pytest

np = pytest.importorskip("numpy")
from lib_support import UNDER_SANITIZER, interrupt_child, leaf_of, run_child  # noqa: E402
from quillmarsh_kit import _engine as engine  # noqa: E402

SETTINGS = dict(n_estimators=4, max_features=3, max_depth=4, min_samples_leaf=20, criterion="KL",
                max_bins=10, balance=False, regularization=False, alpha=0.9, n_threads=2, seed=7)


def experiment(n=3000, seed=0):
    """Three numeric features (one with missing values), one string feature, control and two
    arms; arm 1 lifts the outcome where x0 > 0.5."""
    rng = np.random.default_rng(seed)
    x = [rng.random(n, dtype=np.float32) for _ in range(3)]
    x[2][rng.random(n) < 0.1] = np.nan
    codes = rng.integers(0, 3, n).astype(np.uint32)
    treatment = rng.integers(0, 3, n).astype(np.int32)
    outcome = (rng.random(n) < 0.2 + 0.4 * ((treatment == 1) & (x[0] > 0.5))).astype(np.uint8)
    columns = x + [(codes, ["red", "green", "blue"])]
    return columns, ["x0", "x1", "x2", "colour"], treatment, outcome


def threads():
    return len(os.listdir("/proc/self/task"))


def settled_threads(baseline):
    """The thread count once back at `baseline`, or after 30 s: a thread that has left its
    group still needs a moment to exit, longer on a busy machine. Never sleeps."""
    start = time.monotonic()
    while threads() > baseline and time.monotonic() - start < 30.0:
        os.sched_yield()
    return threads()


@pytest.fixture(scope="module")
def data():
    return experiment()


def fit(data, **changes):
    columns, names, treatment, outcome = data
    return engine.fit(columns, names, treatment, outcome, **{**SETTINGS, **changes})


def bad(change):
    """The experiment with one argument changed by change(args), args a dict of fit's arguments."""
    def build():
        columns, names, treatment, outcome = experiment(n=100)
        args = dict(columns=list(columns), names=list(names), treatment=treatment,
                    outcome=outcome, **SETTINGS)
        change(args)
        return args
    return build


def set_column(i, value):
    return lambda a: a["columns"].__setitem__(i, value(a["columns"][i]))


# Every case fails on the calling thread, before the dataset is built or a thread starts.
@pytest.mark.parametrize("build,error,message", [
    (bad(set_column(0, lambda c: c.astype(np.float64))), TypeError,
     "columns[0] ('x0') must be a 1-D float32 array, not an array of dtype '<f8'"),
    (bad(set_column(0, lambda c: c.tolist())), TypeError,
     "columns[0] ('x0') must be a 1-D float32 array, not 'list'"),
    (bad(set_column(1, lambda c: np.repeat(c, 2)[::2])), ValueError,
     "columns[1] ('x1') must be C-contiguous"),
    (bad(set_column(1, lambda c: c.reshape(10, 10))), ValueError,
     "columns[1] ('x1') must be a 1-D float32 array, not an array of 2 dimensions"),
    (bad(set_column(2, lambda c: c[:99])), ValueError,
     "columns[2] ('x2') has 99 values but treatment has 100"),
    (bad(set_column(3, lambda c: (c[0].astype(np.int64), c[1]))), TypeError,
     "columns[3] ('colour') codes must be a 1-D uint32 array, not an array of dtype '<i8'"),
    (bad(set_column(3, lambda c: (c[0], ["red", "green"]))), ValueError,
     "string column 'colour' holds code 2 in row"),
    (bad(set_column(3, lambda c: (c[0], ["red", "green", "red"]))), ValueError,
     "columns[3] ('colour') lists the category 'red' twice"),
    (bad(set_column(3, lambda c: (c[0], ["red", "green", 3]))), TypeError,
     "columns[3] ('colour') categories: 'int' object cannot be converted to 'PyString'"),
    (bad(set_column(3, lambda c: (c[0],))), TypeError,
     "columns[3] ('colour') must be a float32 array or a (codes, categories) pair"),
    (bad(lambda a: a["columns"].pop()), ValueError, "columns has 3 entries for 4 features"),
    (bad(lambda a: a["names"].__setitem__(1, "x0")), ValueError, "names lists 'x0' twice"),
    (bad(lambda a: a.update(treatment=a["treatment"].astype(np.int64))), TypeError,
     "treatment must be a 1-D int32 array, not an array of dtype '<i8'"),
    (bad(lambda a: a["treatment"].__setitem__(5, -1)), ValueError,
     "treatment column 'treatment' holds -1 in row 5"),
    (bad(lambda a: a.update(treatment=np.zeros(100, np.int32))), ValueError,
     "treatment holds only the control group 0"),
    (bad(lambda a: a.update(treatment=np.zeros(0, np.int32))), ValueError,
     "treatment is empty"),
    (bad(lambda a: a.update(outcome=a["outcome"].astype(bool))), TypeError,
     "outcome must be a 1-D uint8 array, not an array of dtype '|b1'"),
    (bad(lambda a: a["outcome"].__setitem__(7, 2)), ValueError,
     "outcome holds 2 in row 7; outcomes must be 0 or 1"),
    (bad(lambda a: a.update(outcome=a["outcome"][:50])), ValueError,
     "outcome has 50 values but treatment has 100"),
    (bad(lambda a: a.update(criterion="ed")), ValueError,
     "argument 'criterion': must be 'ED', 'KL' or 'CHI', not 'ed'"),
    (bad(lambda a: a.update(max_samples=0)), ValueError,
     "argument 'max_samples': must be None or at least 1, not 0"),
    (bad(lambda a: a.update(max_samples=101)), ValueError,
     "max_samples is 101 but there are 100 rows; without bootstrap no more rows can be drawn"),
    (bad(lambda a: a.update(bootstrap=1)), TypeError, "argument 'bootstrap': "),
    (bad(lambda a: a.update(honest_fraction=1.0)), ValueError,
     "argument 'honest_fraction': must be None or lie in (0, 1), not 1.0"),
    (bad(lambda a: a.update(min_samples_treatment=-1)), OverflowError,
     "argument 'min_samples_treatment': "),
    (bad(lambda a: a.update(n_threads=0)), ValueError,
     "argument 'n_threads': must be at least 1, not 0"),
    (bad(lambda a: a.update(seed=-1)), OverflowError, "argument 'seed': "),
    (bad(lambda a: a.update(balance=1)), TypeError,
     "argument 'balance': 'int' object cannot be converted to 'PyBool'"),
    (bad(lambda a: a.update(progress=3)), TypeError,
     "argument 'progress': must be callable or None, not 'int'"),
    (bad(lambda a: a.update(max_depth=70)), ValueError, "max_depth 70 is too deep"),
    (bad(lambda a: a.pop("seed")), TypeError,
     "fit() missing 1 required keyword-only argument: 'seed'"),
])
def test_bad_input_is_refused_with_a_clear_error(build, error, message):
    args = build()
    calls = []
    args["progress"] = args.get("progress", calls.append)
    before = threads()
    with pytest.raises(error) as raised:
        engine.fit(**args)
    assert message in str(raised.value)
    assert calls == [] and settled_threads(before) <= before


def test_arrays_are_held_for_the_call_and_released_after_it(data):
    columns, names, treatment, outcome = data
    arrays = [columns[0], columns[3][0], treatment, outcome]
    before = [sys.getrefcount(a) for a in arrays]
    seen = []
    forest = fit(data, progress=lambda done: seen.append([sys.getrefcount(a) for a in arrays]))
    assert seen and all(c > b for counts in seen for c, b in zip(counts, before))
    assert [sys.getrefcount(a) for a in arrays] == before
    with pytest.raises(ValueError):
        fit(data, criterion="ed")
    assert [sys.getrefcount(a) for a in arrays] == before
    assert forest.n_trees == SETTINGS["n_estimators"]


def test_progress_reports_finished_trees_and_no_thread_outlives_the_call(data):
    before = threads()
    seen = []
    fit(data, n_estimators=12, progress=seen.append)
    assert settled_threads(before) <= before
    assert seen == sorted(seen) and seen[-1] == 12  # after every wait, so values may repeat


# 200,000 trees take far longer than the timeout: a training that did not stop fails the test.
@pytest.mark.timeout(300)
def test_an_exception_from_progress_stops_training_and_propagates(data):
    class Stop(Exception):
        pass

    def progress(done):
        if done >= 2:
            raise Stop(done)

    before = threads()
    with pytest.raises(Stop):
        fit(data, n_estimators=200_000, max_depth=6, progress=progress)
    assert settled_threads(before) <= before


CHILD_PRELUDE = """
    import os, time
    import numpy as np
    from quillmarsh_kit import _engine as engine
    def threads():
        return len(os.listdir("/proc/self/task"))
    rng = np.random.default_rng(0)
    n = 50_000
    columns = [rng.random(n, dtype=np.float32) for _ in range(8)]
    names = [f"x{i}" for i in range(8)]
    treatment = rng.integers(0, 3, n).astype(np.int32)
    outcome = (rng.random(n) < 0.3).astype(np.uint8)
    baseline = threads()
"""

REPORT_AFTER_INTERRUPT = """
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
        start = time.monotonic()
        while threads() > baseline and time.monotonic() - start < 60:
            os.sched_yield()
        print(threads() - baseline, time.monotonic() - start)
"""


def test_a_seed_gives_the_same_file_for_every_thread_count(data, tmp_path):
    paths = []
    for n_threads in (1, 2, 8):
        paths.append(tmp_path / f"forest_{n_threads}.json")
        fit(data, n_estimators=6, max_depth=5, n_threads=n_threads, seed=123).save(str(paths[-1]))
    first = paths[0].read_bytes()
    assert all(path.read_bytes() == first for path in paths[1:])
    assert fit(data, n_estimators=6, max_depth=5, seed=124).to_bytes() != first


def test_model_file_round_trips_with_metadata(data, tmp_path):
    forest = fit(data)
    metadata = '{"format": 1, "arms": ["mail", "call"]}'
    path = tmp_path / "forest.json"
    forest.save(str(path), metadata=metadata)
    loaded, loaded_metadata = engine.load(str(path))
    assert loaded_metadata == metadata
    assert loaded.to_bytes(metadata) == path.read_bytes() == forest.to_bytes(metadata=metadata)
    again, again_metadata = engine.from_bytes(forest.to_bytes())
    assert again_metadata is None and again.to_bytes() == forest.to_bytes()
    assert (again.n_trees, again.feature_names, again.n_outputs) == (4, forest.feature_names, 2)


@pytest.mark.parametrize("call,error,message", [
    (lambda f, p: f.save(p, metadata="{not json"), ValueError, "metadata: "),
    (lambda f, p: f.to_bytes(b"{}"), TypeError, "argument 'metadata': "),
    (lambda f, p: engine.from_bytes("{}"), TypeError, "argument 'data': must be bytes, not 'str'"),
    (lambda f, p: engine.from_bytes(f.to_bytes()[:-1]), BaseException,
     "called `Result::unwrap()` on an `Err` value: Error(\"EOF while parsing an object\""),
    (lambda f, p: engine.merge([]), ValueError, "forests is empty"),
    (lambda f, p: engine.merge([f, "f"]), TypeError, "forests[1] must be a Forest, not 'str'"),
    (lambda f, p: engine.Forest(), TypeError, "Forest objects are made by fit, load"),
    (lambda f, p: f.feature_importance("count"), ValueError,
     "kind must be 'gain' or 'split', not 'count'"),
])
def test_misuse_of_forests_and_files(data, tmp_path, call, error, message):
    forest = fit(data)
    path = tmp_path / "forest.json"
    forest.save(str(path))
    with pytest.raises(error) as raised:
        call(forest, str(path))
    assert message in str(raised.value)
    if error is BaseException:  # internal failures keep the class's exception type
        assert type(raised.value).__name__ == "PanicException"
    assert path.read_bytes() == forest.to_bytes()  # a failed save leaves the file alone


def _read_only_folder(tmp):
    if os.geteuid() == 0:
        pytest.skip("root writes into read-only folders")
    folder = tmp / "read-only"
    folder.mkdir(mode=0o500)
    return folder / "m.json"


def _under_a_file(tmp):
    (tmp / "plain").write_text("")
    return tmp / "plain" / "m.json"


def _kit_save(forest, path):
    from quillmarsh_kit import UpliftForest
    columns, names, treatment, outcome = experiment(n=200)
    UpliftForest(n_estimators=2, control=0).fit(
        dict(zip(names[:3], columns[:3])), treatment, outcome).save(path)


def _kit_load(forest, path):
    from quillmarsh_kit import UpliftForest
    UpliftForest.load(path)


@pytest.mark.parametrize("call,where,error,code", [
    (lambda f, p: f.save(p), lambda tmp: tmp / "no" / "m.json", FileNotFoundError, errno.ENOENT),
    (lambda f, p: f.save(p), lambda tmp: tmp, IsADirectoryError, errno.EISDIR),
    (lambda f, p: f.save(p), _under_a_file, NotADirectoryError, errno.ENOTDIR),
    (lambda f, p: f.save(p), _read_only_folder, PermissionError, errno.EACCES),
    (lambda f, p: engine.load(p), lambda tmp: tmp, IsADirectoryError, errno.EISDIR),
    (lambda f, p: engine.load(p), lambda tmp: tmp / "none.json", FileNotFoundError, errno.ENOENT),
    (lambda f, p: engine.load(p), _under_a_file, NotADirectoryError, errno.ENOTDIR),
    (_kit_save, lambda tmp: tmp / "no" / "m.json", FileNotFoundError, errno.ENOENT),
    (_kit_load, lambda tmp: tmp, IsADirectoryError, errno.EISDIR),
], ids=["save-into-missing-folder", "save-onto-folder", "save-under-a-file",
        "save-into-read-only-folder", "load-folder", "load-missing-file", "load-under-a-file",
        "kit-save-into-missing-folder", "kit-load-folder"])
def test_file_errors_are_os_errors_naming_the_file(data, tmp_path, capfd, call, where, error,
                                                   code):
    path = str(where(tmp_path))
    forest = fit(data, n_estimators=1)
    capfd.readouterr()
    with pytest.raises(error) as raised:
        call(forest, path)
    assert (raised.value.errno, raised.value.strerror) == (code, os.strerror(code))
    assert raised.value.filename == path
    assert "panicked" not in capfd.readouterr().err


SURROGATE = "x\ud800"  # what os.fsdecode cannot give back as bytes either


@pytest.mark.parametrize("call,argument", [
    (lambda f, d, tmp: engine.fit(d[0], ["x0", SURROGATE, "x2", "colour"], *d[2:], **SETTINGS),
     "names"),
    (lambda f, d, tmp: fit(d, n_estimators=1, treatment_col=SURROGATE), "treatment_col"),
    (lambda f, d, tmp: engine.fit(d[0][:3] + [(d[0][3][0], ["red", SURROGATE, "blue"])],
                                  *d[1:], **SETTINGS), "categories"),
    (lambda f, d, tmp: f.save(str(tmp / "m.json"), json.dumps(SURROGATE, ensure_ascii=False)),
     "metadata"),
    (lambda f, d, tmp: f.to_bytes(json.dumps(SURROGATE, ensure_ascii=False)), "metadata"),
    (lambda f, d, tmp: f.feature_importance(SURROGATE), "kind"),
    (lambda f, d, tmp: f.save(str(tmp / SURROGATE)), "path"),
    (lambda f, d, tmp: engine.load(str(tmp / SURROGATE)), "path"),
], ids=["feature-name", "column-name", "category", "save-metadata", "to_bytes-metadata",
        "importance-kind", "save-path", "load-path"])
def test_text_that_cannot_be_encoded_is_a_value_error_naming_it(data, tmp_path, call, argument):
    forest = fit(data, n_estimators=1)
    with pytest.raises(ValueError) as raised:
        call(forest, data, tmp_path)
    assert argument in str(raised.value) and "surrogates not allowed" in str(raised.value)
    assert isinstance(raised.value.__cause__, UnicodeEncodeError)


def test_a_file_name_that_is_not_utf8_saves_and_loads(data, tmp_path):
    from quillmarsh_kit import UpliftForest
    name = os.fsdecode(b"model-\xff.json")  # the name os.listdir gives for these bytes
    forest = fit(data, n_estimators=2)
    forest.save(str(tmp_path / name), metadata="{}")
    assert os.listdir(tmp_path) == [name]
    loaded, _ = engine.load(str(tmp_path / name))
    assert loaded.to_bytes() == forest.to_bytes()
    columns, names, treatment, outcome = data
    model = UpliftForest(n_estimators=2, control=0, random_state=1).fit(
        dict(zip(names[:3], columns[:3])), treatment, outcome)
    model.save(tmp_path / os.fsdecode(b"kit-\xfe.json"))
    assert UpliftForest.load(os.path.join(os.fsencode(tmp_path), b"kit-\xfe.json")).get_params() \
        == model.get_params()


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizers reserve more address space")
def test_exhausted_memory_is_a_memory_error_that_leaves_the_estimator_as_it_was():
    # A tree's node array of 2^(max_depth+1) slots that fits the machine's memory, but not the
    # address space the child allows itself.
    result = run_child("""
        import os, pickle, resource
        import numpy as np
        from quillmarsh_kit import UpliftForest
        rng = np.random.default_rng(0)
        X, T, Y = {"a": rng.random(400)}, rng.integers(0, 2, 400), rng.integers(0, 2, 400)
        model = UpliftForest(n_estimators=2, control=0, random_state=1).fit(X, T, Y)
        before = pickle.dumps(model), model.predict(X), model.get_params()
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
        depth = min(30, (memory // 4 // 128).bit_length() - 2)
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))
        try:
            model.set_params(max_depth=depth).fit(X, T, Y)
        except MemoryError:
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
        model.set_params(**before[2])
        print((model.predict(X) == before[1]).all(), pickle.dumps(model) == before[0])
    """)
    assert result.stdout.split() == ["MemoryError", "True", "True"], result.stderr
    assert "panicked" not in result.stderr


@pytest.mark.parametrize("first,second", [("quillmarsh", "quillmarsh_kit._engine"),
                                           ("quillmarsh_kit._engine", "quillmarsh")])
def test_both_modules_raise_one_panic_exception_type(first, second):
    result = run_child(f"""
        import importlib, sys
        importlib.import_module("{first}")
        if "{first}" == "quillmarsh":  # the class's type is made by its first failure
            try:
                sys.modules["quillmarsh"]._UpliftRandomForestModel(
                    1, 1, 1, 1, "KL", 2, False, False, 0.0).feature_cols()
            except BaseException as err:
                class_panic = err
        importlib.import_module("{second}")
        import quillmarsh
        from quillmarsh_kit import _engine
        from quillmarsh_kit._native import is_panic
        if "{first}" != "quillmarsh":
            try:
                quillmarsh._UpliftRandomForestModel(1, 1, 1, 1, "KL", 2, False, False,
                                                    0.0).feature_cols()
            except BaseException as err:
                class_panic = err
        try:
            _engine.from_bytes(b"{{")
        except BaseException as err:
            engine_panic = err
        kind = _engine.PanicException
        print(type(class_panic) is type(engine_panic) is kind, is_panic(class_panic),
              kind.__module__, kind.__name__, issubclass(kind, Exception),
              sorted(vars(quillmarsh)) == sorted(["__all__", "__doc__", "__file__", "__loader__",
                  "__name__", "__package__", "__spec__", "_UpliftRandomForestModel"]))
    """)
    assert result.stdout.split() == ["True", "True", "vornex_runtime", "PanicException", "False",
                                     "True"], result.stderr


def test_a_class_model_without_trees_is_no_forest(tmp_path):
    import quillmarsh
    path = tmp_path / "untrained.json"
    quillmarsh._UpliftRandomForestModel(3, 2, 3, 10, "ED", 10, False, False, 0.5).save(str(path))
    with pytest.raises(ValueError, match="the model holds no trees"):
        engine.load(str(path))


def test_merge_joins_trees_in_order_and_refuses_other_settings(data):
    a, b = fit(data, seed=1), fit(data, seed=2, n_estimators=3)
    merged = engine.merge((a, b))
    assert (merged.n_trees, merged.n_estimators) == (7, 7)
    documents = [json.loads(f.to_bytes()) for f in (a, b, merged)]
    assert documents[2]["trees"] == documents[0]["trees"] + documents[1]["trees"]
    assert documents[2]["n_estimators"] == 7
    for change, setting in [({"max_depth": 3}, "max_depth"), ({"criterion": "ED"}, "criterion"),
                            ({"alpha": 0.5}, "alpha"), ({"outcome_col": "y"}, "outcome_col")]:
        other = fit(data, **change)
        with pytest.raises(ValueError, match=rf"differs from forests\[0\] in {setting}$"):
            engine.merge([a, other])
    columns, names, treatment, outcome = data
    renamed = engine.fit(columns, names[:3] + ["color"], treatment, outcome, **SETTINGS)
    with pytest.raises(ValueError, match="in feature_names"):
        engine.merge([a, renamed])


@pytest.fixture(scope="module")
def forest(data):
    return fit(data, n_estimators=8, max_depth=5)


def class_rows(columns, rows):
    """The class's prediction rows: floats, and the texts that the codes index."""
    cells = [c.tolist() if isinstance(c, np.ndarray) else [c[1][k] for k in c[0].tolist()]
             for c in columns]
    return [list(row) for row in zip(*cells)][:rows]


def test_the_class_loading_an_engine_forest_predicts_the_same_bit_for_bit(data, forest, tmp_path):
    import quillmarsh
    columns = list(data[0])
    # The caller's own dictionary: another order, and a text the forest never saw.
    codes, categories = columns[3]
    own = ["blue", "violet", "red", "green"]
    own_codes = np.array([own.index(categories[k]) for k in codes], dtype=np.uint32)
    own_codes[:300] = own.index("violet")
    columns[3] = (own_codes, own)
    path = tmp_path / "forest.json"
    forest.save(str(path))
    model = quillmarsh._UpliftRandomForestModel(1, 1, 1, 1, "ED", 2, False, False, 0.0)
    model.load(str(path))
    expected = np.array(model.predict(class_rows(columns, 3000), 1))
    for n_threads in (1, 3):
        out = np.full((3000, 2), np.nan)
        forest.predict(columns, out, n_threads)
        assert np.array_equal(out, expected)
    # the string feature is split on, and NaN cells reach the walks
    assert forest.feature_importance("split")[3] > 0 and np.isnan(columns[2]).any()
    assert forest.feature_importance("gain") == model.get_feature_importance("gain")
    assert forest.feature_importance("split") == model.get_feature_importance("split")
    assert forest.feature_names == model.feature_cols()


def test_std_out_is_the_spread_of_the_tree_outputs(data, forest):
    columns = [c[:200] if isinstance(c, np.ndarray) else (c[0][:200], c[1]) for c in data[0]]
    out, spread = np.empty((200, 2)), np.empty((200, 2))
    forest.predict(columns, out, 2, std_out=spread)
    rows = class_rows(columns, 200)
    trees = np.array([[leaf_of(tree, row) for row in rows]
                      for tree in json.loads(forest.to_bytes())["trees"]])
    assert np.allclose(out, trees.mean(axis=0), rtol=0, atol=1e-12)
    assert np.allclose(spread, trees.std(axis=0), rtol=0, atol=1e-12)
    assert spread.max() > 0


def bad_predict(change):
    def build(forest):
        columns, _, _, _ = experiment(n=100)
        args = dict(columns=list(columns), out=np.empty((100, 2)), n_threads=2)
        change(args)
        return args
    return build


@pytest.mark.parametrize("build,error,message", [
    (bad_predict(lambda a: a.update(out=np.empty((100, 2), np.float32))), TypeError,
     "out must be a 2-D float64 array, not an array of dtype '<f4'"),
    (bad_predict(lambda a: a.update(out=np.empty((100, 3)))), ValueError,
     "out has 3 columns; the forest gives 2 values per row"),
    (bad_predict(lambda a: a.update(out=np.empty(200))), ValueError,
     "out must be a 2-D float64 array, not an array of 1 dimensions"),
    (bad_predict(lambda a: a.update(out=np.empty((100, 2), order="F"))), ValueError,
     "out must be C-contiguous"),
    (bad_predict(lambda a: a["out"].setflags(write=False)), ValueError, "out is read-only"),
    (bad_predict(lambda a: a.update(std_out=np.empty((99, 2)))), ValueError,
     "std_out must have the shape of out"),
    (bad_predict(lambda a: a.update(std_out=a["out"][:])), ValueError,
     "std_out shares memory with out"),
    (bad_predict(lambda a: a["columns"].pop()), ValueError, "columns has 3 entries for 4"),
    (bad_predict(lambda a: a["columns"].__setitem__(1, a["columns"][1][:50])), ValueError,
     "columns[1] ('x1') has 50 values but out has 100"),
    (bad_predict(lambda a: a["columns"].__setitem__(0, (np.zeros(100, np.uint32), ["a"]))),
     TypeError, "columns[0] ('x0') must be a float32 array: the forest compares it with"),
    (bad_predict(lambda a: a["columns"].__setitem__(3, np.zeros(100, np.float32))), TypeError,
     "columns[3] ('colour') must be a (codes, categories) pair"),
    (bad_predict(lambda a: a["columns"][3][0].__setitem__(9, 3)), ValueError,
     "columns[3] ('colour') holds code 3 in row 9, beyond its 3 categories"),
    (bad_predict(lambda a: a.update(n_threads=0)), ValueError,
     "argument 'n_threads': must be at least 1, not 0"),
])
def test_bad_prediction_input_is_refused_with_a_clear_error(forest, build, error, message):
    args = build(forest)
    before = args["out"].copy()
    with pytest.raises(error) as raised:
        forest.predict(**args)
    assert message in str(raised.value)
    assert np.array_equal(args["out"], before, equal_nan=True)  # nothing was written


def test_codes_of_no_category_predict_as_a_text_no_split_matches(forest):
    columns = list(experiment(n=100)[0])
    codes, categories = columns[3]
    out_none, out_unknown = np.empty((100, 2)), np.empty((100, 2))
    columns[3] = (np.full(100, 0xFFFFFFFF, np.uint32), categories)
    forest.predict(columns, out_none, 1)
    columns[3] = (np.zeros(100, np.uint32), ["a text the forest never saw"])
    forest.predict(columns, out_unknown, 1)
    assert np.array_equal(out_none, out_unknown)


INTERRUPTED_CALLS = {
    "fit": """
    print("ready")
    try:
        engine.fit(columns, names, treatment, outcome, n_estimators=5000, max_features=4,
                   max_depth=8, min_samples_leaf=50, criterion="ED", max_bins=10, balance=False,
                   regularization=False, alpha=0.5, n_threads=2, seed=1)
        print("finished")""",
    "predict": """
    forest = engine.fit(columns, names, treatment, outcome, n_estimators=10, max_features=4,
                        max_depth=8, min_samples_leaf=50, criterion="ED", max_bins=10,
                        balance=False, regularization=False, alpha=0.5, n_threads=2, seed=1)
    forest = engine.merge([forest] * 100)  # 1000 trees
    rows = [np.repeat(c, 20) for c in columns]  # 1,000,000 rows
    out = np.empty((len(rows[0]), forest.n_outputs))
    baseline = threads()
    print("ready")
    try:
        forest.predict(rows, out, 2)
        print("finished")""",
}


@pytest.mark.parametrize("call", sorted(INTERRUPTED_CALLS))
def test_ctrl_c_stops_every_thread_of_the_call(call):
    _, line, rest, err = interrupt_child(
        CHILD_PRELUDE + INTERRUPTED_CALLS[call] + REPORT_AFTER_INTERRUPT, delay=0.3)
    # Interrupted before the call finished, every thread ended. How soon is measured by
    # bench/bench_engine.py, not here: on a busy machine a signal waits for a core.
    assert line == "KeyboardInterrupt", (line, rest, err)
    extra, _ = rest.split()
    assert int(extra) == 0


def long_fit(data):
    fit(data, n_estimators=600, max_depth=6, n_threads=1)


def long_predict(data):
    columns = [np.repeat(c, 40) if isinstance(c, np.ndarray) else (np.repeat(c[0], 40), c[1])
               for c in data[0]]
    forest = engine.merge([fit(data, max_depth=6)] * 200)  # 800 trees
    return lambda: forest.predict(columns, np.empty((len(columns[0]), 2)), 1)


@pytest.mark.parametrize("prepare", [lambda data: lambda: long_fit(data), long_predict],
                         ids=["fit", "predict"])
def test_another_python_thread_runs_meanwhile(data, prepare):
    call = prepare(data)
    ticks = 0
    stop = threading.Event()

    def ticker():
        nonlocal ticks
        while not stop.wait(0.002):
            ticks += 1

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        start = time.monotonic()
        ticks = 0
        call()
        during = ticks
        seconds = time.monotonic() - start
    finally:
        stop.set()
        thread.join()
    assert seconds > 0.2, "the call was too short to tell"
    # With the lock held all along the ticker could tick only just before or just after the
    # call, once each at most; how often it ticks meanwhile is the scheduler's business.
    assert during >= 3
