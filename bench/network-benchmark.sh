#!/bin/bash
# Download-and-install benchmark of the updater against curl over a network with
# latency.
#
#   bench/network-benchmark.sh [BUILD_DIR]     (default: build)
#
# Publishes a release of 500 small files (1-64 KiB) plus one 64 MiB file with
# updater-publish and serves it with nginx on 127.0.0.1 behind
# bench/latency_proxy.py, which delays every chunk by RTT/2 in each direction
# without cutting bandwidth (and, with HANDSHAKE=1, makes a new connection wait
# one more RTT before its first byte, as TCP's handshake does). For each RTT of
# RTTS (0, 10 and 40 ms) it first checks that the proxy adds what it claims:
# PROBES requests for update.ini each on a fresh connection (one curl process
# each), PROBES on one reused connection, and the 64 MiB file, all compared with
# the same requests made straight to nginx. Then it times these ways through the
# proxy with /usr/bin/time -v, REPEAT rounds, the order of the three rotated from
# one round to the next:
#   updater        the real program, "updater console", in an installation that
#                  has none of the release's files yet (the updater, system.cfg
#                  with Connections=CONNECTIONS and Cache in the benchmark folder,
#                  and a host script): descriptor and list fetched, every file
#                  downloaded, verified and installed, update_md5.info written, the
#                  host started. A run counts only if it prints
#                  {"errormsg":"","success":true,"update":true}.
#   curl single    one curl process, "curl -K config", every listed URL over one
#                  reused connection, then md5sum -c over the files
#   curl parallel  "curl --parallel --parallel-max 6 -K config" (up to six reused
#                  connections), then md5sum -c
# and prints one table: the median wall time of each at each RTT, the ratio
# updater / curl parallel, how many updater runs counted, and how many
# connections the updater opened (total and most at once, as the proxy saw them).
# Target: the updater at most 1.1 times curl parallel at 10 and 40 ms.
#
# The same updater without latency, 2,000 files of 1-64 KiB plus one 512 MiB file
# against one curl process + md5sum -c, with peak RSS, is bench/download-benchmark.sh;
# LOOPBACK=1 runs that one instead of this.
#
# The proxy is a Python program: it moves 300-600 MB/s on this 2-core machine and
# takes about 1 ms to set up a connection, so the 64 MiB file costs every
# contender about 0.05-0.15 s more than straight from nginx; the proxy check shows
# by how much, and how far its delays stray from what they should be.
# Wall times are taken while other work may run: the load average is printed
# with the table.
#
# Needs nginx, curl, md5sum, python3, GNU time and coreutils' timeout; about
# 0.2 GB in TMPDIR plus 0.1-0.2 GB per timed run (3 x REPEAT runs per RTT), all
# removed at the end. With the updater fetching one file after another, about
# 3-4 minutes for REPEAT=3, most of it at 40 ms (500 x 40 ms for each of the
# updater and curl single).
# HTTPS=1 serves the release over HTTPS instead (a certificate authority made for
# the run, trusted by curl through --cacert and by the updater through a private
# mount namespace in which /etc/ssl/certs holds it alone; needs root and unshare),
# nginx offering HTTP/2 unless HTTP2=0.
# Environment: REPEAT (3), RTTS ("0 10 40", milliseconds), SMALL_FILES (500),
# BIG_MIB (64), CONNECTIONS (6, written into system.cfg; empty: none written),
# PARALLEL_MAX (6, curl's --parallel-max), HANDSHAKE (1; 0 adds
# nothing for a new connection), PROBES (20), RUN_TIMEOUT (300, seconds before a
# run is stopped), LOOPBACK=1, KEEP=1 keeps the folder.

set -euo pipefail
. "$(dirname "$0")/nginx.sh"

HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${1:-build}" && pwd)
if [ "${LOOPBACK:-0}" = 1 ]; then
    exec "$HERE/download-benchmark.sh" "$BUILD"
fi
PUBLISH=$BUILD/updater-publish
UPDATER=$BUILD/updater
PROXY_PY=$HERE/latency_proxy.py
REPEAT=${REPEAT:-3}
RTTS=${RTTS:-0 10 40}
SMALL_FILES=${SMALL_FILES:-500}
BIG_MIB=${BIG_MIB:-64}
CONNECTIONS=${CONNECTIONS-6}
PARALLEL_MAX=${PARALLEL_MAX:-6}
HTTPS=${HTTPS:-0}
HANDSHAKE=${HANDSHAKE:-1}
PROBES=${PROBES:-20}
RUN_TIMEOUT=${RUN_TIMEOUT:-300}
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

require_tools "$PUBLISH" "$UPDATER" "$NGINX" "$PROXY_PY" /usr/bin/time timeout curl md5sum python3

# Everything stays on 127.0.0.1: no proxy from the environment for curl or Qt.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

