#!/usr/bin/env bash
# Lists the raw releases in the link engine (rpc/) and the reference server
# (server/): every resource there is held by an owner (CComPtr, CComQIPtr,
# std::unique_ptr, comsupport::UniqueResource), so a release written by hand
# is a leak or a double release waiting for the path that misses it.
#
#   bash scripts/owner-check.sh [ROOT]
#
# Looks at C++ sources and headers (*.cpp, *.h) for three forms, comments and
# string literals left out:
#   delete ...      (not "= delete", a deleted function)
#   ->Release()
#   free(
# A line is allowed only when the function it stands in has a name ending
# in "Release": the object's own Release that deletes itself when its count
# reaches zero ("delete this"), the proxy's Release slot forwarding to its
# manager's count, and the Release function of an owner's traits, which is
# where an owner gives its resource back. Any other "delete" (also "delete
# this" outside a Release) and any "free(" are reported.
#
# The enclosing function is found by counting braces: a "{" opens a
# function when the text since the last ";", "{" or "}" names one, that is
# ends in `name(...)` followed by nothing but qualifiers (const, noexcept,
# override, final) or a constructor's initialisers, and not a control
# statement (if, for, while, switch, catch) or a lambda.
#
# Prints each finding as `file:line: text` and exits 1 when there is any.
set -euo pipefail
root="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
cd "${root}"

mapfile -t files < <(find rpc server -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
((${#files[@]})) || {
  echo "owner-check: no sources under ${root}/rpc or ${root}/server" >&2
  exit 2
}

findings="$(awk '
  FNR == 1 { depth = 0; head = ""; inBlock = 0; delete names }
  {
    raw = $0
    text = $0
    # Block comments (also across lines), line comments, literals.
    if (inBlock) {
      if ((end = index(text, "*/")) == 0) next
      text = substr(text, end + 2); inBlock = 0
    }
    while ((start = index(text, "/*")) > 0) {
      rest = substr(text, start + 2)
      if ((end = index(rest, "*/")) == 0) { text = substr(text, 1, start - 1); inBlock = 1; break }
      text = substr(text, 1, start - 1) " " substr(rest, end + 2)
    }
    gsub(/"([^"\\]|\\.)*"/, "\"\"", text)
    gsub(/\047([^\047\\]|\\.)*\047/, "\047\047", text)
    sub(/\/\/.*/, "", text)
    if (text ~ /^[ \t]*#/) next

    # Braces and statement ends, in order: each piece of text between two
    # of them is checked with the function open around it.
    n = length(text)
    for (i = 1; i <= n; ++i) {
      c = substr(text, i, 1)
      if (c != "{" && c != "}" && c != ";") { head = head c; continue }
      Check(head)
      if (c == "{") names[++depth] = FunctionName(head)
      else if (c == "}" && depth > 0) delete names[depth--]
      head = ""
    }
    head = head " "
  }

  function Check(piece,    d, current, line) {
    if (!((piece ~ /(^|[^A-Za-z0-9_=])delete([^A-Za-z0-9_]|$)/ && piece !~ /=[ \t]*delete/) ||
          piece ~ /->[ \t]*Release[ \t]*\([ \t]*\)/ || piece ~ /(^|[^A-Za-z0-9_])free[ \t]*\(/)) return
    current = ""
    for (d = depth; d >= 1; --d) if (names[d] != "") { current = names[d]; break }
    if (current ~ /Release$/) return
    line = raw; sub(/^[ \t]+/, "", line)
    printf "%s:%d: %s\n", FILENAME, FNR, line
  }

  # The function a head opens, or "" for any other block.
  function FunctionName(h,    name, after) {
    sub(/^[ \t]+/, "", h)
    if (h ~ /^(else|if|for|while|switch|catch|do|try|return)([^A-Za-z0-9_]|$)/) return ""
    # Initialisers of a constructor: the head is the part before " : ".
    if (match(h, /\)[ \t]*:[^:]/)) h = substr(h, 1, RSTART)
    name = ""
    while (match(h, /[~A-Za-z_][A-Za-z0-9_]*[ \t]*\(/)) {
      name = substr(h, RSTART, RLENGTH - 1)
      after = substr(h, RSTART + RLENGTH)
      h = after
    }
    sub(/[ \t]+$/, "", name)
    # A lambda: a capture list after the last name called.
    if (name == "" || after ~ /\]/) return ""
    return name
  }
' "${files[@]}")"

if [[ -n "${findings}" ]]; then
  echo "${findings}"
  echo "owner-check: raw releases outside owners (see the header of scripts/owner-check.sh)" >&2
  exit 1
fi
