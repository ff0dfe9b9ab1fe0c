"""The progress line of sign, verify and batches on a terminal's standard
error, drawn as the native program draws its own: bytes done of the total,
the rate, the time left, and files done.

The pipeline calls it from its worker threads as
`progress(done_bytes, total_bytes, files_done, files)`; a lock keeps one
draw at a time and a clock keeps it to ten a second, so hashing never waits
on the terminal."""

import sys
import threading
import time

THRESHOLD = 256 << 20  # as the native program: a smaller job ends before a line would help
INTERVAL = 0.1  # ten redraws a second at most
MIB = 1 << 20


def size(n):
    """As the native progress bar: MiB below a GiB, GiB above."""
    if n >= 1024 * MIB:
        return f"{n / (1024 * MIB):.2f} GiB"
    return f"{n / MIB:.1f} MiB"


def clock(seconds):
    s = int(seconds + 0.5)
    if s >= 3600:
        return f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}"
    return f"{s // 60}:{s % 60:02d}"


class Progress:
    """A progress line on `stream`: a callable for the pipeline, and
    `finish()` once the work is over (a last draw, then the newline)."""

    def __init__(self, stream, threshold=THRESHOLD, now=time.monotonic):
        self._stream, self._threshold, self._now = stream, threshold, now
        self._lock = threading.Lock()
        self._start = now()
        self._last = None  # when the line was last drawn; None before the first
        self._state = None
        self._finished = False

    def __call__(self, done, total, files_done=None, files=None):
        with self._lock:
            if self._finished:
                return
            self._state = (done, total, files_done, files)
            now = self._now()
            if total < self._threshold or (self._last is not None and now - self._last < INTERVAL):
                return
            self._draw(now)

    def _draw(self, now):
        done, total, files_done, files = self._state
        elapsed = now - self._start
        rate = done / elapsed if elapsed > 0 else 0
        percent = 100 * done // total if total else 100
        left = clock((total - done) / rate) if rate > 0 and done <= total else "?"
        line = f"{size(done)} / {size(total)}  {percent:3d}%  {size(int(rate))}/s  {left} left"
        if files:
            line += f"  {files_done}/{files} {'file' if files == 1 else 'files'}"
        self._last = now
        try:
            self._stream.write(f"\r{line}\033[K")
            self._stream.flush()
        except (OSError, ValueError):  # a terminal gone is no reason to stop the work
            self._finished = True

    def finish(self):
        """The last state drawn, and the line ended, when any was drawn."""
        with self._lock:
            if self._finished:
                return
            self._finished = True
            if self._last is None:
                return
            self._draw(self._now())
            try:
                self._stream.write("\n")
                self._stream.flush()
            except (OSError, ValueError):
                pass


def on_terminal(quiet=False, stream=None):
    """A Progress for standard error when it is a terminal, else None."""
    stream = sys.stderr if stream is None else stream
    if quiet:
        return None
    try:
        if not stream.isatty():
            return None
    except (AttributeError, ValueError):
        return None
    return Progress(stream)
