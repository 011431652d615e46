#!/bin/bash
# Smaller updates: bytes on the wire and times with compressed copies and patches.
#
#   bench/delta-benchmark.sh [BUILD_DIR [OLD_DIR NEW_DIR]...]   (default: build)
#
# For each release pair (OLD, NEW), laid out like installations: publishes OLD, then
# NEW with --delta-from OLD's published folder (the publisher's wall time and peak
# RSS are measured), and updates an installation of OLD to NEW through nginx on
# 127.0.0.1 three ways, each timed (wall time, peak RSS and peak anonymous memory of "updater console"):
#   plain    update.ini without Version/Index: every changed file whole, as before
#   zst      an index of the compressed copies only
#   patch    the full index: patches from OLD where they are smaller
# Bytes on the wire are the bodies nginx sent during the run (its access log); the
# installation must equal NEW afterwards.
# Without pairs on the command line it assembles three from what this machine has:
#   app        this project built at OLD_REV (default HEAD~25) and NEW_REV (HEAD),
#              without tests: the two executables and the static library, beside
#              the Qt, OpenSSL and zstd libraries they load (unchanged)
#   debian     every Debian package of which /var/cache/apt/archives holds two
#              versions, unpacked, the older and the newer
#   resources  this repository's files at OLD_REV and NEW_REV (scripts, texts,
#              sources: a script-and-resource release)
# Targets on an application pair of at least 50 MB changed: patch <= 10 % of the
# plain bytes, zst <= 25 %; on loopback the patch run no slower than the plain one.
# Needs nginx, git, cmake, ninja, dpkg-deb, and python3.

set -euo pipefail
. "$(dirname "$0")/nginx.sh"

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-build}" && pwd)
shift || true
PUBLISH=$BUILD/updater-publish
UPDATER=$BUILD/updater
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
OLD_REV=${OLD_REV:-HEAD~25}
NEW_REV=${NEW_REV:-HEAD}
require_tools "$PUBLISH" "$UPDATER" "$NGINX" python3 git

make_work delta-bench
cleanup() {
    stop_pids $NGINX_PID
    for tree in "$WORK"/src-*; do
        [ ! -d "$tree" ] || git -C "$REPO" worktree remove --force "$tree" 2>/dev/null || true
    done
    remove_work
}
trap cleanup EXIT

pairs=()
if [ $# -ge 2 ]; then
    while [ $# -ge 2 ]; do
        pairs+=("$(cd "$1" && pwd):$(cd "$2" && pwd)")
        shift 2
    done
else
    echo "== assembling release pairs in $WORK"
    for side in old new; do
        rev=$OLD_REV
        [ $side = old ] || rev=$NEW_REV
        git -C "$REPO" worktree add --detach "$WORK/src-$side" "$rev" >/dev/null 2>&1
        mkdir -p "$WORK/pairs/resources-$side"
        git -C "$WORK/src-$side" archive HEAD | tar -x -C "$WORK/pairs/resources-$side"
        cmake -S "$WORK/src-$side" -B "$WORK/build-$side" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
              -DUPDATER_BUILD_TESTS=OFF >/dev/null
        ninja -C "$WORK/build-$side" >/dev/null
        app=$WORK/pairs/app-$side
        mkdir -p "$app/bin" "$app/lib"
        cp "$WORK/build-$side/updater" "$WORK/build-$side/updater-publish" "$app/bin/"
        cp "$WORK/build-$side/libupdatercore.a" "$app/lib/"
        ldd "$app/bin/updater" | awk '/=> \// && /(Qt5|crypto|ssl|zstd)/ {print $3}' | xargs -r cp -L -t "$app/lib/"
    done
    mkdir -p "$WORK/pairs/debian-old" "$WORK/pairs/debian-new"
    python3 "$(dirname "$0")/delta_pairs.py" debian "$WORK/pairs"
    for name in app debian resources; do
        [ -z "$(ls -A "$WORK/pairs/$name-old")" ] || pairs+=("$WORK/pairs/$name-old:$WORK/pairs/$name-new")
    done
fi

# measure OUT COMMAND...: wall time, peak RSS and peak anonymous memory into OUT.
measure() {
    python3 "$(dirname "$0")/delta_pairs.py" measure "$@"
}

mkdir -p "$WORK/www" "$WORK/nginx/logs"
LOG=$WORK/nginx/logs/access.log
NGINX_SERVER_EXTRA="access_log $LOG;"
touch "$WORK/www/probe"
start_nginx probe
BASE=http://127.0.0.1:$PORT

: > "$WORK/results.txt"
n=0
for pair in "${pairs[@]}"; do
    n=$((n + 1))
    old=${pair%%:*}
    new=${pair#*:}
    name=$(basename "$old")
    name=${name%-old}
    out=$WORK/www/p$n
    "$PUBLISH" --folder v1 "$old" "$out" >/dev/null
    measure "$WORK/time.txt" "$PUBLISH" --folder v2 --delta-from "$out/v1" "$new" "$out" \
        > "$WORK/publish.log" 2>&1 || { cat "$WORK/publish.log" >&2; exit 1; }
    echo "$name publish $(cat "$WORK/time.txt") 0" >> "$WORK/results.txt"
    python3 "$(dirname "$0")/delta_pairs.py" ways "$out"
    chmod -R a+rX "$WORK/www"
    for way in plain zst patch; do
        rm -rf "$WORK/app" "$WORK/cache"
        cp -a "$old" "$WORK/app"
        cp "$UPDATER" "$WORK/app/updater"
        printf '#!/bin/sh\n' > "$WORK/app/host.sh"
        chmod +x "$WORK/app/host.sh"
        mkdir -p "$WORK/cache"
        printf '[Update]\nURL=%s/p%d/%s/\nCache=%s\nExeName=host.sh\n' "$BASE" $n "$way" "$WORK/cache" \
            > "$WORK/app/system.cfg"
        from=$(($(wc -l < "$LOG") + 1))
        sync
        measure "$WORK/time.txt" env -C "$WORK/app" QT_QPA_PLATFORM=offscreen ./updater console \
            > "$WORK/run.log" 2> "$WORK/run.err" || true
        if [ "$(head -c 44 "$WORK/run.log")" != '{"errormsg":"","success":true,"update":true}' ] \
           || grep -qF '"success":false' "$WORK/run.log"; then
            echo "$name $way: no installed update" >&2
            cat "$WORK/run.log" "$WORK/run.err" >&2
            exit 1
        fi
        python3 "$(dirname "$0")/delta_pairs.py" same "$new" "$WORK/app" \
            || { echo "$name $way: the installation differs from NEW" >&2; exit 1; }
        sent=$(tail -n +"$from" "$LOG" | python3 "$(dirname "$0")/delta_pairs.py" sent)
        echo "$name $way $(cat "$WORK/time.txt") $sent" >> "$WORK/results.txt"
    done
done
python3 "$(dirname "$0")/delta_pairs.py" report "$WORK/results.txt"
