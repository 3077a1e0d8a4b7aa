#!/bin/sh
# The demo host end to end: what it publishes (defaults included), what it
# prints and when, what it refuses, and that every way it ends withdraws its
# lines. Every wait has a time limit and fails the test when it runs out.
set -u
irqhost=$1 belltap=$2
# Lines above 2^31, from the process id: no other test or real host uses them.
base=$((3000000000 + ($$ % 1000000) * 100))
a=$((base + 1)) b=$((base + 2)) c=$((base + 3)) d=$((base + 4))
dir=/dev/shm; [ -d "$dir" ] || dir=/tmp
work=$(mktemp -d) || exit 1
hosts=""
# However it ends (passed, failed, killed by a time limit or Ctrl+C), its
# hosts end and nothing of its lines is left.
cleanup() {
  for pid in $hosts; do kill -KILL "$pid" 2>/dev/null; done
  for pid in $hosts; do wait "$pid" 2>/dev/null; done
  exec 4>&- 5>&- 3>&-
  for line in $a $b $c $(seq "$d" $((d + 40))); do rm -f "$dir/OSirq$line" "$dir/.OSirq$line."*; done
  rm -f "$dir/OSirq$((d + 1))x" "$dir/OSirq0123456789"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
fail() {
  echo "FAIL: $*"
  exit 1
}
# wait_for FILE TEXT: until FILE holds the line TEXT, twenty seconds at most.
wait_for() {
  for _ in $(seq 400); do grep -qxF "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  fail "no line '$2' in $1 after 20 s: $(cat "$1")"
}
# gone PID: until the process has ended, twenty seconds at most; its status in $status.
gone() {
  for _ in $(seq 400); do kill -0 "$1" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$1" 2>/dev/null && fail "process $1 still runs after 20 s"
  wait "$1"; status=$?
}
# tap LINE: bellTap raises lines from 2^31 on by their negative (atoi) form.
tap() { timeout 10 "$belltap" $(( $1 >= 2147483648 ? $1 - 4294967296 : $1 )); }
start() { # start NAME ARGS...: a host in the background, its output in $work/NAME.*
  name=$1; shift
  "$irqhost" "$@" >"$work/$name.out" 2>"$work/$name.err" &
  host=$!; hosts="$hosts $host"
  wait_for "$work/$name.err" "irqhost: publishing $(describe "$@"); Ctrl+C stops"
}
describe() { # the banner's list of lines
  [ "$1" = -m ] && shift 2
  [ $# = 1 ] && { echo "1 line: OSirq$1"; return; }
  list=""; for line; do list="$list${list:+, }OSirq$line"; done
  echo "$# lines: $list"
}

# Publishes with the mode asked for; prints each interrupt as it comes (line
# buffered); refuses a line that is live or given twice.
start main -m 0640 "$a" "$b"
[ "$(stat -c %a "$dir/OSirq$a")" = 640 ] || fail "mode is not 0640"
main=$host
start modes -m 7777 "$c" # setuid, setgid and sticky bits land too
[ "$(stat -c %a "$dir/OSirq$c")" = 7777 ] || fail "mode is not 7777: $(stat -c %a "$dir/OSirq$c")"
kill -INT "$host"; gone "$host"; host=$main
timeout 10 "$irqhost" "$b" 2>"$work/second"; status=$?
[ "$status" = 1 ] || fail "a second host of OSirq$b: status $status"
grep -qxF "irqhost: cannot publish OSirq$b: a running host already publishes it" "$work/second" || fail "$(cat "$work/second")"
# A bad command line: its reason, the usage, status 2, nothing published.
while IFS='|' read -r args reason; do
  # shellcheck disable=SC2086
  timeout 10 "$irqhost" $args >"$work/bad.out" 2>"$work/bad.err"; status=$?
  [ "$status" = 2 ] || fail "irqhost $args: status $status"
  [ "$(head -n 1 "$work/bad.err")" = "irqhost: $reason" ] || fail "irqhost $args: $(cat "$work/bad.err")"
  grep -q "^usage: irqhost" "$work/bad.err" || fail "irqhost $args: no usage"
  [ -e "$dir/OSirq$c" ] && fail "irqhost $args published OSirq$c"
done <<EOF
$c $c|OSirq$c: given twice
-m|option -m needs an octal mode
-m 8 $c|'8' is not an octal file mode (0 to 7777)
-m 10000 $c|'10000' is not an octal file mode (0 to 7777)
-x $c|unknown option -x
+$c|'+$c' is not a line number, nor a range of them (first-last)
-m +600 $c|'+600' is not an octal file mode (0 to 7777)
--mode=0600 $c|unknown option --mode=0600
---x $c|unknown option ---x
--help=x $c|option --help takes no value
$c -m 0666|'-m' is not a line number, nor a range of them (first-last)
-- -m|'-m' is not a line number, nor a range of them (first-last)
18446744073709551617|'18446744073709551617' is not a line number, nor a range of them (first-last)
4294967296|'4294967296' is not a line number, nor a range of them (first-last)
5-3|'5-3' is not a line number, nor a range of them (first-last)
3-|'3-' is not a line number, nor a range of them (first-last)
0-4294967295|more than 1048576 lines
3 1-5|OSirq3: given twice
-n 0 $c|'0' is not a count of interrupts (a whole number from 1)
--count x $c|'x' is not a count of interrupts (a whole number from 1)
-n|option -n needs a count of interrupts
--timeout|option -t needs a time in seconds
-t -1 $c|'-1' is not a time in seconds (such as 2 or 0.5)
-t 1. $c|'1.' is not a time in seconds (such as 2 or 0.5)
--timeout .5 $c|'.5' is not a time in seconds (such as 2 or 0.5)
--timestamp=1 $c|option --timestamp takes no value
--list $c|--list takes no lines
EOF
# Blanks are no part of a number either.
for args in " $c|' $c' is not a line number, nor a range of them (first-last)" \
            "-m| 600|' 600' is not an octal file mode (0 to 7777)"; do
  case $args in
    -m*) rest=${args#-m|}; timeout 10 "$irqhost" -m "${rest%%|*}" "$c" 2>"$work/bad.err" ;;
    *) timeout 10 "$irqhost" "${args%%|*}" 2>"$work/bad.err" ;;
  esac
  status=$?
  [ "$status" = 2 ] && [ "$(head -n 1 "$work/bad.err")" = "irqhost: ${args##*|}" ] || fail "blanks: status $status: $(cat "$work/bad.err")"
done
for option in -h --help; do
  timeout 10 "$irqhost" $option >"$work/help" 2>"$work/help.err" || fail "irqhost $option failed"
  grep -q "^usage: irqhost" "$work/help" && [ ! -s "$work/help.err" ] || fail "irqhost $option: $(cat "$work/help")"
done
version=$(sed -n 's/^.TH IRQHOST 1 [0-9-]* "bellTap \([0-9.]*\)".*/\1/p' "$(dirname "$0")/../irqhost.1")
[ "$(timeout 10 "$irqhost" --version)" = "irqhost $version" ] || fail "irqhost --version: $("$irqhost" --version)"
tap "$b" || fail "trigger of $b failed"
wait_for "$work/main.out" "irq $b"
tap "$a" || fail "trigger of $a failed"
wait_for "$work/main.out" "irq $a"
# Waiting, it takes no time of the processor's.
sleep 0.5
ticks=$(awk '{print $14 + $15}' "/proc/$host/stat")
[ "$ticks" -le 20 ] || fail "an idle host took $ticks ticks of the processor in half a second"
kill -TERM "$host"; gone "$host"
[ "$status" = 0 ] || fail "host ended with $status"
[ "$(cat "$work/main.out")" = "$(printf 'irq %s\nirq %s' "$b" "$a")" ] || fail "host printed: $(cat "$work/main.out")"
[ -e "$dir/OSirq$a" ] || [ -e "$dir/OSirq$b" ] && fail "host left its FIFOs behind after SIGTERM"
tap "$a" >/dev/null; [ $? = 254 ] || fail "stopped host's line still set"

# A closed terminal withdraws too, as soon as the banner is out; and the
# highest line number is a line like any other.
start hup "$c" 4294967295
kill -HUP "$host"; gone "$host"
[ "$status" = 0 ] || fail "host ended with $status after SIGHUP"
[ -e "$dir/OSirq$c" ] || [ -e "$dir/OSirq4294967295" ] && fail "host left its FIFOs behind after SIGHUP"
# Started to outlive its terminal (nohup: SIGHUP ignored), it keeps ignoring
# it: a SIGHUP sent before a raise takes nothing from the raise.
(trap '' HUP; exec "$irqhost" "$c") >"$work/nohup.out" 2>"$work/nohup.err" &
host=$!; hosts="$hosts $host"
wait_for "$work/nohup.err" "irqhost: publishing 1 line: OSirq$c; Ctrl+C stops"
kill -HUP "$host"
tap "$c" || fail "trigger of $c failed after SIGHUP under nohup"
wait_for "$work/nohup.out" "irq $c"
kill -TERM "$host"; gone "$host"
[ "$status" = 0 ] || fail "host under nohup ended with $status"
# A wait that fails (poll takes no more descriptors than the process may
# have) ends the host with its reason and status 1, its line withdrawn.
start limited "$c"
prlimit --pid "$host" --nofile=1:1 || fail "prlimit failed"
tap "$c" || fail "trigger of $c failed"
gone "$host"
[ "$status" = 1 ] || fail "host ended with $status after a failed wait"
grep -qxF "irqhost: waiting failed: Invalid argument" "$work/limited.err" || fail "$(cat "$work/limited.err")"
[ -e "$dir/OSirq$c" ] && fail "host kept its FIFO after a failed wait"

# A failed write to standard output ends the host with status 1.
"$irqhost" "$d" >/dev/full 2>"$work/full.err" & host=$!; hosts="$hosts $host"
wait_for "$work/full.err" "irqhost: publishing 1 line: OSirq$d; Ctrl+C stops"
tap "$d" || fail "trigger of $d failed"
gone "$host"
[ "$status" = 1 ] || fail "host ended with $status after a failed write"
grep -q "^irqhost: cannot write to standard output: " "$work/full.err" || fail "$(cat "$work/full.err")"
[ -e "$dir/OSirq$d" ] && fail "host kept its FIFO after a failed write"

# So does a reader of its output that has gone, at once: no further
# interrupt is needed to notice.
"$irqhost" "$d" 2>"$work/pipe.err" | head -n 1 >"$work/pipe.out" &
pipeline=$!
wait_for "$work/pipe.err" "irqhost: publishing 1 line: OSirq$d; Ctrl+C stops"
tap "$d" || fail "trigger of $d failed"
wait_for "$work/pipe.out" "irq $d"
wait_for "$work/pipe.err" "irqhost: cannot write to standard output: its reader has gone"
[ -e "$dir/OSirq$d" ] && fail "host kept its FIFO after its output was gone"
gone "$pipeline"

# Started with standard input, output or error closed (each alone, or all),
# it serves as ever with /dev/null in their place (standard output then goes
# nowhere), holds every other descriptor close-on-exec, and stops cleanly.
for closed in 0 1 2 "0 1 2"; do
  case $closed in
    0) "$irqhost" "$d" <&- >"$work/closed.out" 2>"$work/closed.err" & ;;
    1) "$irqhost" "$d" >&- 2>"$work/closed.err" & ;;
    2) "$irqhost" "$d" 2>&- >"$work/closed.out" & ;;
    *) "$irqhost" "$d" <&- >&- 2>&- & ;;
  esac
  host=$!; hosts="$hosts $host"
  for _ in $(seq 400); do [ -p "$dir/OSirq$d" ] && break; sleep 0.05; done
  sleep 0.1
  for fd in $closed; do
    [ "$(readlink "/proc/$host/fd/$fd")" = /dev/null ] || fail "closed $closed: $fd is $(readlink "/proc/$host/fd/$fd")"
  done
  # Its own descriptors (its epoll set, eventfd and FIFOs, not what it
  # inherited) are close-on-exec.
  for fd in /proc/"$host"/fd/*; do
    n=${fd##*/}
    [ "$n" -gt 2 ] && [ "$(readlink "$fd")" = /dev/null ] && [ "$(readlink "/proc/$$/fd/$n")" != /dev/null ] &&
      fail "closed $closed: /dev/null opened at $n too"
    case $(readlink "$fd") in anon_inode:*|"$dir"/*) ;; *) continue ;; esac
    flags=$(sed -n 's/^flags:\s*//p' "/proc/$host/fdinfo/${fd##*/}")
    [ $(( 0$flags & 02000000 )) != 0 ] || fail "closed $closed: $(readlink "$fd") is not close-on-exec"
  done
  tap "$d" || fail "closed $closed: trigger failed"
  [ "$closed" = 0 ] || [ "$closed" = 2 ] && wait_for "$work/closed.out" "irq $d"
  sleep 0.1
  kill -0 "$host" 2>/dev/null || fail "closed $closed: the host ended after an interrupt"
  kill -TERM "$host"; gone "$host"
  [ "$status" = 0 ] || fail "closed $closed: host ended with $status"
  [ -e "$dir/OSirq$d" ] && fail "closed $closed: FIFO left behind"
