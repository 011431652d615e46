#!/bin/bash
# Download-and-install benchmark of the updater against curl + md5sum.
#
#   bench/download-benchmark.sh [BUILD_DIR]     (default: build)
#
# Publishes a release of 2,000 small files (1-64 KiB) plus one 512 MiB file with
# updater-publish, serves it with nginx on 127.0.0.1, and times these ways through
# it with /usr/bin/time -v:
#   updater      the real program, "updater console", in an installation that has
#                none of the release's files yet (system.cfg, the updater and a
#                host script only): descriptor and list fetched, every file
#                downloaded, verified and installed, update_md5.info written, the
#                host started
#   worker       bench-download, the download worker alone, when it is built
#   curl+md5sum  one curl process fetching every URL over reused connections into
#                files, then md5sum -c over the same files
#   updater 1M   the updater again, with a 1 MiB file in place of the 512 MiB one
#   signed       the updater on the same release signed with updater-publish --sign,
#                with update.pub beside it: signature, list hashes and SHA-256 of
#                every file checked as well (when the minisign command is there)
# and prints wall time and peak RSS of each (median of REPEAT runs, default 3).
# Targets: updater wall time at most 1.0 x curl+md5sum; peak RSS of the 512 MiB
# run within 64 MiB of the 1 MiB run; the signed run at most 1.1 x the unsigned one.
#
# Needs nginx, curl, md5sum, python3 and GNU time; about 2.5 GB in TMPDIR plus
# 0.6 GB per timed run (REPEAT x 4 runs), all removed at the end.
# Environment: REPEAT, SMALL_FILES (2000), BIG_MIB (512), KEEP=1 keeps the folder,
# SHARED_CACHE=1 makes the cache writable by every user (as /tmp is), so that the
# updater copies cached files into the installation instead of renaming them.

set -euo pipefail
. "$(dirname "$0")/nginx.sh"

BUILD=$(cd "${1:-build}" && pwd)
PUBLISH=$BUILD/updater-publish
UPDATER=$BUILD/updater
DRIVER=$BUILD/bench/bench-download
REPEAT=${REPEAT:-3}
SMALL_FILES=${SMALL_FILES:-2000}
BIG_MIB=${BIG_MIB:-512}
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

require_tools "$PUBLISH" "$UPDATER" "$NGINX" /usr/bin/time curl md5sum python3

make_work updater-bench
cleanup() {
    stop_pids $NGINX_PID
    remove_work
}
trap cleanup EXIT

echo "== preparing releases in $WORK"
python3 - "$WORK" "$SMALL_FILES" <<'EOF'
import os, random, sys
work, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(20240601)
for release in ("large", "small"):
    os.makedirs(os.path.join(work, "release-" + release), exist_ok=True)
