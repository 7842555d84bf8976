#!/bin/sh
# The Windows demo (scripts/windows-demo.sh): the demo project rendered by a
# 32-bit host and a 32-bit server in two Wine processes (64-bit ones where
# the kernel runs no 32-bit programs), its frames and tone checked.
set -eu
cd "$(dirname "$0")/../.."
exec bash scripts/windows-demo.sh
