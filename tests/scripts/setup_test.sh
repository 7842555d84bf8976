#!/usr/bin/env bash
# Checks how scripts/setup.sh reads a package list and decides what is
# missing (through --check, which never installs), that the committed list
# holds only well-formed package names, and that CI runs exactly the test
# command that the README opens with.
#
#   bash tests/scripts/setup_test.sh REPO_ROOT
set -uo pipefail

repo="${1:?usage: setup_test.sh REPO_ROOT}"
setup="${repo}/scripts/setup.sh"
work="$(mktemp -d)"
trap 'rm -rf "${work}"' EXIT
failures=0
passes=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Each case: name | package list (printf format, so \n and a missing final
# newline can be written) | expected exit code | expected output, with "," for
# line breaks. dpkg and bash are installed on every Debian system; the
# moravane-absent-* names exist nowhere.
cases=(
  "all installed|dpkg\nbash\n|0|"
  "comments and blank lines only|# a comment\n\n   \n\t\n#dpkg-like text\n|0|"
  "trailing comment and spaces|dpkg   # the package manager\n  bash\t\n|0|"
  "one missing among installed|dpkg\nmoravane-absent-one\nbash\n|1|moravane-absent-one"
  "missing kept in list order|moravane-absent-b\ndpkg\nmoravane-absent-a\n|1|moravane-absent-b,moravane-absent-a"
  "last line without newline|dpkg\nmoravane-absent-last|1|moravane-absent-last"
  "commented-out missing package|dpkg\n# moravane-absent-commented\n|0|"
  "empty list|\n|0|"
)

for entry in "${cases[@]}"; do
  IFS='|' read -r name content want_status want_output <<<"${entry}"
  # shellcheck disable=SC2059 # the list is written as a printf format on purpose
  printf "${content}" >"${work}/list.txt"
  output="$(MORAVANE_PACKAGES="${work}/list.txt" bash "${setup}" --check 2>"${work}/stderr")"
  status=$?
  want_output="${want_output//,/$'\n'}"
  if [[ ${status} -ne ${want_status} ]]; then
    fail "${name}: exit ${status}, expected ${want_status} (stderr: $(cat "${work}/stderr"))"
  elif [[ "${output}" != "${want_output}" ]]; then
    fail "${name}: listed [${output}], expected [${want_output}]"
  elif [[ -s "${work}/stderr" ]]; then
    fail "${name}: unexpected stderr: $(cat "${work}/stderr")"
  else
    passes=$((passes + 1))
  fi
done

# Bad invocations fail with a message and install nothing.
if MORAVANE_PACKAGES="${work}/no-such-list.txt" bash "${setup}" --check >/dev/null 2>"${work}/stderr" ||
  ! grep -q "cannot read the package list" "${work}/stderr"; then
  fail "an unreadable package list is not reported"
else
  passes=$((passes + 1))
fi
if bash "${setup}" --no-such-option >/dev/null 2>&1; then
  fail "an unknown option is accepted"
else
  passes=$((passes + 1))
fi

# A typo in the committed list (a comma, a capital, a stray word) would only
# show on a fresh machine; check the names' form here.
bad="$(sed -e 's/#.*//' -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' "${repo}/scripts/packages.txt" |
  grep -v '^$' | grep -Ev '^[a-z0-9][a-z0-9+.-]+(:[a-z0-9]+)?$')"
if [[ -n "${bad}" ]]; then
  fail "malformed names in scripts/packages.txt: ${bad}"
else
  passes=$((passes + 1))
fi

# CI must run the very command the README tells a person to run.
readme_test="$(grep -m1 -oE '^bash scripts/test\.sh' "${repo}/README.md")"
ci_command="$(grep -v '^#' "${repo}/.ci/run" | grep -v '^set ' | grep -v '^cd ' | grep -v '^$')"
if [[ "$(head -n 1 "${repo}/README.md")" != '```sh' ]]; then
  fail "README.md does not open with the commands' code block"
elif [[ -z "${readme_test}" || "${ci_command}" != "${readme_test}" ]]; then
  fail ".ci/run runs [${ci_command}], README's test command is [${readme_test}]"
else
  passes=$((passes + 1))
fi

echo "${passes} passed, ${failures} failed"
[[ ${failures} -eq 0 ]]
