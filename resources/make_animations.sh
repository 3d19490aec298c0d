#!/usr/bin/env bash
# Draws the skin's three animations (ImageMagick) into resources/images/.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/images"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
# Loading spinner: an orange arc turning on a light ring.
for i in $(seq 0 11); do a=$((i*30)); b=$((a+100))
  convert -size 64x64 xc:white -fill none -stroke '#EEF2F6' -strokewidth 6 -draw "circle 32,32 32,8" \
    -stroke '#F37302' -draw "arc 8,8 56,56 $a,$b" "l_$(printf %02d "$i").png"; done
convert -delay 8 -loop 0 l_*.png -layers Optimize "$out/Loading.gif"
# Backup scan: a database drum with an orange ring sweeping around it.
for i in $(seq 0 11); do a=$((i*30)); b=$((a+70))
  convert -size 56x56 xc:white -fill none -stroke '#FFE2CC' -strokewidth 4 -draw "circle 28,28 28,4" \
    -stroke '#F37302' -draw "arc 4,4 52,52 $a,$b" -stroke '#4D4D4D' -strokewidth 2.5 \
    -draw "ellipse 28,19 10,4 0,360" -draw "line 18,19 18,37" -draw "line 38,19 38,37" \
    -draw "ellipse 28,37 10,4 0,180" -draw "ellipse 28,28 10,4 0,180" "b_$(printf %02d "$i").png"; done
convert -delay 8 -loop 0 b_*.png -layers Optimize "$out/iTunesScanning.gif"
# Device scan: a phone with a scan line moving down and up.
for i in $(seq 0 13); do if [ "$i" -lt 7 ]; then y=$((14+i*5)); else y=$((14+(13-i)*5)); fi
  convert -size 56x56 xc:white -fill '#FFF1E6' -stroke '#4D4D4D' -strokewidth 2.5 \
    -draw "roundrectangle 16,4 40,52 5,5" -stroke '#F37302' -strokewidth 3 -draw "line 12,$y 44,$y" \
    -stroke none -fill '#F3730255' -draw "rectangle 18,$((y-6)) 38,$y" "d_$(printf %02d "$i").png"; done
convert -delay 9 -loop 0 d_*.png -layers Optimize "$out/DeviceScanning.gif"
