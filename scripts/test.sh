#!/usr/bin/env bash
# The whole test suite, in five passes, each on a build of its own with warnings as errors: the
# release build in .venv; a build with every shortcut compiled out (scripts/plain_paths.sh);
# AddressSanitizer and UndefinedBehaviorSanitizer (scripts/sanitize.sh); Debian's debug
# interpreter, hunting reference leaks (scripts/refleaks.sh); and the newest CPython 3.12 and
# 3.13 on the machine beside Debian's python3 (scripts/test_versions.sh --minor), so that the
# code for each interpreter version runs. Sets up what is
# missing first; arguments go to pytest in every pass (for one quick pass:
# bash scripts/setup.sh && .venv/bin/python -m pytest).
set -euo pipefail
cd "$(dirname "$0")/.."

timed_pass() {
  local name="$1" start=$SECONDS
  shift
  echo "== $name"
  "$@"
  echo "== $name: $((SECONDS - start)) s"
}

run_release_pass() {
  bash scripts/setup.sh
  .venv/bin/python -m pytest "$@"
}

timed_pass "release build" run_release_pass "$@"
timed_pass "fast paths compiled out" bash scripts/plain_paths.sh "$@"
timed_pass "sanitizers" bash scripts/sanitize.sh "$@"
timed_pass "reference leaks" bash scripts/refleaks.sh "$@"
timed_pass "CPython 3.12 and 3.13" bash scripts/test_versions.sh --minor 3.12 --minor 3.13 "$@"
