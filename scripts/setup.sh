#!/usr/bin/env bash
# Makes this checkout ready to run: installs the Debian packages and the Node-RED that the
# project needs when they are missing, then builds the module into the virtual environment
# .venv (made from Debian's Python, seeing its packages). Safe to run again; quiet when all
# is in place apart from the build.
set -euo pipefail
cd "$(dirname "$0")/.."

DEBIAN_PACKAGES=(
  g++ meson ninja-build python3 python3-dev python3-venv python3-pip
  python3-mesonpy python3-requests python3-pytest python3-hypothesis
)

missing_packages() {
  local package
  for package in "${DEBIAN_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
      || echo "$package"
  done
}

install_debian_packages() {
  local missing
  mapfile -t missing < <(missing_packages)
  [ "${#missing[@]}" -eq 0 ] && return
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" > /dev/null
}

build_module() {
  [ -x .venv/bin/python ] || /usr/bin/python3 -m venv --system-site-packages .venv
  # Warnings are errors here: the module must build cleanly.
  .venv/bin/python -m pip install --no-build-isolation --no-deps --quiet \
    --config-settings=setup-args=-Dwerror=true "${@}" .
}

install_debian_packages
bash scripts/install_nodered.sh
build_module "$@"
