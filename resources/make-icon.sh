#!/bin/sh
# Draws the application icon: a kestrel hovering, wings spread and tail
# fanned, in cream on a rust-coloured rounded square. Needs ImageMagick.
set -e
cd "$(dirname "$0")"
convert -size 64x64 xc:none \
  -fill '#a8461e' -draw 'roundrectangle 1,1 62,62 12,12' \
  -fill '#f3e6c8' -stroke '#3b1d0c' -strokewidth 1.5 \
  -draw 'polygon 32,20 26,16 16,12 5,15 14,19 22,24 28,30 27,40 24,52 32,48 40,52 37,40 36,30 42,24 50,19 59,15 48,12 38,16' \
  -fill '#3b1d0c' -stroke none -draw 'circle 32,19 32,14' \
  -fill '#f3b700' -draw 'polygon 30,13 34,13 32,9' \
  -depth 8 kestrel.png
