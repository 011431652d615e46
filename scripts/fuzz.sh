#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time, starting from a copy
# of its seed corpus in fuzz/corpus/<name>/. Fails when one of them crashes; the
# input that did it is kept in BUILD_DIR/fuzz-crashes/<name>/.
#   scripts/fuzz.sh [BUILD_DIR]      FUZZ_SECONDS: time per target (default 20)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-fuzz}
seconds=${FUZZ_SECONDS:-20}

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DUPDATER_FUZZ=ON \
      -DUPDATER_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzzers

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for corpus in "$here"/fuzz/corpus/*/; do
    name=$(basename "$corpus")
    target="$build/fuzz/fuzz_$name"
    crashes="$build/fuzz-crashes/$name"
    # What a run finds joins the copy; the seeds in the tree stay as they are.
    cp -r "$corpus" "$work/$name"
    mkdir -p "$crashes"
    options=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
             -artifact_prefix="$crashes/")
    [ -f "$here/fuzz/$name.dict" ] && options+=(-dict="$here/fuzz/$name.dict")
    # Loopback only: the HTTP target's reply must not be handed to a proxy.
    if env -u http_proxy -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
           UBSAN_OPTIONS=print_stacktrace=1 LSAN_OPTIONS="suppressions=$here/fuzz/lsan.supp" \
           QT_LOGGING_RULES='*=false' \
           "$target" "${options[@]}" "$work/$name" >"$work/$name.log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log")
        printf 'fuzz_%-14s %10s executions in %s s\n' "$name" "${runs:-?}" "$seconds"
    else
        tail -n 60 "$work/$name.log"
        echo "fuzz_$name failed; its input is in $crashes/" >&2
        status=1
    fi
done
exit "$status"
