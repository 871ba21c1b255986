#!/usr/bin/env bash
# Installs the Node-RED (and Node.js) that the tests and the example run against: under a second here once installed.
# Installs the real Node-RED that the tests and the example run against.
# Safe to run again: each step is skipped when its result is already there.
# Prints nothing on success and the failing step's output otherwise.
set -euo pipefail

nodered_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/nodered" && pwd)"

run_quietly() {
    local log
    log="$(mktemp)"
    if ! "$@" >"$log" 2>&1; then
        echo "install_nodered.sh: failed: $*" >&2
        cat "$log" >&2
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

install_node_from_debian() {
    if command -v node >/dev/null && command -v npm >/dev/null; then
        return
    fi
    export DEBIAN_FRONTEND=noninteractive
    echo "install_nodered.sh: downloading and installing Debian's nodejs and npm with apt-get" >&2
    run_quietly as_root apt-get update
    run_quietly as_root apt-get install -y --no-install-recommends nodejs npm
}

# npm ci leaves node_modules/.package-lock.json behind only when it finished,
# so its age against the lockfile tells a complete, current install apart.
node_modules_current() {
    local dir="$1" marker="$1/node_modules/.package-lock.json"
    [ -f "$marker" ] && [ ! "$dir/package-lock.json" -nt "$marker" ]
}

install_packages_in() {
    if node_modules_current "$1"; then
        return
    fi
    echo "install_nodered.sh: downloading Node-RED and its npm packages into $1/node_modules (npm ci; a few minutes)" >&2
    (cd "$1" && run_quietly npm ci)
}

# Node-RED 5 needs Node.js 22, which package.json brings from npm (optional
# dependencies, one per architecture) for x86-64 and arm64 only. Elsewhere, on
# a Node.js older than 22, the tests run against the Node-RED 4 of v4/ instead.
nodered_packages_dir() {
    case "$(uname -m)" in
        x86_64 | aarch64) echo "$nodered_dir"; return ;;
    esac
    if [ "$(node -p 'process.versions.node.split(".")[0]')" -ge 22 ]; then
        echo "$nodered_dir"
    else
        echo "$nodered_dir/v4"
    fi
}

install_node_from_debian
install_packages_in "$(nodered_packages_dir)"
