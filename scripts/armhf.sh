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

cross_compile_into_venv() {
  local site reconfigure=()
  site="$(armhf_site_packages "$VENV")"
  [ -d "$BUILD_DIR/meson/meson-private" ] && reconfigure=(--reconfigure)
  meson setup "${reconfigure[@]}" "$BUILD_DIR/meson" \
    --cross-file "$ARMHF_MACHINE_FILE" --cross-file "$ARMHF_CROSS_FILE" \
    -Dwerror=true -Dpython.platlibdir="$site" -Dpython.purelibdir="$site" > /dev/null
  meson compile -C "$BUILD_DIR/meson" > /dev/null
  meson install -C "$BUILD_DIR/meson" > /dev/null
}

install_armhf_host_packages
bash scripts/install_nodered.sh
prepare_armhf_root
make_armhf_venv "$VENV"
cross_compile_into_venv
# The tests that build the module themselves build it for armhf too.
export FLOW_MESON_CROSS_FILES="$ARMHF_MACHINE_FILE:$ARMHF_CROSS_FILE"
exec "$VENV/bin/python" -m pytest "$@"
