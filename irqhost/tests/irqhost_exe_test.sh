#!/bin/sh
# irqhost.exe started from a Linux shell under Wine, its standard output a
# file (made, or appended to), a pipe, /dev/null or closed (Wine then hands
# it a handle to nothing): it prints each interrupt where there is an output
# and serves on where there is none, as irqhost does on Linux. Every wait
# has a time limit.
set -u
wine=$1 irqhost=$2 belltap=$3
line=$((1500000000 + ($$ % 1000000) * 100 + 7)) # nobody else's
work=$(mktemp -d) || exit 1
host=""
trap 'kill "$host" 2>/dev/null; wait "$host" 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM # killed by a time limit, it cleans up too
fail() { echo "FAIL: $output: $*: $(cat "$work/err")"; exit 1; }
# What it printed, its line ends (CR LF, as on Windows) as on Linux.
printed() { tr -d '\r' <"$work/out"; }
for output in file append pipe null closed; do
  echo "before" >"$work/out"
  : >"$work/err" # emptied here: the host's own redirection may come after the look below
  case $output in
    file) "$wine" "$irqhost" "$line" >"$work/out" 2>"$work/err" & ;;
    append) "$wine" "$irqhost" "$line" >>"$work/out" 2>"$work/err" & ;;
    pipe) rm -f "$work/pipe"; mkfifo "$work/pipe"; cat "$work/pipe" >"$work/out" &
          "$wine" "$irqhost" "$line" >"$work/pipe" 2>"$work/err" & ;;
    null) "$wine" "$irqhost" "$line" >/dev/null 2>"$work/err" & ;;
    closed) "$wine" "$irqhost" "$line" >&- 2>"$work/err" & ;;
  esac
  host=$!
  for _ in $(seq 200); do grep -q publishing "$work/err" && break; sleep 0.05; done
  grep -q "^irqhost: publishing 1 line: OSirq$line;" "$work/err" || fail "no banner after 10 s"
  # Each interrupt reported before the next is raised: two sets before a
  # report would be one.
  for taken in 1 2; do
    timeout 20 "$wine" "$belltap" "$line" || fail "bellTap.exe $line failed"
    case $output in null|closed) sleep 0.5; continue ;; esac
    for _ in $(seq 200); do [ "$(printed | grep -c "^irq $line\$")" = $taken ] && break; sleep 0.05; done
  done
  case $output in
    file|pipe) expected="irq $line
irq $line" ;;
    append) expected="before
irq $line
irq $line" ;;
    *) expected="before" ;;
  esac
  [ "$(printed)" = "$expected" ] || fail "printed: $(printed)"
  kill -0 "$host" 2>/dev/null || fail "it ended after an interrupt"
  grep -q "cannot write" "$work/err" && fail "it could not write"
  kill "$host"; wait "$host" 2>/dev/null; host=""
done
echo "1 passed, 0 failed"