make_work updater-netbench
PROXY_PID=
stop_proxy() {
    if [ -n "$PROXY_PID" ]; then
        stop_pids "$PROXY_PID"
        PROXY_PID=
    fi
}
cleanup() {
    stop_proxy
    stop_pids $NGINX_PID
    remove_work
}
trap cleanup EXIT

echo "== preparing the release in $WORK"
python3 - "$WORK/release" "$SMALL_FILES" <<'EOF'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(20240602)
for i in range(count):
    path = os.path.join(root, "data", "d%02d" % (i % 20), "f%04d.bin" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(os.urandom(rng.randint(1024, 64 * 1024)))
EOF
head -c "$((BIG_MIB * 1024 * 1024))" /dev/urandom > "$WORK/release/big.bin"
mkdir -p "$WORK/www"
"$PUBLISH" --folder Base "$WORK/release" "$WORK/www/rel" >/dev/null
# Plain MD5 sums for md5sum -c, made outside any timing.
(cd "$WORK/release" && find . -type f | sort | sed 's|^\./||' | xargs md5sum) > "$WORK/sums.md5"
chmod -R a+rX "$WORK/www"

CURL_TLS=()
if [ "$HTTPS" = 1 ]; then
    mkdir -p "$WORK/tls/roots"
    (
        cd "$WORK/tls"
        openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
            -subj "/CN=updater benchmark CA" 2>/dev/null
        openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr \
            -subj "/CN=127.0.0.1" 2>/dev/null
        printf 'subjectAltName=IP:127.0.0.1\n' > san.ext
        openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
            -extfile san.ext -out server.pem 2>/dev/null
        cp ca.pem "roots/$(openssl x509 -hash -noout -in ca.pem).0"
    )
    NGINX_TLS_CERT=$WORK/tls/server.pem
    NGINX_TLS_KEY=$WORK/tls/server.key
    NGINX_HTTP2=${HTTP2:-1}
    CURL_TLS=(--cacert "$WORK/tls/ca.pem")
fi
start_nginx rel/update.ini
DIRECT=$NGINX_SCHEME://127.0.0.1:$PORT

# start_proxy RTT: the proxy in front of nginx; sets PROXY_PID and BASE.
start_proxy() {
    local extra=()
    [ "$HANDSHAKE" != 1 ] || extra=(--handshake)
    : > "$WORK/proxy.port"
    : > "$WORK/proxy.log"
    python3 "$PROXY_PY" --target-port "$PORT" --rtt-ms "$1" --log "$WORK/proxy.log" \
        --lifetime 3600 "${extra[@]}" > "$WORK/proxy.port" 2> "$WORK/proxy.err" &
    PROXY_PID=$!
    for _ in $(seq 100); do
        [ ! -s "$WORK/proxy.port" ] || break
        sleep 0.1
    done
    local port
    port=$(head -n 1 "$WORK/proxy.port")
    [ -n "$port" ] || { echo "the proxy did not start:" >&2; cat "$WORK/proxy.err" >&2; exit 1; }
    BASE=$NGINX_SCHEME://127.0.0.1:$port
    curl -sf "${CURL_TLS[@]}" -o /dev/null "$BASE/rel/update.ini" \
        || { echo "nothing through the proxy:" >&2; cat "$WORK/proxy.err" >&2; exit 1; }
}

# curl's configuration for BASE: every listed path once, in list order, into dl/.
write_curl_config() {
    python3 - "$WORK/www/rel/Base/md5.txt" "$BASE/rel/Base/" "$WORK/dl" > "$WORK/curl.cfg" <<'EOF'
import sys
lst, base, out = sys.argv[1:]
for line in open(lst, "rb").read().decode("utf-8").splitlines():
    fields = line.split("\t")
    if len(fields) == 3:
        # The list separates folders with backslashes, as Windows writes them.
        path = fields[2].replace("\\", "/").lstrip("/")
        print('url = "%s%s"\noutput = "%s/%s"' % (base, path, out, path))
EOF
}

# probe NAME URL_BASE: PROBES requests for update.ini on fresh connections, PROBES
# on one reused connection and three of the big file, each a line
# "NAME fresh|reused|big seconds" in probes.txt.
probe() {
    local name=$1 base=$2 args=() i
    for i in $(seq "$PROBES"); do
        curl -sf "${CURL_TLS[@]}" -o /dev/null -w "$name fresh %{time_starttransfer}\n" "$base/rel/update.ini" \
            >> "$WORK/probes.txt"
    done
    # One more than PROBES: the first request of the connection pays its set-up.
    for i in $(seq "$((PROBES + 1))"); do
        args+=(-o /dev/null "$base/rel/update.ini")
    done
    curl -sf "${CURL_TLS[@]}" -w "$name reused %{time_starttransfer}\n" "${args[@]}" \
        | tail -n +2 >> "$WORK/probes.txt"
    for i in 1 2 3; do
        curl -sf "${CURL_TLS[@]}" -o /dev/null -w "$name big %{time_total}\n" "$base/rel/Base/big.bin" \
            >> "$WORK/probes.txt"
    done
}

# The installation the updater runs in, made before each timed run: nothing but
# the updater, its system.cfg and a host that only notes it was started.
make_installation() {
    cp "$UPDATER" "$WORK/app/updater"
    printf '#!/bin/sh\necho "$*" > "$(dirname "$0")/host-started.txt"\n' > "$WORK/app/host.sh"
    chmod +x "$WORK/app/host.sh"
    printf '[Update]\nURL=%s/rel/\nCache=%s\nExeName=host.sh\n' "$BASE" "$WORK/cache" > "$WORK/app/system.cfg"
    [ -z "$CONNECTIONS" ] || printf 'Connections=%s\n' "$CONNECTIONS" >> "$WORK/app/system.cfg"
}
UPDATED='{"errormsg":"","success":true,"update":true}'

# time_run RTT NAME: one timed run of NAME through the proxy; appends
# "RTT NAME ok|failed wall_seconds max_rss_kib connections most_open" to
# results.txt. A failed run is kept in failed/ and does not count.
time_run() {
    local rtt=$1 name=$2 cmd ok=ok
    local tls="${CURL_TLS[*]}"
    case $name in
        updater)
            cmd=(env -C "$WORK/app" QT_QPA_PLATFORM=offscreen ./updater console)
            # Qt reads its roots from /etc/ssl/certs only: the run's CA alone is there.
            [ "$HTTPS" != 1 ] || cmd=(unshare -m sh -c 'mount --bind "$0" /etc/ssl/certs && exec "$@"' \
                                      "$WORK/tls/roots" "${cmd[@]}") ;;
        single) cmd=(bash -c "curl -s --fail $tls --create-dirs -K '$WORK/curl.cfg' \
                    && cd '$WORK/dl' && md5sum -c --quiet '$WORK/sums.md5'") ;;
        parallel) cmd=(bash -c "curl -s --fail $tls --create-dirs --parallel --parallel-max $PARALLEL_MAX \
                    -K '$WORK/curl.cfg' && cd '$WORK/dl' && md5sum -c --quiet '$WORK/sums.md5'") ;;
    esac
    # The previous run's files are moved aside, not deleted: on ext4 without a
    # journal every new inode is allocated past all inodes deleted in the last
    # minute or more, and hundreds of fresh deletions would make file creation
    # slower than on any installation being updated.
    TRASH=$((TRASH + 1))
    mkdir -p "$WORK/trash/$TRASH"
    for d in cache app dl; do
        [ ! -e "$WORK/$d" ] || mv "$WORK/$d" "$WORK/trash/$TRASH/"
    done
    mkdir -p "$WORK/cache" "$WORK/app"
    [ "$name" != updater ] || make_installation
    sync
    local before
    before=$(wc -l < "$WORK/proxy.log")
    if ! /usr/bin/time -v -o "$WORK/time.txt" timeout "$RUN_TIMEOUT" "${cmd[@]}" \
            > "$WORK/run.log" 2>&1; then
        ok=failed
    elif [ "$name" = updater ] && ! grep -qxF "$UPDATED" "$WORK/run.log"; then
        ok=failed
    fi
    if [ "$ok" = failed ]; then
        mkdir -p "$WORK/failed"
        cp "$WORK/run.log" "$WORK/failed/$rtt-$name-$TRASH.log"
        echo "   $name at $rtt ms failed (does not count); its output ends:" >&2
        tail -n 3 "$WORK/run.log" | cut -c 1-300 >&2
    fi
    # The proxy notes its connections a moment after they end.
    sleep 0.2
    python3 - "$rtt" "$name" "$ok" $(time_figures "$WORK/time.txt") "$WORK/proxy.log" "$before" \
        >> "$WORK/results.txt" <<'EOF'
