#!/usr/bin/env bash
# Starts the program from a build folder. Without a display it starts a
# virtual one, so `make run` works on a headless machine too.
set -euo pipefail
build=${1:-build}
exe="$build/bin/Larkvale_HD"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: starting the program in a virtual X server (xvfb-run)."
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$exe"
fi
exec "$exe"
