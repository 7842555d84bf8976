#!/usr/bin/env bash
# Sets up everything (Debian packages), then builds and tests the presets
# default, asan and tsan, then runs every scripts/extra-checks.d/*.sh.
# Keeps going after a failure so that one run shows every fault; exits
# non-zero if anything failed. The last line printed is ctest's closing line
# of the last preset (or what stopped that preset from reaching ctest).
#
# MORAVANE_PRESETS="default asan" limits a run by hand to some presets; CI
# leaves it unset and so runs all three.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1

if ! bash scripts/setup.sh; then
  echo "setup failed"
  exit 1
fi

jobs="$(nproc)"
read -r -a presets <<<"${MORAVANE_PRESETS:-default asan tsan}"
declare -A closing
failed=0
logs="$(mktemp -d /tmp/moravane-test.XXXXXX)"
trap 'rm -rf "${logs}"' EXIT

for preset in "${presets[@]}"; do
  echo
  echo "==== preset ${preset}: configure, build, test ===="
  if ! cmake --preset "${preset}"; then
    closing[${preset}]="configure failed"
    failed=1
    continue
  fi
  if ! cmake --build --preset "${preset}" -j"${jobs}"; then
    closing[${preset}]="build failed"
    failed=1
    continue
  fi
  ctest --preset "${preset}" 2>&1 | tee "${logs}/${preset}.log"
  status=${PIPESTATUS[0]}
  line="$(grep -E '^[0-9]+% tests passed|^No tests were found' "${logs}/${preset}.log" | tail -n 1)"
  closing[${preset}]="${line:-ctest printed no closing line (exit ${status})}"
  [[ ${status} -eq 0 ]] || failed=1
done

extra=()
shopt -s nullglob
for check in scripts/extra-checks.d/*.sh; do
  echo
  echo "==== extra check ${check} ===="
  # A check's lines that begin with "summary:" are said again at the end.
  name="$(basename "${check}" .sh)"
  if bash "${check}" 2>&1 | tee "${logs}/extra-${name}.log"; [[ ${PIPESTATUS[0]} -eq 0 ]]; then
    extra+=("passed  ${check}")
  else
    extra+=("FAILED  ${check}")
    failed=1
  fi
  while IFS= read -r said; do
    extra+=("        ${said#summary: }")
  done < <(grep '^summary: ' "${logs}/extra-${name}.log" || true)
done
shopt -u nullglob

echo
echo "==== summary ===="
for entry in "${extra[@]}"; do
  echo "extra check ${entry}"
done
for preset in "${presets[@]}"; do
  echo "preset ${preset}:"
  echo "${closing[${preset}]}"
done
exit ${failed}
