"""Progress of a native training call.

The native `fit` prints "Start training with {n} threads..." and one "Tree [{i}] is finished!"
line per tree on `sys.stdout`. `capture_training` swaps `sys.stdout` for a stream that parses
those lines (so they never reach the user's console), counts the finished trees and, when
asked, turns them into a progress bar: tqdm when it is installed, otherwise a plain line at
every tenth of the work.
"""

from __future__ import annotations

import contextlib
import io
import re
import sys
from typing import Any, Iterator, List, Optional, TextIO

_START = re.compile(r"Start training with (-?\d+) threads\.\.\.")
_TREE = re.compile(r"Tree \[(\d+)\] is finished!")


class _Reporter:
    """Shows progress over a known number of trees; `update` is called once per tree."""

    def __init__(self, total: int, stream: TextIO, use_tqdm: bool) -> None:
        self.total = total
        self.stream = stream
        self.done = 0
        self._bar: Any = None
        self._next_tenth = 1
        if use_tqdm:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                tqdm = None
            if tqdm is not None:
                self._bar = tqdm(total=total, unit="tree", desc="quillmarsh", file=stream)

    def start(self, threads: int) -> None:
        if self._bar is not None:
            self._bar.set_description(f"quillmarsh ({threads} threads)")
        else:
            self.stream.write(f"quillmarsh: training {self.total} trees on {threads} threads\n")
            self.stream.flush()

    def update(self) -> None:
        self.done += 1
        if self._bar is not None:
            self._bar.update(1)
            return
        if self.total <= 0:
            return
        # One line each time another tenth of the trees is finished.
        reached = self.done * 10 // self.total
        if reached >= self._next_tenth:
            self._next_tenth = reached + 1
            percent = self.done * 100 // self.total
            self.stream.write(f"quillmarsh: {self.done}/{self.total} trees ({percent} %)\n")
            self.stream.flush()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


class TrainingStream(io.TextIOBase):
    """A text stream that reads the native progress lines instead of printing them.

    Text that is not a progress line (printed by other code while training runs) is passed on
    to `passthrough` unchanged.
    """

    def __init__(self, reporter: Optional[_Reporter], passthrough: Optional[TextIO]) -> None:
        super().__init__()
        self.reporter = reporter
        self.passthrough = passthrough
        self.threads: Optional[int] = None
        self.trees: List[int] = []
        self._pending = ""

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        self._pending += text
        while "\n" in self._pending:
            line, self._pending = self._pending.split("\n", 1)
            self._line(line)
        return len(text)

    def flush(self) -> None:  # the native code flushes after every line
        if self.passthrough is not None:
            self.passthrough.flush()

    def finish(self) -> None:
        if self._pending:
            line, self._pending = self._pending, ""
            self._line(line)

    def _line(self, line: str) -> None:
        started = _START.fullmatch(line)
        if started:
            self.threads = int(started.group(1))
            if self.reporter is not None:
                self.reporter.start(self.threads)
            return
        tree = _TREE.fullmatch(line)
        if tree:
            self.trees.append(int(tree.group(1)))
            if self.reporter is not None:
                self.reporter.update()
            return
        if self.passthrough is not None:
            self.passthrough.write(line + "\n")


@contextlib.contextmanager
def capture_training(
    total: int, verbose: bool, stream: Optional[TextIO] = None, use_tqdm: bool = True
) -> Iterator[TrainingStream]:
    """Redirects `sys.stdout` to a `TrainingStream` for the duration of the block.

    With `verbose`, progress is shown on `stream` (default: `sys.stderr`), as a tqdm bar when
    `use_tqdm` and tqdm is installed, otherwise as plain lines.
    """
    user_stdout = sys.stdout
    out = stream if stream is not None else sys.stderr
    reporter = _Reporter(total, out, use_tqdm=use_tqdm) if verbose else None
    capture = TrainingStream(reporter, passthrough=user_stdout)
    sys.stdout = capture  # type: ignore[assignment]
    try:
        yield capture
    finally:
        sys.stdout = user_stdout
        capture.finish()
        if reporter is not None:
            reporter.close()
