#!/usr/bin/env bash
# Cross-compiles the module for 32-bit ARM Linux (armhf) and runs the whole test suite on
# Debian's armhf CPython under qemu-user, with Node-RED running natively on the loopback.
# Needs root on Debian 12 the first time (it installs the cross toolchain, qemu and an armhf
# Debian root under .armhf/); later runs reuse them. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/armhf_env.sh

BUILD_DIR=build-armhf
VENV="$BUILD_DIR/venv"

install_armhf_host_packages
bash scripts/install_nodered.sh
prepare_armhf_root
make_armhf_venv "$VENV"
# meson-python runs on the armhf interpreter, so that the install matches its tags; meson, ninja
# and the cross compiler that it starts run natively.
build_module_into "$VENV" "$BUILD_DIR/meson" \
  --cross-file="$ARMHF_MACHINE_FILE" --cross-file="$ARMHF_CROSS_FILE"
# The tests that build the module themselves build it for armhf too.
export FLOW_MESON_CROSS_FILES="$ARMHF_MACHINE_FILE:$ARMHF_CROSS_FILE"
run_fewer_hostile_cases
exec "$VENV/bin/python" -m pytest "$@"
