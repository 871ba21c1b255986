#!/usr/bin/env bash
# Makes this checkout ready to run: installs the Debian packages and the Node-RED that the
# project needs when they are missing, then builds the module into the virtual environment
# .venv (made from Debian's Python, seeing its packages). Safe to run again; quiet when all
# is in place apart from the build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/module_build.sh

ensure_debian_packages g++ meson ninja-build python3 python3-dev python3-venv python3-pip \
  python3-mesonpy python3-requests python3-pytest python3-hypothesis mypy
bash scripts/install_nodered.sh
[ -x .venv/bin/python ] || /usr/bin/python3 -m venv --system-site-packages .venv
# Warnings are errors here: the module must build cleanly.
.venv/bin/python -m pip install --no-build-isolation --no-deps --quiet \
  --config-settings=setup-args=-Dwerror=true "$@" .
