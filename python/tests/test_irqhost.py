"""irqhost for Python against the build tree's libirqhost and bellTap: a host
in Python raised by bellTap and from Python, what it refuses and why, the
ways a wait ends (a set, a stop from another thread, Ctrl+C, a closed host),
waiting in a selectors loop and in asyncio, and python3 -m irqhost."""

import asyncio
import os
import selectors
import signal
import subprocess
import threading
import time

import pytest

import irqhost
from conftest import BELLTAP, PYTHON, child, line, published, until


def belltap(number: int) -> int:
    # bellTap reads a line from 2^31 on in its negative form.
    return subprocess.run([BELLTAP, str(number if number < 2**31 else number - 2**32)],
                          stdout=subprocess.DEVNULL, timeout=10).returncode


@pytest.mark.parametrize("raiser", ["bellTap", "raise_line", "Line"])
def test_a_raise_reaches_a_python_host_once_and_is_withdrawn_after(raiser):
    a, b = line(1), line(2)
    with irqhost.Host([a, b], mode=0o640) as host:
        assert published(a) and published(b) and (os.stat(irqhost_path(a)).st_mode & 0o7777) == 0o640
        assert host.wait(0) == []
        for _ in range(2):  # two sets before the host looks are one
            if raiser == "bellTap":
                assert belltap(b) == 0
            elif raiser == "raise_line":
                irqhost.raise_line(b)
            else:
                with irqhost.Line(b) as prepared:
                    prepared.raise_line()
        assert host.wait(5) == [b]
        assert host.wait(0) == []
    assert not published(a) and not published(b)


def irqhost_path(number: int) -> str:
    return os.path.join("/dev/shm" if os.path.isdir("/dev/shm") else "/tmp", f"OSirq{number}")


@pytest.mark.parametrize("call", ["raise_line", "Line"])
def test_a_raise_with_no_host_or_no_access_names_the_line(call):
    a = line(3)
    attempt = (lambda n: irqhost.raise_line(n)) if call == "raise_line" else (lambda n: irqhost.Line(n))
    with pytest.raises(FileNotFoundError, match=f"OSirq{a}"):
        attempt(a)
    if os.geteuid() != 0:
        return
    with irqhost.Host([a], mode=0o622):  # another user may set it, not read it
        nobody = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", PYTHON, "-c",
                                 f"import irqhost\ntry: irqhost.{call}({a})\nexcept PermissionError as e: print(e)"],
                                capture_output=True, text=True, timeout=20, cwd="/")
        assert f"OSirq{a}" in nobody.stdout, nobody.stdout + nobody.stderr


def test_of_two_hosts_of_a_line_one_wins_and_the_other_says_why():
    a, b = line(4), line(5)
    with irqhost.Host([a]):
        with pytest.raises(irqhost.Error) as refused:
            irqhost.Host([b, a])
        assert str(refused.value) == f"OSirq{a}: a running host already publishes it"
        assert isinstance(refused.value, OSError)
        assert not published(b), "not all or nothing"


@pytest.mark.parametrize("lines, mode", [([-1], 0o600), ([2**32], 0o600), (["3"], 0o600), ([3.0], 0o600),
                                         ([True], 0o600), ([], 0o600), ([line(6)], 0o10000), ([line(6)], -1)])
def test_bad_arguments_are_value_errors(lines, mode):
    with pytest.raises(ValueError):
        irqhost.Host(lines, mode)
    if lines and not isinstance(lines[0], int) or lines and not 0 <= lines[0] < 2**32:
        with pytest.raises(ValueError):
            irqhost.raise_line(lines[0])


def test_a_stop_from_another_thread_ends_a_wait_and_iteration():
    a = line(7)
    with irqhost.Host([a]) as host:
        threading.Timer(0.1, host.stop).start()
        assert host.wait() == []
        assert host.stopped and list(host) == [] and host.wait(0) == []
    with irqhost.Host([a]) as host:
        seen = []

        def take():
            for taken in host:
                seen.append(taken)
                host.stop()

        taker = threading.Thread(target=take)
        taker.start()
        irqhost.raise_line(a)
        taker.join(10)
        assert not taker.is_alive() and seen == [a]
    # Closing from another thread stops its wait first.
    host = irqhost.Host([a])
    returned = []
    waiter = threading.Thread(target=lambda: returned.append(host.wait()), daemon=True)
    waiter.start()
    until(lambda: host._waiting.locked(), "the wait never began")
    host.close()
    waiter.join(10)
    assert returned == [[]] and not published(a)


