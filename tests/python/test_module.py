"""The module surface: initialisation, the class object, exports and the module's heap."""
import importlib
import re
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

import quillmarsh
from lib_support import UNDER_SANITIZER, Model, new_model, raises_panic, run_child

needs_mimalloc = pytest.mark.skipif(UNDER_SANITIZER,
                                    reason="sanitizer builds use the system allocator")


def test_all_lists_the_class_only():
    assert quillmarsh.__all__ == ["_UpliftRandomForestModel"]
    assert quillmarsh._UpliftRandomForestModel is Model


def test_module_doc_is_empty_text_and_there_are_no_functions():
    assert quillmarsh.__doc__ == ""
    public = {n for n in vars(quillmarsh) if not n.startswith("__")}
    assert public == {"_UpliftRandomForestModel"}


def test_class_has_no_doc_and_bare_name():
    assert Model.__doc__ is None
    assert Model.__name__ == "_UpliftRandomForestModel"
    assert Model.__qualname__ == "_UpliftRandomForestModel"
    assert Model.__bases__ == (object,)


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (Model,), {})


def test_instances_have_no_dict_and_no_weak_references():
    m = new_model()
    with pytest.raises(AttributeError):
        m.anything = 1
    assert not hasattr(m, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(m)


def test_instance_type_is_the_class():
    assert type(new_model()) is Model


def test_second_initialisation_in_one_process_is_refused():
    result = run_child("""
        import sys
        import quillmarsh
        first = quillmarsh._UpliftRandomForestModel
        del sys.modules["quillmarsh"]
        try:
            import quillmarsh
        except ImportError as e:
            print(type(e).__name__, e, sep=": ")
        # the first module object keeps working
        first(1, 1, 1, 1, "KL", 2, True, False, 0.5)
        print("still usable")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError: Vornex modules may only be initialized once per interpreter process",
        "still usable",
    ]


def test_import_has_no_side_effects_on_the_console():
    result = run_child("import quillmarsh")
    assert result.returncode == 0
    assert (result.stdout, result.stderr) == ("", "")


def test_import_succeeds_with_warnings_as_errors():
    result = run_child("""
        import quillmarsh
        print(quillmarsh.__all__)
    """, env_extra={"PYTHONWARNINGS": "error"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['_UpliftRandomForestModel']"


def test_warning_filters_are_unchanged_by_import():
    result = run_child("""
        import warnings
        warnings.simplefilter("error", UserWarning)
        before = list(warnings.filters)
        import quillmarsh
        assert warnings.filters == before
        print("same")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "same"


@pytest.mark.parametrize("module,init", [("quillmarsh", "PyInit_quillmarsh"),
                                         ("quillmarsh_kit._engine", "PyInit__engine")])
def test_only_the_init_function_is_exported(module, init):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    path = importlib.import_module(module).__file__
    out = subprocess.run([nm, "-D", "--defined-only", path], check=True,
                         capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == [init]


def mimalloc_stats(extra_code):
    code = "import quillmarsh\nModel = quillmarsh._UpliftRandomForestModel\n"
    result = run_child(code + textwrap.dedent(extra_code), env_extra={"MIMALLOC_SHOW_STATS": "1"})
    assert result.returncode == 0, result.stderr
    return result.stderr


def peak_pages(report):
    match = re.search(r"^\s*pages\s*:\s*(\d+)", report, re.MULTILINE)
    assert match, report
    return int(match.group(1))


def mib(report, row):
    match = re.search(rf"^\s*{row}\s*:\s*([\d.]+) (B|KiB|MiB|GiB)", report, re.MULTILINE)
    assert match, report
    scale = {"B": 1 / 2**20, "KiB": 1 / 2**10, "MiB": 1, "GiB": 2**10}[match.group(2)]
    return float(match.group(1)) * scale


@needs_mimalloc
def test_mimalloc_reports_on_stderr_when_asked():
    report = mimalloc_stats("""
        for _ in range(1000):
            Model(10, 2, 3, 1, "ED" * 40, 8, True, True, 0.0)
    """)
    assert "arenas" in report and "pages" in report and "process" in report


@needs_mimalloc
def test_instances_live_on_the_mimalloc_heap():
    # Each record owns a 4 KB eval_func text; 4000 live records need about 16 MB, which must
    # show up in mimalloc's page count, not in the interpreter's allocator.
    baseline = mimalloc_stats("m = Model(10, 2, 3, 1, 'ED', 8, True, True, 0.0)")
    loaded = mimalloc_stats("""
        keep = [Model(10, 2, 3, 1, "E" * 4000 + str(i), 8, True, True, 0.0) for i in range(4000)]
    """)
    assert mib(loaded, "committed") > mib(baseline, "committed") + 10
    assert peak_pages(loaded) > peak_pages(baseline)


@needs_mimalloc
def test_interpreter_allocations_stay_off_the_mimalloc_heap():
    report = mimalloc_stats("""
        m = Model(10, 2, 3, 1, "ED", 8, True, True, 0.0)
        big = [bytearray(1 << 20) for _ in range(64)]
    """)
    assert mib(report, "committed") < 32


@needs_mimalloc
@pytest.mark.parametrize("module", ["quillmarsh", "quillmarsh_kit._engine"])
def test_mimalloc_options_come_from_the_environment(module):
    result = run_child(f"import {module}", env_extra={"MIMALLOC_VERBOSE": "1"})
    assert result.returncode == 0
    assert "mimalloc" in result.stderr and "option 'verbose': 1" in result.stderr


@needs_mimalloc
def test_out_of_memory_in_a_call_is_a_panic_not_a_crash():
    # mimalloc limited to a 64 MiB reservation: copying a 100 MiB text into the record fails
    # in the module's heap while the interpreter's own heap still has room.
    result = run_child("""
        import quillmarsh
        Model = quillmarsh._UpliftRandomForestModel
        try:
            Model(1, 1, 1, 1, "x" * (100 << 20), 2, True, True, 0.0)
            print("constructed")
        except BaseException as e:
            print(type(e).__module__, type(e).__name__, type(e).__mro__[1].__name__,
                  isinstance(e, Exception), e.args)
        Model(1, 1, 1, 1, "x" * (1 << 20), 2, True, True, 0.0)
        print("still usable")
    """, env_extra={"MIMALLOC_RESERVE_OS_MEMORY": "64MiB", "MIMALLOC_DISALLOW_OS_ALLOC": "1",
                    "MIMALLOC_RETRY_ON_OOM": "0"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "vornex_runtime PanicException BaseException False ('memory allocation failed',)",
        "still usable"]
    assert "quillmarsh panicked at" in result.stderr


@needs_mimalloc
def test_string_columns_take_each_distinct_text_once():
    # Two distinct 1 MiB texts in 4,000 rows: copied per cell they would need 4 GiB of the
    # module's heap, converted once per distinct text they fit in a 64 MiB reservation.
    result = run_child("""
        import contextlib, io
        import quillmarsh
        texts = ["a" * (1 << 20), "b" * (1 << 20)]
        data = {"s": [texts[i % 2] for i in range(4000)], "t": [i % 2 for i in range(4000)],
                "y": [(i // 2) % 2 for i in range(4000)]}
        model = quillmarsh._UpliftRandomForestModel(1, 1, 1, 100, "KL", 10, False, False, 0.0)
        with contextlib.redirect_stdout(io.StringIO()):
            model.fit(data, ["s"], "t", "y", 1)
        print(len(model.predict([[texts[0]], [texts[1]]], 1)))
    """, env_extra={"MIMALLOC_RESERVE_OS_MEMORY": "64MiB", "MIMALLOC_DISALLOW_OS_ALLOC": "1",
                    "MIMALLOC_RETRY_ON_OOM": "0"})
    assert result.returncode == 0, result.stderr
    assert result.stdout == "2\n"


# Reports once showed the build machine's absolute path of the file.
def test_failure_reports_name_the_source_relative_to_the_project(capfd):
    model = new_model(n_estimators=1, max_features=1, max_depth=1, min_sample_leaf=1)
    data = {"f": [0.0, 1.0], "t": [0, -1], "y": [0, 1]}
    raises_panic(lambda: model.fit(data, ["f"], "t", "y", 1))
    err = capfd.readouterr().err
    where = r"^quillmarsh panicked at src/uplift_tree/dataset\.cpp:\d+:\d+ "
    assert re.search(where, err, re.M), err


def resident_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


@needs_mimalloc
def test_dropped_instances_free_their_records_and_type_reference():
    text = "E" * 4096  # each record copies it: 80 MB would stay resident if records leaked
    for _ in range(2000):
        new_model(eval_func=text)
    type_refs = sys.getrefcount(Model)
    before = resident_kib()
    for _ in range(20000):
        new_model(eval_func=text)
    assert resident_kib() - before < 16 * 1024
    assert sys.getrefcount(Model) == type_refs