done

# A write to a reader that has gone fails, and ends the host with status 1,
# not by SIGPIPE: the reader goes while the host is stopped, with a line set.
mkfifo "$work/out"
cat "$work/out" >/dev/null & reader=$!
"$irqhost" "$d" >"$work/out" 2>"$work/gone.err" & host=$!; hosts="$hosts $host"
wait_for "$work/gone.err" "irqhost: publishing 1 line: OSirq$d; Ctrl+C stops"
kill -STOP "$host"
tap "$d" || fail "trigger of $d failed"
kill "$reader"; wait "$reader" 2>/dev/null
kill -CONT "$host"; gone "$host"
[ "$status" = 1 ] || fail "a write to a gone reader: status $status"
grep -q "^irqhost: cannot write to standard output: " "$work/gone.err" || fail "$(cat "$work/gone.err")"
[ -e "$dir/OSirq$d" ] && fail "host kept its FIFO after a write to a gone reader"

# A count, a time allowed and time stamps: each way of ending withdraws the
# lines, with status 0, or 3 where the count was not reached in time.
"$irqhost" -n 2 --timestamp "$a-$b" >"$work/count.out" 2>"$work/count.err" & host=$!; hosts="$hosts $host"
wait_for "$work/count.err" "irqhost: publishing 2 lines: OSirq$a, OSirq$b; Ctrl+C stops"
# Each report's time lies between the raise and the line's arrival, by the
# raiser's clock (in microseconds, a millisecond's slack for the clocks).
for taken in 1 2; do
  before=$(date +%s%6N)
  tap "$b" || fail "trigger of $b failed"
  for _ in $(seq 400); do [ "$(grep -c . "$work/count.out")" = $taken ] && break; sleep 0.05; done
  after=$(date +%s%6N)
  stamp=$(sed -n "${taken}s/^\([0-9]*\)\.\([0-9]\{6\}\) irq $b\$/\1\2/p" "$work/count.out")
  [ -n "$stamp" ] && [ "$stamp" -ge $((before - 1000)) ] && [ "$stamp" -le $((after + 1000)) ] ||
    fail "report $taken stamped $stamp, not between $before and $after: $(cat "$work/count.out")"
