#!/bin/bash
# How "updater console" copes with servers that misbehave.
#
#   bench/hostile-server-benchmark.sh [BUILD_DIR]     (default: build)
#
# Publishes one small release (a.txt of 100 bytes and one more file, list of 159
# bytes, descriptor of 44 bytes, folder v2) and updates a fresh installation that
# holds a.txt = "old" from it, once per case, with the update forced
# ([Summary] UpdateType=1). A correct release and a list of about a million files
# come from nginx; every fault nginx cannot produce comes from
# bench/hostile_server.py (Python 3, standard library only). Both listen on
# 127.0.0.1 only, on free ports. Cases:
#   normal          a correct release (nginx, NORMAL_REPEAT runs; the baseline), and
#                   once more from the Python server, to show that it serves the
#                   release correctly when it is told no fault
#   list cut        md5.txt: 200, Content-Length 159, 106 bytes, 0.3 s, TCP reset;
#                   CUT_REPEAT runs where every request is cut so, and CUT_REPEAT
#                   where a request sent again is reset before any reply
#   descriptor cut  the same on update.ini: 30 of its 44 bytes
#   gzip bomb       1 GiB of zeros gzip-compressed (about 1 MiB), sent with
#                   Content-Encoding: gzip, on update.ini, on md5.txt, on a.txt
#   trickle         a.txt (100 bytes announced) at one byte per second
#   big list        md5.txt of BIG_LINES lines (about 62 MiB), none of the files
#                   there, the first one missing on the server (nginx; BIG_REPEAT
#                   runs)
#   200 MiB list    md5.txt announced with Content-Length 200 MiB
#   endless list    md5.txt generated without end, chunked and close-delimited
#                   (ENDLESS_REPEAT runs each: their peak RSS varies with timing)
#   301 / 302       on update.ini and on md5.txt, pointing at a correct copy
# For every run it prints the command line, the last JSON record, the exit code,
# wall time, CPU time and peak RSS (GNU time -v) and, for the Python server, how
# many requests reached it (Qt sends a request again after some resets); it
# checks that update_md5.info was not
# written, that a.txt is still "old" with no a.txt.old beside it, and that peak
# RSS stays within 64 MiB of the normal run's (the big list instead has its own
# limit of 400 MiB and 5 s). Then it prints one table and the load average: wall
# times taken while other work runs say little, CPU times still do. No failing
# case may report success; each must end with its own message. About 2-3 minutes,
# most of it in the trickle case (30-35 s) and in making the gzip bomb (about 7 s).
#
# Needs nginx, python3, gzip, curl, GNU time and coreutils' timeout; about 200 MB
# in TMPDIR, removed at the end.
# Environment: NORMAL_REPEAT (3), CUT_REPEAT (10), BIG_LINES (1000003),
# BIG_REPEAT (3), ENDLESS_REPEAT (3), RUN_TIMEOUT (120, seconds before a run is
# killed), KEEP=1 keeps the folder.

set -euo pipefail
. "$(dirname "$0")/nginx.sh"

HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${1:-build}" && pwd)
PUBLISH=$BUILD/updater-publish
UPDATER=$BUILD/updater
SERVER_PY=$HERE/hostile_server.py
NORMAL_REPEAT=${NORMAL_REPEAT:-3}
CUT_REPEAT=${CUT_REPEAT:-10}
BIG_LINES=${BIG_LINES:-1000003}
BIG_REPEAT=${BIG_REPEAT:-3}
ENDLESS_REPEAT=${ENDLESS_REPEAT:-3}
RUN_TIMEOUT=${RUN_TIMEOUT:-120}
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

require_tools "$PUBLISH" "$UPDATER" "$NGINX" "$SERVER_PY" /usr/bin/time timeout curl gzip python3

make_work updater-hostile
SERVER_PID=
cleanup() {
    stop_pids $NGINX_PID $SERVER_PID
    remove_work
}
trap cleanup EXIT

show() {
    echo "\$ $*"
}

LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
echo "== preparing the release in $WORK (load average $LOAD_START, $(nproc) cores)"
mkdir -p "$WORK/release/data" "$WORK/www"
# 100 bytes, so that the trickle case announces a length the list agrees with.
python3 -c 'import sys; sys.stdout.write(("new content of a.txt, version 2. " * 4)[:99] + "\n")' \
    > "$WORK/release/a.txt"
