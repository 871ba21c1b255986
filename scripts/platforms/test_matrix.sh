#!/usr/bin/env bash
# The suite in four Debian roots (Debian 13 x86-64, arm64, armhf; sid x86-64): about 50 min here once the roots are made, the emulated arm64 one 34 min of it.
# The platform matrix, outside CI: the whole suite, Node-RED included, in Debian roots
# (scripts/debian_root.sh) on every CPython each one has: Debian 13 on x86-64, 64-bit and 32-bit
# ARM (the last two under qemu-user), and sid on x86-64. Each run's output goes to
# build-matrix/SUITE-ARCH.log as well; the closing lines of every run are repeated at the end.
# Arguments go to pytest. Needs root.
set -euo pipefail
cd "$(dirname "$0")/../.."

MATRIX=("trixie amd64" "sid amd64" "trixie arm64" "trixie armhf")
LOG_DIR=build-matrix

# One root's run; its closing lines are added to $LOG_DIR/summary.
run_in_root() {
  local suite="$1" arch="$2" log="$LOG_DIR/$1-$2.log" start=$SECONDS status=0
  shift 2
  bash scripts/debian_root.sh "$suite" "$arch" scripts/passes/test_versions.sh "$@" 2>&1 | tee "$log" \
    || status=$?
  {
    echo "$suite $arch: exit status $status after $((SECONDS - start)) s"
    grep -E '^== CPython|^=+ .* in [0-9.]+s' "$log" || true
  } >> "$LOG_DIR/summary"
  return "$status"
}

mkdir -p "$LOG_DIR"
rm -f "$LOG_DIR/summary"
status=0
for entry in "${MATRIX[@]}"; do
  read -r suite arch <<< "$entry"
  run_in_root "$suite" "$arch" "$@" || status=1
done
echo "== matrix"
cat "$LOG_DIR/summary"
exit "$status"
