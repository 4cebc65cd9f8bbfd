#!/usr/bin/env bash
# Draws the program's icon with ImageMagick: a dark camera-lens disc with a
# red crosshair and square (the motion tracker's marks) over edge-like rings.
# Writes data/icons/lumivex-{16,32,48,64,128,256}.png and data/icons/lumivex.ico.
# The results are committed; run this only to change the icon.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
out="$top/data/icons"
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

convert -size 256x256 xc:none \
    -fill '#1d2330' -draw 'roundrectangle 8,8 247,247 40,40' \
    -fill '#3a4660' -draw 'circle 128,128 128,36' \
    -fill '#0e1118' -draw 'circle 128,128 128,60' \
    -fill none -stroke '#e8e8e8' -strokewidth 6 -draw 'circle 128,128 128,84' \
    -stroke '#7fd0ff' -strokewidth 4 -draw 'circle 128,128 128,104' \
    -stroke '#ff3030' -strokewidth 8 -draw 'rectangle 100,100 156,156' \
    -stroke '#30e040' -strokewidth 6 -draw 'line 128,24 128,232' -draw 'line 24,128 232,128' \
    "$work/icon.png"

for s in 16 32 48 64 128 256; do
    convert "$work/icon.png" -resize "${s}x${s}" -strip "PNG32:$out/lumivex-$s.png"
done
convert "$out/lumivex-16.png" "$out/lumivex-32.png" "$out/lumivex-48.png" "$out/lumivex-256.png" "$out/lumivex.ico"
ls -l "$out"
