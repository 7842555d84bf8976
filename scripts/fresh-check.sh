#!/usr/bin/env bash
# Runs a command on a fresh copy of a checkout inside a minimal Debian
# bookworm chroot, as root, to prove that the set-up scripts bring a bare
# machine to a working build. Not used by CI.
#
#   bash scripts/fresh-check.sh CHROOT_DIR CHECKOUT COMMAND [REV]
#
# CHROOT_DIR is created with debootstrap (minbase) if it does not exist; the
# package mirror is $MIRROR or else the first Debian mirror in this machine's
# apt sources. The committed tree of CHECKOUT at REV (default HEAD) replaces
# CHROOT_DIR/src, so uncommitted changes are not checked. COMMAND runs in
# /src with a bare environment. /proc, /sys, /dev, /dev/pts and /dev/shm are
# bind-mounted for the run and unmounted again however the run ends.
set -euo pipefail

if [[ $# -lt 3 ]]; then
  sed -n '2,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
root="$1"
checkout="$2"
command="$3"
rev="${4:-HEAD}"

[[ "$(id -u)" -eq 0 ]] || { echo "fresh-check: must run as root" >&2; exit 1; }
git -C "${checkout}" rev-parse --verify -q "${rev}^{commit}" >/dev/null ||
  { echo "fresh-check: ${checkout} has no commit ${rev}" >&2; exit 1; }

host_mirror() {
  # deb822 sources first ("URIs: ..."), then one-line sources ("deb URL suite ...").
  {
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '$1 == "URIs:" { print $2 }'
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }'
  } | grep -v -- '-security' | head -n 1 || true
}

if [[ ! -x "${root}/usr/bin/apt-get" ]]; then
  mirror="${MIRROR:-$(host_mirror)}"
  [[ -n "${mirror}" ]] || { echo "fresh-check: no mirror found; set MIRROR" >&2; exit 1; }
  echo "fresh-check: creating ${root}"
  debootstrap --variant=minbase bookworm "${root}" "${mirror}" >/tmp/fresh-check-debootstrap.log 2>&1 ||
    { cat /tmp/fresh-check-debootstrap.log >&2; exit 1; }
fi

# Copied before anything is mounted, so that removing the old copy can never
# reach into a bind mount of the host.
rm -rf "${root:?}/src"
mkdir -p "${root}/src"
git -C "${checkout}" archive --format=tar "${rev}" | tar -x -C "${root}/src"

mounted=()
# shellcheck disable=SC2317 # called through the EXIT trap
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" ||
      echo "fresh-check: could not unmount ${mounted[i]}" >&2
  done
}
trap cleanup EXIT

for dir in /proc /sys /dev /dev/pts /dev/shm; do
  target="${root}${dir}"
  mkdir -p "${target}"
  if mountpoint -q "${target}"; then
    echo "fresh-check: ${target} is already mounted; unmount it first" >&2
    exit 1
  fi
  mount --bind "${dir}" "${target}"
  mounted+=("${target}")
done

# Name resolution for apt inside, and no service starts from package scripts.
cp /etc/resolv.conf "${root}/etc/resolv.conf"
printf '#!/bin/sh\nexit 101\n' >"${root}/usr/sbin/policy-rc.d"
chmod +x "${root}/usr/sbin/policy-rc.d"

start=${SECONDS}
set +e
chroot "${root}" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /bin/bash -c "cd /src && ${command}"
status=$?
set -e
echo "fresh-check: '${command}' exited ${status} after $((SECONDS - start)) s"
exit ${status}
