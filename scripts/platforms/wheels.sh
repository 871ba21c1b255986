#!/usr/bin/env bash
# Builds and tests the wheels for x86-64, arm64 and armhf (the last two emulated): about 60 to 70 min here.
# Builds and tests the module's wheels (scripts/platforms/wheel.sh) for x86-64 on this machine, and for
# 64-bit and 32-bit ARM Linux (arm64, armhf) in Debian 13 roots under qemu-user
# (scripts/debian_root.sh); collects them in dist/. Arguments go to pytest. Needs root.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/module_build.sh

FOREIGN_ARCHES=(arm64 armhf)
FOREIGN_SUITE=trixie

status=0
rm -f dist/zorv_sdk_nodered_flow-*.whl
bash scripts/platforms/wheel.sh "$@" || status=1
for arch in "${FOREIGN_ARCHES[@]}"; do
  echo "wheels: $arch, in a Debian $FOREIGN_SUITE root"
  bash scripts/debian_root.sh "$FOREIGN_SUITE" "$arch" scripts/platforms/wheel.sh "$@" || status=1
  cp "$(debian_root_dir "$FOREIGN_SUITE" "$arch")"/flow/dist/zorv_sdk_nodered_flow-*.whl dist/ \
    || status=1
done
ls dist/zorv_sdk_nodered_flow-*.whl
exit "$status"
