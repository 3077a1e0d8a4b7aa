"""What the Python tests share: lines of their own, the programs under test
(the build tree's, named by ctest through the environment), a time limit for
every test, and nothing left behind."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

LIMIT_SECONDS = 30
BASE = 1_800_000_000 + (os.getpid() % 100_000) * 100
FOLDER = Path("/dev/shm" if os.path.isdir("/dev/shm") else "/tmp")
BELLTAP = os.environ.get("BELLTAP", "bellTap")
PYTHON = sys.executable


def line(offset: int) -> int:
    """A line far above any a real host uses, from this process's id."""
    return BASE + offset


def published(number: int) -> bool:
    return (FOLDER / f"OSirq{number}").exists()


def until(condition, what: str, seconds: float = 10.0) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"after {seconds} s: {what}")
        time.sleep(0.005)


def child(code: str, **options) -> subprocess.Popen:
    """A Python of its own running `code`, with this one's environment."""
    return subprocess.Popen([PYTHON, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            **options)


@pytest.fixture(autouse=True)
def limit_and_clean_up():
    """Every test ends within LIMIT_SECONDS, which is a failure; whatever
    it left of its lines is removed, and is a failure too."""
    def ran_out(*_):
        raise TimeoutError(f"the test ran out of its {LIMIT_SECONDS} s")

    previous = signal.signal(signal.SIGALRM, ran_out)
    signal.alarm(LIMIT_SECONDS)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
        left = [entry for entry in FOLDER.iterdir() if entry.name.lstrip(".").startswith(f"OSirq{BASE // 100}")]
        for entry in left:
            entry.unlink()
        assert not left, f"left behind: {left}"
