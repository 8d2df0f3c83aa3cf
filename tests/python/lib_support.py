"""Shared helpers for the binding tests: valid constructor arguments and child interpreters."""
import os
import subprocess
import sys
import textwrap

import quillmarsh

Model = quillmarsh._UpliftRandomForestModel


def _under_sanitizer():
    try:
        with open("/proc/self/maps") as maps:
            return any("libasan" in line or "libtsan" in line for line in maps)
    except OSError:
        return False


# Sanitizer runs preload the sanitizer runtime and build the module on the system allocator,
# so mimalloc and resident-memory checks do not apply to them.
UNDER_SANITIZER = _under_sanitizer()

PARAMS = ("n_estimators", "max_features", "max_depth", "min_sample_leaf", "eval_func",
          "max_bins", "balance", "regularization", "alpha")
VALID = (100, 5, 10, 100, "KL", 10, False, False, 0.0)


def new_model(**changes):
    kwargs = dict(zip(PARAMS, VALID))
    kwargs.update(changes)
    return Model(**kwargs)


def child_env(env_extra=None):
    """The environment of a child interpreter that imports the same build of the module."""
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(quillmarsh.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH", "")) if p)
    env.update(env_extra or {})
    return env


def run_child(code, env_extra=None, timeout=120):
    """Runs code in a fresh interpreter that imports the same build of the module."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env(env_extra),
                          capture_output=True, text=True, timeout=timeout)


def interrupt_child(code, delay, timeout=120):
    """Runs code in a child interpreter; once it has printed "ready", waits `delay` seconds and
    sends it SIGINT, the signal of Ctrl-C. Returns the seconds from the signal to the child's
    next line of output, that line, the rest of its output and its standard error. A child
    still running after `timeout` seconds is killed."""
    import signal
    import threading
    import time
    child = subprocess.Popen([sys.executable, "-u", "-c", textwrap.dedent(code)],
                             env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    watchdog = threading.Timer(timeout, child.kill)
    watchdog.start()
    try:
        ready = child.stdout.readline()
        assert ready == "ready\n", (ready, child.stderr.read() if ready == "" else "")
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline()
        seconds = time.monotonic() - sent
        # Read through the same buffered files: communicate() would miss what readline()
        # has already buffered.
        rest, err = child.stdout.read(), child.stderr.read()
        child.wait()
    finally:
        watchdog.cancel()
        if child.poll() is None:
            child.kill()
            child.wait()
    return seconds, line.rstrip("\n"), rest, err

def leaf_of(tree, row):
    """The walk from the model file's point of view: an independent reading of a tree (a
    dict of the saved document) that returns the prob of the leaf that `row` reaches."""
    import numpy as np
    slot = 0
    while True:
        node = tree["nodes"][slot]
        if node["prob"]:
            return node["prob"]
        value = row[node["col_idx"]]
        if "Numeric" in node["split_value"]:
            threshold = node["split_value"]["Numeric"]
            # Cells and thresholds are 32-bit floats; NaN goes right.
            left = np.float32(value) <= np.float32(threshold)
        else:
            left = value == node["split_value"]["Str"]
        slot = 2 * slot + (1 if left else 2)


PANIC = "PanicException"
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "


def small_data(n=400, seed=7):
    """A deterministic experiment: a numeric and a text feature, groups 0..2, 0/1 outcomes."""
    import random
    rnd = random.Random(seed)
    f0 = [rnd.random() for _ in range(n)]
    f1 = [rnd.choice(["red", "green", "blue"]) for _ in range(n)]
    t = [rnd.randrange(3) for _ in range(n)]
    y = [int(rnd.random() < 0.2 + 0.5 * (g == 1 and a > 0.5)) for g, a in zip(t, f0)]
    return {"f0": f0, "f1": f1, "t": t, "y": y}


def quiet_fit(model, data, x_names=("f0", "f1"), treatment_col="t", outcome_col="y",
              n_threads=2):
    """fit with its progress lines captured; returns them."""
    import contextlib
    import io
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        model.fit(data, list(x_names), treatment_col, outcome_col, n_threads)
    return out.getvalue()


def trained_model(n_estimators=4, **changes):
    model = new_model(n_estimators=n_estimators, max_features=2, max_depth=3,
                      min_sample_leaf=10, **changes)
    quiet_fit(model, small_data())
    return model


def raises_panic(call):
    """Runs call, which must raise PanicException; returns its message."""
    try:
        call()
    except BaseException as e:  # PanicException derives from BaseException only
        assert type(e).__name__ == PANIC, repr(e)
        return str(e)
    raise AssertionError("no PanicException raised")
