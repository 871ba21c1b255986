#!/usr/bin/env bash
# The suite on a build with every shortcut compiled out (-Dfast_paths=false): 2.1 min here.
# Runs the whole test suite on a build with every shortcut compiled out (-Dfast_paths=false),
# in its own build-plain/ and .venv-plain/: the plain paths alone must give what the release
# build gives. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/module_build.sh

prepare_pass /usr/bin/python3 .venv-plain build-plain -Dfast_paths=false
# Tests whose input is too large for the plain paths to finish in time skip themselves.
FLOW_FAST_PATHS=false exec .venv-plain/bin/python -m pytest "$@"
