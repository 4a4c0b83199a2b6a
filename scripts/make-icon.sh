#!/usr/bin/env bash
# Draws the program's icon, packaging/kgfiling.png (256 x 256, transparent
# corners): a kindergarten under a roof on the blue of the banner, with a sun
# and the character 园. The window icon and the menu entry both use it; the
# same picture in the sizes of a Windows icon goes to kgfiling.ico beside it
# (the icon of kgfiling.exe). Needs ImageMagick and a Chinese font
# (fonts-wqy-zenhei).
set -euo pipefail
out=${1:-$(dirname "$0")/../packaging/kgfiling.png}
font=$(fc-match -f '%{file}' 'WenQuanYi Zen Hei')
convert -size 256x256 xc:none \
  \( -size 256x256 gradient:'#1e88e5-#0b3d91' \
  \( -size 256x256 xc:black -fill white -draw 'roundrectangle 8,8 247,247 40,40' \) \
  -alpha off -compose CopyOpacity -composite \) -compose Over -composite \
  -fill '#ffca28' -draw 'circle 196,64 196,88' \
  -fill white -draw 'polygon 36,128 128,52 220,128' \
  -fill '#e53935' -draw 'polygon 58,124 128,66 198,124' \
  -fill white -draw 'rectangle 56,124 200,222' \
  -font "$font" -fill '#0b3d91' -pointsize 84 -gravity center -annotate +0+44 '园' \
  -depth 8 -strip "$out"
convert "$out" -define icon:auto-resize=256,48,32,16 "${out%.png}.ico"
echo "$out"
