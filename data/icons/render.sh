#!/bin/bash
# Regenerates the committed PNG renders from the SVG drawings.
# Needs rsvg-convert (Debian package librsvg2-bin); the build itself does not.
set -euo pipefail
cd "$(dirname "$0")"
for s in 16 24 32 48 64 128 256; do
    rsvg-convert -w "$s" -h "$s" narwickpanel.svg -o "narwickpanel-$s.png"
done
rsvg-convert -w 16 -h 16 refresh.svg -o refresh.png
rsvg-convert -w 32 -h 32 refresh.svg -o refresh@2x.png
