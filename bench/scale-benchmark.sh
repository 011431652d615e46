#!/bin/bash
# What an up-to-date check and a repair cost on an installation of a million files.
#
#   bench/scale-benchmark.sh [BUILD_DIR]     (default: build)
#
# Makes an installation of FILES (1000000) small files (8-40 bytes, in folders of
# 1,000) and a release list of the same files (about 62 MiB, written here: the
# publisher would take minutes to hash them), serves the list and a descriptor with
# nginx on 127.0.0.1, and then REPEAT (3) times each, with the files in the page
# cache:
#   check    "updater console" with update_md5.info equal to the list: the descriptor
#            names the list's SHA-256, so only the record is read (LIST_HASH=0: the
#            list is fetched and compared as by an older publisher's descriptor)
#   repair   "updater repair": every file is looked at and read
#   first    "updater console" without update_md5.info, as after an installer that
#            does not leave one: every file is read as well
#   md5sum   "md5sum -c" of the same files: the hashing alone, on one core
# Each run must report nothing to do. Prints wall time and peak RSS (GNU time -v)
# of every run and the medians. Targets: check and repair under 400 MiB; check
# under 5 s, repair under 5 s plus the hashing (md5sum's time is an upper bound of
# that: it reads the same files on one core).
# Needs nginx, python3, md5sum and GNU time; about 4.5 GB of disk (mostly the
# file system's blocks) and a million inodes in TMPDIR, removed at the end;
# creating the files takes a minute or two.

set -euo pipefail
. "$(dirname "$0")/nginx.sh"

BUILD=$(cd "${1:-build}" && pwd)
FILES=${FILES:-1000000}
REPEAT=${REPEAT:-3}
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
require_tools "$BUILD/updater" "$NGINX" python3 md5sum /usr/bin/time
unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY

make_work scale-bench
trap 'stop_pids $NGINX_PID; remove_work' EXIT
mkdir -p "$WORK/app" "$WORK/cache" "$WORK/www/rel/v2"
echo "== $FILES files in $WORK/app"
python3 - "$WORK/app" "$FILES" "$WORK/www/rel/v2/md5.txt" "$WORK/sums.md5" <<'PY'
import hashlib, os, struct, sys
root, count, listing, sums = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
with open(listing, "wb") as out, open(sums, "w") as check:
    for i in range(count):
        folder = "d%04d" % (i // 1000)
        if i % 1000 == 0:
            os.mkdir(os.path.join(root, folder))
        name = "%07d" % i
        data = (b"file %d " % i) * (1 + i % 4)
        with open(os.path.join(root, folder, name), "wb") as f:
            f.write(data)
        digest = hashlib.md5(data).digest()
        # The list's MD5 text: each 4-byte word as a little-endian number.
        text = "".join("%08x" % w for w in struct.unpack("<4I", digest))
        out.write(("%s\t%08x%08x\t%s\\%s\r\n" % (text, len(data), 0, folder, name)).encode())
        check.write("%s  %s/%s\n" % (digest.hex(), folder, name))
PY
echo "list: $(stat -c %s "$WORK/www/rel/v2/md5.txt") bytes"
# As updater-publish writes it: the list's SHA-256 settles an up-to-date check
# without the list. LIST_HASH=0 leaves it out (a descriptor of an older publisher).
list_line=
[ "${LIST_HASH:-1}" = 0 ] || list_line="List=$(sha256sum "$WORK/www/rel/v2/md5.txt" | cut -d' ' -f1)\n"
printf "[Summary]\nUpdateType=1\n\n[Version]\nFolder=v2\n$list_line" > "$WORK/www/rel/update.ini"
chmod -R a+rX "$WORK/www"
start_nginx rel/update.ini
install_updater "$BUILD" rel

# measure NAME COMMAND...: runs it in the installation, appends "NAME WALL RSS_KIB".
measure() {
    local name=$1
    shift
    (cd "$WORK/app" && /usr/bin/time -v -o "$WORK/time.txt" "$@" > "$WORK/out.log" 2>&1) || true
    if [ "$name" != md5sum ] \
        && ! grep -qF '{"errormsg":"","success":true,"update":false}' "$WORK/out.log"; then
        echo "$name did not report nothing to do:" >&2
        tail -c 2000 "$WORK/out.log" >&2
        exit 1
    fi
    read -r wall rss < <(time_figures "$WORK/time.txt")
    printf '%-7s %6.2f s %8.1f MiB\n' "$name" "$wall" "$(echo "$rss / 1024" | bc -l)"
    echo "$name $wall $rss" >> "$WORK/results.txt"
}

: > "$WORK/results.txt"
# Warms the page cache for every way alike.
(cd "$WORK/app" && md5sum -c --quiet "$WORK/sums.md5" > /dev/null)
for i in $(seq "$REPEAT"); do
    cp "$WORK/www/rel/v2/md5.txt" "$WORK/app/update_md5.info"
    measure check env QT_QPA_PLATFORM=offscreen ./updater console
    measure repair env QT_QPA_PLATFORM=offscreen ./updater repair
    rm "$WORK/app/update_md5.info"
    measure first env QT_QPA_PLATFORM=offscreen ./updater console
    measure md5sum md5sum -c --quiet "$WORK/sums.md5"
done
python3 - "$WORK/results.txt" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    name, wall, rss = line.split()
    rows.setdefault(name, []).append((float(wall), int(rss) / 1024))
print("medians:")
for name, runs in rows.items():
    print("  %-7s %6.2f s %8.1f MiB" % (name, statistics.median(w for w, _ in runs),
                                       statistics.median(r for _, r in runs)))
PY
