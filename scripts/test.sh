#!/usr/bin/env bash
# Runs the whole test suite: sets up what is missing, builds and installs the module into
# .venv, then runs pytest (arguments go to pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python -m pytest "$@"
