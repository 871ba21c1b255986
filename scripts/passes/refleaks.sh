#!/usr/bin/env bash
# The suite on Debian's debug interpreter, failing tests that leak references: 3.6 min here.
# Hunts reference leaks: builds the module for Debian's debug interpreter, in its own
# build-dbg/ and .venv-dbg/, and runs the test suite with tests/refleak_plugin.py, which repeats
# each test and fails those that leave references behind. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/module_build.sh

ensure_debian_packages "${DEBUG_PACKAGES[@]}"
# The debug interpreter has an ABI of its own (sys.gettotalrefcount among it): the module is
# built against its headers and gets its own extension suffix.
prepare_pass /usr/bin/python3-dbg .venv-dbg build-dbg
run_fewer_hostile_cases

# -p imports the plugin before pytest.ini puts tests/ on the path.
PYTHONPATH="$PWD/tests${PYTHONPATH:+:$PYTHONPATH}" exec .venv-dbg/bin/python -m pytest -p refleak_plugin "$@"