printf 'data\n' > "$WORK/release/data/bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"
show "$PUBLISH" --folder v2 "$WORK/release" "$WORK/www/release"
"$PUBLISH" --folder v2 "$WORK/release" "$WORK/www/release" >/dev/null
# The descriptor as a publisher writes it by hand, without the empty Version line:
# 44 bytes, of which the cut case sends 30 ("...UpdateType=1\n\n[Vers").
printf '[Summary]\nUpdateType=1\n\n[Version]\nFolder=v2\n' > "$WORK/www/release/update.ini"
# Read as its defaults, a cut descriptor means a forced update from "Base". That
# folder holds the same release, so a cut descriptor taken for whole would show up
# as a successful update instead of hiding behind a 404.
ln -s v2 "$WORK/www/release/Base"
echo "descriptor $(wc -c < "$WORK/www/release/update.ini") bytes, list $(wc -c < "$WORK/www/release/v2/md5.txt") bytes"

# Every case is a name in the served tree, all but the big list the same release.
for case in normal normalpy plain cutlist cutlistr cutini cutinir gzini gzlist gzfile \
            trickle announced chunked closed r301ini r302ini r301list r302list; do
    ln -s release "$WORK/www/$case"
done

echo "== the list of $BIG_LINES lines"
mkdir -p "$WORK/www/biglist/v2"
cp "$WORK/www/release/update.ini" "$WORK/www/biglist/"
cp "$WORK/release/a.txt" "$WORK/www/biglist/v2/"
ln -s v2 "$WORK/www/biglist/Base"
python3 - "$WORK/www/release/v2/md5.txt" "$BIG_LINES" "$WORK/www/biglist/v2/md5.txt" <<'EOF'
import random, sys
small, lines, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rng = random.Random(20240601)
with open(small, "rb") as f:
    a_line = next(l for l in f.read().split(b"\r\n") if l.endswith(b"\ta.txt"))
