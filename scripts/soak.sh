#!/usr/bin/env bash
# Soak run (by hand, not in CI): many small downloads through the window's
# queue runner with rows deleted and re-sorted at random meanwhile. Prints
# memory and open descriptors after the first batch and at the end. With
# "convert", that many conversions by the engine instead.
#   scripts/soak.sh [downloads=1000] [seed=1]
#   scripts/soak.sh convert [conversions=100]
set -euo pipefail
cd "$(dirname "$0")/.."
make build >/dev/null
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
# Always a runtime folder of our own: the program started here must never
# find, and hand its URL to, a Larkvale_HD that runs elsewhere on the machine.
export XDG_RUNTIME_DIR=$(mktemp -d)
chmod 700 "$XDG_RUNTIME_DIR"
if [ "${1:-}" = convert ]; then
  QT_QPA_PLATFORM=offscreen build/bin/bench_soak convert "${2:-100}"
else
  QT_QPA_PLATFORM=offscreen build/bin/bench_soak "${1:-1000}" "${2:-1}"
fi