done
gone "$host"
[ "$status" = 0 ] || fail "-n 2: status $status"
[ -e "$dir/OSirq$a" ] && fail "-n 2 left its FIFOs"
[ "$(grep -c . "$work/count.out")" = 2 ] || fail "-n 2 printed: $(cat "$work/count.out")"
# What a dead host's FIFO holds, kept by a writer, is the next host's first
# interrupt: reported even when no time is left (-t 0).
mkfifo -m 0600 "$dir/OSirq$a"; exec 4<>"$dir/OSirq$a"; printf x >&4; exec 5>"$dir/OSirq$a"; exec 4<&-
timeout 10 "$irqhost" -t 0 "$a" >"$work/left.out" 2>&1; status=$?
exec 5>&-
[ "$status" = 0 ] && grep -qx "irq $a" "$work/left.out" || fail "-t 0 after a dead host's set: $status: $(cat "$work/left.out")"
for args in "-n 1 -t 0.3|3" "-t 0.3|0" "--timeout 0|0"; do
  timeout 10 "$irqhost" ${args%|*} "$a" >"$work/timeout.out" 2>&1; status=$?
  [ "$status" = "${args#*|}" ] || fail "irqhost ${args%|*}: status $status: $(cat "$work/timeout.out")"
  [ -e "$dir/OSirq$a" ] && fail "irqhost ${args%|*} left its FIFO"