with open(out, "wb") as f:
    f.write(a_line + b"\r\n")
    chunk = []
    # a.txt plus lines-1 files in folders of 1,000 that neither the installation
    # nor the server has; "a.txt" sorts first, so it is fetched before them.
    for i in range(lines - 1):
        chunk.append("%032x\t%08x00000000\td%04d\\%07d\r\n"
                     % (rng.getrandbits(128), rng.getrandbits(20), i // 1000, i))
        if len(chunk) == 10000:
            f.write("".join(chunk).encode())
            chunk = []
    f.write("".join(chunk).encode())
EOF
BIG_BYTES=$(stat -c %s "$WORK/www/biglist/v2/md5.txt")
echo "big list: $BIG_LINES lines, $BIG_BYTES bytes ($((BIG_BYTES / 1048576)) MiB)"

echo "== the gzip bomb"
# -9: about 1 MiB on the wire (-1 gives about 4.5 MiB for the same GiB).
show "head -c 1G /dev/zero | gzip -9 > $WORK/bomb.gz"
head -c 1G /dev/zero | gzip -9 > "$WORK/bomb.gz"
echo "bomb: $(stat -c %s "$WORK/bomb.gz") bytes, inflating to 1073741824"
chmod -R a+rX "$WORK/www"

echo "== servers"
# /CASE.N/... is /CASE/...: one address per run, as on the Python server.
NGINX_SERVER_EXTRA='rewrite "^/([^/.]+)\.[0-9]+(/.*)$" /$1$2 last;'
show "$NGINX" -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -g "daemon off;"
start_nginx release/update.ini

MIB=$((1024 * 1024))
cat > "$WORK/rules.json" <<EOF
{
  "cutlist v2/md5.txt":   {"kind": "cut", "send": 106, "pause": 0.3, "later": "same"},
  "cutlistr v2/md5.txt":  {"kind": "cut", "send": 106, "pause": 0.3, "later": "reset"},
  "cutini update.ini":    {"kind": "cut", "send": 30, "pause": 0.3, "later": "same"},
  "cutinir update.ini":   {"kind": "cut", "send": 30, "pause": 0.3, "later": "reset"},
  "gzini update.ini":     {"kind": "gzip", "body": "$WORK/bomb.gz"},
  "gzlist v2/md5.txt":    {"kind": "gzip", "body": "$WORK/bomb.gz"},
  "gzfile v2/a.txt":      {"kind": "gzip", "body": "$WORK/bomb.gz"},
  "trickle v2/a.txt":     {"kind": "trickle", "interval": 1.0},
  "announced v2/md5.txt": {"kind": "announced", "length": $((200 * MIB))},
  "chunked v2/md5.txt":   {"kind": "endless", "framing": "chunked"},
  "closed v2/md5.txt":    {"kind": "endless", "framing": "close"},
  "r301ini update.ini":   {"kind": "redirect", "status": 301, "to": "plain"},
  "r302ini update.ini":   {"kind": "redirect", "status": 302, "to": "plain"},
  "r301list v2/md5.txt":  {"kind": "redirect", "status": 301, "to": "plain"},
  "r302list v2/md5.txt":  {"kind": "redirect", "status": 302, "to": "plain"}
}
EOF
: > "$WORK/server.log"
show python3 "$SERVER_PY" "$WORK/www" "$WORK/rules.json" "$WORK/server.port" "$WORK/server.log"
python3 "$SERVER_PY" "$WORK/www" "$WORK/rules.json" "$WORK/server.port" "$WORK/server.log" \
    2> "$WORK/server.err" &
SERVER_PID=$!

for _ in $(seq 100); do
    [ -s "$WORK/server.port" ] && break
    sleep 0.1
done
[ -s "$WORK/server.port" ] || { cat "$WORK/server.err" >&2; exit 1; }
NGINX_BASE=http://127.0.0.1:$PORT
PY_BASE=http://127.0.0.1:$(cat "$WORK/server.port")
curl -sf -m 5 -o /dev/null "$PY_BASE/plain//update.ini" || { cat "$WORK/server.err" >&2; exit 1; }
echo "nginx at $NGINX_BASE, hostile server at $PY_BASE"

# Reads one run's output and GNU time's report, checks it, prints it and appends
# it to results.jsonl; with "table", prints the summary.
cat > "$WORK/evaluate.py" <<'EOF'
import json, os, re, statistics, sys

def parse_time(path):
    wall = rss = None
    cpu = 0.0
    for line in open(path):
        line = line.strip()
        if line.startswith("User time (seconds)") or line.startswith("System time (seconds)"):
            cpu += float(line.rsplit(" ", 1)[1])
        elif line.startswith("Elapsed (wall clock) time"):
            parts = [float(p) for p in line.rsplit(" ", 1)[1].split(":")]
            wall = sum(p * 60 ** i for i, p in enumerate(reversed(parts)))
        elif line.startswith("Maximum resident set size"):
            rss = int(line.rsplit(" ", 1)[1]) / 1024
    return wall, rss, cpu

def records(text):
    out, decoder, i = [], json.JSONDecoder(), 0
    text = text.strip()
    while i < len(text):
        try:
            obj, end = decoder.raw_decode(text, i)
        except ValueError:
            out.append({"unparsed": text[i:]})
            break
        out.append(obj)
        i = end
        while i < len(text) and text[i].isspace():
            i += 1
    return out

def record(args):
    (results, group, label, run_dir, exit_code, expect, pattern, wall_limit,
     rss_limit, baseline, log, run_id) = args
    exit_code = int(exit_code)
    app = os.path.join(run_dir, "app")
    out = open(os.path.join(run_dir, "out.txt"), encoding="utf-8", errors="replace").read()
    recs = records(out)
    last = recs[-1] if recs else {}
    wall, rss, cpu = parse_time(os.path.join(run_dir, "time.txt"))
    a_txt = open(os.path.join(app, "a.txt"), "rb").read() if os.path.exists(os.path.join(app, "a.txt")) else None
    info = os.path.exists(os.path.join(app, "update_md5.info"))
    old = os.path.exists(os.path.join(app, "a.txt.old"))
    extra = sorted(set(os.listdir(app)) - {"updater", "host.sh", "system.cfg", "a.txt",
                                           "a.txt.old", "update_md5.info", "data",
                                           "host-started.txt"})
    requests = None
    if log != "-":
        requests = sum(1 for l in open(log) if l.split(" ", 1)[0] == run_id)
    r = {"group": group, "label": label, "exit": exit_code, "wall": wall, "cpu": cpu, "rss": rss,
         "records": recs, "last": last, "info_written": info, "a_txt": (a_txt or b"").decode("latin-1"),
         "a_txt_old": old, "extra": extra, "requests": requests}
    checks = {}
    if expect == "success":
        checks["record"] = out.strip() == '{"errormsg":"","success":true,"update":true}'
        checks["exit 0"] = exit_code == 0
        checks["update_md5.info written"] = info
        checks["a.txt new, a.txt.old = old"] = (a_txt != b"old" and old
            and open(os.path.join(app, "a.txt.old"), "rb").read() == b"old")
        checks["host started"] = os.path.exists(os.path.join(app, "host-started.txt"))
    else:
        checks["no success"] = last.get("success") is False and exit_code != 0
        checks["message"] = re.search(pattern, str(last.get("errormsg", ""))) is not None
        checks["update_md5.info not written"] = not info
        checks["a.txt still old, no a.txt.old"] = a_txt == b"old" and not old
    if rss_limit.startswith("abs:"):
        limit = float(rss_limit[4:])
    elif baseline:
        limit = float(baseline) + 64
    else:
        limit = None
    if limit is not None:
        checks["peak RSS <= %.1f MiB" % limit] = rss is not None and rss <= limit
    if wall_limit:
        checks["wall <= %s s" % wall_limit] = wall is not None and wall <= float(wall_limit)
    r["checks"] = checks
    r["rss_limit"] = limit
    with open(results, "a") as f:
        f.write(json.dumps(r, ensure_ascii=False) + "\n")
    print("  last record: %s" % json.dumps(last, ensure_ascii=False))
    if len(recs) > 1:
        print("  all records: %s" % out.strip())
    print("  exit %d, wall %.2f s, cpu %.2f s, peak RSS %.1f MiB%s" % (exit_code, wall, cpu, rss,
          "" if requests is None else ", %d request(s) to the server" % requests))
    if extra:
        print("  unexpected in the installation: %s" % ", ".join(extra))
    for name, ok in checks.items():
        print("  %-34s %s" % (name, "met" if ok else "NOT met"))

def table(args):
    results, baseline = args
    rows = [json.loads(l) for l in open(results)]
    groups = []
    for r in rows:
        if r["group"] not in groups:
            groups.append(r["group"])
    print()
    print("normal run peak RSS (median): %s MiB; limit for the others: %.1f MiB"
          % (baseline, float(baseline) + 64))
    print()
    head = "%-34s %4s %4s %7s %7s %7s %8s  %-5s %-5s %-5s %-5s  %s"
    print(head % ("case", "runs", "exit", "wall s", "max s", "cpu s", "RSS MiB", "info", "a.txt", "RSS", "other", "last errormsg (most frequent)"))
    notmet = []
    for g in groups:
        rs = [r for r in rows if r["group"] == g]
        def all_met(pred):
            vals = [ok for r in rs for name, ok in r["checks"].items() if pred(name)]
            return "-" if not vals else ("met" if all(vals) else "NOT")
        info = all_met(lambda n: n.startswith("update_md5.info"))
        atxt = all_met(lambda n: n.startswith("a.txt"))
        rss = all_met(lambda n: n.startswith("peak RSS"))
        other = all_met(lambda n: not (n.startswith("update_md5.info") or n.startswith("a.txt")
                                       or n.startswith("peak RSS")))
        msgs = {}
        for r in rs:
            m = r["last"].get("errormsg", r["last"].get("unparsed", "?"))
            msgs[m] = msgs.get(m, 0) + 1
        common = max(msgs.items(), key=lambda kv: kv[1])[0]
        exits = sorted({r["exit"] for r in rs})
        print(head % (g, len(rs), ",".join(map(str, exits)),
                      "%.2f" % statistics.median(r["wall"] for r in rs),
                      "%.2f" % max(r["wall"] for r in rs),
                      "%.2f" % statistics.median(r["cpu"] for r in rs),
                      "%.1f" % max(r["rss"] for r in rs), info, atxt, rss, other, common or '""'))
        for r in rs:
            for name, ok in r["checks"].items():
                if not ok:
                    notmet.append("%s (%s): %s" % (g, r["label"], name))
    print()
    print("wall s, cpu s (user + system): medians of the runs; max s, RSS MiB: the largest of them.")
    print("info: update_md5.info not written (written, for normal); a.txt: still \"old\", no")
    print("a.txt.old (replaced and set aside, for normal); RSS: within 64 MiB of the normal run")
    print("(big list: 400 MiB); other: no success and the expected message, and the wall-time")
    print("limit where the case has one.")
    print()
    for g in groups:
        rs = [r for r in rows if r["group"] == g]
        if len(rs) < 2:
            continue
        outcomes = {}
        for r in rs:
            key = "exit %d, %s" % (r["exit"], json.dumps(r["last"], ensure_ascii=False))
            outcomes[key] = outcomes.get(key, 0) + 1
        print("%s, %d runs:" % (g, len(rs)))
        for k, n in sorted(outcomes.items(), key=lambda kv: -kv[1]):
            print("  %2d x %s" % (n, k))
        reqs = [r["requests"] for r in rs if r["requests"] is not None]
        if reqs:
            print("  requests to the server per run: %s" % " ".join(map(str, reqs)))
        print("  success reported: %d of %d" % (sum(1 for r in rs if r["last"].get("success") is True), len(rs)))
    print()
    if notmet:
        print("NOT met:")
        for line in notmet:
            print("  " + line)
    else:
        print("every check met")

if sys.argv[1] == "record":
    record(sys.argv[2:])
else:
    table(sys.argv[2:])
EOF

: > "$WORK/results.jsonl"
BASELINE=
RUNS=0

# run_case GROUP RUN_ID BASE EXPECT PATTERN WALL_LIMIT RSS_LIMIT
# A fresh installation (the updater, system.cfg, a host that notes its start and
# a.txt = "old") and a fresh cache for every run, URL=BASE/RUN_ID/; then one timed
# "updater console". EXPECT is "success" or "failure"; PATTERN a regular expression
# for the last record's errormsg; WALL_LIMIT seconds or empty; RSS_LIMIT empty for
# "within 64 MiB of the normal run" or "abs:MIB".
run_case() {
    local group=$1 run_id=$2 base=$3 expect=$4 pattern=$5 wall_limit=$6 rss_limit=$7
    RUNS=$((RUNS + 1))
    local dir=$WORK/runs/$RUNS-$run_id
    mkdir -p "$dir/app" "$dir/cache"
    cp "$UPDATER" "$dir/app/updater"
    printf '#!/bin/sh\necho "$*" > "$(dirname "$0")/host-started.txt"\n' > "$dir/app/host.sh"
    chmod +x "$dir/app/host.sh"
    printf '[Update]\nURL=%s/%s/\nCache=%s\nExeName=host.sh\n' "$base" "$run_id" "$dir/cache" \
        > "$dir/app/system.cfg"
    printf 'old' > "$dir/app/a.txt"
    local cmd=(/usr/bin/time -v -o "$dir/time.txt" timeout -k 5 "$RUN_TIMEOUT"
               env -C "$dir/app" QT_QPA_PLATFORM=offscreen ./updater console)
    echo "-- $group [$run_id]  URL=$base/$run_id/"
    echo "  \$ ${cmd[*]}"
    local code=0
    "${cmd[@]}" > "$dir/out.txt" 2> "$dir/err.txt" || code=$?
    local log=-
    [ "$base" = "$NGINX_BASE" ] || log=$WORK/server.log
    python3 "$WORK/evaluate.py" record "$WORK/results.jsonl" "$group" "$run_id" "$dir" "$code" \
        "$expect" "$pattern" "$wall_limit" "$rss_limit" "$BASELINE" "$log" "$run_id"
}

echo
echo "== normal"
for i in $(seq "$NORMAL_REPEAT"); do
    run_case "normal (nginx)" "normal.$i" "$NGINX_BASE" success "" "" ""
done
BASELINE=$(python3 - "$WORK/results.jsonl" <<'EOF'
import json, statistics, sys
print("%.1f" % statistics.median(json.loads(l)["rss"] for l in open(sys.argv[1])))
EOF
)
echo "baseline peak RSS: $BASELINE MiB"
run_case "normal (python server)" "normalpy.1" "$PY_BASE" success "" "" ""

LIST_FAIL='^下载更新列表文件失败:'
DESC_FAIL='^下载升级描述文件失败:'
echo
echo "== cut and reset"
for i in $(seq "$CUT_REPEAT"); do
    run_case "md5.txt cut, every request" "cutlist.$i" "$PY_BASE" failure "$LIST_FAIL" "" ""
done
for i in $(seq "$CUT_REPEAT"); do
    run_case "md5.txt cut, resent one reset" "cutlistr.$i" "$PY_BASE" failure "$LIST_FAIL" "" ""
done
for i in $(seq "$CUT_REPEAT"); do
    run_case "update.ini cut, every request" "cutini.$i" "$PY_BASE" failure "$DESC_FAIL" "" ""
done
for i in $(seq "$CUT_REPEAT"); do
    run_case "update.ini cut, resent one reset" "cutinir.$i" "$PY_BASE" failure "$DESC_FAIL" "" ""
done

echo
echo "== gzip bomb"
run_case "gzip bomb on update.ini" "gzini.1" "$PY_BASE" failure "${DESC_FAIL}不支持的内容编码:gzip\$" "" ""
run_case "gzip bomb on md5.txt" "gzlist.1" "$PY_BASE" failure "${LIST_FAIL}不支持的内容编码:gzip\$" "" ""
run_case "gzip bomb on a.txt" "gzfile.1" "$PY_BASE" failure '^下载更新文件a\.txt' "" ""

echo
echo "== 200 MiB and endless lists"
LIMIT_MSG="${LIST_FAIL}内容超过67108864字节的上限\$"
run_case "md5.txt 200 MiB announced" "announced.1" "$PY_BASE" failure "$LIMIT_MSG" 5 ""
for i in $(seq "$ENDLESS_REPEAT"); do
    run_case "md5.txt endless, chunked" "chunked.$i" "$PY_BASE" failure "$LIMIT_MSG" 5 ""
done
for i in $(seq "$ENDLESS_REPEAT"); do
    run_case "md5.txt endless, close-delimited" "closed.$i" "$PY_BASE" failure "$LIMIT_MSG" 5 ""
done

echo
echo "== redirections"
run_case "301 on update.ini" "r301ini.1" "$PY_BASE" failure "${DESC_FAIL}HTTP 301( |\$)" "" ""
run_case "302 on update.ini" "r302ini.1" "$PY_BASE" failure "${DESC_FAIL}HTTP 302( |\$)" "" ""
run_case "301 on md5.txt" "r301list.1" "$PY_BASE" failure "${LIST_FAIL}HTTP 301( |\$)" "" ""
run_case "302 on md5.txt" "r302list.1" "$PY_BASE" failure "${LIST_FAIL}HTTP 302( |\$)" "" ""

echo
echo "== big list (nginx; load average $(cut -d' ' -f1-3 /proc/loadavg))"
# a.txt comes first and is fetched; the next file is missing on the server.
for i in $(seq "$BIG_REPEAT"); do
    run_case "md5.txt of $BIG_LINES lines" "biglist.$i" "$NGINX_BASE" failure \
        '^下载更新文件[0-9]+网络错误$' 5 abs:400
done

echo
echo "== trickle (about 30-35 s)"
run_case "a.txt at 1 byte/s" "trickle.1" "$PY_BASE" failure '^下载更新文件a\.txt网络错误$' 60 ""

python3 "$WORK/evaluate.py" table "$WORK/results.jsonl" "$BASELINE"
# Wall times (the big list's above all) mean little on a machine busy with other
# work; the load says whether they were taken on a quiet one.
echo
echo "load average at the start: $LOAD_START; at the end: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
if [ -s "$WORK/server.err" ]; then
    echo
    echo "hostile server's standard error:"
    head -c 4000 "$WORK/server.err"
fi
