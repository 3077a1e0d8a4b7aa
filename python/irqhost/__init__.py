"""Publish bellTap's interrupt lines, wait for them, and raise them.

A host publishes one event per interrupt line ("OSirq3" for line 3), which
bellTap, raise_line() or a Line sets; the host's wait reports each line set
(sets before a report count as one). A pure-Python package over libirqhost.

    with irqhost.Host([3, 4]) as host:
        for line in host:              # until host.stop(), or Ctrl+C
            print("irq", line)

    irqhost.raise_line(3)
"""

import asyncio
import ctypes
import math
import os
import select
import threading
import time
from typing import AsyncIterator, Iterable, Iterator, List, Optional

from ._library import WINDOWS, last_error, lib

__all__ = ["Error", "Host", "Line", "raise_line"]
__version__ = "1.4.0"

_MOST_LINES = 2**32 - 1
_BATCH = 64
_WHY = 256
# Windows has no descriptor to wait on for Ctrl+C: a blocking wait takes this
# long at a time, so that a KeyboardInterrupt comes between two.
_WINDOWS_SLICE_MS = 100


class Error(OSError):
    """libirqhost refused to publish: its one-line reason is the message
    ("OSirq3: a running host already publishes it")."""


def _line(value: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= _MOST_LINES:
        raise ValueError(f"a line is a whole number from 0 to {_MOST_LINES}, not {value!r}")
    return value


def _name(line: int) -> str:
    return f"OSirq{line}"


def _raise_failed(line: int) -> OSError:
    error = last_error()
    return OSError(error, os.strerror(error), _name(line))


def raise_line(line: int) -> None:
    """Sets OSirq<line> of a running host, as bellTap does. Raises OSError
    (FileNotFoundError where no host publishes the line, PermissionError
    where this user may not read and write it), naming the line."""
    line = _line(line)
    if lib.irqhost_raise(line) != 0:
        raise _raise_failed(line)


class Line:
    """One line prepared to be raised many times at the cost of a write:

        with irqhost.Line(3) as line:
            line.raise_line()

    Opening refuses as raise_line() would; a raise that finds no host
    raises OSError, and the line raises again once a host is back."""

    def __init__(self, line: int) -> None:
        self.line = _line(line)
        self._handle = lib.irqhost_line_open(self.line, None, 0)
        if not self._handle:
            raise _raise_failed(self.line)

    def raise_line(self) -> None:
        if self._handle is None:
            raise ValueError(f"{_name(self.line)}: the line is closed")
        if lib.irqhost_line_raise(self._handle) != 0:
            raise _raise_failed(self.line)

    def close(self) -> None:
        """Closes the line; closing it again does nothing."""
        handle, self._handle = self._handle, None
        if handle is not None:
            lib.irqhost_line_close(handle)

    def __enter__(self) -> "Line":
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self.close()


class Host:
    """Publishes OSirq<line> for each of `lines`, all of them or none, until
    closed; on POSIX each FIFO gets exactly `mode`. A context manager: the
    lines are withdrawn on leaving it, also after an exception or Ctrl+C.

    wait() returns the lines taken, iteration yields them one by one until
    stop(), and `async for` does so in asyncio. stop() may be called from
    any thread and from a signal handler; close() from any thread."""

    def __init__(self, lines: Iterable[int], mode: int = 0o600) -> None:
        self.lines = tuple(_line(line) for line in lines)
        if not self.lines:
            raise ValueError("a host publishes at least one line")
        if isinstance(mode, bool) or not isinstance(mode, int) or not 0 <= mode <= 0o7777:
            raise ValueError(f"a mode is a file mode from 0 to 0o7777, not {mode!r}")
        why = ctypes.create_string_buffer(_WHY)
        array = (ctypes.c_uint32 * len(self.lines))(*self.lines)
        handle = lib.irqhost_open(array, len(self.lines), mode, why, _WHY)
        if not handle:
            raise Error(why.value.decode(errors="replace"))
        self._handle: Optional[int] = handle
        self._taken = (ctypes.c_uint32 * _BATCH)()
        self._stopped = False
        self._guard = threading.RLock()  # the handle, against a close; a handler may take it again
        self._waiting = threading.Lock()  # one wait at a time
        self._waiter: Optional[int] = None
        self._close_after_wait = False

    # Stopping and closing.

    def stop(self) -> None:
        """Ends a wait in progress and every later one (iteration ends)."""
        with self._guard:
            if self._handle is not None:
                lib.irqhost_stop(self._handle)

    @property
    def stopped(self) -> bool:
        """Whether a wait has seen the host stopped."""
        return self._stopped

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Withdraws the lines. A wait in progress in another thread is
        stopped and let return first; closing again does nothing."""
        self.stop()
        if self._waiter == threading.get_ident():  # from a handler that interrupted this thread's wait
            self._close_after_wait = True
            return
        with self._waiting:
            self._free()

    def _free(self) -> None:
        with self._guard:
            handle, self._handle = self._handle, None
        if handle is not None:
            lib.irqhost_close(handle)

    def __enter__(self) -> "Host":
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None and not getattr(self, "_waiting").locked():
            self._free()

    def _live(self) -> int:
        handle = self._handle
        if handle is None:
            raise ValueError("the host is closed")
        return handle

    # The object to wait on in a loop of one's own.

    def fileno(self) -> int:
        """The descriptor that polls readable while a line is set or after a
        stop (the wait handle on Windows): for selectors, then wait(0)."""
        handle = self._live()
        return lib.irqhost_handle(handle) if WINDOWS else lib.irqhost_descriptor(handle)

    # Waiting.

    def wait(self, timeout: Optional[float] = None) -> List[int]:
        """Waits up to `timeout` seconds (None: until a line is set or a
        stop) and returns the lines taken, each reset: empty on a time-out
        and once the host is stopped."""
        return self._take(timeout) or []

    def _take(self, timeout: Optional[float]) -> Optional[List[int]]:
        """The lines taken within `timeout`: [] when none came, None once
        stopped."""
        if timeout is not None and timeout < 0:
            raise ValueError(f"a timeout is at least 0 seconds, not {timeout!r}")
        with self._waiting:
            self._waiter = threading.get_ident()
            try:
                return self._take_waiting(timeout)
            finally:
                self._waiter = None
                if self._close_after_wait:
                    self._free()

    def _take_waiting(self, timeout: Optional[float]) -> Optional[List[int]]:
        deadline = None if timeout is None else time.monotonic() + timeout
        poller = None
        while True:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            # Windows waits in the library, a slice at a time (a
            # KeyboardInterrupt comes between two); POSIX only looks there,
            # and waits on the descriptor.
            wait_ms = 0
            if WINDOWS:
                wait_ms = _WINDOWS_SLICE_MS if left is None else min(_WINDOWS_SLICE_MS, math.ceil(left * 1000))
            taken = lib.irqhost_wait(self._live(), wait_ms, self._taken, _BATCH)
            if taken > 0:
                return list(self._taken[:taken])
            if taken == -1:
                self._stopped = True
                return None
            if taken < -1:
                error = last_error()
                raise OSError(error, "waiting failed: " + os.strerror(error))
            if left == 0:
                return []
            if not WINDOWS:
                if poller is None:
                    poller = select.poll()
                    poller.register(lib.irqhost_descriptor(self._live()), select.POLLIN)
                # Python runs its signal handlers when the poll is
                # interrupted: Ctrl+C ends a wait at once.
                poller.poll(None if left is None else left * 1000)

    def __iter__(self) -> Iterator[int]:
        while True:
            lines = self._take(None)
            if lines is None:
                return
            yield from lines

    async def __aiter__(self) -> AsyncIterator[int]:
        """The lines as they come, in asyncio: on POSIX the descriptor is
        watched by the loop (no thread, no polling); on Windows each wait runs
        in the loop's executor, a tenth of a second at a time."""
        loop = asyncio.get_running_loop()
        while True:
            if WINDOWS:
                lines = await loop.run_in_executor(None, self._take, _WINDOWS_SLICE_MS / 1000)
            else:
                lines = self._take(0)
                if lines == []:
                    await self._readable(loop)
                    continue
            if lines is None:
                return
            for line in lines:
                yield line

    async def _readable(self, loop: asyncio.AbstractEventLoop) -> None:
        ready = loop.create_future()
        descriptor = self.fileno()
        loop.add_reader(descriptor, lambda: ready.done() or ready.set_result(None))
        try:
            await ready
        finally:
            loop.remove_reader(descriptor)

    def __repr__(self) -> str:
        state = "closed" if self.closed else "stopped" if self._stopped else "open"
        return f"<irqhost.Host {', '.join(map(_name, self.lines))} ({state})>"
