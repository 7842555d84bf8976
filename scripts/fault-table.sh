#!/usr/bin/env bash
# Proves that the tests catch faults: for every line of tests/faults/faults.tsv
# breaks one line of product code, rebuilds, runs the test programs named on
# that line and records whether they failed ("caught") or passed ("MISSED"),
# then restores the file. A tool, not a CI check: one run rebuilds the tree
# once per fault (a quarter of an hour on two cores for every row).
#
#   bash scripts/fault-table.sh [--cases] [BUILD_DIR] [FAULT_ID...]
#
# BUILD_DIR defaults to build/default (configure it first: cmake --preset
# default). The closing table is Markdown, ready for docs/testing.md.
# With --cases every program of a row runs to its end and the table names
# every test case that failed, which shows whether a fault has more than
# one catch (slower: no program stops at its first failure).
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "${root}" || exit 1
cases=""
if [[ "${1:-}" == "--cases" ]]; then
  cases=1
  shift
fi
build="${1:-build/default}"
shift || true
only=("$@")
table="${root}/tests/faults/faults.tsv"
jobs="${MORAVANE_JOBS:-2}"
product=(include src contract rpc platform kelvex server tools python)

backup=""
target=""
restore() { [[ -n "${backup}" && -f "${backup}" ]] && cp "${backup}" "${target}" && rm -f "${backup}"; backup=""; }
trap 'restore; exit 130' INT TERM
trap restore EXIT

# Runs the named test programs (targets of the build, or ctest:NAME) one after another;
# fails as soon as one fails (with --cases: after all have run). Each
# program gets ten minutes: a fault that makes a test hang counts as caught
# once the timeout ends it.
run_tests() {
  local name path status failed=0
  local -a command
  for name in "$@"; do
    if [[ "${name}" == ctest:* ]]; then
      # ctest:NAME is a ctest test that is no program of its own (the Python
      # package's pytest run), run by name in the build tree.
      command=(ctest --test-dir "${build}" -R "^${name#ctest:}\$" --output-on-failure)
    else
      path="$(find "${build}" -type f -perm -u+x -name "${name}" | head -n 1)"
      if [[ -z "${path}" ]]; then
        echo "no test program ${name} under ${build}" >&2
        return 2
      fi
      command=("${path}" --gtest_brief=1 ${fail_fast})
    fi
    # Standard input is not the table's: a program that reads it (ffmpeg
    # under the end-to-end tests) would swallow the rows still to come.
    echo "## program ${name}" >>"${log}"
    timeout 600 "${command[@]}" </dev/null >>"${log}" 2>&1
    status=$?
    echo "## status ${name} ${status}" >>"${log}"
    if ((status != 0)); then
      failed=1
      [[ -z "${cases}" ]] && return 1
    fi
  done
  return "${failed}"
}

# The test cases that failed in the log from byte `from` on, by program,
# the parameters of one parameterised case in braces:
#   objects_tests: Rows/Table.Case/{Row1,Row7}; server_tests: Suite.Case
failed_cases() {
  tail -c +"$(($1 + 1))" "${log}" | awk '
    /^## program / { program = $3; cases = 0; next }
    # A program that ended without naming a failed case crashed or hung.
    /^## status / {
      if ($4 != 0 && cases == 0) {
        how = $4 == 124 ? "hung, ended by the time limit" : $4 > 128 ? "killed by signal " ($4 - 128) : "exit " $4
        order[++n] = program ": " how
        seen[order[n]] = ""
      }
      next
    }
    /^\[  FAILED  \] [A-Za-z]/ {
      name = $0
      sub(/^\[  FAILED  \] /, "", name); sub(/ \([0-9]+ ms\)$/, "", name); sub(/, where .*/, "", name)
      param = ""
      if (match(name, /\/[^\/]*$/) && index(substr(name, 1, RSTART), ".")) {
        param = substr(name, RSTART + 1); name = substr(name, 1, RSTART)
      }
      ++cases
      key = program ": " name
      if (!(key in seen)) { seen[key] = ""; order[++n] = key }
      if (param != "" && index("," seen[key] ",", "," param ",") == 0) seen[key] = seen[key] (seen[key] == "" ? "" : ",") param
    }
    END {
      for (i = 1; i <= n; ++i) {
        k = order[i]
        out = out (i > 1 ? "; " : "") k (seen[k] == "" ? "" : "{" seen[k] "}")
      }
      print out
    }'
}