done

# The list of what is published: this user's hosts, another user's, a stale
# FIFO; not an unrelated file, nor a publish's private name. Looking takes
# nothing from any host.
if [ "$(id -u)" = 0 ]; then
  cp "$irqhost" "$work/irqhost" && chmod 755 "$work" "$work/irqhost"
  "$irqhost" "$a" >"$work/own.out" 2>"$work/own.err" & own=$!; hosts="$hosts $own"
  "$irqhost" -m 0660 "$b" >"$work/group.out" 2>"$work/group.err" & group=$!; hosts="$hosts $group"
  setpriv --reuid=65534 --regid=65534 --clear-groups "$work/irqhost" -m 0644 "$c" >"$work/other.out" 2>"$work/other.err" &
  other=$!; hosts="$hosts $other"
  listed="own:$a group:$b other:$c"
  for host in $listed; do wait_for "$work/${host%:*}.err" "irqhost: publishing 1 line: OSirq${host#*:}; Ctrl+C stops"; done
  mkfifo -m 0640 "$dir/OSirq$d"
  touch "$dir/OSirq$((d + 1))x" && mkfifo "$dir/.OSirq$d.$$.0123456789abcdef" && mkfifo "$dir/OSirq0123456789"
  exec 3>"$dir/OSirq$a" # a writer alone, as a prepared line holds one: not its host
  # As root, and as the other user, who may look at its own alone.
  for lister in root nobody; do
    if [ $lister = root ]; then "$irqhost" --list; else setpriv --reuid=65534 --regid=65534 --clear-groups "$work/irqhost" --list; fi >"$work/list" 2>&1 ||
      fail "--list as $lister failed: $(cat "$work/list")"
    tab=$(printf '\t')
    grep -E "^OSirq($a|$b|$c|$d)$tab" "$work/list" >"$work/ours"
    if [ $lister = root ]; then
      printf 'OSirq%s\t%s\troot\t0600\tlive\t%s\nOSirq%s\t%s\troot\t0660\tlive\t%s\nOSirq%s\t%s\tnobody\t0644\tlive\t%s\nOSirq%s\t%s\troot\t0640\tstale\t-\n' \
        "$a" "$a" "$own" "$b" "$b" "$group" "$c" "$c" "$other" "$d" "$d" >"$work/expected"
    else
      printf 'OSirq%s\t%s\troot\t0600\tunknown\t-\nOSirq%s\t%s\troot\t0660\tunknown\t-\nOSirq%s\t%s\tnobody\t0644\tlive\t%s\nOSirq%s\t%s\troot\t0640\tunknown\t-\n' \
        "$a" "$a" "$b" "$b" "$c" "$c" "$other" "$d" "$d" >"$work/expected"
    fi
    diff "$work/expected" "$work/ours" >/dev/null || fail "--list as $lister: $(diff "$work/expected" "$work/ours")"
    grep -q "OSirq123456789$tab\|OSirq$d\.\|x$tab" "$work/list" && fail "--list took another file for an event: $(cat "$work/list")"
  done
  exec 3>&-
  # Nothing held from one event or process to the next: a few descriptors
  # list many events among more processes than descriptors.
  sleepers=""
  for _ in $(seq 20); do sleep 600 & sleepers="$sleepers $!"; done
  hosts="$hosts $sleepers"
  "$irqhost" "$d-$((d + 40))" 2>"$work/many.err" & many=$!; hosts="$hosts $many"
  wait_for "$work/many.err" "$(echo "irqhost: publishing 41 lines:" $(seq -f "OSirq%.0f," "$d" "$((d + 40))") | sed 's/,$//'); Ctrl+C stops"
  (ulimit -n 16; exec "$irqhost" --list) >"$work/list" 2>&1 || fail "--list with few descriptors: $(cat "$work/list")"
  [ "$(grep -c "^OSirq[0-9]*${tab}[0-9]*${tab}root${tab}0600${tab}live${tab}$many\$" "$work/list")" = 41 ] ||
    fail "--list with few descriptors: $(grep "$many" "$work/list" | head -3)"
  kill -TERM "$many"; gone "$many"
  for pid in $sleepers; do kill -KILL "$pid"; wait "$pid" 2>/dev/null; done
  "$irqhost" --list >/dev/full 2>/dev/null && fail "--list into a full output said it worked"
  rm -f "$dir/OSirq$d" "$dir/OSirq$((d + 1))x" "$dir/.OSirq$d.$$.0123456789abcdef" "$dir/OSirq0123456789"
  for line in $a $b $c; do tap "$line" || fail "trigger of $line after --list failed"; done
  for host in $listed; do
    wait_for "$work/${host%:*}.out" "irq ${host#*:}"
    [ "$(cat "$work/${host%:*}.out")" = "irq ${host#*:}" ] || fail "after --list the ${host%:*} host printed a phantom"
  done
  kill -TERM $own $group $other
  for pid in $own $group $other; do gone "$pid"; [ "$status" = 0 ] || fail "a listed host ended with $status"; done
