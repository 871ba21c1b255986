#!/usr/bin/env bash
# Builds the module's wheels into dist/: one for this machine (Debian's python3) and one for
# 32-bit ARM Linux (armhf, cross-compiled against Debian's armhf CPython 3.11, tagged
# linux_armv7l), warnings as errors. Then installs each into a fresh venv, the armhf one with
# the armhf pip under qemu, and runs the whole test suite there (arguments go to pytest).
# Needs root on Debian 12 the first time, like scripts/armhf.sh, whose armhf root it shares.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/armhf_env.sh

HOST_PACKAGES=(git python3-mesonpy python3-pip python3-venv python3-requests python3-pytest
               python3-hypothesis)
WORK_DIR="$PWD/build-wheels"
DIST_DIR="$PWD/dist"

# meson-python writes its native file into the tree it builds: give it a copy of the checkout.
copy_sources() {
  rm -rf "$WORK_DIR/src"
  mkdir -p "$WORK_DIR/src"
  git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$WORK_DIR/src"
}

# Runs meson-python's wheel hook in the copy, under the given python, with these meson setup
# arguments; prints the wheel's path. The output of meson goes to $WORK_DIR/<name>.log.
build_wheel() {
  local name="$1" python="$2"
  shift 2
  (cd "$WORK_DIR/src" && "$python" -c '
import pathlib, sys, mesonpy
wheel = mesonpy.build_wheel(sys.argv[2], {"setup-args": ["-Dwerror=true", *sys.argv[3:]]})
pathlib.Path(sys.argv[1]).write_text(wheel)' "$WORK_DIR/$name.wheel" "$DIST_DIR" "$@" \
    > "$WORK_DIR/$name.log" 2>&1) || { tail -n 30 "$WORK_DIR/$name.log" >&2; return 1; }
  echo "$DIST_DIR/$(cat "$WORK_DIR/$name.wheel")"
}

# meson-python takes the wheel's tags and extension suffix from the interpreter it runs on, so
# the armhf wheel is built by the armhf interpreter under qemu, running the host's pure-Python
# meson-python; meson, ninja and the cross compiler that it starts run natively.
armhf_build_python() {
  local venv="$WORK_DIR/venv-armhf-build" package
  rm -rf "$venv" "$WORK_DIR/backend"
  make_armhf_venv "$venv"
  mkdir -p "$WORK_DIR/backend"
  for package in mesonpy pyproject_metadata; do
    ln -s "/usr/lib/python3/dist-packages/$package" "$WORK_DIR/backend/$package"
  done
  printf '#!/bin/sh\nPYTHONPATH="%s" exec "%s" "$@"\n' "$WORK_DIR/backend" "$venv/bin/python" \
    > "$WORK_DIR/armhf-build-python"
  chmod +x "$WORK_DIR/armhf-build-python"
  echo "$WORK_DIR/armhf-build-python"
}

test_host_wheel() {
  local venv="$WORK_DIR/venv-host"
  /usr/bin/python3 -m venv --clear --system-site-packages "$venv"
  "$venv/bin/python" -m pip install --quiet --no-index "$1"
  "$venv/bin/python" -m pytest -p no:cacheprovider "${@:2}"
}

test_armhf_wheel() {
  local venv="$WORK_DIR/venv-armhf"
  rm -rf "$venv"
  make_armhf_venv "$venv"
  # The armhf pip installs only a wheel whose tags the armhf interpreter supports.
  "$venv/bin/python" -m pip install --quiet --no-index --no-cache-dir "$1"
  "$venv/bin/python" -m pytest -p no:cacheprovider "${@:2}"
}

ensure_debian_packages "${HOST_PACKAGES[@]}"
install_armhf_host_packages
bash scripts/install_nodered.sh
prepare_armhf_root
mkdir -p "$WORK_DIR" "$DIST_DIR"
rm -f "$DIST_DIR"/zorv_sdk_nodered_flow-*.whl
copy_sources
host_wheel="$(build_wheel host /usr/bin/python3)"
armhf_wheel="$(build_wheel armhf "$(armhf_build_python)" \
  --cross-file="$ARMHF_MACHINE_FILE" --cross-file="$ARMHF_CROSS_FILE")"
echo "wheels: built $(basename "$host_wheel") and $(basename "$armhf_wheel")"
status=0
echo "wheels: testing $(basename "$host_wheel") in a fresh venv"
test_host_wheel "$host_wheel" "$@" || status=1
echo "wheels: testing $(basename "$armhf_wheel") in a fresh armhf venv under qemu"
test_armhf_wheel "$armhf_wheel" "$@" || status=1
exit "$status"
