# Sourced, not run (no time of its own): the Debian packages each run needs and the one recipe that builds the module.
# shellcheck shell=bash
# Sourced by every script that builds the module: the Debian packages each kind of run needs,
# and the one way the module is built: a wheel by meson-python, warnings as errors, that pip
# installs.

# shellcheck disable=SC2034 # for the scripts that source this file
# What builds the module for Debian's own python3 and runs the suite on it.
BUILD_PACKAGES=(g++ meson ninja-build pkg-config python3-dev python3-venv python3-pip python3-mesonpy)
TEST_PACKAGES=(python3-requests python3-pytest python3-hypothesis mypy)
# Debian's debug interpreter, for the reference-leak hunt.
DEBUG_PACKAGES=(python3-dbg)
# For interpreters that are not Debian's: Debian's meson 1.0 asks them for distutils, which
# setuptools serves from 3.12 on; pytest and meson-python want these two backports below 3.11.
# Not every Debian release has all of them (sid dropped python3-exceptiongroup).
OTHER_PYTHON_PACKAGES=(python3-setuptools python3-exceptiongroup python3-tomli)
# Debian's own pure-Python packages, which the venvs of every interpreter see.
DEBIAN_SITE=/usr/lib/python3/dist-packages

module_build_log() { echo "$(basename "$0"): $*" >&2; }

debian_package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# ensure_debian_packages NAME...: installs those of the named Debian packages that are missing;
# says nothing when none is.
ensure_debian_packages() {
  local package missing=()
  for package in "$@"; do
    debian_package_installed "$package" || missing+=("$package")
  done
  [ "${#missing[@]}" -eq 0 ] && return
  module_build_log "downloading and installing ${#missing[@]} Debian package(s) with apt-get, with what they need (a fresh Debian 12: most of the first run's ~15 min): ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" > /dev/null
}

# ensure_debian_packages_offered NAME...: the same for those of them this Debian release has.
ensure_debian_packages_offered() {
  local package offered=()
  for package in "$@"; do
    debian_package_installed "$package" && continue
    # A package that the release names but does not ship shows no version.
    apt-cache show "$package" 2>/dev/null | grep -q '^Version:' && offered+=("$package")
  done
  [ "${#offered[@]}" -eq 0 ] || ensure_debian_packages "${offered[@]}"
}

# make_venv PYTHON VENV: a venv with the interpreter's own pip that also sees Debian's packages
# (after its own), so that pytest, hypothesis, requests and meson-python come from Debian for
# every interpreter, Debian's or not. An existing one is kept.
make_venv() {
  local python="$1" venv="$2" site
  [ -x "$venv/bin/python" ] && return
  "$python" -m venv "$venv"
  site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
  echo "$DEBIAN_SITE" > "$site/debian-packages.pth"
}

# build_wheel_into DIR VENV BUILD_DIR [SETUP_ARG...]: builds the module's wheel for VENV's
# interpreter into DIR, in BUILD_DIR with those meson setup arguments and -Dwerror=true. The
# output of meson goes to BUILD_DIR/build.log, and its tail to standard error on failure.
build_wheel_into() {
  local dir="$1" venv="$2" build_dir="$3"
  shift 3
  # meson-python takes the list of files to install before the build brings it up to date:
  # a build dir older than a meson file is started afresh.
  if [ -f "$build_dir/build.ninja" ] && [ -n "$(find meson.build meson_options.txt src \
      -name 'meson*' -newer "$build_dir/build.ninja")" ]; then
    rm -rf "$build_dir"
  fi
  # Where the native file that meson-python writes into the checkout is already this venv's,
  # it reconfigures the build dir, which fails on one that is not set up yet.
  [ -d "$build_dir/meson-private" ] || rm -f .mesonpy-native-file.ini
  mkdir -p "$dir" "$build_dir"
  # meson-python's hook itself, for pip before 23.1 passes on only the last of several
  # setup-args.
  "$venv/bin/python" -c 'import sys, mesonpy
mesonpy.build_wheel(sys.argv[1], {"builddir": sys.argv[2], "setup-args": sys.argv[3:]})' \
    "$dir" "$build_dir" -Dwerror=true "$@" > "$build_dir/build.log" 2>&1 \
    || { tail -n 40 "$build_dir/build.log" >&2; return 1; }
}

# build_module_into VENV BUILD_DIR [SETUP_ARG...]: builds the module's wheel as above and
# installs it into VENV.
build_module_into() {
  local wheels="$2/wheels"
  rm -rf "$wheels"
  build_wheel_into "$wheels" "$@" &&
  "$1/bin/python" -m pip install --quiet --no-deps --no-index --force-reinstall "$wheels"/*.whl
}

# Where scripts/debian_root.sh keeps the root of a suite ($1) and architecture ($2).
# prepare_pass PYTHON VENV BUILD_DIR [MESON_ARG...]: what one pass of the suite needs: the
# Debian packages, Node-RED, and a venv of PYTHON with the module built into it.
prepare_pass() {
  local python="$1" venv="$2" build_dir="$3"
  shift 3
  ensure_debian_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
  bash scripts/install_nodered.sh
  make_venv "$python" "$venv"
  build_module_into "$venv" "$build_dir" "$@"
}

debian_root_dir() {
  echo "${FLOW_ROOTS:-/var/tmp/zorv-flow-roots}/$1-$2"
}

# The slow passes (instrumented, emulated or repeated) run the generated differential test on
# fewer cases, unless the caller says otherwise; the release build runs all of them.
run_fewer_hostile_cases() {
  export FLOW_HOSTILE_CASES="${FLOW_HOSTILE_CASES:-2000}"
}
