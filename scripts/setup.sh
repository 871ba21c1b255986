#!/usr/bin/env bash
# Installs what is missing and builds the module into .venv: ~15 min the first time on a fresh
# Debian 12 (mostly apt-get and npm downloads, each announced as it starts), seconds after.
# Makes this checkout ready to run: installs the Debian packages and the Node-RED that the
# project needs when they are missing, then builds the module into the virtual environment
# .venv (made from Debian's python3, seeing its packages). Safe to run again; quiet when all
# is in place apart from the build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/module_build.sh

ensure_debian_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
bash scripts/install_nodered.sh
make_venv /usr/bin/python3 .venv
build_module_into .venv build-release
