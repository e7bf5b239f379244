#!/usr/bin/env bash
# Installs what is missing, builds, and shows the system at work on the
# virtual camera platform: mdcap's motion reports, then an H.264 recording,
# its transcoding, and a clip with a running clock burnt in by the encoder.
# Safe to run again; quiet when nothing needs installing or rebuilding.
# Usage: scripts/demo.sh   (DEMO_SECONDS sets how long mdcap runs, default 4)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

build=build
mkdir -p "$build"
if ! cmake -S . -B "$build" >"$build/configure.log" 2>&1; then
  cat "$build/configure.log"; echo "demo: configure failed"; exit 1
fi
if ! cmake --build "$build" -j"$(nproc)" >"$build/build.log" 2>&1; then
  grep -E 'error|Error' "$build/build.log" | head -n 40; echo "demo: build failed"; exit 1
fi
out="$build/demo"
mkdir -p "$out"

# Motion detection: mdcap keeps the ISP streaming while its second thread
# reports the moving object of the test scene; SIGINT ends it.
seconds=${DEMO_SECONDS:-4}
log="$out/mdcap.log"
echo "== mdcap on the virtual camera for ${seconds} s (1280x720 S420, 2 mmap buffers)"
"$build/bin/vcam" --stats-file "$out/mdcap.stats" -- "$build/bin/mdcap" >"$log" 2>&1 &
pid=$!
sleep "$seconds"
kill -INT "$pid" 2>/dev/null || true
status=0
wait "$pid" || status=$?

# Banners, the library's crop notes and the first detections with their
# block reports; the quiet "no motion" lines are only counted.
awk -v shown=10 '
  /^motion detection \(have no motion/ { next }
  /^report:/ { if (++reports > shown) { if (!cut++) print "..."; next } }
  /^Detected Moving!/ { if (reports >= shown) next }
  { print }' "$log"
detections=$(grep -c '^Detected Moving!' "$log" || true)
quiet=$(grep -c '^motion detection (have no motion' "$log" || true)
frames=$(sed -n 's/^frames \([0-9][0-9]*\)$/\1/p' "$out/mdcap.stats" 2>/dev/null | head -n1)
echo "== ${detections} motion reports, ${quiet} quiet intervals${frames:+, ${frames} frames streamed}"
echo "== mdcap stopped by SIGINT, exit status ${status}"
[ "$status" -eq 0 ] || exit "$status"

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

# Transcoding: the clip vcrec recorded, split by libkep_vc's bit-stream reader,
# decoded on the M2M decoder, each picture handed to the M2M encoder by user
# pointer (kep_dec2enc) and written as MJPEG by the vcxcode example; then back
# to H.264 from that MJPEG stream.
echo "== vcxcode: vcrec.h264 -> MJPEG -> H.264 through the decoder and the encoder"
"$build/bin/vcam" --stats-file "$out/vcxcode.stats" -- \
  "$build/bin/vcxcode" -s 1280x720 -t mjpg -q 85 -o "$out/vcxcode.mjpg" "$out/vcrec.h264" | grep '^vcxcode:'
echo "platform copies: $(sed -n 's/^copies //p' "$out/vcxcode.stats") bytes, pictures decoded: $(sed -n 's/^dec.decoded //p' "$out/vcxcode.stats"), frames coded: $(sed -n 's/^enc.encoded //p' "$out/vcxcode.stats")"
"$build/bin/vcam" -- "$build/bin/vcxcode" -s 1280x720 -t h264 -o "$out/vcxcode.h264" "$out/vcxcode.mjpg" |
  grep '^vcxcode:'
for f in "$out/vcxcode.mjpg" "$out/vcxcode.h264"; do
  ffprobe -v error -count_frames -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$f"
done
echo "PSNR of the round trip against the recording: $(ffmpeg -nostdin -v info -i "$out/vcrec.h264" -i "$out/vcxcode.h264" \
  -lavfi psnr -f null - 2>&1 | sed -n 's/.*PSNR.*average:\([0-9.]*\).*/\1/p' | tail -n1) dB"

# Datastamp: codecfs (the codec driver's datastamp files, a FUSE file system)
# is mounted, vcrec writes a clock into its channel's files once a second,
# and the virtual encoder burns it into every picture; one decoded frame is
# saved as a PNG. The mount is always taken down again, whatever happens.
echo "== vcrec: 3 seconds of 640x360 H.264 with a clock stamp at x2 (codecfs mounted)"
if ! { exec 3<>/dev/fuse; } 2>/dev/null; then
  echo "demo: /dev/fuse cannot be opened here, so codecfs cannot be mounted: no stamp clip"; exit 1
fi
exec 3>&-
mnt=$(mktemp -d /tmp/kep-demo-codecfs-XXXXXX)
codecfs_pid=
unmount_codecfs() {
  if mountpoint -q "$mnt"; then fusermount3 -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || umount -l "$mnt"; fi
  [ -z "$codecfs_pid" ] || wait "$codecfs_pid" 2>/dev/null || true
  rmdir "$mnt" 2>/dev/null || true
}
trap unmount_codecfs EXIT
trap 'exit 130' INT TERM
"$build/bin/codecfs" --channel 1_hd -f "$mnt" >"$out/codecfs.log" 2>&1 &
codecfs_pid=$!
for _ in $(seq 100); do [ -e "$mnt/1_hd/ds_enable" ] && break; sleep 0.05; done
[ -e "$mnt/1_hd/ds_enable" ] || { cat "$out/codecfs.log"; echo "demo: codecfs did not mount $mnt"; exit 1; }
"$build/bin/vcam" --datastamp "$mnt" --stats-file "$out/stamp.stats" -- \
  "$build/bin/vcrec" -s 640x360 -r 30 -n 90 -g 30 -d "$mnt" -t '%H:%M:%S' -m 2 -p 32,32 "$out/stamp.h264" |
  grep '^vcrec:'
echo "pictures stamped: $(sed -n 's/^enc.stamped //p' "$out/stamp.stats"), stamp afterwards: $(cat "$mnt/1_hd/ds_enable")"
png="$out/stamp.png"
ffmpeg -nostdin -v error -y -i "$out/stamp.h264" -vf 'select=eq(n\,45)' -frames:v 1 "$png"
echo "decoded frame 45 with the clock: $png"
