#!/usr/bin/env python3
"""The demo host and a stop signal at each moment of its life: while it
publishes (each stop signal), while it withdraws its lines, while a write to
its full standard output blocks, and after it has closed its host (when a
handler must not reach the freed host). Each time it
ends with status 0 and leaves no FIFO; an output that hangs up ends it with
status 1. Every wait has a time limit.
Usage: stop_signals_test.py IRQHOST"""
import fcntl, os, select, signal, socket, subprocess, sys, time

irqhost = sys.argv[1]
base = 3_100_000_000 + (os.getpid() % 1_000_000) * 1000
folder = "/dev/shm" if os.path.isdir("/dev/shm") else "/tmp"
F_SETPIPE_SZ = 1031


started = []  # every host of the cases', ended after each


def start(*arguments, **options):
    host = subprocess.Popen(*arguments, **options)
    started.append(host)
    return host


def path(line):
    return f"{folder}/OSirq{line}"


def until(condition, what, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"after {seconds} s: {what}")
        time.sleep(0.0002)


def read_line(fd, seconds=10.0):
    text = b""
    while not text.endswith(b"\n"):
        if not select.select([fd], [], [], seconds)[0]:
            raise AssertionError(f"no line after {seconds} s: {text!r}")
        text += os.read(fd, 1)
    return text.decode()


def blocked_writing(pid):
    with open(f"/proc/{pid}/wchan") as wchan:
        return "pipe_write" in wchan.read()


def ended_cleanly(host, lines, case):
    try:
        status = host.wait(10)
    except subprocess.TimeoutExpired:
        host.kill()
        raise AssertionError(f"{case}: the host still runs after 10 s")
    left = [line for line in lines if os.path.lexists(path(line))]
    for line in left:
        os.unlink(path(line))
    assert status == 0, f"{case}: status {status}"
    assert not left, f"{case}: {len(left)} FIFOs left behind"


def stop_while_publishing():
    lines = [base + i for i in range(900)]
    for stop in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        host = start([irqhost, *map(str, lines)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        until(lambda: os.path.lexists(path(lines[0])) or host.poll() is not None, "nothing published")
        host.send_signal(stop)
        ended_cleanly(host, lines, f"{stop.name} while publishing")


def stop_while_closing():
    lines = [base + i for i in range(900)]
    err_reader, err_writer = os.pipe()
    host = start([irqhost, *map(str, lines)], stdout=subprocess.DEVNULL, stderr=err_writer)
    os.close(err_writer)
    read_line(err_reader)
    # The first stop starts the withdrawal of 900 lines; the others come
    # while it runs.
    for stop in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        host.send_signal(stop)
    ended_cleanly(host, lines, "signals while it closes")
    os.close(err_reader)


def stop_while_output_is_full():
    line = base + 901
    reader, writer = os.pipe()
    fcntl.fcntl(writer, F_SETPIPE_SZ, 4096)
    err_reader, err_writer = os.pipe()
    host = start([irqhost, str(line)], stdout=writer, stderr=err_writer)
    os.close(writer)
    os.close(err_writer)
    read_line(err_reader)
    event = os.open(path(line), os.O_WRONLY | os.O_NONBLOCK)
    # Each wake prints one line; raised until the pipe is full.
    def full():
        os.write(event, b"x")
        time.sleep(0.001)
        return blocked_writing(host.pid)
    until(full, "the host's standard output never filled")
    os.close(event)
    host.send_signal(signal.SIGTERM)
    ended_cleanly(host, [line], "SIGTERM while writing to a full output")
    os.close(reader)
    os.close(err_reader)


def stop_after_close():
    line = base + 902
    err_reader, err_writer = os.pipe()
    fcntl.fcntl(err_writer, F_SETPIPE_SZ, 4096)
    host = start([irqhost, str(line)], stdout=subprocess.DEVNULL, stderr=err_writer)
    read_line(err_reader)
    # Standard error full: the host's last words ("stopped") block after
    # close. Filled through an open of its own, whose O_NONBLOCK the host's
    # standard error does not share.
    filler = os.open(f"/proc/self/fd/{err_writer}", os.O_WRONLY | os.O_NONBLOCK)
    for size in (512, 1):
        try:
            while True:
                os.write(filler, b"." * size)
        except BlockingIOError:
            pass
    os.close(filler)
    os.close(err_writer)
    host.send_signal(signal.SIGTERM)
    until(lambda: not os.path.lexists(path(line)), "the host did not withdraw")
    until(lambda: blocked_writing(host.pid), "the host did not block on standard error")
    host.send_signal(signal.SIGTERM)
    host.send_signal(signal.SIGHUP)
    time.sleep(0.05)
    while select.select([err_reader], [], [], 0.5)[0] and os.read(err_reader, 65536):
        pass
    ended_cleanly(host, [line], "SIGTERM after close")
    os.close(err_reader)


failed = 0
def output_hung_up():
    # A socket whose peer has closed polls as hung up: the host ends at once,
    # with status 1, and withdraws its line.
    line = base + 903
    mine, theirs = socket.socketpair()
    err_reader, err_writer = os.pipe()
    host = start([irqhost, str(line)], stdout=theirs.fileno(), stderr=err_writer)
    theirs.close()
    os.close(err_writer)
    read_line(err_reader)
    mine.close()
    try:
        status = host.wait(10)
    except subprocess.TimeoutExpired:
        host.kill()
        raise AssertionError("the host still runs 10 s after its output hung up")
    said = read_line(err_reader)
    os.close(err_reader)
    assert status == 1, f"status {status} after its output hung up"
    assert "its reader has gone" in said, said
    assert not os.path.lexists(path(line)), "the FIFO was left behind"


cases = (stop_while_publishing, stop_while_closing, stop_while_output_is_full, stop_after_close, output_hung_up)
for case in cases:
    try:
        case()
    except (AssertionError, OSError) as error:
        failed += 1
        print(f"FAIL {case.__name__}: {error}")
    finally:
        # Whatever a failed case left: its hosts, and its lines' FIFOs.
        for host in started:
            if host.poll() is None:
                host.kill()
                host.wait()
        started.clear()
        for entry in os.listdir(folder):
            if entry.lstrip(".").startswith(f"OSirq{base // 1000}"):
                os.unlink(os.path.join(folder, entry))
print(f"{len(cases) - failed} passed, {failed} failed")
sys.exit(1 if failed else 0)
