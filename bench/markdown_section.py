"""Markdown files that several benchmark scripts write to: each script replaces only its own
part, and the file is written whole or not at all (run from bench/, or with bench/ on the
path)."""

from __future__ import annotations

import os
import pathlib
import re
import tempfile


def _write(path: pathlib.Path, text: str) -> None:
    handle, temp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as out:
            out.write(text)
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise


def _read(path: pathlib.Path) -> str:
    return path.read_text(encoding="utf-8") if path.exists() else ""


def replace_head(path: pathlib.Path, text: str) -> None:
    """`text` in place of everything before the file's first "## " heading."""
    old = _read(path)
    match = re.search(r"^## ", old, flags=re.MULTILINE)
    _write(path, text.rstrip("\n") + "\n" + ("\n" + old[match.start():] if match else ""))


def replace_section(path: pathlib.Path, heading: str, text: str) -> None:
    """`text` (which starts with the line `heading`) in place of the section under that
    heading, up to the next heading of its level; appended if the file has no such section."""
    old = _read(path)
    level = heading[:heading.index(" ") + 1]
    start = re.search(rf"^{re.escape(heading)}\s*$", old, flags=re.MULTILINE)
    body = text.rstrip("\n") + "\n"
    if start is None:
        _write(path, old.rstrip("\n") + "\n\n" + body if old else body)
        return
    end = re.search(rf"^{re.escape(level)}", old[start.end():], flags=re.MULTILINE)
    rest = old[start.end() + end.start():] if end else ""
    _write(path, old[:start.start()] + body + ("\n" + rest if rest else ""))
