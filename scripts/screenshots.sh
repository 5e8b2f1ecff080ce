#!/usr/bin/env bash
# Takes screenshots of the real program's pages under a virtual X server
# (1086 x 769, the window's normal size) into docs/. Usage:
#   scripts/screenshots.sh [build-dir] [page ...]     pages: browser converter explorer
# Extra set-up (a video site to show, rows to queue) is done by the caller
# through the environment (LARKVALE_START_PAGE, ...); LARKVALE_SHOT_BEFORE,
# when set, is a shell command run once the window is up (its id in $WINDOW),
# e.g. xdotool clicks. LARKVALE_SHOT_THEME=dark shows the program as a desktop
# running GTK's Adwaita:dark gives it (through Qt's GTK platform theme) and
# names the files dark-<page>.png. LARKVALE_SHOT_LAST, when set, runs once the
# page is shown, just before the picture (a menu opened stays open);
# LARKVALE_SHOT_NAME names the file instead of the page.
set -euo pipefail
build=${1:-build}
shift || true
pages=("$@")
[ ${#pages[@]} -eq 0 ] && pages=(browser converter explorer)
out=$(cd "$(dirname "$0")/.." && pwd)/docs
mkdir -p "$out"

home=$(mktemp -d)
trap 'kill $app $xvfb 2>/dev/null || true; rm -rf "$home"' EXIT
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1086x769x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 1
export DISPLAY=$display HOME=$home XDG_CONFIG_HOME=$home/.config QT_QPA_PLATFORM=xcb
# A runtime folder of its own, so the program never hands off to another one.
export XDG_RUNTIME_DIR=$home/run XDG_STATE_HOME=$home/.local/state
mkdir -m 700 "$XDG_RUNTIME_DIR"
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
prefix=
if [ "${LARKVALE_SHOT_THEME:-}" = dark ]; then
  export QT_QPA_PLATFORMTHEME=gtk3 GTK_THEME=Adwaita:dark
  prefix=dark-
fi
"$build/bin/Larkvale_HD" >/dev/null 2>&1 &
app=$!
sleep "${LARKVALE_SHOT_WAIT:-6}"
window=$(xdotool search --sync --onlyvisible --name '^Larkvale_HD$' | head -n1)
xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
if [ -n "${LARKVALE_SHOT_BEFORE:-}" ]; then WINDOW=$window bash -c "$LARKVALE_SHOT_BEFORE"; fi
for page in "${pages[@]}"; do
  case $page in
    browser) key=ctrl+1 ;;
    converter) key=ctrl+2 ;;
    explorer) key=ctrl+3 ;;
    *) echo "unknown page $page" >&2; exit 2 ;;
  esac
  xdotool key --window "$window" "$key"
  sleep 1.5
  if [ -n "${LARKVALE_SHOT_LAST:-}" ]; then WINDOW=$window bash -c "$LARKVALE_SHOT_LAST"; fi
  name=${LARKVALE_SHOT_NAME:-$page}
  xwd -root -silent | convert xwd:- "png:$out/$prefix$name.png"
  echo "docs/$prefix$name.png"
done
