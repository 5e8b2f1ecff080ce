#!/usr/bin/env bash
# Takes docs/browser.png: the Browser page on a loopback video site, with the
# watch page's link queued by the Download button. A private nginx on
# 127.0.0.1 serves the site (watch page, a 303 from get_video to a clip made
# by ffmpeg); scripts/screenshots.sh does the rest. Usage:
#   scripts/screenshot-browser.sh [build-dir]
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
site=$(mktemp -d)
port=$((20000 + RANDOM % 20000))
trap 'kill "$(cat "$site/nginx.pid" 2>/dev/null)" 2>/dev/null || true; rm -rf "$site"' EXIT

mkdir -p "$site/root/videos" "$site/prefix"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=duration=2:size=320x240:rate=25 \
  -f lavfi -i sine=duration=2 -shortest "$site/root/videos/clip.flv"
token=$(printf 'T%.0s' $(seq 46))
cat > "$site/root/index.html" <<HTML
<html><body><h1>Loopback video site</h1><p><a href="/watch?v=abcdefghijk">A test pattern</a></p></body></html>
HTML
cat > "$site/root/watch" <<HTML
<html><head><title>A test pattern</title></head>
<body style="font-family: sans-serif; margin: 16px">
<script>var swfHTML = '<embed src="/p.swf?video_id=abcdefghijk&t=$token&hl=en">';</script>
<h2>A test pattern</h2>
<div style="width: 320px; height: 180px; background: linear-gradient(90deg, #c00, #cc0, #0c0, #0cc, #00c, #c0c);"></div>
<p>Two seconds of colour bars and a tone, served from 127.0.0.1.</p>
<p>More: <a href="/watch?v=bcdefghijka">another pattern</a> &middot; <a href="/index.html">home</a></p>
</body></html>
HTML
sed -e "s#@PORT@#$port#; s#@ROOT@#$site/root#; s#@PREFIX@#$site/prefix#g" \
  -e "s#@EXTRA@#default_type text/html; location = /get_video { return 303 /videos/clip.flv; }#" \
  "$here/../tests/support/nginx.conf.in" > "$site/nginx.conf"
nginx -c "$site/nginx.conf" -p "$site/prefix" &
echo $! > "$site/nginx.pid"
sleep 1

export LARKVALE_START_PAGE=http://127.0.0.1:$port/watch?v=abcdefghijk
export LARKVALE_SAMPLE_WATCH=$LARKVALE_START_PAGE
export LARKVALE_HOME_PAGE=http://127.0.0.1:$port/index.html
export LARKVALE_VIDEO_SITE=http://127.0.0.1:$port
# Follow the page's link to another watch page, then press Download (at the
# right of the browser bar).
export LARKVALE_SHOT_BEFORE='xdotool mousemove 129 487 click 1; sleep 2; xdotool mousemove 1040 135 click 1; sleep 4'
"$here/screenshots.sh" "$build" browser