# With a fault in, the first failing case settles the row.
fail_fast=""
log="$(mktemp /tmp/moravane-faults.XXXXXX)"
echo "log: ${log}"
if ! cmake --build "${build}" -j"${jobs}" >>"${log}" 2>&1; then
  echo "the unbroken tree does not build; see ${log}"
  exit 1
fi

# Without a fault every program named in the table must pass, or "caught"
# would mean nothing.
mapfile -t all < <(grep -v '^#' "${table}" | cut -f5 | tr ' ' '\n' | sort -u | grep -v '^$')
if ! run_tests "${all[@]}"; then
  echo "the tests fail on the unbroken tree; see ${log}"
  exit 1
fi

rows=()
missed=0
[[ -z "${cases}" ]] && fail_fast="--gtest_fail_fast"
while IFS=$'\t' read -r id area original broken programs; do
  [[ -z "${id}" || "${id}" == \#* ]] && continue
  if ((${#only[@]})) && [[ ! " ${only[*]} " == *" ${id} "* ]]; then continue; fi
  read -r -a programs <<<"${programs}"
  # The fault names a line by its text, not by its file, so that it follows
  # the line when files move or split.
  mapfile -t files < <(grep -rlF --include='*.cpp' --include='*.h' -- "${original}" "${product[@]}" 2>/dev/null)
  if [[ ${#files[@]} -ne 1 ]]; then
    rows+=("| ${id} | ${area} | \`${original}\` | - | not applied: found in ${#files[@]} files |")
    missed=1
    continue
  fi
  target="${files[0]}"
  if [[ "$(grep -cF -- "${original}" "${target}")" -ne 1 ]]; then
    rows+=("| ${id} | ${area} | \`${original}\` | ${target} | not applied: not exactly one line |")
    missed=1
    continue
  fi
  echo "== ${id} ${area}: ${target}" | tee -a "${log}"
  backup="$(mktemp)"
  cp "${target}" "${backup}"
  ORIGINAL="${original}" BROKEN="${broken}" python3 - "${target}" <<'PY'
import os, sys
path = sys.argv[1]
text = open(path, encoding="utf-8").read()
open(path, "w", encoding="utf-8").write(text.replace(os.environ["ORIGINAL"], os.environ["BROKEN"], 1))
PY
  from="$(stat -c %s "${log}")"
  # Only the named programs and what they depend on are rebuilt.
  # A ctest:NAME entry names no target: the whole tree is brought up to date.
  targets=("${programs[@]}")
  [[ " ${programs[*]}" == *" ctest:"* ]] && targets=(all)
  if ! cmake --build "${build}" -j"${jobs}" --target "${targets[@]}" >>"${log}" 2>&1; then
    result="not applied: the fault does not build"
    missed=1
  elif run_tests "${programs[@]}"; then
    result="MISSED"
    missed=1
  else
    result="caught"
    [[ -n "${cases}" ]] && result="caught by $(failed_cases "${from}")"
  fi
  restore
  echo "   ${result}" | tee -a "${log}"
  rows+=("| ${id} | ${area} | \`${original//|/\\|}\` → \`${broken//|/\\|}\` | ${programs[*]} | ${result} |")
done <"${table}"
# Leave the build matching the restored sources.
cmake --build "${build}" -j"${jobs}" >>"${log}" 2>&1

echo
echo "| fault | area | line broken | test programs run | result |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
exit "${missed}"
