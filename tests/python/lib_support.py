"""Shared helpers for the binding tests: valid constructor arguments and child interpreters."""
import os
import subprocess
import sys
import textwrap

import quillmarsh

Model = quillmarsh._UpliftRandomForestModel

PARAMS = ("n_estimators", "max_features", "max_depth", "min_sample_leaf", "eval_func",
          "max_bins", "balance", "regularization", "alpha")
VALID = (100, 5, 10, 100, "KL", 10, False, False, 0.0)


def new_model(**changes):
    kwargs = dict(zip(PARAMS, VALID))
    kwargs.update(changes)
    return Model(**kwargs)


def run_child(code, env_extra=None, timeout=120):
    """Runs code in a fresh interpreter that imports the same build of the module."""
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(quillmarsh.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH", "")) if p)
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)
