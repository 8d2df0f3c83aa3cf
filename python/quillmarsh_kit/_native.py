"""Access to the native class and translation of its internal failures into Python errors.

The native module raises `PanicException` (a `BaseException`, so it would pass through
`except Exception`) for every failure inside its own work. The kit validates its inputs first,
so such a failure means something unexpected happened; it is re-raised as `NativeError`, an
ordinary `RuntimeError` that keeps the original as its cause.
"""

from __future__ import annotations

import contextlib
from typing import Any, Iterator


class NativeError(RuntimeError):
    """An operation of the native `quillmarsh` module failed."""


def native_class() -> Any:
    """The native `_UpliftRandomForestModel` class; imported on first use."""
    try:
        import quillmarsh
    except ImportError as err:  # pragma: no cover - depends on the installation
        raise ImportError(
            "quillmarsh_kit needs the native module 'quillmarsh', which could not be imported; "
            "install the quillmarsh distribution (pip install quillmarsh)"
        ) from err
    return quillmarsh._UpliftRandomForestModel


def is_panic(err: BaseException) -> bool:
    """True for the native module's internal-failure exception."""
    kind = type(err)
    return kind.__name__ == "PanicException" and kind.__module__ == "vornex_runtime"


@contextlib.contextmanager
def native_call(action: str) -> Iterator[None]:
    """Runs a native call, turning an internal failure into `NativeError`."""
    try:
        yield
    except BaseException as err:
        if is_panic(err):
            raise NativeError(f"{action} failed inside the native module: {err}") from err
        raise
