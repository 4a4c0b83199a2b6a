#!/usr/bin/env bash
# Draws the main window's banner, resources/banner.jpg (1363 x 709): the title
# across the top of a blue ground, a laptop at the left, the district's
# education commission at the lower right. Needs ImageMagick and a Chinese
# font (fonts-wqy-zenhei).
set -euo pipefail
out=${1:-$(dirname "$0")/../resources/banner.jpg}
font=$(fc-match -f '%{file}' 'WenQuanYi Zen Hei')
convert -size 1363x709 gradient:'#0b3d91-#1e88e5' \
  -fill '#ffffff22' -draw 'circle 1150,520 1150,760' -draw 'circle 1250,180 1250,300' \
  -font "$font" -fill white -stroke '#0a2a66' -strokewidth 2 -pointsize 64 -gravity north \
  -annotate +0+70 '澄岭区2022年城区公办幼儿园' -annotate +0+160 '小班招生网络填报系统' \
  -stroke none -gravity northwest \
  -fill '#cfd8dc' -draw 'roundrectangle 150,330 560,590 14,14' \
  -fill '#102a43' -draw 'rectangle 172,352 538,568' \
  -fill '#4fc3f7' -draw 'rectangle 190,372 520,400' \
  -fill '#81d4fa' -draw 'rectangle 190,415 400,430' -draw 'rectangle 190,445 470,460' -draw 'rectangle 190,475 430,490' \
  -fill '#ffca28' -draw 'rectangle 420,500 520,550' \
  -fill '#b0bec5' -draw 'polygon 110,600 600,600 650,640 60,640' \
  -fill '#90a4ae' -draw 'rectangle 290,612 420,622' \
  -fill white -pointsize 40 -gravity southeast -annotate +60+60 '澄岭区教育委员会' \
  -quality 88 "$out"
echo "$out"
