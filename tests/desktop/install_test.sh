#!/usr/bin/env bash
# Installs the build into a staging folder (DESTDIR) and checks the result:
# every file in its place, the desktop entry and the AppStream metainfo
# valid, and the installed program starting from there and finding its data
# under share/, not next to the executable.
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
id=example.larkvale.Larkvale_HD
work=$(mktemp -d)
app=
cleanup() {
  if [ -n "$app" ]; then kill "$app" 2>/dev/null || true; wait "$app" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

stage=$work/stage
DESTDIR=$stage cmake --install "$build" --prefix /usr >"$work/install.log"
root=$stage/usr
data=$root/share/larkvale_hd

# Files in place.
[ -x "$root/bin/Larkvale_HD" ] || fail "no program in bin/"
[ ! -e "$root/bin/LarkvaleHelp.html" ] || fail "data installed next to the program"
while IFS= read -r -d '' f; do
  rel=${f#"$source_dir/data/"}
  [ "$rel" = CMakeLists.txt ] && continue
  cmp -s "$f" "$data/$rel" || fail "data file not installed: $rel"
done < <(find "$source_dir/data" -type f -print0)
[ -f "$root/share/applications/$id.desktop" ] || fail "no desktop entry"
[ -f "$root/share/metainfo/$id.metainfo.xml" ] || fail "no metainfo"
[ -f "$root/share/icons/hicolor/scalable/apps/$id.svg" ] || fail "no scalable icon"
for size in 16 24 32 48 64 128 256; do
  png=$root/share/icons/hicolor/${size}x${size}/apps/$id.png
  [ "$(identify -format '%wx%h' "$png" 2>/dev/null)" = "${size}x${size}" ] || fail "icon $png is not ${size}x${size}"
done

# The desktop's own validators.
desktop-file-validate "$root/share/applications/$id.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$root/share/metainfo/$id.metainfo.xml" || fail "appstreamcli validate"
# The entry starts the installed program by name and hands it a URL.
grep -qx 'Exec=Larkvale_HD %u' "$root/share/applications/$id.desktop" || fail "Exec line"
grep -qx "Icon=$id" "$root/share/applications/$id.desktop" || fail "Icon line"

# Start the installed program headless in a home of its own. Its start line
# in the log names the data folder it found; the working folders appear
# once the window has been created.
home=$work/home
mkdir -p "$home" "$work/run"
chmod 700 "$work/run"
env -i PATH="$PATH" HOME="$home" XDG_STATE_HOME="$work/state" XDG_CONFIG_HOME="$work/config" \
  XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen \
  LARKVALE_START_PAGE=about:blank LARKVALE_HOME_PAGE=about:blank \
  LARKVALE_SAMPLE_WATCH=http://127.0.0.1:9/watch?v=sampleVideo \
  "$root/bin/Larkvale_HD" >"$work/app.out" 2>&1 &
app=$!
log=$work/state/Larkvale_HD/Larkvale_HD.log
for _ in $(seq 600); do
  [ -d "$home/larkvale/Larkvale_HD/flv" ] && [ -s "$log" ] && break
  kill -0 "$app" 2>/dev/null || { cat "$work/app.out"; fail "the installed program ended early"; }
  sleep 0.1
done
[ -d "$home/larkvale/Larkvale_HD/flv" ] || { cat "$work/app.out"; fail "no working folders after 60 s"; }
sleep 1
kill -0 "$app" 2>/dev/null || { cat "$work/app.out"; fail "the installed program did not stay up"; }
cat "$log"
grep -q " start: Larkvale_HD .*, data $data/\$" "$log" || fail "the program did not find its data in $data/"
echo "installed tree OK"
