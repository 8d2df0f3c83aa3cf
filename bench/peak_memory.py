"""The process's resident memory from /proc/self/status, and a reset of its peak, so that a
benchmark can tell what one call took beyond what already existed."""

from __future__ import annotations


def status_kib(field: str) -> int:
    """A kB field of /proc/self/status: VmRSS (resident now), VmHWM (peak resident)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def reset_peak() -> bool:
    """Resets VmHWM to the current resident set (Linux); False where that is not possible."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False
