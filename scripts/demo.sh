#!/usr/bin/env bash
# The main job, end to end on one machine: a sample installation at version 1 is
# updated to version 2 from a local HTTP server.
#   1. set up and build;
#   2. make the installation (v1) and the release folder (v2);
#   3. publish the release with updater-publish;
#   4. serve it with nginx on a free loopback port;
#   5. run the updater in console mode and show its JSON record, exit code and
#      what changed on disk; stop the server.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-demo

# Only the two programs are needed here; the tests have their own command.
"$here/scripts/setup.sh" "$build" -DUPDATER_BUILD_TESTS=OFF >/dev/null
echo "Built $build/updater and $build/updater-publish"

work=$(mktemp -d /tmp/updater-demo.XXXXXX)
chmod 755 "$work"   # nginx workers may run as another user
nginx_pid=""
cleanup() {
    if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
        kill "$nginx_pid"; wait "$nginx_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

# --- the installation as it is today (v1) ---------------------------------------
inst=$work/installation
mkdir -p "$inst/data"
cp "$build/updater" "$inst/updater"
cat > "$inst/host.sh" <<'HOST'
#!/bin/sh
# Stands in for the host application: notes how the updater restarted it.
echo "host started with: $*" > "$(dirname "$0")/host-started.txt"
HOST
chmod +x "$inst/host.sh"
printf 'version 1\n' > "$inst/data/version.txt"
printf 'unchanged since version 1\n' > "$inst/data/unchanged.txt"
printf 'old engine\n' > "$inst/engine.dat"

# --- the release the publisher ships (v2) ---------------------------------------
rel=$work/release-v2
mkdir -p "$rel/data" "$rel/plugins/codecs"
cp "$inst/host.sh" "$rel/host.sh"
printf 'version 2\n' > "$rel/data/version.txt"
cp "$inst/data/unchanged.txt" "$rel/data/unchanged.txt"
head -c 3000000 /dev/urandom > "$rel/engine.dat"
printf 'a codec that is new in version 2\n' > "$rel/plugins/codecs/gbk.codec"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
url="http://127.0.0.1:$port/app/"
www=$work/www
mkdir -p "$www"
echo
echo "== Publishing the release"
"$build/updater-publish" --version 2.0.0 --folder v2 --url "$url" "$rel" "$www/app"

# --- a local server --------------------------------------------------------------
mkdir -p "$work/nginx/logs"
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root;"
cat > "$work/nginx/nginx.conf" <<CONF
$user_line
worker_processes 1;
error_log $work/nginx/logs/error.log;
pid $work/nginx/nginx.pid;
events { worker_connections 64; }
http {
    access_log $work/nginx/logs/access.log;
    client_body_temp_path $work/nginx/tmp;
    proxy_temp_path $work/nginx/tmp;
    fastcgi_temp_path $work/nginx/tmp;
    uwsgi_temp_path $work/nginx/tmp;
    scgi_temp_path $work/nginx/tmp;
    server {
        listen 127.0.0.1:$port;
        root $www;
    }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && break
    sleep 0.1
done

cat > "$inst/system.cfg" <<CFG
[Update]
URL=$url
DownLoadUrl=https://example.com/download
ExeName=host.sh
CFG
echo
echo "== system.cfg"
cat "$inst/system.cfg"

# --- the update ------------------------------------------------------------------
echo
echo "== Running: updater console"
set +e
(cd "$inst" && QT_QPA_PLATFORM=offscreen ./updater console > "$work/record.json" 2>/dev/null)
code=$?
set -e
echo "JSON record: $(cat "$work/record.json")"
echo "exit code:   $code"

echo
echo "== What changed on disk"
for f in data/version.txt engine.dat plugins/codecs/gbk.codec data/unchanged.txt; do
    if cmp -s "$rel/$f" "$inst/$f"; then state="equals v2"; else state="DIFFERS from v2"; fi
    extra=""
    [ -e "$inst/$f.old" ] && extra=" (previous version kept as $f.old)"
    echo "  $f: $state$extra"
done
[ -f "$inst/update_md5.info" ] && echo "  update_md5.info: records the applied list"
sleep 0.5
[ -f "$inst/host-started.txt" ] && echo "  $(cat "$inst/host-started.txt")"
echo
echo "== Running again: nothing left to do"
set +e
second=$(cd "$inst" && QT_QPA_PLATFORM=offscreen ./updater console 2>/dev/null)
second_code=$?
set -e
echo "  JSON record: $second"
echo "  exit code:   $second_code (1: nothing was installed)"
echo
exit "$code"
