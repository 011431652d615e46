#!/bin/bash
# What a repair of an intact installation costs, against md5sum -c of the same files.
#
#   bench/repair-benchmark.sh [BUILD_DIR]     (default: build)
#
# Publishes 2,000 files of 1-64 KiB plus one 512 MiB file, serves them with nginx
# on 127.0.0.1, installs them with "updater console", then REPEAT times (3) times
# "updater repair" (which reads every installed file: nothing is to be fetched) and
# "md5sum -c" over the same files, alternately, both with the files in the page
# cache. Prints each pair and the ratio of the medians. Target: at most 1.1.
# Needs nginx, python3, md5sum and bc; about 0.6 GB in TMPDIR, removed at the end.

set -euo pipefail
. "$(dirname "$0")/nginx.sh"

BUILD=$(cd "${1:-build}" && pwd)
REPEAT=${REPEAT:-3}
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
require_tools "$BUILD/updater" "$BUILD/updater-publish" "$NGINX" python3 md5sum bc
unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY

make_work repair-bench
trap 'stop_pids $NGINX_PID; remove_work' EXIT
python3 - "$WORK/release" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(7)
for i in range(2000):
    path = os.path.join(root, "data", "d%02d" % (i % 20), "f%04d.bin" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(os.urandom(rng.randint(1024, 65536)))
PY
head -c $((512 * 1024 * 1024)) /dev/urandom > "$WORK/release/big.bin"
mkdir -p "$WORK/www" "$WORK/app" "$WORK/cache"
"$BUILD/updater-publish" --folder Base "$WORK/release" "$WORK/www/rel" > /dev/null
chmod -R a+rX "$WORK/www"
start_nginx rel/update.ini
install_updater "$BUILD" rel
(cd "$WORK/app" && QT_QPA_PLATFORM=offscreen ./updater console > "$WORK/run.log" 2>&1) \
    || { cat "$WORK/run.log" >&2; exit 1; }
(cd "$WORK/release" && find . -type f | sort | sed 's|^\./||' | xargs md5sum) > "$WORK/sums.md5"

seconds() {
    local start end
    start=$(date +%s.%N)
    "$@" > "$WORK/out.log" 2>&1 || true
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}
: > "$WORK/times.txt"
for i in $(seq "$REPEAT"); do
    repair=$(seconds env -C "$WORK/app" QT_QPA_PLATFORM=offscreen ./updater repair)
    grep -qF '{"errormsg":"","success":true,"update":false}' "$WORK/out.log" \
        || { echo "the repair found something to do:" >&2; cat "$WORK/out.log" >&2; exit 1; }
    sums=$(seconds env -C "$WORK/app" md5sum -c --quiet "$WORK/sums.md5")
    echo "round $i: updater repair $repair s, md5sum -c $sums s"
    echo "$repair $sums" >> "$WORK/times.txt"
done
python3 - "$WORK/times.txt" <<'PY'
import statistics, sys
rows = [tuple(map(float, line.split())) for line in open(sys.argv[1])]
repair = statistics.median(r for r, _ in rows)
sums = statistics.median(s for _, s in rows)
print("medians: updater repair %.2f s, md5sum -c %.2f s, ratio %.2f (target <= 1.10)" % (repair, sums, repair / sums))
PY
