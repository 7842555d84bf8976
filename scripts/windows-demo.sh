#!/usr/bin/env bash
# The main job on the home platform: a 32-bit host and a 32-bit server as two
# processes under 32-bit Wine, through Wine's COM. Builds the mingw-i686
# preset's server (orra_linkserver_host.exe), proxy/stub DLL
# (orra_linkserver_ps.dll) and command-line host (moravane-cli.exe),
# registers the DLL (regsvr32) and the server (--register) in a Wine prefix
# of its own, renders the demo project's 48 frames as PNG files and 2 s of
# its tone as a WAV file into output/windows-demo/, and checks them: 48
# 640x360 PNG frames, a 2 s WAV of 48 kHz whose tone is 440 Hz.
#
#   bash scripts/windows-demo.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
wine=/usr/lib/wine/wine  # the 32-bit loader (wine32:i386)
wineserver=/usr/lib/wine/wineserver
[[ -x "${wine}" ]] || { echo "windows-demo: ${wine} missing (wine32:i386)" >&2; exit 1; }
preset=mingw-i686 arch=win32 bits=32
# A kernel without IA32 emulation runs no 32-bit program, Wine's loader
# included ("Exec format error"): there the same job runs as 64-bit
# programs under wine64, and says so.
if ! "${wine}" --version >/dev/null 2>&1; then
  echo "windows-demo: this kernel cannot run 32-bit x86 programs (no IA32 emulation); using the 64-bit build"
  wine=/usr/lib/wine/wine64 preset=mingw-x64 arch=win64 bits=64
fi

build=build/${preset}
cmake --preset "${preset}" >/dev/null
cmake --build --preset "${preset}" --target orra_linkserver_host orra_linkserver_ps moravane-cli -j"${JOBS:-2}"

export WINEPREFIX="${PWD}/${build}/wineprefix-demo" WINEARCH=${arch} WINEDEBUG=-all DISPLAY=
trap '"${wineserver}" -k 2>/dev/null || true' EXIT
if [[ ! -f "${WINEPREFIX}/system.reg" ]]; then
  echo "windows-demo: creating the Wine prefix"
  "${wine}" wineboot -i >/dev/null 2>&1 || true
  timeout 300 "${wineserver}" -w </dev/null >/dev/null 2>&1 || true
fi

bin="${PWD}/${build}/bin"
"${wine}" regsvr32 "$("${wine}" winepath -w "${bin}/orra_linkserver_ps.dll" 2>/dev/null)"
"${wine}" "${bin}/orra_linkserver_host.exe" --register

# The server of this prefix ends by itself after its last object is gone; a
# new activation is made once it has (Wine may hand an activation to a
# server that is on its way out, which then never answers).
server_gone() {
  local proc
  for proc in /proc/[0-9]*; do
    { tr '\0' '\n' <"${proc}/cmdline"; } 2>/dev/null | grep -q 'orra_linkserver_host\.exe' || continue
    { tr '\0' '\n' <"${proc}/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=${WINEPREFIX}" && return 1
  done
  return 0
}
wait_for_server_end() {
  for _ in $(seq 100); do
    server_gone && return 0
    sleep 0.2
  done
  echo "windows-demo: the server did not end within 20 s" >&2
  return 1
}

out=output/windows-demo
rm -rf "${out}"
mkdir -p "${out}/frames"
cli=("${wine}" "${bin}/moravane-cli.exe")
project=examples/demo/demo.orraproj
"${cli[@]}" -q render "${project}" --source "Frame numbers" --frames 0:48 --output "${out}/frames"
wait_for_server_end
"${cli[@]}" -q audio "${project}" --source Tone --seconds 2 --output "${out}/tone.wav"
wait_for_server_end

python3 - "${out}" <<'CHECK'
import os, struct, sys, wave
out = sys.argv[1]
frames = sorted(os.listdir(os.path.join(out, "frames")))
expected = ["frame-%06d.png" % i for i in range(48)]
if frames != expected:
    sys.exit("windows-demo: expected frame-000000.png to frame-000047.png, found %d files" % len(frames))
for name in frames:
    with open(os.path.join(out, "frames", name), "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or struct.unpack(">II", head[16:24]) != (640, 360):
        sys.exit("windows-demo: %s is not a 640x360 PNG" % name)
w = wave.open(os.path.join(out, "tone.wav"))
rate, channels, count = w.getframerate(), w.getnchannels(), w.getnframes()
if (rate, channels, w.getsampwidth(), count) != (48000, 2, 2, 96000):
    sys.exit("windows-demo: tone.wav is %d Hz, %d channels, %d frames" % (rate, channels, count))
left = struct.unpack("<%dh" % (count * channels), w.readframes(count))[::channels]
# The tone's frequency from its upward zero crossings, interpolated between
# samples: (crossings - 1) periods between the first and the last.
ups = [i + a / (a - b) for i, (a, b) in enumerate(zip(left, left[1:])) if a < 0 <= b]
tone = (len(ups) - 1) * rate / (ups[-1] - ups[0]) if len(ups) > 1 else 0
if abs(tone - 440) > 0.5:
    sys.exit("windows-demo: the tone is %.2f Hz, not 440 Hz" % tone)
print("windows-demo: %d PNG frames of 640x360; tone.wav: 2 s, 48 kHz, 2 channels, %.2f Hz" % (len(frames), tone))
CHECK
echo "windows-demo: written by a ${bits}-bit host and a ${bits}-bit server under Wine, in $(pwd)/${out}"
