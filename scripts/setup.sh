#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages.txt that are not yet
# installed. Safe to run any number of times: when everything is present it
# changes nothing, fetches nothing and prints nothing. apt's output is kept in
# a log and shown only when a step fails.
#
#   bash scripts/setup.sh            install what is missing
#   bash scripts/setup.sh --check    only list what is missing, one per line;
#                                    exit 1 if anything is
#
# MORAVANE_PACKAGES names another list to read instead of packages.txt.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
list="${MORAVANE_PACKAGES:-${here}/packages.txt}"
check_only=0
case "${1:-}" in
  "") ;;
  --check) check_only=1 ;;
  *)
    echo "setup: unknown argument: $1 (the only option is --check)" >&2
    exit 2
    ;;
esac
[[ -r "${list}" ]] || { echo "setup: cannot read the package list ${list}" >&2; exit 1; }

wanted=()
while IFS= read -r line || [[ -n "${line}" ]]; do
  line="${line%%#*}"
  line="${line//[[:space:]]/}"
  [[ -n "${line}" ]] && wanted+=("${line}")
done <"${list}"

installed() {
  [[ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" == ii* ]]
}

missing=()
for package in "${wanted[@]}"; do
  installed "${package}" || missing+=("${package}")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0
if [[ ${check_only} -eq 1 ]]; then
  printf '%s\n' "${missing[@]}"
  exit 1
fi

if [[ "$(id -u)" -ne 0 ]]; then
  echo "setup: missing packages: ${missing[*]}" >&2
  echo "setup: run this script as root to install them" >&2
  exit 1
fi

log="$(mktemp /tmp/moravane-setup.XXXXXX.log)"
run() {
  if ! "$@" >>"${log}" 2>&1; then
    echo "setup: failed: $*" >&2
    cat "${log}" >&2
    rm -f "${log}"
    exit 1
  fi
}

# Packages written name:arch need that architecture known to dpkg before
# apt-get update, or apt cannot see them.
for package in "${missing[@]}"; do
  if [[ "${package}" == *:* ]]; then
    arch="${package##*:}"
    if [[ "${arch}" != "$(dpkg --print-architecture)" ]] &&
      ! dpkg --print-foreign-architectures | grep -qx "${arch}"; then
      run dpkg --add-architecture "${arch}"
    fi
  fi
done

export DEBIAN_FRONTEND=noninteractive
run apt-get update -q
run apt-get install -y -q --no-install-recommends "${missing[@]}"

# Checked again so that a package that apt skipped or a misspelt name in the
# list fails here rather than later in the build.
still=()
for package in "${missing[@]}"; do
  installed "${package}" || still+=("${package}")
done
if [[ ${#still[@]} -ne 0 ]]; then
  echo "setup: still not installed after apt-get: ${still[*]}" >&2
  cat "${log}" >&2
  rm -f "${log}"
  exit 1
fi
rm -f "${log}"
