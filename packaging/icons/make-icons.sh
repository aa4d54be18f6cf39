#!/bin/bash
# Draws the theme icons next to this script (needs ImageMagick's convert and rsvg-convert).
# 16 pixels is the hand-tuned picture of the window's own icon (32 pixels is installed from
# resources/ as it is); the larger sizes come from the vector drawing ftpupg.svg. Run again after
# changing either; the outputs are kept in git so that a build needs neither tool.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
res="$here/../../resources"
convert "$res/ftpupg.ico[1]" -strip "PNG32:$here/16x16.png"
for s in 48 64 128 256; do
    rsvg-convert -w "$s" -h "$s" -o "$here/${s}x${s}.png" "$here/ftpupg.svg"
done
