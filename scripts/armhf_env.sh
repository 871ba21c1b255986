# shellcheck shell=bash
# Sourced by scripts/armhf.sh from the checkout's root: the
# host tools for building for 32-bit ARM (armhf), a Debian armhf root that holds the armhf
# CPython with its headers and the test suite's packages, and "armhf venvs" whose python runs
# that CPython under qemu-user. Nothing is run inside the root, so neither chroot nor binfmt is
# needed: qemu-arm -L makes the dynamic loader find the root's libraries, and everything else
# is named by its real path in the root (qemu 7.2 does not redirect every call: stat, as armhf
# glibc makes it, sees the host's files). /tmp, the checkout and node stay the host's.
source scripts/module_build.sh

ARMHF_DIR="$PWD/.armhf"
ARMHF_ROOT="$ARMHF_DIR/root"
ARMHF_MACHINE_FILE="$ARMHF_DIR/paths.ini"
ARMHF_PYTHON="$ARMHF_DIR/python3.11"
# shellcheck disable=SC2034 # for the scripts that source this file
ARMHF_CROSS_FILE="$PWD/scripts/armhf-cross.ini"

# mypy checks the stub for the typing tests on the host; the root's mypy runs stubtest there.
ARMHF_HOST_PACKAGES=(crossbuild-essential-armhf qemu-user meson ninja-build pkg-config python3 mypy)
# Their dependencies come along (arch-all ones as they are, the others for armhf). libstdc++6 is
# the C++ runtime that a C++ extension may need; pip and meson-python build and install the
# module on the armhf interpreter.
ARMHF_ROOT_PACKAGES=(
  python3:armhf libpython3.11-dev:armhf libstdc++6:armhf
  python3-distutils python3-requests python3-pytest python3-hypothesis python3-mypy python3-pip
  python3-mesonpy
)

armhf_log() { echo "armhf: $*" >&2; }

install_armhf_host_packages() {
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  ensure_debian_packages "${ARMHF_HOST_PACKAGES[@]}"
}

# Every package that the root packages need, each named as apt-get download wants it.
armhf_package_closure() {
  local names
  names="$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
             --no-breaks --no-replaces --no-enhances "${ARMHF_ROOT_PACKAGES[@]}" \
           | grep -v '^[ <]' | sed 's/:armhf$//' | sort -u)"
  # shellcheck disable=SC2086
  apt-cache show --no-all-versions $names \
    | awk '/^Package:/ { name = $2 } /^Architecture:/ { print ($2 == "all") ? name : name ":armhf" }' \
    | sort -u
}

# The root is unpacked once per package list; a changed list starts it afresh. The files that
# name it are written every time, so that a moved checkout finds its root.
prepare_armhf_root() {
  local wanted="${ARMHF_ROOT_PACKAGES[*]}"
  if [ ! -f "$ARMHF_DIR/root.done" ] || [ "$(cat "$ARMHF_DIR/root.done")" != "$wanted" ]; then
    unpack_armhf_root
    echo "$wanted" > "$ARMHF_DIR/root.done"
  fi
  # Meson runs the armhf interpreter through one program, not a command line.
  printf '#!/bin/sh\nexec qemu-arm -L "%s" "%s/usr/bin/python3.11" "$@"\n' \
    "$ARMHF_ROOT" "$ARMHF_ROOT" > "$ARMHF_PYTHON"
  chmod +x "$ARMHF_PYTHON"
  printf "[constants]\nroot = '%s'\narmhf_python = '%s'\n" "$ARMHF_ROOT" "$ARMHF_PYTHON" \
    > "$ARMHF_MACHINE_FILE"
}

unpack_armhf_root() {
  armhf_log "unpacking Debian's armhf ${ARMHF_ROOT_PACKAGES[*]} with their dependencies"
  rm -rf "$ARMHF_ROOT" "$ARMHF_DIR/debs" "$ARMHF_DIR/root.done"
  mkdir -p "$ARMHF_ROOT" "$ARMHF_DIR/debs"
  # apt fetches as _apt when it may write the folder, and warns otherwise.
  chown _apt "$ARMHF_DIR/debs" 2>/dev/null || true
  local packages deb
  # The armhf package lists are missing until apt-get update ran after the architecture came.
  apt-cache show python3.11-minimal:armhf > /dev/null 2>&1 || apt-get update -qq
  mapfile -t packages < <(armhf_package_closure)
  (cd "$ARMHF_DIR/debs" && apt-get download -qq "${packages[@]}")
  for deb in "$ARMHF_DIR"/debs/*.deb; do
    dpkg-deb -x "$deb" "$ARMHF_ROOT"
  done
}

# An armhf venv in $1: bin/python runs the root's CPython under qemu with the venv's own
# site-packages (pyvenv.cfg), and sees its own path as sys.executable, so that the tests' child
# interpreters start the same way.
make_armhf_venv() {
  local venv
  venv="$(realpath -m "$1")"
  mkdir -p "$venv/bin" "$venv/lib/python3.11/site-packages"
  printf 'home = %s/usr/bin\ninclude-system-site-packages = true\nversion = 3.11\n' \
    "$ARMHF_ROOT" > "$venv/pyvenv.cfg"
  cat > "$venv/bin/python" <<EOF
#!/bin/sh
exec qemu-arm -L '$ARMHF_ROOT' -0 '$venv/bin/python' '$ARMHF_ROOT/usr/bin/python3.11' "\$@"
EOF
  chmod +x "$venv/bin/python"
  ln -sf python "$venv/bin/python3"
}
