"""python3 -m irqhost [-m MODE] [LINE|FIRST-LAST ...]: the demo host, in
Python. Publishes the lines (0 to 7 by default, mode 0600), prints "irq N"
for each interrupt taken and withdraws them on SIGINT, SIGTERM or SIGHUP,
or when standard output fails: as irqhost does."""

import os
import signal
import sys
from typing import List, Optional

from . import Error, Host

USAGE = "usage: python3 -m irqhost [-h|--help] [-m octal-mode] [line|first-last ...]   " \
        "(lines 0 to 7 and mode 0600 by default)"


class BadCommandLine(Exception):
    pass


def _decimal(text: str) -> int:
    if not text.isascii() or not text.isdigit() or int(text) > 2**32 - 1:
        raise ValueError(text)
    return int(text)


def _lines(text: str) -> List[int]:
    try:
        if "-" not in text:
            return [_decimal(text)]
        first, last = (_decimal(part) for part in text.split("-", 1))
        if first > last or last - first >= 1 << 20:
            raise ValueError(text)
        return list(range(first, last + 1))
    except ValueError:
        raise BadCommandLine(f"'{text}' is not a line number, nor a range of them (first-last)") from None


def parse(arguments: List[str]):
    mode, lines, i = 0o600, [], 0
    while i < len(arguments) and arguments[i].startswith("-") and arguments[i] != "--":
        option = arguments[i]
        if option in ("-h", "--help"):
            return None
        if option != "-m":
            raise BadCommandLine(f"unknown option {option}")
        if i + 1 == len(arguments):
            raise BadCommandLine("option -m needs an octal mode")
        text = arguments[i + 1]
        if not text or any(c not in "01234567" for c in text) or int(text, 8) > 0o7777:
            raise BadCommandLine(f"'{text}' is not an octal file mode (0 to 7777)")
        mode, i = int(text, 8), i + 2
    if i < len(arguments) and arguments[i] == "--":
        i += 1
    for text in arguments[i:]:
        lines += _lines(text)
    lines = lines or list(range(8))
    ordered = sorted(lines)
    for line, after in zip(ordered, ordered[1:]):
        if line == after:
            raise BadCommandLine(f"OSirq{line}: given twice")
    return mode, lines


def describe(lines: List[int]) -> str:
    return f"{len(lines)} line{'' if len(lines) == 1 else 's'}: " + ", ".join(f"OSirq{line}" for line in lines)


def main(arguments: Optional[List[str]] = None) -> int:
    host: Optional[Host] = None
    try:
        parsed = parse(sys.argv[1:] if arguments is None else arguments)
    except BadCommandLine as bad:
        print(f"irqhost: {bad}\n{USAGE}", file=sys.stderr)
        return 2
    if parsed is None:
        print(USAGE)
        return 0
    mode, lines = parsed
    # Held back while the host is made (where the system can): a stop then
    # is taken once it exists. Windows has Ctrl+Break, and no SIGHUP.
    stops = [getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGBREAK") if hasattr(signal, name)]
    hold = getattr(signal, "pthread_sigmask", None)
    if hold:
        hold(signal.SIG_BLOCK, stops)
    try:
        host = Host(lines, mode)
    except Error as refused:
        print(f"irqhost: cannot publish {refused}", file=sys.stderr)
        return 1
    finally:
        for stop in stops:
            hang_up = stop == getattr(signal, "SIGHUP", None)
            if not (hang_up and signal.getsignal(stop) == signal.SIG_IGN):  # nohup's stays ignored
                signal.signal(stop, lambda *_: host and host.stop())
        if hold:
            hold(signal.SIG_UNBLOCK, stops)
    status = 0
    with host:
        print(f"irqhost: publishing {describe(lines)}; Ctrl+C stops", file=sys.stderr, flush=True)
        try:
            for line in host:
                print(f"irq {line}", flush=True)
        except OSError as failed:
            print(f"irqhost: cannot write to standard output: {failed.strerror}", file=sys.stderr)
            # Nothing more goes there, not even at the interpreter's exit.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            status = 1
    print("irqhost: stopped", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
