#!/bin/bash
# What an up-to-date check costs the server: requests and bytes sent, from nginx's
# access log, for an installation that already has the release.
#
#   bench/fleet-benchmark.sh [BUILD_DIR]     (default: build)
#
# For each of SIZES (2000 20000) files, unsigned and signed: publishes a release of
# that many small files with the build's updater-publish, installs it (the
# release's files and one "updater console" run that records it), then runs
# "updater console" twice more and prints what nginx sent for each: the first of
# them may still fetch what the installing run did not keep, the second is what
# every later start of the host costs. BASELINE=OTHER_BUILD_DIR also measures
# that build's updater on the same published trees (the figures before a change).
# Targets: at most 2 requests and 2 KiB unsigned, 4 requests and 4 KiB signed.
# Needs nginx, minisign, python3 and curl.

set -euo pipefail
. "$(dirname "$0")/nginx.sh"

BUILD=$(cd "${1:-build}" && pwd)
SIZES=${SIZES:-"2000 20000"}
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
require_tools "$BUILD/updater" "$BUILD/updater-publish" "$NGINX" minisign python3 curl
unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY

make_work fleet-bench
trap 'stop_pids $NGINX_PID; remove_work' EXIT
mkdir -p "$WORK/www"
minisign -G -W -p "$WORK/key.pub" -s "$WORK/key.sec" > /dev/null
NGINX_HTTP_EXTRA="log_format fleet '\$request_uri \$status \$bytes_sent';"
NGINX_SERVER_EXTRA="access_log \"$WORK/nginx/logs/access.log\" fleet;"
printf 'probe' > "$WORK/www/probe"
start_nginx probe

# release N FOLDER: N small files laid out like an installation.
release() {
    python3 - "$2" "$1" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "d%03d" % (i // 500))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.dat" % i), "wb") as f:
        f.write(b"release file %d\n" % i * (1 + i % 7))
PY
}

# measure LABEL UPDATER: one "updater console" run; prints requests and bytes sent.
measure() {
    : > "$WORK/nginx/logs/access.log"
    (cd "$WORK/app" && QT_QPA_PLATFORM=offscreen "$2" console > "$WORK/out.log" 2>&1) || true
    grep -qF '{"errormsg":"","success":true,"update":false}' "$WORK/out.log" \
        || { echo "$1: not up to date:" >&2; cat "$WORK/out.log" >&2; exit 1; }
    sleep 0.2
    awk -v label="$1" '{ n++; b += $3; s = s " " $1 "=" $2 } END { printf "  %-34s %2d requests %9d bytes  %s\n", label, n, b, s }' \
        "$WORK/nginx/logs/access.log"
}

for size in $SIZES; do
    for mode in unsigned signed; do
        name="r$size-$mode"
        rm -rf "$WORK/rel" "$WORK/app" "$WORK/cache"
        release "$size" "$WORK/rel"
        sign=()
        [ "$mode" = unsigned ] || sign=(--sign "$WORK/key.sec")
        "$BUILD/updater-publish" --folder v1 "${sign[@]}" "$WORK/rel" "$WORK/www/$name" > /dev/null
        chmod -R a+rX "$WORK/www"
        install_updater "$BUILD" "$name"
        cp -r "$WORK/rel/." "$WORK/app/"
        [ "$mode" = unsigned ] || cp "$WORK/key.pub" "$WORK/app/update.pub"
        echo "== $size files, $mode (md5.txt $(stat -c %s "$WORK/www/$name/v1/md5.txt") bytes)"
        for updater in "$BUILD/updater" ${BASELINE:+"$BASELINE/updater"}; do
            cp "$updater" "$WORK/app/updater"
            rm -rf "$WORK/cache" "$WORK/app/update_md5.info"
            mkdir -p "$WORK/cache"
            label=$([ "$updater" = "$BUILD/updater" ] && echo build || echo baseline)
            (cd "$WORK/app" && QT_QPA_PLATFORM=offscreen ./updater console > /dev/null 2>&1) || true
            measure "$label, first up-to-date run" ./updater
            measure "$label, every later run" ./updater
        done
    done
done
