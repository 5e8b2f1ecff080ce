#!/usr/bin/env bash
# Runs a benchmark of the window in the four display settings a user may
# have, one after the other:
#   offscreen   Qt's offscreen plugin (no display at all)
#   xcb         Xvfb with the X11 plugin
#   xcb+wm      the same with a window manager (openbox)
#   xcb+wm+a11y the same with an accessibility bus (at-spi-bus-launcher in a
#               D-Bus session of its own) and QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
# Usage: scripts/bench-display.sh [-s settings] program [arguments...]
#   e.g. scripts/bench-display.sh build/bin/bench_runner_download 3 1024
#        scripts/bench-display.sh -s "xcb xcb+wm" build/bin/bench_event_loop_hold 3
set -euo pipefail

settings="offscreen xcb xcb+wm xcb+wm+a11y"
if [ "${1:-}" = "-s" ]; then settings=$2; shift 2; fi
[ $# -ge 1 ] || { echo "usage: $0 [-s settings] program [arguments...]" >&2; exit 2; }
program=$(realpath "$1"); shift
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1

xvfb_pid=""; wm_pid=""
stop_display() {
  [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=""; wm_pid=""
}
trap stop_display EXIT

start_display() {
  local fifo; fifo=$(mktemp -u); mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  local number; read -r number <"$fifo"; rm -f "$fifo"
  export DISPLAY=":$number"
}

start_wm() {
  openbox --sm-disable >/dev/null 2>&1 &
  wm_pid=$!
  sleep 1
}

for s in $settings; do
  echo "=== $s"
  case "$s" in
    offscreen)
      QT_QPA_PLATFORM=offscreen "$program" "$@" ;;
    xcb)
      start_display
      QT_QPA_PLATFORM=xcb "$program" "$@"
      stop_display ;;
    xcb+wm)
      start_display; start_wm
      QT_QPA_PLATFORM=xcb "$program" "$@"
      stop_display ;;
    xcb+wm+a11y)
      start_display; start_wm
      QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 dbus-run-session -- bash -c '
        /usr/libexec/at-spi-bus-launcher --launch-immediately & launcher=$!
        sleep 1
        "$@"; status=$?
        kill $launcher 2>/dev/null
        exit $status' bench "$program" "$@"
      stop_display ;;
    *) echo "unknown setting $s" >&2; exit 2 ;;
  esac
done
