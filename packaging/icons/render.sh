#!/usr/bin/env bash
# Redraws the PNG icons from sorvane-messenger.svg; run it after changing the SVG and
# commit the results (rsvg-convert comes with Debian's librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
command -v rsvg-convert >/dev/null || { echo "render.sh: rsvg-convert is missing (apt-get install librsvg2-bin)" >&2; exit 1; }
for size in 16 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" --output "sorvane-messenger-$size.png" sorvane-messenger.svg
done
