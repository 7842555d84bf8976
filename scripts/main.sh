#!/usr/bin/env bash
# Sets up everything (Debian packages), builds the default preset and runs
# the main job.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)"

# ---- the main job -----------------------------------------------------------
# One function, so that whatever the project's main job becomes replaces just
# this body.
main_job() {
  build/default/examples/marshalled_call
}
# -----------------------------------------------------------------------------

main_job
