#!/usr/bin/env bash
# Installs what is missing, builds, and shows the system at work on the
# virtual camera platform.
# Usage: scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

build=build
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
out="$build/demo"
mkdir -p "$out"

# Encoding: three seconds from the virtual camera through libkep_vc's M2M
# encoder (ISP buffers handed over by user pointer), written as an H.264
# elementary stream by the vcrec example, then described by ffprobe.
echo "== vcrec: 3 seconds of 1280x720 H.264 at 30 frames/s, key frame every 30"
"$build/bin/vcam" --stats-file "$out/vcrec.stats" -- \
  "$build/bin/vcrec" -s 1280x720 -r 30 -n 90 -g 30 "$out/vcrec.h264" | grep '^vcrec:'
echo "platform copies: $(sed -n 's/^copies //p' "$out/vcrec.stats") bytes, frames coded: $(sed -n 's/^enc.encoded //p' "$out/vcrec.stats")"
ffprobe -v error -count_frames \
  -show_entries stream=codec_name,profile,width,height,pix_fmt,nb_read_frames -of default=noprint_wrappers=1 \
  "$out/vcrec.h264"
echo "key frames at: $(ffprobe -v error -show_entries frame=key_frame -of csv=p=0 "$out/vcrec.h264" |
  awk -F, 'NF && $1 != "" { if ($1 == 1) printf "%s%d", (k++ ? " " : ""), n; n++ }')"
