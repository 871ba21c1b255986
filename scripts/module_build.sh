# Sourced by the scripts that build the module into a virtual environment of their own.

# ensure_debian_packages NAME...: installs those of the named Debian packages that are missing;
# says nothing when none is.
ensure_debian_packages() {
  local package missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
      || missing+=("$package")
  done
  [ "${#missing[@]}" -eq 0 ] && return
  echo "$(basename "$0"): installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" > /dev/null
}

# build_module_into VENV BUILD_DIR PYTHON [MACHINE_FILE]: builds the module in BUILD_DIR (with
# the options of the meson machine file, if given) and installs it into VENV, a virtual
# environment made from the interpreter PYTHON that sees Debian's packages.
build_module_into() {
  local venv="$1" build_dir="$2" python="$3" machine_file="${4:-}"
  [ -x "$venv/bin/python" ] || "$python" -m venv --system-site-packages "$venv"
  # meson-python takes the list of files to install before the build brings it up to date:
  # a build dir older than a meson file is started afresh.
  if [ -f "$build_dir/build.ninja" ] && [ -n "$(find meson.build meson_options.txt src \
      -name 'meson*' -newer "$build_dir/build.ninja")" ]; then
    rm -rf "$build_dir"
  fi
  "$venv/bin/python" -m pip install --no-build-isolation --no-deps --quiet \
    --config-settings=builddir="$build_dir" \
    ${machine_file:+--config-settings=setup-args=--native-file="$PWD/$machine_file"} .
}
