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
# Registers the reference link server for this user (activation starts it
# when the first host links; it ends by itself once the last host is gone),
# then renders the demo project through the command-line host: 48 frames of
# the frame-number pattern as PNG files and 2 seconds of a 440 Hz tone as a
# WAV file, into output/demo/.
main_job() {
  local out=output/demo
  local cli=build/default/tools/moravane-cli
  rm -rf "$out"
  mkdir -p "$out/frames"
  build/default/server/orra_linkserver_host --register
  "$cli" info
  "$cli" tree examples/demo/demo.orraproj
  "$cli" render examples/demo/demo.orraproj --source "Frame numbers" --frames 0:48 --output "$out/frames"
  "$cli" audio examples/demo/demo.orraproj --source Tone --seconds 2 --output "$out/tone.wav"
  echo "main job produced, in $(pwd)/$out:"
  echo "  frames/frame-000000.png ... frames/frame-000047.png ($(ls "$out/frames" | wc -l) PNG files, 640x360, 8 bits)"
  echo "  tone.wav ($(stat -c %s "$out/tone.wav") bytes: 2 s of 440 Hz, 48 kHz, 2 channels, 16 bits)"
}
# -----------------------------------------------------------------------------

main_job
