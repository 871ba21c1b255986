#!/usr/bin/env bash
# Builds the module against every CPython 3.9 to 3.13 on this machine (Debian's
# /usr/bin/python3.N and pyenv's versions), warnings as errors, checks that its import does not
# warn of a version mismatch, and runs the whole test suite on each (arguments go to pytest).
# Each interpreter gets its own venv under build-versions/, which sees Debian's pure-Python
# pytest, hypothesis and requests through a .pth file: nothing is downloaded.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/module_build.sh

DEBIAN_PACKAGES=(
  g++ meson ninja-build pkg-config python3 python3-dev python3-setuptools python3-requests
  python3-pytest python3-hypothesis python3-exceptiongroup python3-tomli mypy
)
DEBIAN_SITE=/usr/lib/python3/dist-packages
BUILD_ROOT="$PWD/build-versions"
# Debian's meson 1.0.1 asks the interpreter for distutils, which Python 3.12 dropped; Debian's
# setuptools carries a copy that serves it as well.
DISTUTILS_SHIM="$BUILD_ROOT/distutils-shim"

# One line per interpreter: "<label> <path>", each real interpreter once.
find_interpreters() {
  local candidate label seen=" "
  for candidate in /usr/bin/python3.{9..13} "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3; do
    [ -x "$candidate" ] || continue
    label="$("$candidate" -c 'import sys
if sys.implementation.name == "cpython" and (3, 9) <= sys.version_info[:2] <= (3, 13):
    print("%d.%d.%d" % sys.version_info[:3])' 2>/dev/null)" || continue
    [ -n "$label" ] || continue
    case "$seen" in *" $(realpath "$candidate") "*) continue ;; esac
    seen+="$(realpath "$candidate") "
    case "$candidate" in /usr/bin/*) label="$label-debian" ;; *) label="$label-pyenv" ;; esac
    echo "$label $candidate"
  done
}

make_venv() {
  local python="$1" venv="$2" site
  "$python" -m venv --clear --without-pip "$venv"
  site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
  echo "$DEBIAN_SITE" > "$site/debian-packages.pth"
  echo "$site"
}

# The python that meson asks for paths and headers: the venv's, given distutils when it lacks it.
python_for_meson() {
  local venv="$1" dir="$2"
  if "$venv/bin/python" -c 'import distutils' 2>/dev/null; then
    echo "$venv/bin/python"
    return
  fi
  mkdir -p "$DISTUTILS_SHIM"
  ln -sfn "$DEBIAN_SITE/setuptools/_distutils" "$DISTUTILS_SHIM/distutils"
  printf '#!/bin/sh\nPYTHONPATH="%s" exec "%s" "$@"\n' "$DISTUTILS_SHIM" "$venv/bin/python" \
    > "$dir/python-for-meson"
  chmod +x "$dir/python-for-meson"
  echo "$dir/python-for-meson"
}

# The callers test its status, which turns off errexit here: hence the chain.
build_into_venv() {
  local dir="$1" venv="$2" site="$3" python
  python="$(python_for_meson "$venv" "$dir")" &&
  printf "[binaries]\npython = '%s'\n" "$python" > "$dir/native.ini" &&
  rm -rf "$dir/meson" &&
  meson setup "$dir/meson" --native-file "$dir/native.ini" -Dwerror=true \
    -Dpython.platlibdir="$site" -Dpython.purelibdir="$site" > "$dir/build.log" &&
  meson compile -C "$dir/meson" >> "$dir/build.log" &&
  meson install -C "$dir/meson" >> "$dir/build.log"
}

# The build targets the interpreter it was built against, so importing it must not warn.
check_version_match() {
  "$1/bin/python" -W error::RuntimeWarning -c 'import zorv_sdk.nodered.flow'
}

test_interpreter() {
  local label="$1" python="$2" dir="$BUILD_ROOT/$1" site
  shift 2
  echo "== CPython $label ($python)"
  mkdir -p "$dir" && site="$(make_venv "$python" "$dir/venv")" || return
  if ! build_into_venv "$dir" "$dir/venv" "$site"; then
    tail -n 40 "$dir/build.log"
    echo "build failed: $dir/build.log"
    return 1
  fi
  check_version_match "$dir/venv" || return
  # Debian's pytest 7.2 rewrites asserts with ast nodes that Python 3.12 deprecates.
  "$dir/venv/bin/python" -m pytest -p no:cacheprovider \
    -W "ignore::DeprecationWarning:_pytest.assertion.rewrite" "$@"
}

ensure_debian_packages "${DEBIAN_PACKAGES[@]}"
bash scripts/install_nodered.sh
mapfile -t interpreters < <(find_interpreters)
failed=()
for entry in "${interpreters[@]}"; do
  read -r label python <<< "$entry"
  test_interpreter "$label" "$python" "$@" || failed+=("$label")
done
echo "tested: ${#interpreters[@]} interpreters; failed: ${failed[*]:-none}"
[ "${#failed[@]}" -eq 0 ]
