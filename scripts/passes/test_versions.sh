#!/usr/bin/env bash
# The suite on every CPython 3.9 or newer on the machine: 7 min here for six; 3.0 min with --minor 3.12 --minor 3.13.
# Builds the module against every CPython 3.9 or newer on this machine (Debian's
# /usr/bin/python3.N and pyenv's versions), checks that its import does not warn of a version
# mismatch, and runs the whole test suite on each; fails when it finds none. With
# --newest-other first, only on the newest one whose minor version is not that of Debian's
# python3 (and passes, saying so, when there is none); with --minor X.Y (repeated), only on the
# newest of each of those minor versions (passing, saying so, for one that is missing).
# Arguments after these go to pytest.
# Each interpreter gets its own venv under build-versions/, which sees Debian's pure-Python
# pytest, hypothesis, requests and meson-python: nothing is downloaded.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/module_build.sh

BUILD_ROOT="$PWD/build-versions"
# Debian 12's meson asks the interpreter for distutils, which Python 3.12 dropped; Debian's
# setuptools carries a copy that serves it as well.
DISTUTILS_SHIM="$BUILD_ROOT/distutils-shim"

# One line per interpreter, oldest first: "<version> <label> <path>", each real one once.
find_interpreters() {
  local candidate version seen=" "
  for candidate in /usr/bin/python3.* "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3; do
    [[ $candidate =~ ^/usr/bin/python3\.[0-9]+$ || $candidate != /usr/bin/* ]] || continue
    [ -x "$candidate" ] || continue
    version="$("$candidate" -c 'import sys
if sys.implementation.name == "cpython" and sys.version_info >= (3, 9):
    print("%d.%d.%d" % sys.version_info[:3])' 2>/dev/null)" || continue
    [ -n "$version" ] || continue
    case "$seen" in *" $(realpath "$candidate") "*) continue ;; esac
    seen+="$(realpath "$candidate") "
    case "$candidate" in /usr/bin/*) echo "$version $version-debian $candidate" ;;
                         *) echo "$version $version-pyenv $candidate" ;; esac
  done | sort -V
}

newest_of_minor() {
  find_interpreters | awk -v minor="$1." 'index($1, minor) == 1' | tail -n 1
}

newest_other_interpreter() {
  local debian
  debian="$(/usr/bin/python3 -c 'import sys; print("%d.%d." % sys.version_info[:2])')"
  find_interpreters | awk -v debian="$debian" 'index($1, debian) != 1' | tail -n 1
}

# Setup arguments that give meson an interpreter with distutils, where the venv's lacks it.
distutils_args() {
  local venv="$1" dir="$2"
  "$venv/bin/python" -c 'import distutils' 2>/dev/null && return
  mkdir -p "$DISTUTILS_SHIM"
  ln -sfn "$DEBIAN_SITE/setuptools/_distutils" "$DISTUTILS_SHIM/distutils"
  printf '#!/bin/sh\nPYTHONPATH="%s" exec "%s" "$@"\n' "$DISTUTILS_SHIM" "$(realpath "$venv")/bin/python" \
    > "$dir/python-for-meson"
  chmod +x "$dir/python-for-meson"
  printf "[binaries]\npython = '%s'\n" "$dir/python-for-meson" > "$dir/distutils.ini"
  echo "--native-file=$dir/distutils.ini"
}

# The callers test its status, which turns off errexit here: hence the chain.
build_for() {
  local dir="$1" python="$2" setup_args
  make_venv "$python" "$dir/venv" &&
  setup_args="$(distutils_args "$dir/venv" "$dir")" &&
  build_module_into "$dir/venv" "$dir/build" ${setup_args:+"$setup_args"}
}

# The build targets the interpreter it was built against, so importing it must not warn.
check_version_match() {
  "$1/bin/python" -W error::RuntimeWarning -c 'import zorv_sdk.nodered.flow'
}

test_interpreter() {
  local label="$1" python="$2" dir="$BUILD_ROOT/$1"
  shift 2
  echo "== CPython $label ($python)"
  mkdir -p "$dir"
  if ! build_for "$dir" "$python" > "$dir/build.log" 2>&1; then
    tail -n 40 "$dir/build.log"
    echo "build failed: $dir/build.log"
    return 1
  fi
  check_version_match "$dir/venv" || return
  # Debian 12's pytest 7.2 rewrites asserts with ast nodes that Python 3.12 deprecates.
  "$dir/venv/bin/python" -m pytest -p no:cacheprovider \
    -W "ignore::DeprecationWarning:_pytest.assertion.rewrite" "$@"
}

# What the summary line of scripts/test.sh says of this pass.
note_pass() {
  if [ -n "${FLOW_PASS_NOTE:-}" ]; then
    echo "$*" > "$FLOW_PASS_NOTE"
  fi
}

ensure_debian_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
ensure_debian_packages_offered "${OTHER_PYTHON_PACKAGES[@]}"
bash scripts/install_nodered.sh
run_fewer_hostile_cases
if [ "${1:-}" = --minor ]; then
  interpreters=()
  missing=()
  while [ "${1:-}" = --minor ]; do
    entry="$(newest_of_minor "$2")"
    if [ -n "$entry" ]; then
      interpreters+=("$entry")
    else
      echo "test_versions.sh: no CPython $2 here: not tested"
      missing+=("$2")
    fi
    shift 2
  done
  if [ "${#interpreters[@]}" -eq 0 ]; then
    note_pass "none of CPython ${missing[*]} installed: nothing tested"
    exit 0
  fi
elif [ "${1:-}" = --newest-other ]; then
  shift
  mapfile -t interpreters < <(newest_other_interpreter)
  if [ "${#interpreters[@]}" -eq 0 ]; then
    echo "test_versions.sh: no CPython here beside Debian's python3: nothing else to test"
    exit 0
  fi
else
  mapfile -t interpreters < <(find_interpreters)
  if [ "${#interpreters[@]}" -eq 0 ]; then
    echo "test_versions.sh: found no CPython 3.9 or newer" >&2
    exit 1
  fi
fi
failed=()
for entry in "${interpreters[@]}"; do
  read -r _ label python <<< "$entry"
  test_interpreter "$label" "$python" "$@" || failed+=("$label")
done
echo "tested: ${#interpreters[@]} interpreters; failed: ${failed[*]:-none}"
labels=()
for entry in "${interpreters[@]}"; do
  read -r _ label _ <<< "$entry"
  labels+=("$label")
done
note_pass "tested CPython ${labels[*]}${missing:+; not installed: ${missing[*]}}"
[ "${#failed[@]}" -eq 0 ]
