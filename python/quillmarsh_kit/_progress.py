"""Progress of training: the engine calls `progress(done)` on the calling thread after every
wait of at most 100 ms, with the number of finished trees; `training_progress` turns that into
a tqdm bar when tqdm is installed, otherwise into a plain line at every tenth of the trees.
"""

from __future__ import annotations

import contextlib
import sys
from typing import Any, Callable, Iterator, Optional, TextIO


class _Reporter:
    """Shows progress over a known number of trees; `update(done)` takes the number of
    finished trees."""

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

    def update(self, done: int) -> None:
        if done <= self.done:
            return
        if self._bar is not None:
            self._bar.update(done - self.done)
        self.done = done
        if self._bar is not None or self.total <= 0:
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


@contextlib.contextmanager
def training_progress(
    total: int, threads: int, verbose: bool, stream: Optional[TextIO] = None,
    use_tqdm: bool = True,
) -> Iterator[Optional[Callable[[int], None]]]:
    """The engine's progress callback for training `total` trees on `threads` threads: None
    when not `verbose`, otherwise one that shows progress on `stream` (default: standard
    error) until the block ends."""
    if not verbose:
        yield None
        return
    reporter = _Reporter(total, stream if stream is not None else sys.stderr, use_tqdm)
    reporter.start(threads)
    try:
        yield reporter.update
    finally:
        reporter.close()