fi

# The defaults: lines 0 to 7, mode 0600. Those names are in everyone's use,
# so this part runs in a private /dev/shm of its own (root only).
if [ "$(id -u)" = 0 ] && [ -d /dev/shm ] && unshare -m true 2>/dev/null; then
  timeout 20 unshare -m sh -c '
    mount -t tmpfs -o mode=1777 none /dev/shm || exit 3
    "$1" 2>/dev/shm/err & host=$!
    for _ in $(seq 400); do [ -s /dev/shm/err ] && break; sleep 0.05; done
    grep -qxF "irqhost: publishing 8 lines: OSirq0, OSirq1, OSirq2, OSirq3, OSirq4, OSirq5, OSirq6, OSirq7; Ctrl+C stops" /dev/shm/err || exit 4
    [ "$(cd /dev/shm && stat -c "%n %a %F" OSirq* | tr "\n" ,)" = "OSirq0 600 fifo,OSirq1 600 fifo,OSirq2 600 fifo,OSirq3 600 fifo,OSirq4 600 fifo,OSirq5 600 fifo,OSirq6 600 fifo,OSirq7 600 fifo," ] || exit 5
    kill -INT $host; wait $host' sh "$irqhost" >"$work/defaults" 2>&1
  status=$?
  [ "$status" = 0 ] || fail "defaults ($status: 4 banner, 5 lines or mode): $(cat "$work/defaults")"
fi

rm -rf "$work"
echo "1 passed, 0 failed"