import sys
rtt, name, ok, wall, rss, log, before = sys.argv[1:]
opened = most = 0
for line in open(log).read().splitlines()[int(before):]:
    fields = line.split()
    if len(fields) == 3 and fields[1] == "open":
        opened += 1
        most = max(most, int(fields[2]))
print(rtt, name, ok, wall, rss, opened, most)
EOF
}

: > "$WORK/results.txt"
: > "$WORK/probes.txt"
TRASH=0
echo "== checking the proxy: requests straight to nginx"
probe direct "$DIRECT"
CONTENDERS=(updater single parallel)
for rtt in $RTTS; do
    start_proxy "$rtt"
    echo "== RTT $rtt ms (proxy at $BASE): checking the proxy"
    probe "$rtt" "$BASE"
    write_curl_config
    for i in $(seq "$REPEAT"); do
        echo "== RTT $rtt ms: round $i of $REPEAT"
        for k in 0 1 2; do
            time_run "$rtt" "${CONTENDERS[$(((i - 1 + k) % 3))]}"
        done
    done
    stop_proxy
done
LOAD=$(cut -d ' ' -f 1-3 /proc/loadavg)

python3 - "$WORK/results.txt" "$WORK/probes.txt" "$SMALL_FILES" "$BIG_MIB" "$HANDSHAKE" \
    "$PROBES" "$CONNECTIONS" "$LOAD" "$RTTS" <<'EOF'
