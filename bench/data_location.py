"""Where the public data sets (hillstrom.csv.gz, starbucks_*.csv.gz) are found: one setting for
the tests, the benchmarks and the docs.

The environment variable QUILLMARSH_DATA names the folder; unset or empty, it is the folder
`data` of the `shared` folder beside the project root (`<project>/../shared/data`). The data
sets stay outside the repository; whatever uses them skips when a file is absent.
"""

from __future__ import annotations

import os
import pathlib

PROJECT = pathlib.Path(__file__).resolve().parents[1]


def data_dir() -> pathlib.Path:
    setting = os.environ.get("QUILLMARSH_DATA", "")
    return pathlib.Path(setting) if setting else PROJECT.parent / "shared" / "data"


def data_file(name: str) -> pathlib.Path:
    """The path of one data set file (which may not exist)."""
    return data_dir() / name
