#!/usr/bin/env bash
# Renders the exported OSD fonts (OSD_Font_X1, _X2, _X4) at ×1, ×2 and ×4 to
# docs/fonts.png, from the tables the built library exports.
# Usage: scripts/render_fonts.sh [OUTPUT.png]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/fonts.png}
cmake -S . -B build -DKEP_WERROR=ON >/dev/null
cmake --build build --target fontsheet -j2 >/dev/null
mkdir -p "$(dirname "$out")"
build/bin/fontsheet "$out"
