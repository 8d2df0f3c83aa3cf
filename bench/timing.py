"""Timing shared by the benchmark scripts (run from bench/, or with bench/ on the path)."""

from __future__ import annotations

import time
from typing import Any, Callable, Optional, Tuple


def fastest(call: Callable[[], Any], repeats: int = 3) -> Tuple[float, float]:
    """(wall, cpu) seconds of the fastest of `repeats` calls, by wall time."""
    best: Optional[Tuple[float, float]] = None
    for _ in range(repeats):
        wall, cpu = time.perf_counter(), time.process_time()
        call()
        spent = (time.perf_counter() - wall, time.process_time() - cpu)
        best = spent if best is None or spent[0] < best[0] else best
    assert best is not None
    return best