def test_a_closed_host_or_line_says_so_and_closing_again_does_nothing():
    a = line(8)
    host = irqhost.Host([a])
    with irqhost.Line(a) as prepared:
        pass
    host.close()
    host.close()
    for use in (lambda: host.wait(0), host.fileno, lambda: list(host), prepared.raise_line):
        with pytest.raises(ValueError, match="closed"):
            use()
    host.stop()  # does nothing
    assert host.closed and not published(a)


def test_ctrl_c_ends_a_blocking_wait_and_withdraws_the_lines():
    a = line(9)
    # A wait with no timeout sleeps until something happens: no loop wakes it.
    waiting = child(f"import irqhost\nwith irqhost.Host([{a}]) as host:\n"
                    f"    print('waiting', flush=True)\n"
                    f"    try:\n        host.wait()\n    except KeyboardInterrupt:\n        print('interrupted')\n")
    assert waiting.stdout.readline() == "waiting\n"
    switches = lambda: int(open(f"/proc/{waiting.pid}/status").read().split("voluntary_ctxt_switches:")[1].split()[0])
    before = switches()
    time.sleep(0.5)
    assert switches() - before <= 1, "the wait wakes up while nothing happens"
    waiting.send_signal(signal.SIGINT)
    out, err = waiting.communicate(timeout=10)
    assert out == "interrupted\n" and waiting.returncode == 0, err
    assert not published(a)


def test_a_selectors_loop_and_asyncio_wait_on_the_hosts():
    a, b, c = line(10), line(11), line(12)
    with irqhost.Host([a]) as host, selectors.DefaultSelector() as selector:
        selector.register(host, selectors.EVENT_READ)
        assert selector.select(0) == []
        irqhost.raise_line(a)
        assert [key.fileobj for key, _ in selector.select(5)] == [host]
        assert host.wait(0) == [a] and selector.select(0) == []

    async def take_two_hosts():
        with irqhost.Host([b]) as first, irqhost.Host([c]) as second:
            async def take(host):
                seen = []
                async for taken in host:
                    seen.append(taken)
                    host.stop()
                return seen

            both = asyncio.gather(take(first), take(second))
            await asyncio.sleep(0.05)
            irqhost.raise_line(c)
            irqhost.raise_line(b)
            return await asyncio.wait_for(both, 10)

    assert asyncio.run(take_two_hosts()) == [[b], [c]]


def test_python_m_irqhost_serves_as_irqhost_does():
    a, b = line(13), line(14)
    # Started to outlive its terminal (SIGHUP ignored), it keeps ignoring it.
    demo = subprocess.Popen([PYTHON, "-m", "irqhost", "-m", "0640", f"{a}-{b}"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
    assert demo.stderr.readline() == f"irqhost: publishing 2 lines: OSirq{a}, OSirq{b}; Ctrl+C stops\n"
    demo.send_signal(signal.SIGHUP)
    assert belltap(b) == 0
    assert demo.stdout.readline() == f"irq {b}\n"
    demo.send_signal(signal.SIGTERM)
    out, err = demo.communicate(timeout=10)
    assert demo.returncode == 0 and err == "irqhost: stopped\n", err
    for arguments, status, says in [([str(a), str(a)], 2, f"irqhost: OSirq{a}: given twice"),
                                    (["-m", "8"], 2, "irqhost: '8' is not an octal file mode (0 to 7777)"),
                                    (["x"], 2, "irqhost: 'x' is not a line number, nor a range of them (first-last)")]:
        refused = subprocess.run([PYTHON, "-m", "irqhost", *arguments], capture_output=True, text=True, timeout=10)
        assert refused.returncode == status and refused.stderr.startswith(says + "\nusage:"), refused.stderr
    with irqhost.Host([a]):
        taken = subprocess.run([PYTHON, "-m", "irqhost", str(a)], capture_output=True, text=True, timeout=10)
        assert taken.returncode == 1
        assert taken.stderr == f"irqhost: cannot publish OSirq{a}: a running host already publishes it\n"


def test_a_missing_library_is_named_with_what_was_tried():
    missing = subprocess.run([PYTHON, "-c", "import irqhost"], capture_output=True, text=True, timeout=10,
                             env={**os.environ, "IRQHOST_LIBRARY": "/nowhere/libirqhost.so.1"})
    assert missing.returncode != 0
    assert "ImportError: irqhost: libirqhost was not found; tried /nowhere/libirqhost.so.1" in missing.stderr
