#!/usr/bin/env bash
# Takes docs/converter.png: the Video Converter page with a clip added through
# "Add video file(s)" and previewed, the position bar moved a little. The clip
# is made by ffmpeg in the screenshot's own home; scripts/screenshots.sh does
# the rest. Usage:
#   scripts/screenshot-converter.sh [build-dir]
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
# Coordinates are those of the window at 1086 x 769: "Add video file(s)" and
# the position bar.
export LARKVALE_SHOT_WAIT=${LARKVALE_SHOT_WAIT:-4}
export LARKVALE_SHOT_BEFORE='
f=$HOME/larkvale/Larkvale_HD/flv/flv0video.avi
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=duration=125:size=640x360:rate=25 \
  -f lavfi -i sine=frequency=440:duration=125 -c:v mjpeg -q:v 8 -c:a pcm_s16le "$f"
xdotool key --window "$WINDOW" ctrl+2; sleep 1
xdotool mousemove 76 546 click 1; sleep 2
xdotool type --delay 20 "$f"; xdotool key Return; sleep 2
xdotool mousemove 600 456 click 1; sleep 1
xdotool mousemove 900 300'
"$here/screenshots.sh" "$build" converter
