#!/usr/bin/env bash
# Builds the Debian packages of this build with cpack, unpacks them into a
# scratch root (dpkg -x, no root rights needed) and checks them as a user
# would meet them:
#  - every ELF file's NEEDED libraries are met by its package's Depends
#    (our own packages, or the Debian package that holds the library here),
#    and none carries an RPATH/RUNPATH;
#  - pcminfo, an opuspack/opusplay round trip, an aud32tool round trip and
#    a C example built with pkg-config against the unpacked -dev package run
#    from the root (each where this build makes the program), under the
#    emulator when one is given;
#  - a cross build's packages hold nothing of the virtual camera platform.
# Usage: deb_packages.sh BUILD_DIR SOURCE_DIR SCRATCH CC [EMULATOR ARGS...]
set -euo pipefail
build=$1 src=$2 scratch=$3 cc=$4
shift 4
run=("$@")   # empty on the host
rm -rf "$scratch"
mkdir -p "$scratch/debs" "$scratch/root"
(cd "$scratch/debs" && cpack -G DEB --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1) \
  || { cat "$scratch/cpack.log"; exit 1; }
shopt -s nullglob
debs=("$scratch"/debs/packages/*.deb)
[ ${#debs[@]} -ge 4 ] || { echo "expected at least 4 packages, got: ${debs[*]}"; exit 1; }

fail=0
declare -A owner   # file name -> our package
declare -A holder  # system library -> the Debian package that holds it
triplet=$("$cc" -dumpmachine)
arch=$(dpkg-deb -f "${debs[0]}" Architecture)
for deb in "${debs[@]}"; do
  pkg=$(dpkg-deb -f "$deb" Package)
  dpkg -x "$deb" "$scratch/root"
  while read -r f; do owner[$(basename "$f")]=$pkg; done < <(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$')
done
for deb in "${debs[@]}"; do
  pkg=$(dpkg-deb -f "$deb" Package)
  deps=$(dpkg-deb -f "$deb" Depends)
  provides_of_deps=" $(echo "$deps" | sed 's/([^)]*)//g; s/[,|]/ /g') "
  for f in $(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' | grep -v '/$'); do
    path=$scratch/root/$f
    [ -f "$path" ] && [ ! -L "$path" ] || continue
    head -c 4 "$path" | grep -q 'ELF' || continue
    if readelf -d "$path" | grep -qE '\((RPATH|RUNPATH)\)'; then
      echo "$pkg: $f carries $(readelf -d "$path" | grep -E 'RPATH|RUNPATH')"; fail=1
    fi
    for lib in $(readelf -d "$path" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      need=""
      if [ -n "${owner[$lib]:-}" ]; then
        need=${owner[$lib]}
        [ "$need" = "$pkg" ] && continue
        # The platform libraries come from kep-platform or the camera's own.
        [ "$need" = kep-platform ] && need=kep-platform-libraries
      else
        if [ -z "${holder[$lib]:-}" ]; then
          holder[$lib]=$(dpkg -S "*/$triplet/$lib" 2>/dev/null | head -n1 | cut -d: -f1 || true)
          # Without the target's multiarch libraries the cross toolchain's
          # copy stands in: libc6-armhf-cross is libc6 on the camera.
          [ -n "${holder[$lib]}" ] ||
            holder[$lib]=$(dpkg -S "/usr/$triplet/lib/$lib" 2>/dev/null | head -n1 | cut -d: -f1 | sed "s/-${arch}-cross\$//" || true)
        fi
        need=${holder[$lib]}
        [ -n "$need" ] || { echo "$pkg: $f needs $lib, which no installed package holds"; fail=1; continue; }
      fi
      case "$provides_of_deps" in
        *" $need "*) ;;
        *) echo "$pkg: $f needs $lib from $need, but Depends is: $deps"; fail=1 ;;
      esac
    done
  done
done

if [ ${#run[@]} -gt 0 ]; then
  for deb in "${debs[@]}"; do
    case "$(dpkg-deb -f "$deb" Package)" in
      kep-vcam) echo "a cross build packaged the virtual camera platform: $deb"; fail=1 ;;
    esac
  done
  if find "$scratch/root" -name 'libkep_vcam*' -o -name vcam -o -name codecfs | grep -q .; then
    echo "virtual camera files in the packages of a cross build"; fail=1
  fi
fi

# The programs and the library from the unpacked root only.
root=$scratch/root
libdirs=$(find "$root" -name 'libkep_*.so*' -printf '%h\n' | sort -u | tr '\n' ':')
export LD_LIBRARY_PATH=${libdirs%:}
# An emulator that sets the guest's LD_LIBRARY_PATH itself (-E) gets the
# root's library folders appended to its own.
for i in "${!run[@]}"; do
  case "${run[$i]}" in LD_LIBRARY_PATH=*) run[$i]="${run[$i]}:$LD_LIBRARY_PATH" ;; esac
