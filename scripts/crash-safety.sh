#!/usr/bin/env bash
# Crash safety (by hand, not in CI): kills the real window and engine with
# SIGKILL during "Change dir" (the settings write), during a download, during
# a download split over several connections (`larkvale download`) and during
# a conversion, then checks that the settings file is whole, that no
# file that existed before was changed, that no download looks complete and
# is not, lists what the kill left behind, and starts the window again on the
# same home to see it start without a box.
#   scripts/crash-safety.sh [rounds=4]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-4}
cmake --build build -j 2 --target crash_worker larkvale >/dev/null
worker=$PWD/build/bin/crash_worker
larkvale=$PWD/build/bin/larkvale
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
export QT_QPA_PLATFORM=offscreen
# Always a runtime folder of our own: the program started here must never
# find, and hand its URL to, a Larkvale_HD that runs elsewhere on the machine.
export XDG_RUNTIME_DIR=$(mktemp -d)
chmod 700 "$XDG_RUNTIME_DIR"

root=$(mktemp -d /tmp/larkvale-crash-XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Runs the worker in the background and waits (at most 60 s) for its "ready".
start_worker() {
  : >"$root/out"
  "$worker" "$@" >"$root/out" 2>"$root/err" &
  pid=$!
  for _ in $(seq 600); do
    grep -q '^ready' "$root/out" && return 0
    kill -0 "$pid" 2>/dev/null || { fail "worker $1 ended before it was ready"; cat "$root/err"; return 1; }
    sleep 0.1
  done
  fail "worker $1 not ready in 60 s"
}
# Waits (at most 60 s) until a file matching `pattern` in `folder`, newer than
# the stamp, holds at least `bytes`.
wait_for_size() {  # folder pattern bytes
  for _ in $(seq 1200); do
    [ -n "$(find "$1" -name "$2" -newer "$root/stamp" -size +"$3"c 2>/dev/null)" ] && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}
kill_worker() {
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
clean_start() {
  if timeout -s KILL 60 "$worker" start "$root" >"$root/start" 2>/dev/null; then
    echo "  next start: clean ($(grep -c 'box:' "$root/start") boxes)"
  else
    fail "next start: $(tr '\n' ' ' <"$root/start")"
  fi
}
leftovers() {  # folder, label
  local found
  found=$(cd "$1" && find . -type f -newer "$root/stamp" -printf '%P (%s bytes, %k KiB on disk) ' 2>/dev/null || true)
  echo "  left in $2: ${found:-nothing new}"
}

echo "== first start"
clean_start
settings=$root/config/Larkvale_HD/settings.ini
flv=$(sed -n 's/^flv folder //p' "$root/start")
[ -f "$settings" ] || fail "no settings file after the first start"
echo "  settings file: $(wc -c <"$settings") bytes; flv folder: $flv"

echo "== kill during \"Change dir\" (settings written by rename over the old file)"
a=$root/home/folder-a
b=$root/home/folder-b
mkdir -p "$a" "$b"
for r in $(seq "$rounds"); do
  touch "$root/stamp"
  start_worker settings "$root" "$a" "$b" || continue
  sleep "0.$((r * 7 % 10))$((r % 10))"
  kill_worker
  writes=$(sed -n 's/^changed //p' "$root/out" | tail -1)
  value=$(sed -n 's/^"videodir"="\(.*\)"$/\1/p' "$settings")
  echo "round $r: killed after ${writes:-0} changes; videodir=${value#"$root"/}"
  [ "$value" = "$a" ] || [ "$value" = "$b" ] || fail "settings hold \"$value\": $(cat "$settings")"
  leftovers "$root/config/Larkvale_HD" "the settings folder"
  clean_start
done

echo "== kill during a download (a slow local server, 40 MiB)"
port_file=$root/port
cat >"$root/server.py" <<'PY'
import http.server, sys, time
# With "ranges" it offers ranges (and takes "bytes=N-M"), so that large files
# are split over several connections.
offer = len(sys.argv) > 2 and sys.argv[2] == "ranges"
class H(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        # Byte p of the file is p % 256; "Range: bytes=N-" gets the rest from N.
        size = 40 << 20
        start, end = 0, size
        asked = self.headers.get("Range", "")
        first, _, last = asked[6:].partition("-") if asked.startswith("bytes=") else ("", "", "")
        if first.isdigit() and (last == "" or (offer and last.isdigit())):
            start = min(int(first), size)
            if last:
                end = min(int(last) + 1, size)
        if start or end < size:
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end - 1, size))
        else:
            self.send_response(200)
        if offer:
            self.send_header("Content-Type", "video/mp4")
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("ETag", '"pattern-1"')
        self.send_header("Content-Length", str(end - start))
        self.end_headers()
        block = bytes(range(256)) * 256
        try:
            at = start
            while at < end:
                piece = block[at % len(block):][:end - at]
                self.wfile.write(piece)
                at += len(piece)
                time.sleep(0.01)
        except OSError:
            pass
    def log_message(self, *a):
        pass
s = http.server.ThreadingHTTPServer(("127.0.0.1", 0), H)
open(sys.argv[1], "w").write(str(s.server_address[1]))
s.serve_forever()
PY
python3 - "$port_file" <"$root/server.py" &
server_pid=$!
for _ in $(seq 100); do [ -s "$port_file" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$port_file")/clip.flv"
flv=$(sed -n 's/^flv folder //p' "$root/start")   # the last "Change dir" moved it
echo "  flv folder: ${flv#"$root"/}"
mkdir -p "$flv"
head -c 300000 /dev/urandom >"$flv/flv0video.flv"   # a download from an earlier session
kept=$(sha256sum <"$flv/flv0video.flv")
for r in $(seq "$rounds"); do
  touch "$root/stamp"
  start_worker download "$root" "$url" || continue
  # The download goes to a .part file: wait for it, then let the data run
  # for a while.
  wait_for_size "$flv" 'flv*video.flv.part' 0 || fail "no .part file appeared"
  # The list is saved a moment after a change: kill once it says so.
  for _ in $(seq 100); do grep -q '"downloading"' "$root/data/Larkvale_HD/downloads.json" 2>/dev/null && break; sleep 0.05; done
  sleep "0.$((r * 2))"
  kill_worker
  echo "round $r: killed $((r * 200)) ms into the download"
  for f in $(find "$flv" -name 'flv*video.flv*' ! -name '*.state' -newer "$root/stamp"); do
    # A file under its final name must be whole; a .part file holds exactly
    # the bytes that arrived, with no zeros after them.
    if ! python3 - "$f" <<'PY'; then fail "$(basename "$f") looks complete and is not"; fi
import sys
path = sys.argv[1]
data = open(path, "rb").read()
sent = (bytes(range(256)) * (len(data) // 256 + 1))[:len(data)]
whole = len(data) == 40 << 20
print("  %s: %d bytes, %s%s" % (path.rsplit("/", 1)[1], len(data), "as sent" if data == sent else "NOT as sent",
      ", whole" if whole else ""))
sys.exit(0 if data == sent and (whole or path.endswith(".part")) else 1)
PY
  done
  [ "$(sha256sum <"$flv/flv0video.flv")" = "$kept" ] || fail "the earlier download was changed"
  leftovers "$flv" "the flv folder"
  # A fresh start shows the killed row stopped, with its .part file, and
  # resumes it to the whole file.
  if timeout -s KILL 150 "$worker" resume "$root" >"$root/resume" 2>/dev/null; then
    restored=$(grep '^restored' "$root/resume" | tail -1)
    final=$(grep '^row' "$root/resume" | tail -1)
    echo "  next start: ${restored#restored }; after the resume: ${final#row }"
    case "$restored" in *" stopped "*.part) ;; *) fail "the killed row came back as: $restored" ;; esac
    python3 - "${final##* }" <<'PY' || fail "the resumed download is not the whole file"
import sys
data = open(sys.argv[1], "rb").read()
sent = (bytes(range(256)) * (len(data) // 256 + 1))[:len(data)]
sys.exit(0 if len(data) == 40 << 20 and data == sent else 1)
PY
  else
    fail "the resumed download did not finish: $(tr '\n' ' ' <"$root/resume")"
  fi
  clean_start
done
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=

echo "== kill during a download split over 4 connections (larkvale download, 40 MiB)"
port_file=$root/port-ranges
python3 - "$port_file" ranges <"$root/server.py" &
server_pid=$!
for _ in $(seq 100); do [ -s "$port_file" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$port_file")/clip.mp4"
for r in $(seq "$rounds"); do
  dir=$root/split-$r
  mkdir -p "$dir"
  HOME=$root/home XDG_CONFIG_HOME=$root/config "$larkvale" download "$url" -o "$dir" --connections 4 \
    >/dev/null 2>"$root/split-err" &
  pid=$!
  for _ in $(seq 600); do grep -q '^range:' "$dir"/*.part.state 2>/dev/null && break; sleep 0.05; done
  sleep "0.$((r * 3 % 10))"
  kill_worker
  state=$(ls "$dir"/*.part.state 2>/dev/null | head -1 || true)
  echo "round $r: killed; state: $(grep -c '^range:' "$state" 2>/dev/null || echo none) ranges"
  # Every range holds, up to what its state says, the bytes as sent; a
  # file under its final name is whole.
  python3 - "$dir" <<'PY' || fail "round $r: a split download is not as sent"
import os, sys
d = sys.argv[1]
ok = True
for name in os.listdir(d):
    path = os.path.join(d, name)
    if name.endswith(".state"):
        continue
    data = open(path, "rb").read()
    if not name.endswith(".part"):
        sent = (bytes(range(256)) * (len(data) // 256 + 1))[:len(data)]
        whole = len(data) == 40 << 20 and data == sent
        print("  %s: %d bytes, %s" % (name, len(data), "whole" if whole else "NOT whole"))
        ok = ok and whole
        continue
    have = 0
    for line in open(path + ".state").read().splitlines():
        if line.startswith("range:"):
            start, end, got = map(int, line.split()[1:])
            have += got
            piece = data[start:start + got]
            if len(piece) != got or piece != bytes((start + i) % 256 for i in range(got)):
                print("  %s: range %d-%d NOT as sent" % (name, start, end))
                ok = False
    print("  %s: %d bytes kept by the state" % (name, have))
sys.exit(0 if ok else 1)
PY
  if HOME=$root/home XDG_CONFIG_HOME=$root/config timeout -s KILL 150 "$larkvale" download "$url" -o "$dir" \
    --connections 4 >/dev/null 2>"$root/split-err"; then
    python3 - "$dir/flv0video.mp4" <<'PY' || fail "round $r: the resumed split download is not the whole file"
import sys
data = open(sys.argv[1], "rb").read()
sent = (bytes(range(256)) * (len(data) // 256 + 1))[:len(data)]
sys.exit(0 if len(data) == 40 << 20 and data == sent else 1)
PY
    echo "  resumed: $(ls "$dir")"
  else
    fail "round $r: the resumed split download did not finish: $(tr '\n' ' ' <"$root/split-err")"
  fi
done
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=

echo "== kill during a conversion (MPEG 2 of a 20 s clip over an existing target)"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=25:duration=20 \
  -f lavfi -i sine=frequency=440:duration=20 -c:v libx264 -preset veryfast -pix_fmt yuv420p \
  -c:a aac -shortest "$root/input.mp4"
mkdir -p "$root/out-dir"
target=$root/out-dir/target.mpg
head -c 500000 /dev/urandom >"$target"   # the file the user chose to replace
kept=$(sha256sum <"$target")
for r in $(seq "$rounds"); do
  touch "$root/stamp"
  start_worker convert "$root/input.mp4" "$target" || continue
  wait_for_size "$root/out-dir" '*.part' $((r * 1000000)) || fail "no .part reached $((r * 1000000)) bytes"
  parts_at_kill=$(find "$root/out-dir" -name '*.part' -newer "$root/stamp" -printf '%P (%s bytes, %k KiB on disk) ')
  kill_worker
  echo "round $r: at the kill: ${parts_at_kill:-no .part yet}"
  [ "$(sha256sum <"$target")" = "$kept" ] || fail "the existing target was changed"
  leftovers "$root/out-dir" "the target folder"
done
echo "a conversion left to finish:"
if timeout -s KILL 120 "$worker" convert "$root/input.mp4" "$target" >"$root/out" 2>&1 && grep -q saved "$root/out"; then
  echo "  saved: target now $(wc -c <"$target") bytes; .part files beside it: $(find "$root/out-dir" -name '*.part' | wc -l) (left by the kills)"
else
  fail "the conversion did not finish: $(cat "$root/out")"
fi
clean_start

echo "failures: $failures"
[ "$failures" -eq 0 ]
