#!/usr/bin/env bash
# Runs one fuzz target for a given time with libFuzzer (clang, AddressSanitizer
# and UndefinedBehaviorSanitizer), one process on one core.
#
#   scripts/fuzz.sh <target> <seconds>        targets: scanner uri headers dates cookies reply media hls dash proxy
#
# The kept inputs in fuzz/corpus/<target>/ seed the run; the inputs the run
# discovers go to a scratch corpus under build-fuzz/ (not kept). A crash is
# written into fuzz/corpus/<target>/ as crash-<hash>, so it is replayed by
# every `make test` from then on; commit it with the fix.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?target}
seconds=${2:?seconds}
build=${FUZZ_BUILD_DIR:-build-fuzz}

./scripts/install-deps.sh
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLARKVALE_GUI=OFF -DLARKVALE_FUZZ=ON -DLARKVALE_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j 2 --target "fuzz_$target"

kept=fuzz/corpus/$target
scratch=$build/corpus/$target
mkdir -p "$scratch"
# Reply inputs need room for a line at the 16384-byte limit.
maxlen=4096
[ "$target" = reply ] && maxlen=40000
# Seconds one input may take before it counts as a hang. Under `nice` on a
# loaded machine a run can be starved for longer than that: raise it there.
timeout=${FUZZ_TIMEOUT:-10}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:malloc_limit_mb=2048}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$build/bin/fuzz_$target" "$scratch" "$kept" -max_total_time="$seconds" -max_len=$maxlen \
  -rss_limit_mb=2048 -timeout="$timeout" -artifact_prefix="$kept/" -print_final_stats=1