for i in range(count):
    rel = os.path.join("data", "d%02d" % (i % 40), "f%04d.bin" % i)
    body = os.urandom(rng.randint(1024, 64 * 1024))
    for release in ("large", "small"):
        path = os.path.join(work, "release-" + release, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(body)
EOF
head -c "$((BIG_MIB * 1024 * 1024))" /dev/urandom > "$WORK/release-large/big.bin"
head -c "$((1024 * 1024))" /dev/urandom > "$WORK/release-small/big.bin"

mkdir -p "$WORK/www"
SIGNED=
if command -v minisign >/dev/null 2>&1; then
    minisign -G -W -p "$WORK/bench.pub" -s "$WORK/bench.key" >/dev/null
    "$PUBLISH" --folder Base --sign "$WORK/bench.key" "$WORK/release-large" "$WORK/www/signed" >/dev/null
    SIGNED=1
fi
for release in large small; do
    "$PUBLISH" --folder Base "$WORK/release-$release" "$WORK/www/$release" >/dev/null
    # Plain MD5 sums for md5sum -c, made outside any timing.
    (cd "$WORK/release-$release" && find . -type f | sort | sed 's|^\./||' | xargs md5sum) \
        > "$WORK/sums-$release.md5"
done
chmod -R a+rX "$WORK/www"

start_nginx large/update.ini
BASE=http://127.0.0.1:$PORT

# curl's configuration: every listed path once, in list order, into dl/.
for release in large small; do
    python3 - "$WORK/www/$release/Base/md5.txt" "$BASE/$release/Base/" "$WORK/dl" \
        > "$WORK/curl-$release.cfg" <<'EOF'
import sys
lst, base, out = sys.argv[1:]
for line in open(lst, "rb").read().decode("utf-8").splitlines():
    fields = line.split("\t")
    if len(fields) == 3:
        # The list separates folders with backslashes, as Windows writes them.
        path = fields[2].replace("\\", "/").lstrip("/")
        print('url = "%s%s"\noutput = "%s/%s"' % (base, path, out, path))
EOF
done

# The installation the updater runs in, made before each timed run: nothing but
# the updater, its system.cfg and a host that only notes it was started.
make_installation() {
    local release=$1
    cp "$UPDATER" "$WORK/app/updater"
    printf '#!/bin/sh\necho "$*" > "$(dirname "$0")/host-started.txt"\n' > "$WORK/app/host.sh"
    chmod +x "$WORK/app/host.sh"
    printf '[Update]\nURL=%s/%s/\nCache=%s\nExeName=host.sh\n' \
        "$BASE" "$release" "$WORK/cache" > "$WORK/app/system.cfg"
    [ "$release" != signed ] || cp "$WORK/bench.pub" "$WORK/app/update.pub"
}
UPDATER_RUN=(env -C "$WORK/app" QT_QPA_PLATFORM=offscreen ./updater console)
UPDATED='{"errormsg":"","success":true,"update":true}'

# time_run NAME [--installation RELEASE] COMMAND...: appends
# "NAME wall_seconds max_rss_kib" to results. With --installation, the updater's
# installation for RELEASE is made first, outside the timing, and the run must
# print the record of an installed update.
time_run() {
    local name=$1 release=
    shift
    if [ "$1" = --installation ]; then
        release=$2
        shift 2
    fi
    # The previous run's files are moved aside, not deleted: on ext4 without a
    # journal every new inode is allocated past all inodes deleted in the last
    # minute or more, and thousands of fresh deletions would make file creation
    # several times slower than on any installation being updated.
    TRASH=$((TRASH + 1))
    mkdir -p "$WORK/trash/$TRASH"
    for d in cache app dl; do
        [ ! -e "$WORK/$d" ] || mv "$WORK/$d" "$WORK/trash/$TRASH/"
    done
    mkdir -p "$WORK/cache" "$WORK/app"
    [ -z "${SHARED_CACHE:-}" ] || chmod 1777 "$WORK/cache"
    [ -z "$release" ] || make_installation "$release"
    sync
    /usr/bin/time -v -o "$WORK/time.txt" "$@" > "$WORK/run.log" 2>&1 \
        || { echo "$name failed:" >&2; cat "$WORK/run.log" "$WORK/time.txt" >&2; exit 1; }
    if [ -n "$release" ] && ! grep -qxF "$UPDATED" "$WORK/run.log"; then
        echo "$name did not report an installed update:" >&2
        cat "$WORK/run.log" >&2
        exit 1
    fi
    echo "$name $(time_figures "$WORK/time.txt")" >> "$WORK/results.txt"
}

: > "$WORK/results.txt"
TRASH=0
for i in $(seq "$REPEAT"); do
    echo "== round $i of $REPEAT"
    time_run updater --installation large "${UPDATER_RUN[@]}"
    if [ -x "$DRIVER" ]; then
        time_run worker "$DRIVER" "$BASE/large/Base/" "$WORK/www/large/Base/md5.txt" "$WORK/cache" "$WORK/app"
    fi
    time_run curl bash -c "curl -s --fail --create-dirs -K '$WORK/curl-large.cfg' \
        && cd '$WORK/dl' && md5sum -c --quiet '$WORK/sums-large.md5'"
    time_run updater1m --installation small "${UPDATER_RUN[@]}"
    [ -z "$SIGNED" ] || time_run signed --installation signed "${UPDATER_RUN[@]}"
done

python3 - "$WORK/results.txt" "$SMALL_FILES" "$BIG_MIB" <<'EOF'
import statistics, sys
path, files, big = sys.argv[1], sys.argv[2], sys.argv[3]
runs = {}
for line in open(path):
    name, wall, rss = line.split()
    runs.setdefault(name, []).append((float(wall), int(rss)))
def med(name, i):
    return statistics.median(r[i] for r in runs[name])
print()
print("%s files of 1-64 KiB + one %s MiB file, median of %d runs" % (files, big, len(runs["updater"])))
print("%-34s %10s %14s" % ("", "wall (s)", "peak RSS (MiB)"))
rows = [("updater console (whole run)", "updater"),
        ("download worker alone", "worker"),
        ("curl + md5sum -c", "curl"),
        ("updater, 1 MiB instead of %s MiB" % big, "updater1m"),
        ("updater, signed release", "signed")]
for label, key in rows:
    if key not in runs:
        continue
    print("%-34s %10.2f %14.1f" % (label, med(key, 0), med(key, 1) / 1024))
ratio = med("updater", 0) / med("curl", 0)
delta = (med("updater", 1) - med("updater1m", 1)) / 1024
print()
print("wall time ratio updater / curl+md5sum: %.2f (target <= 1.00): %s"
      % (ratio, "met" if ratio <= 1.0 else "NOT met"))
print("peak RSS %s MiB run - 1 MiB run: %.1f MiB (target <= 64): %s"
      % (big, delta, "met" if delta <= 64 else "NOT met"))
if "signed" in runs:
    signed = med("signed", 0) / med("updater", 0)
    print("wall time ratio signed / unsigned: %.2f (target <= 1.10): %s"
          % (signed, "met" if signed <= 1.1 else "NOT met"))
EOF
