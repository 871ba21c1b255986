#!/usr/bin/env bash
# The whole test suite in five passes, what CI runs: 15.8 min here (--quick: the first pass only, 2.5 min).
# Each pass is a build of its own with warnings as errors: the release build in .venv; a build
# with every shortcut compiled out (scripts/passes/plain_paths.sh); AddressSanitizer and
# UndefinedBehaviorSanitizer (scripts/passes/sanitize.sh); Debian's debug interpreter, hunting
# reference leaks (scripts/passes/refleaks.sh); and the newest CPython 3.12 and 3.13 on the
# machine beside Debian's python3 (scripts/passes/test_versions.sh --minor), so that the code for
# each interpreter version runs. Sets up what is missing first.
# Usage: scripts/test.sh [--quick] [PYTEST_ARG...]   (the arguments go to pytest in every pass)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
if [ "${1:-}" = --quick ]; then
  quick=true
  shift
fi

# Each pass may leave a word on what it covered in the file FLOW_PASS_NOTE names, which its
# summary line carries.
timed_pass() {
  local name="$1" start=$SECONDS note
  shift
  echo "== $name"
  FLOW_PASS_NOTE="$(mktemp)"
  export FLOW_PASS_NOTE
  "$@"
  note="$(cat "$FLOW_PASS_NOTE")"
  rm -f "$FLOW_PASS_NOTE"
  echo "== $name: $((SECONDS - start)) s${note:+, $note}"
}

run_release_pass() {
  bash scripts/setup.sh
  .venv/bin/python -m pytest "$@"
}

timed_pass "release build" run_release_pass "$@"
"$quick" && exit 0
timed_pass "fast paths compiled out" bash scripts/passes/plain_paths.sh "$@"
timed_pass "sanitizers" bash scripts/passes/sanitize.sh "$@"
timed_pass "reference leaks" bash scripts/passes/refleaks.sh "$@"
timed_pass "CPython 3.12 and 3.13" bash scripts/passes/test_versions.sh --minor 3.12 --minor 3.13 "$@"
