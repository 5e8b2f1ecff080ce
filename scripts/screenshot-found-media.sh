#!/usr/bin/env bash
# Takes docs/found-media.png: the Browser page on a loopback page whose
# script asks for an HLS playlist and a video file after it has loaded, with
# the found-media button's list opened from the keyboard (Ctrl+L, Tab to the
# button, Space). A private nginx on 127.0.0.1 serves the page; the clip is
# made by ffmpeg; scripts/screenshots.sh does the rest. Usage:
#   scripts/screenshot-found-media.sh [build-dir]
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
site=$(mktemp -d)
port=$((20000 + RANDOM % 20000))
trap 'kill "$(cat "$site/nginx.pid" 2>/dev/null)" 2>/dev/null || true; rm -rf "$site"' EXIT

mkdir -p "$site/root/media" "$site/root/hls" "$site/prefix"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=duration=2:size=320x240:rate=25 \
  -f lavfi -i sine=duration=2 -shortest "$site/root/media/clip.mp4"
printf '#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nseg0.ts\n#EXT-X-ENDLIST\n' > "$site/root/hls/index.m3u8"
cat > "$site/root/player.html" <<'HTML'
<html><head><title>A player</title></head>
<body style="font-family: sans-serif; margin: 16px">
<h2>Tonight's programme</h2>
<div style="width: 320px; height: 180px; background: linear-gradient(90deg, #c00, #cc0, #0c0, #0cc, #00c, #c0c);"></div>
<p>The player picks its stream once the page has loaded; the HTML names none of it.</p>
<video id="v" muted preload="auto" style="display: none"></video>
<script>
window.addEventListener('load', function () {
  fetch('/hls/index.m3u8');
  setTimeout(function () { document.getElementById('v').src = '/media/clip.mp4'; }, 500);
});
</script>
</body></html>
HTML
sed -e "s#@PORT@#$port#; s#@LISTEN@##; s#@ROOT@#$site/root#; s#@PREFIX@#$site/prefix#g" \
  -e "s#@EXTRA@#default_type text/html;#" \
  "$here/../tests/support/nginx.conf.in" > "$site/nginx.conf"
nginx -c "$site/nginx.conf" -p "$site/prefix" &
echo $! > "$site/nginx.pid"
sleep 1

export LARKVALE_START_PAGE=http://127.0.0.1:$port/player.html
export LARKVALE_SAMPLE_WATCH=$LARKVALE_START_PAGE
export LARKVALE_HOME_PAGE=$LARKVALE_START_PAGE
export LARKVALE_SHOT_LAST='xdotool key ctrl+l Tab Tab Tab space; sleep 1.5'
export LARKVALE_SHOT_NAME=found-media
"$here/screenshots.sh" "$build" browser
