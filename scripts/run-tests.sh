#!/usr/bin/env bash
# Runs every test headless. Servers the tests need (nginx on 127.0.0.1) are
# started by the test fixtures themselves on free ports and stopped after.
set -euo pipefail
build=${1:-build}
export QT_QPA_PLATFORM=offscreen
# Chromium refuses to run as root with its sandbox on.
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
# Tests never use the user's real settings or home.
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
# The program's log of a test run goes nowhere near the user's.
export XDG_STATE_HOME=$(mktemp -d)
cd "$build"
ctest --output-on-failure "${@:2}"
