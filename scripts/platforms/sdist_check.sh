#!/usr/bin/env bash
# Builds the sdist, pip-installs it into a fresh venv and runs the suite on the installed package: run in a root by scripts/debian_root.sh.
# Usage: bash scripts/debian_root.sh trixie amd64 scripts/platforms/sdist_check.sh [PYTEST_ARG...]
# (as root, on a Debian host; the root is made once). Inside the root: python3 -m build --sdist
# --no-isolation (Debian's python3-build) makes the sdist from the files git tracks, so it is
# built from a throwaway git repository of the synced checkout; its file list must hold what the
# build needs and no build output; pip installs it with --no-build-isolation (Debian's
# meson-python) into a fresh venv; pytest then runs from a copy of the sdist's tests/ outside any
# source tree, against Node-RED installed by scripts/install_nodered.sh in this checkout.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/module_build.sh

WORK=/var/tmp/sdist-check
ensure_debian_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" python3-build git rsync
bash scripts/install_nodered.sh
rm -rf "$WORK"
mkdir -p "$WORK"

module_build_log "making the sdist from a git repository of the checkout's files"
rsync -a --exclude=/.git --exclude=node_modules/ --filter=':- .gitignore' ./ "$WORK/source/"
(
  cd "$WORK/source"
  git init -q
  git add -A
  git -c user.name=sdist -c user.email=sdist@localhost commit -q -m sdist
  python3 -m build --sdist --no-isolation --outdir "$WORK/dist" > "$WORK/build.log" 2>&1 \
    || { tail -n 40 "$WORK/build.log" >&2; exit 1; }
)
sdist="$(echo "$WORK"/dist/zorv_sdk_nodered_flow-*.tar.gz)"
tar -tzf "$sdist" | sed 's|^[^/]*/||' | sort > "$WORK/files"
module_build_log "$(basename "$sdist"): $(wc -l < "$WORK/files") entries"
for needed in pyproject.toml meson.build meson_options.txt README.md src/flow/meson.build \
    src/zorv_sdk/meson.build src/flow/module.cpp src/zorv_sdk/nodered/flow.pyi \
    src/zorv_sdk/py.typed tests/conftest.py examples/flow.json; do
  grep -qx "$needed" "$WORK/files" || { echo "sdist_check.sh: the sdist lacks $needed" >&2; exit 1; }
done
if grep -E '(^|/)(node_modules|build[^/]*|\.venv[^/]*|dist|__pycache__)/' "$WORK/files"; then
  echo "sdist_check.sh: the sdist holds build output (above)" >&2
  exit 1
fi

module_build_log "installing the sdist into a fresh venv"
make_venv /usr/bin/python3 "$WORK/venv"
"$WORK/venv/bin/python" -m pip install --quiet --no-index --no-build-isolation "$sdist"

# The tests, examples and pytest.ini as the sdist has them, away from any source tree; the
# harness finds Node-RED's install under scripts/nodered beside them.
mkdir -p "$WORK/unpacked" "$WORK/run/scripts"
tar -xzf "$sdist" -C "$WORK/unpacked" --strip-components=1
cp -r "$WORK/unpacked/tests" "$WORK/unpacked/examples" "$WORK/unpacked/pytest.ini" "$WORK/run/"
ln -s "$PWD/scripts/nodered" "$WORK/run/scripts/nodered"
cd "$WORK/run"
installed="$("$WORK/venv/bin/python" -c 'import zorv_sdk.nodered.flow as f; print(f.__file__)')"
module_build_log "testing $installed"
case "$installed" in "$WORK/venv/"*) ;; *) echo "sdist_check.sh: imported $installed, not the venv's" >&2; exit 1 ;; esac
exec "$WORK/venv/bin/python" -m pytest -p no:cacheprovider "$@"
