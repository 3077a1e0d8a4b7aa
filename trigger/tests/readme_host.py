#!/usr/bin/env python3
"""A host written from the README's description of the Linux event format
alone: it publishes two lines, lets bellTap set one, and checks that select
wakes for that line only and that draining resets it."""
import os
import select
import subprocess
import sys

belltap = sys.argv[1]
directory = "/dev/shm" if os.path.isdir("/dev/shm") else "/tmp"
base = 1_300_000_000 + (os.getpid() % 1_000_000) * 100
lines = [base + 1, base + 2]
paths = {line: os.path.join(directory, f"OSirq{line}") for line in lines}

fds = {}
try:
    for line, path in paths.items():
        os.mkfifo(path, 0o600)
        # Read-write, so that the host never sees a hang-up when a setter closes.
        fds[line] = os.open(path, os.O_RDWR | os.O_NONBLOCK)

    run = subprocess.run([belltap, str(lines[1])], capture_output=True)
    assert run.returncode == 0 and run.stdout == b"" and run.stderr == b"", run

    ready, _, _ = select.select(list(fds.values()), [], [], 5)
    assert ready == [fds[lines[1]]], ready
    os.read(fds[lines[1]], 4096)  # automatic reset: drain every pending byte
    ready, _, _ = select.select(list(fds.values()), [], [], 0)
    assert ready == [], ready

    # Withdrawn: the event is gone for bellTap.
    os.close(fds.pop(lines[0]))
    run = subprocess.run([belltap, str(lines[0])], capture_output=True)
    assert run.returncode == 254, run
    assert run.stdout == f"Could not open OSirq{lines[0]} - exiting\n".encode(), run
finally:
    for fd in fds.values():
        os.close(fd)
    for path in paths.values():
        if os.path.exists(path):
            os.unlink(path)
print("1 passed, 0 failed")
