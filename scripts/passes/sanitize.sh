#!/usr/bin/env bash
# The suite on a build with AddressSanitizer and UndefinedBehaviorSanitizer: 4.5 min here.
# Runs the whole test suite against a build of the module instrumented with AddressSanitizer
# and UndefinedBehaviorSanitizer (scripts/passes/sanitize.ini), in its own build-sanitize/ and
# .venv-sanitize/. Any report, from the test process or from a child it starts, fails the run.
# Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/module_build.sh

prepare_pass /usr/bin/python3 .venv-sanitize build-sanitize --native-file="$PWD/scripts/passes/sanitize.ini"
run_fewer_hostile_cases

reports="$PWD/build-sanitize/reports"
rm -rf "$reports"
mkdir -p "$reports"
# The interpreter is not instrumented, so the runtime has to be loaded before it; its own
# allocator is switched off so that every object lives in memory the sanitizer watches. The
# interpreter leaves memory behind at exit by design, hence no leak check.
export LD_PRELOAD
LD_PRELOAD="$(g++ -print-file-name=libasan.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"

status=0
.venv-sanitize/bin/python -m pytest "$@" || status=$?
if compgen -G "$reports/*" > /dev/null; then
  echo "sanitize.sh: sanitizer reports:" >&2
  cat "$reports"/* >&2
  exit 1
fi
exit "$status"
