#!/usr/bin/env bash
# The whole test suite, in three passes: on the release build in .venv, on a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, and on a build for Debian's debug
# interpreter that hunts reference leaks. Sets up what is missing first; arguments go to
# pytest in every pass (for one quick pass: bash scripts/setup.sh && .venv/bin/python -m pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "== release build"
.venv/bin/python -m pytest "$@"
echo "== sanitizers"
bash scripts/sanitize.sh "$@"
echo "== reference leaks"
bash scripts/refleaks.sh "$@"
