# Sourced by the scripts' dry runs: a copy of a script in a tree of its own,
# where every command it runs is a stand-in that appends its name and
# arguments to $calls, as the script's own output does, so that one file
# shows what ran in which order. A stand-in fails when $FAIL is exactly its
# line, or always when its name is in $ALWAYS_FAIL.
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
tree=$work/tree calls=$work/calls
mkdir -p "$tree/scripts/tests" "$work/bin"
project=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "$(basename "$0" .sh): FAILED: $*"; exit 1; }

# stand_in FILE: a stand-in at FILE, named by its file name.
stand_in() {
  mkdir -p "$(dirname "$1")"
  cat >"$1" <<'STUB'
#!/bin/sh
me=$(basename "$0")
line=$(echo "$me $*" | sed 's/ $//')
# A build folder made by a configure, and whether it was there before.
if [ "$me" = cmake ] && [ "$1" = --preset ]; then
  if [ -d "build/$2" ]; then line="$line [existing]"; else line="$line [new]"; mkdir -p "build/$2" && echo "$PWD/build/$2" >>"$MADE"; fi
fi
echo "$line" >>"$CALLS"
[ "${FAIL:-}" = "$line" ] && exit 1
case " ${ALWAYS_FAIL:-} " in *" $me "*) exit 1 ;; esac
exit 0
STUB
  chmod +x "$1"
}

# stub NAME...: stand-ins on the PATH; stub_in_tree PATH...: at paths of the tree.
stub() { for name; do stand_in "$work/bin/$name"; echo "$name" >>"$work/names"; done; }
stub_in_tree() { for path; do stand_in "$tree/$path"; basename "$path" >>"$work/names"; done; }

# run SCRIPT [ARGUMENTS]: the copy of scripts/SCRIPT, run from another
# folder with the stand-ins first on the PATH, for 60 s at most (a run that
# outlives them fails); its status in $status.
run() {
  script=$1; shift
  cp "$project/scripts/$script" "$tree/scripts/$script"
  : >"$calls"
  : >"$work/made"
  status=0
  (cd "$work" && CALLS=$calls MADE=$work/made PATH="$work/bin:$PATH" timeout 60 sh "$tree/scripts/$script" "$@" \
    </dev/null >>"$calls" 2>&1) || status=$?
  [ "$status" != 124 ] || fail "scripts/$script $* ran out of its 60 s"
  # What its configures made goes again: each run finds the tree alike.
  xargs rm -rf <"$work/made"
}

# expect_steps STEPS: the run did exactly these steps, in this order, and
# ended with status 0.
expect_steps() {
  printf '%s\n' "$1" >"$work/expected"
  [ "$status" = 0 ] && [ "$(cat "$calls")" = "$1" ] ||
    fail "status $status, and it ran otherwise than expected:
$(diff "$work/expected" "$calls")"
}

# each_failure_stops SCRIPT [ARGUMENTS]: with each stand-in's step of the
# expected run failing in turn, the run stops right there, with a status of
# its own. Steps of the stand-ins named in $tolerated may fail.
each_failure_stops() {
  grep -v '^==' "$work/expected" >"$work/steps"
  while IFS= read -r step; do
    name=${step%% *}
    grep -Fqx -- "$name" "$work/names" || continue
    case " ${tolerated:-} " in *" $name "*) continue ;; esac
    FAIL=$step run "$@"
    [ "$status" != 0 ] || fail "the run went on when '$step' failed"
    [ "$(grep -v '^==' "$calls" | tail -n 1)" = "$step" ] || fail "the run did not stop at '$step': $(tail -n 3 "$calls")"
  done <"$work/steps"
}
