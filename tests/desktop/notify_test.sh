#!/usr/bin/env bash
# Desktop notifications and the taskbar entry on a private session bus: first
# with a fake notification service that records what reaches it, then with no
# service at all. The assertions are in the test executable's *OnBus tests;
# this script provides the buses.
set -euo pipefail
tests=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen

# Runs one test of the executable ($1, the run's name $2) against the fake
# service on a bus of its own, recording into $work/$2.jsonl.
with_fake_service() {
  export LARKVALE_TEST_NOTIFY_RECORD=$work/$2.jsonl
  dbus-run-session --config-file="$here/session-bus.conf" -- bash -c '
  set -euo pipefail
  /usr/bin/python3 "$1" "$LARKVALE_TEST_NOTIFY_RECORD" >"$2/fake.out" 2>&1 &
  fake=$!
  for _ in $(seq 100); do grep -q ready "$2/fake.out" && break; sleep 0.1; done
  grep -q ready "$2/fake.out" || { cat "$2/fake.out"; exit 1; }
  status=0
  "$3" --gtest_filter="$4" >"$2/$5.out" 2>&1 || status=$?
  kill "$fake"
  [ $status -eq 0 ] || cat "$2/$5.out"
  exit $status
' notify "$here/fake_notifications.py" "$work" "$tests" "$1" "$2"
  unset LARKVALE_TEST_NOTIFY_RECORD
  cat "$work/$2.out"
}
with_fake_service "DesktopNotifierOnBus.ReachesTheNotificationService" run1
# The window's own downloads and conversions, while it is not active.
with_fake_service "DesktopEventsOnBus.EveryEndOfADownloadOrConversionIsNotified" run3
# The taskbar entry's progress, heard by a listener on the same bus.
with_fake_service "DesktopEventsOnBus.TheTaskbarEntryFollowsTheRowBeingDownloaded" run4
# Many downloads that end within a second: a few notifications, a few
# taskbar values.
with_fake_service "DesktopEventsOnBus.ManyDownloadsEndingTogetherMakeAFewMessages" run5

LARKVALE_TEST_NOTIFY_NO_SERVICE=1 dbus-run-session --config-file="$here/session-bus.conf" -- \
  "$tests" --gtest_filter="DesktopNotifierOnBus.ABusWithoutServiceOnlyReportsIt" >"$work/run2.out" 2>&1 || {
  cat "$work/run2.out"; exit 1; }
cat "$work/run2.out"
# Each run must have passed its test, not skipped it or selected none.
for run in run1 run2 run3 run4; do
  grep -q '^\[  PASSED  \] 1 test\.' "$work/$run.out" || { echo "$run did not pass its test" >&2; exit 1; }
done
