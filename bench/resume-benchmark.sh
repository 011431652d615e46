#!/bin/bash
# Resumed download benchmark: how much of a large file a run cut off by SIGKILL
# costs the next run.
#
#   bench/resume-benchmark.sh [BUILD_DIR]     (default: build)
#
# Publishes a release of one 512 MiB file (plus a few small ones) with
# updater-publish and serves it with nginx on 127.0.0.1, throttled with
# limit_rate so that the transfer takes several seconds. "updater console" runs in
# an installation that has none of the release yet and is killed with SIGKILL as
# soon as the kept part of the large file (<cache>/big.bin.partial) reaches 80 %
# of it; then "updater console" runs again to the end. Body bytes are counted
# from nginx's access log ($body_bytes_sent). Prints the kept size, the bytes the
# second run received for the file, wall time and peak RSS of the second run, and
# checks every installed file against the release.
# Target: the second run receives at most 21 % of the file's bytes.
#
# Needs nginx, curl, md5sum, python3 and GNU time; about 1.6 GB in TMPDIR, removed
# at the end. Environment: BIG_MIB (512), RATE (nginx limit_rate, 64m),
# KILL_PERCENT (80), KEEP=1 keeps the folder.

set -euo pipefail
. "$(dirname "$0")/nginx.sh"

BUILD=$(cd "${1:-build}" && pwd)
PUBLISH=$BUILD/updater-publish
UPDATER=$BUILD/updater
BIG_MIB=${BIG_MIB:-512}
RATE=${RATE:-64m}
KILL_PERCENT=${KILL_PERCENT:-80}
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

require_tools "$PUBLISH" "$UPDATER" "$NGINX" /usr/bin/time curl md5sum python3

make_work updater-resume
UPDATER_PID=
cleanup() {
    [ -z "$UPDATER_PID" ] || kill -KILL "$UPDATER_PID" 2>/dev/null || true
    stop_pids $NGINX_PID
    remove_work
}
trap cleanup EXIT

echo "== preparing a release of one $BIG_MIB MiB file in $WORK"
mkdir -p "$WORK/release/data" "$WORK/www" "$WORK/app" "$WORK/cache"
head -c "$((BIG_MIB * 1024 * 1024))" /dev/urandom > "$WORK/release/big.bin"
for i in 1 2 3; do
    head -c "$((i * 3000))" /dev/urandom > "$WORK/release/data/small$i.bin"
done
"$PUBLISH" --folder Base "$WORK/release" "$WORK/www/app" >/dev/null
chmod -R a+rX "$WORK/www"
(cd "$WORK/release" && find . -type f | sort | sed 's|^\./||' | xargs md5sum) > "$WORK/release.md5"
SIZE=$(stat -c %s "$WORK/release/big.bin")
KILL_AT=$((SIZE * KILL_PERCENT / 100))

# The access log gives every request's status and body bytes sent.
NGINX_SERVER_EXTRA="limit_rate $RATE; access_log \"$WORK/nginx/logs/access.log\" combined;"
start_nginx app/update.ini
LOG=$WORK/nginx/logs/access.log

cp "$UPDATER" "$WORK/app/updater"
printf '#!/bin/sh\necho "$*" > "$(dirname "$0")/host-started.txt"\n' > "$WORK/app/host.sh"
chmod +x "$WORK/app/host.sh"
printf '[Update]\nURL=http://127.0.0.1:%s/app/\nCache=%s\nExeName=host.sh\n' \
    "$PORT" "$WORK/cache" > "$WORK/app/system.cfg"
PARTIAL=$WORK/cache/big.bin.partial

# big_bin_bytes FROM_LINE: "status bytes" of each big.bin request logged from that line on.
big_bin_requests() {
    tail -n +"$1" "$LOG" | awk '$7 ~ /\/big\.bin$/ { print $9, $10 }'
}

echo "== first run, killed at $KILL_PERCENT % of big.bin (limit_rate $RATE)"
START=$(date +%s.%N)
(cd "$WORK/app" && exec env QT_QPA_PLATFORM=offscreen ./updater console) > "$WORK/run1.log" 2>&1 &
UPDATER_PID=$!
while :; do
    kept=$(stat -c %s "$PARTIAL" 2>/dev/null || echo 0)
    [ "$kept" -lt "$KILL_AT" ] || break
    if ! kill -0 "$UPDATER_PID" 2>/dev/null; then
        echo "the first run ended before the kill point:" >&2
        cat "$WORK/run1.log" >&2
        exit 1
    fi
    sleep 0.02
done
kill -KILL "$UPDATER_PID"
wait "$UPDATER_PID" 2>/dev/null || true
UPDATER_PID=
FIRST_WALL=$(python3 -c "import time; print('%.2f' % (time.time() - $START))")
KEPT=$(stat -c %s "$PARTIAL")
# nginx logs the cut request once it notices the closed connection.
for _ in $(seq 100); do
    [ -z "$(big_bin_requests 1)" ] || break
    sleep 0.1
done
FIRST_BYTES=$(big_bin_requests 1 | awk '{ sum += $2 } END { print sum + 0 }')
LINES=$(($(wc -l < "$LOG") + 1))

echo "== second run"
/usr/bin/time -v -o "$WORK/time.txt" env -C "$WORK/app" QT_QPA_PLATFORM=offscreen ./updater console \
    > "$WORK/run2.log" 2>&1 || { echo "second run failed:" >&2; cat "$WORK/run2.log" >&2; exit 1; }
grep -qxF '{"errormsg":"","success":true,"update":true}' "$WORK/run2.log" \
    || { echo "second run did not report an installed update:" >&2; cat "$WORK/run2.log" >&2; exit 1; }
SECOND=$(big_bin_requests "$LINES")
SECOND_BYTES=$(echo "$SECOND" | awk '{ sum += $2 } END { print sum + 0 }')
SECOND_STATUS=$(echo "$SECOND" | awk '{ print $1 }' | paste -sd, -)
(cd "$WORK/app" && md5sum -c --quiet "$WORK/release.md5") \
    || { echo "the installation differs from the release" >&2; exit 1; }
[ ! -e "$PARTIAL" ] || { echo "the kept part of big.bin is still in the cache" >&2; exit 1; }

python3 - $(time_figures "$WORK/time.txt") "$SIZE" "$KEPT" "$FIRST_BYTES" "$SECOND_BYTES" "$SECOND_STATUS" \
    "$FIRST_WALL" "$RATE" <<'EOF'
import sys
wall, rss, size, kept, first, second, status, first_wall, rate = sys.argv[1:]
wall, rss = float(wall), int(rss)
size, kept, first, second = int(size), int(kept), int(first), int(second)
mib = 1024 * 1024
print()
print("big.bin: %.1f MiB, nginx limit_rate %s" % (size / mib, rate))
print("first run, killed after %s s: nginx sent %.1f MiB (%.1f %%), %.1f MiB kept (%.1f %%)"
      % (first_wall, first / mib, 100.0 * first / size, kept / mib, 100.0 * kept / size))
print("second run: status %s, nginx sent %.1f MiB of big.bin (%.1f %%), wall %.2f s, peak RSS %.1f MiB"
      % (status, second / mib, 100.0 * second / size, wall, rss / 1024))
print("installation equals the release: yes")
share = 100.0 * second / size
print("second run received %.1f %% of the file (target <= 21 %%): %s"
      % (share, "met" if share <= 21 else "NOT met"))
sys.exit(0 if share <= 21 else 1)
EOF