import statistics, sys
results, probes, files, big, handshake, count, connections, load, rtts = sys.argv[1:]
handshake = handshake == "1"
rtts = rtts.split()

samples = {}
for line in open(probes):
    fields = line.split()
    samples.setdefault((fields[0], fields[1]), []).append(float(fields[2]))
def med(key):
    return statistics.median(samples[key])

print()
print("Proxy check: medians of %s requests for update.ini, of 3 for the %s MiB file;"
      % (count, big))
print("expected = the same straight to nginx + the round trips added (%s)."
      % ("2 on a fresh connection: handshake and request" if handshake
         else "1 on a fresh connection"))
print("%6s | %-25s | %-25s | %-27s | %s" % ("RTT", "fresh connection (ms)", "reused connection (ms)",
                                          "%s fresh in a row (s)" % count, "%s MiB file (s)" % big))
print("%6s | %12s %12s | %12s %12s | %13s %13s | %8s %8s" % ("ms", "measured", "expected",
      "measured", "expected", "measured", "expected", "measured", "expected"))
for rtt in rtts:
    r = float(rtt) / 1000
    fresh_rtts = 2 if handshake else 1
    fresh_exp = med(("direct", "fresh")) + fresh_rtts * r
    reused_exp = med(("direct", "reused")) + r
    total = sum(samples[(rtt, "fresh")])
    total_exp = sum(samples[("direct", "fresh")]) + len(samples[(rtt, "fresh")]) * fresh_rtts * r
    big_exp = med(("direct", "big")) + fresh_rtts * r
    print("%6s | %12.1f %12.1f | %12.1f %12.1f | %13.3f %13.3f | %8.3f %8.3f" % (
        rtt, med((rtt, "fresh")) * 1000, fresh_exp * 1000,
        med((rtt, "reused")) * 1000, reused_exp * 1000, total, total_exp,
        med((rtt, "big")), big_exp))

runs = {}
failed = {}
conns = {}
for line in open(results):
    rtt, name, ok, wall, rss, opened, most = line.split()
    if ok != "ok":
        failed[(rtt, name)] = failed.get((rtt, name), 0) + 1
        continue
    runs.setdefault((rtt, name), []).append(float(wall))
    if name == "updater":
        conns.setdefault(rtt, []).append((int(opened), int(most)))

def wall(rtt, name):
    if (rtt, name) not in runs:
        return None
    return statistics.median(runs[(rtt, name)])
def cell(v):
    return "%9.2f" % v if v is not None else "%9s" % "-"

print()
print("%s files of 1-64 KiB + one %s MiB file, wall time in s, median of the runs that"
      % (files, big))
print("counted; updater with Connections=%s; load average at the end: %s" % (connections or "not set", load))
print("%6s %9s %9s %9s %9s %9s %s" % ("RTT ms", "updater", "curl 1", "curl par", "upd/par",
                                     "counted", "updater connections (total / most at once)"))
verdicts = []
for rtt in rtts:
    u, s, p = wall(rtt, "updater"), wall(rtt, "single"), wall(rtt, "parallel")
    ratio = u / p if u is not None and p else None
    n = len(runs.get((rtt, "updater"), []))
    total = n + failed.get((rtt, "updater"), 0)
    c = conns.get(rtt, [])
    ctext = ", ".join("%d / %d" % x for x in c) if c else "-"
    print("%6s %s %s %s %s %9s %s" % (rtt, cell(u), cell(s), cell(p),
          "%9.2f" % ratio if ratio is not None else "%9s" % "-", "%d/%d" % (n, total), ctext))
    if rtt in ("10", "40"):
        verdicts.append((rtt, ratio))
for name in ("single", "parallel"):
    lost = sum(v for (r, n), v in failed.items() if n == name)
    if lost:
        print("curl %s: %d run(s) failed and do not count" % (name, lost))
print()
for rtt, ratio in verdicts:
    if ratio is None:
        print("updater / curl parallel at %s ms: no counted run: NOT met" % rtt)
    else:
        print("updater / curl parallel at %s ms: %.2f (target <= 1.10): %s"
              % (rtt, ratio, "met" if ratio <= 1.1 else "NOT met"))
EOF
