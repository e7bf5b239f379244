#!/usr/bin/env bash
# Writes the small real streams that the reader tests split, with the ffmpeg
# program (libx264 and the native MJPEG encoder); its output is committed
# under tests/reader/streams. Run it again only to change the streams.
#
#   h264_cabac_slices.h264  CABAC, four slices per picture, SPS and PPS again
#                           before every key frame
#   h264_cavlc_idr.h264     CAVLC, one slice, SPS and PPS only at the start:
#                           the later key frames are IDR pictures without them
#   mjpeg_420_restart.mjpeg 4:2:0 with restart markers (DRI and RST0..7),
#                           APP0 and COM segments, quality 2, 9 and 20 in turn
#                           (so the tables change), 0xFF fill bytes before
#                           each end of image
#   mjpeg_422.mjpeg         4:2:2, quality 3 then 6, fill bytes as above
set -euo pipefail
cd "$(dirname "$0")/.."
out=tests/reader/streams
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# A moving test picture, the same for every stream.
src=(-f lavfi -i testsrc=size=176x144:rate=10)
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }

ff "${src[@]}" -frames:v 10 -c:v libx264 -g 4 -bf 0 -x264-params slices=4:repeat-headers=1 -f h264 \
  "$out/h264_cabac_slices.h264"

# The parameter sets (and x264's SEI) in front of the first IDR picture of a
# stream with headers, then a stream of the same settings without any.
ff "${src[@]}" -frames:v 1 -c:v libx264 -coder 0 -g 4 -bf 0 -x264-params repeat-headers=1 -f h264 "$tmp/head.h264"
ff "${src[@]}" -frames:v 10 -c:v libx264 -coder 0 -g 4 -bf 0 -x264-params repeat-headers=0 -f h264 "$tmp/body.h264"
perl -0777 -ne 'print $1 if /\A(.*?)\x00?\x00\x00\x01\x65/s or die "no IDR picture\n"' "$tmp/head.h264" \
  >"$out/h264_cavlc_idr.h264"
cat "$tmp/body.h264" >>"$out/h264_cavlc_idr.h264"

# 1 to 5 fill bytes in turn before each end of image (FF D9 that ends the
# data or is followed by the next start of image).
fill() {
  perl -0777 -pe 'my $k = 0; s/\xFF\xD9(?=\xFF\xD8|\z)/("\xFF" x (1 + $k++ % 5)) . "\xFF\xD9"/ge' "$@"
}

: >"$tmp/420.mjpeg"
for q in 2 9 20; do
  ff "${src[@]}" -frames:v 2 -c:v mjpeg -pix_fmt yuvj420p -q:v "$q" -threads 4 -slices 3 -f mjpeg "$tmp/q.mjpeg"
  cat "$tmp/q.mjpeg" >>"$tmp/420.mjpeg"
done
fill "$tmp/420.mjpeg" >"$out/mjpeg_420_restart.mjpeg"

: >"$tmp/422.mjpeg"
for q in 3 6; do
  ff "${src[@]}" -frames:v 2 -c:v mjpeg -pix_fmt yuvj422p -q:v "$q" -f mjpeg "$tmp/q.mjpeg"
  cat "$tmp/q.mjpeg" >>"$tmp/422.mjpeg"
done
fill "$tmp/422.mjpeg" >"$out/mjpeg_422.mjpeg"

ls -l "$out"