done
bin=$root/usr/bin
ran=()
if [ -x "$bin/pcminfo" ]; then
  out=$("${run[@]}" "$bin/pcminfo") || { echo "pcminfo failed: $out"; fail=1; }
  case "$out" in
    "ALSA library version: "*"PCM stream types:"*PLAYBACK*CAPTURE*) ;;
    *) echo "pcminfo printed: $out"; fail=1 ;;
  esac
  ran+=(pcminfo)
fi

# One second of a 440 Hz tone.
tone() {
  python3 - "$1" "$2" <<'PY'
import math, struct, sys
rate = int(sys.argv[2])
with open(sys.argv[1], "wb") as f:
    f.write(b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * i / rate))) for i in range(rate)))
PY
}

# At 8 kHz with 20 ms packets: 50 packets, and as many samples back.
if [ -x "$bin/opuspack" ] && [ -x "$bin/opusplay" ]; then
  tone "$scratch/tone.raw" 8000
  "${run[@]}" "$bin/opuspack" -f 8000 16000 160 5 1 "$scratch/tone.raw" "$scratch/tone.opus" >"$scratch/pack.log" 2>&1 \
    || { echo "opuspack failed:"; cat "$scratch/pack.log"; fail=1; }
  "${run[@]}" "$bin/opusplay" -f 8000 "$scratch/tone.opus" "$scratch/back.raw" >"$scratch/play.log" 2>&1 \
    || { echo "opusplay failed:"; cat "$scratch/play.log"; fail=1; }
  packets=$(python3 -c "
import struct,sys
d=open(sys.argv[1],'rb').read(); n=0; i=0
while i+4<=len(d):
    l=struct.unpack('<i',d[i:i+4])[0]; i+=4+l; n+=1
print(n if i==len(d) else -1)" "$scratch/tone.opus" 2>/dev/null || echo -1)
  [ "$packets" = 50 ] || { echo "tone.opus holds $packets packets, expected 50"; fail=1; }
  size=$(stat -c %s "$scratch/back.raw" 2>/dev/null || echo 0)
  [ "$size" = 16000 ] || { echo "opusplay wrote $size bytes, expected 16000"; fail=1; }
  ran+=(opuspack/opusplay)
fi

# aud32 at its defaults (32 kHz, 32 kbit/s, 16 bits): whole blocks in, the
# same number of samples back.
if [ -x "$bin/aud32tool" ]; then
  tone "$scratch/tone32.raw" 32000
  "${run[@]}" "$bin/aud32tool" -m 0 -i "$scratch/tone32.raw" -o "$scratch/tone32.a32" >"$scratch/a32enc.log" 2>&1 \
    || { echo "aud32tool encode failed:"; cat "$scratch/a32enc.log"; fail=1; }
  "${run[@]}" "$bin/aud32tool" -m 1 -i "$scratch/tone32.a32" -o "$scratch/back32.raw" >"$scratch/a32dec.log" 2>&1 \
    || { echo "aud32tool decode failed:"; cat "$scratch/a32dec.log"; fail=1; }
  coded=$(stat -c %s "$scratch/tone32.a32" 2>/dev/null || echo 0)
  size=$(stat -c %s "$scratch/back32.raw" 2>/dev/null || echo 0)
  [ "$coded" -gt 0 ] && [ "$coded" -lt 64000 ] || { echo "aud32tool coded 64000 bytes of PCM into $coded bytes"; fail=1; }
  [ "$size" = 64000 ] || { echo "aud32tool decoded $size bytes, expected 64000"; fail=1; }
  ran+=(aud32tool)
fi

# A C example, built against the unpacked -dev package with pkg-config.
pcdir=$(dirname "$(find "$root" -name kep_vc.pc | head -n1)")
flags=$(PKG_CONFIG_PATH=$pcdir PKG_CONFIG_LIBDIR=$pcdir pkg-config --cflags --libs kep_vc)
# shellcheck disable=SC2086
"$cc" -std=c99 -D_POSIX_C_SOURCE=200809L -Wall -Werror -o "$scratch/vcrec" "$src/examples/vcrec.c" $flags \
  || { echo "vcrec does not build with: $flags"; fail=1; }
usage=$("${run[@]}" "$scratch/vcrec" -h 2>&1) || { echo "vcrec -h failed: $usage"; fail=1; }
case "$usage" in Usage:*) ;; *) echo "vcrec -h printed: $usage"; fail=1 ;; esac
ran+=(vcrec)

[ $fail = 0 ] && echo "packages: ${#debs[@]} checked ($arch); ran from the root: ${ran[*]}"
exit $fail
