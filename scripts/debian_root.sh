#!/usr/bin/env bash
# Runs a script of this checkout in a Debian root of any release and architecture: 8.4 min here making a Debian 13 x86-64 root, 45 s for the suite once made.
# Usage: scripts/debian_root.sh SUITE [ARCH [SCRIPT [ARG...]]]
# Runs SCRIPT of this checkout (default scripts/passes/test_versions.sh: the whole suite, Node-RED
# included, on every CPython of the root) inside a Debian SUITE root for ARCH (default: this
# machine's), as root. The root is made once with debootstrap under $FLOW_ROOTS (default
# /var/tmp/zorv-flow-roots/SUITE-ARCH) and reused; the checkout is synced into its /flow on each
# run, and what SCRIPT installs there stays. Other architectures run under qemu-user through
# binfmt_misc, which the script registers when it is missing. Needs root on a Debian host.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/module_build.sh

SUITE="${1:?usage: scripts/debian_root.sh SUITE [ARCH [SCRIPT [ARG...]]]}"
ARCH="${2:-$(dpkg --print-architecture)}"
SCRIPT="${3:-scripts/passes/test_versions.sh}"
shift "$(( $# < 3 ? $# : 3 ))"
ROOT="$(debian_root_dir "$SUITE" "$ARCH")"
HOST_PACKAGES=(debootstrap rsync)
# qemu's name for each architecture Debian names otherwise.
declare -A QEMU_ARCH=([arm64]=aarch64 [armhf]=arm [i386]=i386 [riscv64]=riscv64 [ppc64el]=ppc64le)
# The root's paths: the host's variables stay out (env -i), but for these.
ROOT_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

foreign() { [ "$ARCH" != "$(dpkg --print-architecture)" ]; }

root_is_complete() {
  # The second stage removes /debootstrap once everything is unpacked and configured.
  [ -x "$ROOT/usr/bin/apt-get" ] && [ ! -e "$ROOT/debootstrap" ]
}

# The kernel runs the other architecture's programs with the static qemu, opened once at
# registration (flag F), so it works inside the chroot with no copy of qemu there.
register_qemu() {
  local name="qemu-${QEMU_ARCH[$ARCH]:?no qemu known for $ARCH}"
  ensure_debian_packages qemu-user-static
  mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e "/proc/sys/fs/binfmt_misc/$name" ] && return
  module_build_log "registering $name with binfmt_misc"
  cat "/usr/lib/binfmt.d/$name.conf" > /proc/sys/fs/binfmt_misc/register
}

mount_root() {
  local dir
  mountpoint -q "$ROOT/proc" || mount -t proc proc "$ROOT/proc"
  for dir in dev sys; do
    mountpoint -q "$ROOT/$dir" && continue
    mount --rbind "/$dir" "$ROOT/$dir"
    # A slave sees the host's mounts but sends none back, so unmounting it leaves them alone.
    mount --make-rslave "$ROOT/$dir"
  done
}

unmount_root() {
  local dir
  for dir in proc dev sys; do
    ! mountpoint -q "$ROOT/$dir" || umount -R "$ROOT/$dir"
  done
}

make_root() {
  unmount_root
  rm -rf --one-file-system "$ROOT"
  mkdir -p "$ROOT"
  module_build_log "making a Debian $SUITE root for $ARCH in $ROOT"
  if foreign; then
    debootstrap --variant=minbase --foreign --arch="$ARCH" "$SUITE" "$ROOT" > "$ROOT.log"
    mount_root
    chroot "$ROOT" /debootstrap/debootstrap --second-stage >> "$ROOT.log"
  else
    debootstrap --variant=minbase "$SUITE" "$ROOT" > "$ROOT.log"
  fi
}

in_root() {
  chroot "$ROOT" /usr/bin/env -i PATH="$ROOT_PATH" HOME=/root LANG=C.UTF-8 TERM=dumb \
    DEBIAN_FRONTEND=noninteractive CI="${CI:-}" FLOW_HOSTILE_CASES="$FLOW_HOSTILE_CASES" \
    NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt "$@"
}

# The host's name service and certificate authorities (npm's registry is reached through
# them); sid's release file may be past its validity while the mirror catches up.
configure_root() {
  cp /etc/resolv.conf /etc/hosts "$ROOT/etc/"
  mkdir -p "$ROOT/usr/local/share/ca-certificates"
  cp /usr/local/share/ca-certificates/*.crt "$ROOT/usr/local/share/ca-certificates/" 2>/dev/null || true
  printf 'Acquire::Check-Valid-Until "false";\nAPT::Install-Recommends "false";\n' \
    > "$ROOT/etc/apt/apt.conf.d/90flow"
  in_root apt-get update -qq
  in_root apt-get install -y -qq ca-certificates > /dev/null
  in_root update-ca-certificates > /dev/null
}

# Every CPython that the release offers, with what builds for it and makes its venvs.
install_root_pythons() {
  local packages
  packages="$(in_root apt-cache pkgnames python3. | grep -Ex 'python3\.[0-9]+-(dev|venv)' | sort)"
  # shellcheck disable=SC2086
  in_root apt-get install -y -qq $packages > /dev/null
}

# The checkout as git sees it, without what it ignores: the root keeps its own builds and
# Node-RED's packages between runs. Only files whose content changed are copied, and they get
# the time of the copy, so that the builds there see what is newer than they are.
sync_checkout() {
  # node_modules is named apart: rsync's "/scripts/nodered/**/node_modules/" of .gitignore matches
  # only the nested ones, so the host's top one would come over without them, and npm ci in the
  # root would take that broken install for a finished one.
  rsync -rlpD --checksum --delete --exclude=/.git --exclude=node_modules/ --filter=':- .gitignore' \
    ./ "$ROOT/flow/"
}

ensure_debian_packages "${HOST_PACKAGES[@]}"
foreign && register_qemu
run_fewer_hostile_cases
trap unmount_root EXIT
root_is_complete || make_root
mount_root
configure_root
install_root_pythons
sync_checkout
module_build_log "running $SCRIPT in $ROOT"
in_root bash -c 'cd /flow && exec bash "$@"' bash "$SCRIPT" "$@"
