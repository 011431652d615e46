# Sourced by the benchmark scripts: their working folder and tool checks, a free
# loopback port, and nginx serving $WORK/www on 127.0.0.1 with a configuration and
# logs of its own under $WORK/nginx.
# Needs NGINX (the nginx binary) and WORK; NGINX_SERVER_EXTRA and NGINX_HTTP_EXTRA,
# when set, are added to the server and the http block as they are. Sets PORT and NGINX_PID.

# require_tools TOOL...: each must be a command or a file; exits 2 naming a missing one.
require_tools() {
    local tool
    for tool in "$@"; do
        if ! command -v "$tool" >/dev/null 2>&1 && [ ! -f "$tool" ]; then
            echo "missing: $tool (build the updater and updater-publish targets)" >&2
            exit 2
        fi
    done
}

# make_work NAME: a new WORK folder under TMPDIR that nginx's workers can read.
make_work() {
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    # nginx's workers may run as another user; they must read the published tree.
    chmod 755 "$WORK"
    NGINX_PID=
}

# stop_pids PID...: stops background processes, waiting for each.
stop_pids() {
    local pid
    for pid in "$@"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}

# remove_work: removes WORK, or with KEEP=1 says where it was kept.
remove_work() {
    if [ "${KEEP:-0}" = 1 ]; then
        echo "kept $WORK"
    else
        rm -rf "$WORK"
    fi
}

# install_updater BUILD_DIR PATH: an installation in $WORK/app with the build's
# updater, a host that does nothing, and a system.cfg for
# http://127.0.0.1:$PORT/PATH/ with its cache in $WORK/cache.
install_updater() {
    mkdir -p "$WORK/app" "$WORK/cache"
    cp "$1/updater" "$WORK/app/"
    printf '#!/bin/sh\n' > "$WORK/app/host.sh"
    chmod +x "$WORK/app/host.sh"
    printf '[Update]\nURL=http://127.0.0.1:%s/%s/\nCache=%s\nExeName=host.sh\n' "$PORT" "$2" "$WORK/cache" \
        > "$WORK/app/system.cfg"
}

# time_figures FILE: "WALL_SECONDS MAX_RSS_KIB" from a report of GNU time -v.
time_figures() {
    python3 - "$1" <<'EOF'
import sys
path = sys.argv[1]
wall = rss = None
for line in open(path):
    line = line.strip()
    if line.startswith("Elapsed (wall clock) time"):
        parts = [float(p) for p in line.rsplit(" ", 1)[1].split(":")]
        wall = sum(p * 60 ** i for i, p in enumerate(reversed(parts)))
    elif line.startswith("Maximum resident set size"):
        rss = int(line.rsplit(" ", 1)[1])
print(wall, rss)
EOF
}

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_nginx PROBE: starts nginx and waits until PROBE (a path below www/) answers.
# With NGINX_TLS_CERT and NGINX_TLS_KEY it serves HTTPS, offering HTTP/2 unless
# NGINX_HTTP2=0; NGINX_SCHEME is then https.
start_nginx() {
    local probe=$1 user_line= listen_extra= tls_lines=
    NGINX_SCHEME=http
    if [ -n "${NGINX_TLS_CERT:-}" ]; then
        NGINX_SCHEME=https
        listen_extra=" ssl"
        [ "${NGINX_HTTP2:-1}" = 0 ] || listen_extra=" ssl http2"
        tls_lines="ssl_certificate \"$NGINX_TLS_CERT\"; ssl_certificate_key \"$NGINX_TLS_KEY\";"
    fi
    PORT=$(free_port)
    mkdir -p "$WORK/nginx/logs" "$WORK/nginx/temp"
    # Started as root, nginx hands requests to workers of another user, who cannot
    # read a private temporary folder.
    [ "$(id -u)" != 0 ] || user_line="user root;"
    cat > "$WORK/nginx/nginx.conf" <<CONF
$user_line
worker_processes 1;
error_log "$WORK/nginx/logs/error.log";
pid "$WORK/nginx/nginx.pid";
events { worker_connections 256; }
http {
    default_type application/octet-stream;
    access_log off;
    ${NGINX_HTTP_EXTRA:-}
    sendfile on;
    keepalive_requests 100000;
    client_body_temp_path "$WORK/nginx/temp/body";
    proxy_temp_path "$WORK/nginx/temp/proxy";
    fastcgi_temp_path "$WORK/nginx/temp/fastcgi";
    uwsgi_temp_path "$WORK/nginx/temp/uwsgi";
    scgi_temp_path "$WORK/nginx/temp/scgi";
    server {
        listen 127.0.0.1:$PORT$listen_extra;
        $tls_lines
        root "$WORK/www";
        ${NGINX_SERVER_EXTRA:-}
    }
}
CONF
    "$NGINX" -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -g "daemon off;" &
    NGINX_PID=$!
    for _ in $(seq 100); do
        curl -sk -m 5 -o /dev/null "$NGINX_SCHEME://127.0.0.1:$PORT/$probe" && break
        sleep 0.1
    done
    curl -skf -m 5 -o /dev/null "$NGINX_SCHEME://127.0.0.1:$PORT/$probe" \
        || { cat "$WORK/nginx/logs/error.log" >&2; exit 1; }
}
