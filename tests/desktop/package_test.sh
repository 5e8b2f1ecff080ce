#!/usr/bin/env bash
# `make package` builds a .deb holding the program, its data, the desktop
# entry and the icon, with dependencies derived from the linked libraries.
set -euo pipefail
build=$(cd "$1" && pwd)
id=example.larkvale.Larkvale_HD
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -f "$build"/package/*.deb
cmake --build "$build" --target package >"$build/package.log" 2>&1 || { cat "$build/package.log"; fail "cpack"; }
debs=("$build"/package/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, found: ${debs[*]}"
deb=${debs[0]}
echo "$deb"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/Larkvale_HD \
         ./usr/bin/larkvale \
         ./usr/share/bash-completion/completions/larkvale \
         ./usr/share/larkvale_hd/LarkvaleHelp.html \
         ./usr/share/larkvale_hd/zune.prx \
         "./usr/share/applications/$id.desktop" \
         "./usr/share/metainfo/$id.metainfo.xml" \
         "./usr/share/icons/hicolor/scalable/apps/$id.svg" \
         "./usr/share/icons/hicolor/48x48/apps/$id.png"; do
  grep -qxF "$f" <<<"$contents" || fail "$f missing from the package"
done

# Derived dependencies: the Qt and FFmpeg libraries the program links.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libqt6widgets6 libqt6webenginewidgets6 libavcodec libavformat; do
  grep -q "\b$lib" <<<"$depends" || fail "Depends lacks $lib"
done
[ "$(dpkg-deb -f "$deb" Package)" = larkvale-hd ] || fail "package name"
echo "package OK"
