#!/usr/bin/env bash
# Serves a published update folder over HTTPS on 127.0.0.1 with nginx, for the demo and the
# benchmarks. Everything nginx writes (configuration, pid file, logs, temporary files) stays in a
# work folder of its own, so it runs beside any other nginx, as root or not.
#
#   scripts/serve-update.sh certs <cert dir>
#       Makes a throw-away certificate authority (ca.pem) and a certificate for 127.0.0.1 and
#       localhost signed by it (server.pem, server.key) in <cert dir>, unless they are there already.
#   scripts/serve-update.sh start <published dir> <port> <cert dir> <work dir>
#       Serves <published dir> as https://127.0.0.1:<port>/update/ (certificates made as above when
#       missing) and returns once the server answers.
#   scripts/serve-update.sh stop <work dir>
#       Stops the server started with that work folder, if it still runs.
set -euo pipefail

make_certs() {
    local dir=$1
    [ -s "$dir/ca.pem" ] && [ -s "$dir/server.pem" ] && [ -s "$dir/server.key" ] && return 0
    mkdir -p "$dir"
    printf '%s\n' "subjectAltName=DNS:localhost,IP:127.0.0.1" "basicConstraints=CA:FALSE" \
        "keyUsage=digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" > "$dir/server.ext"
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Pelwinter Demo CA" \
        -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
        -keyout "$dir/server.key" -out "$dir/server.csr" 2>/dev/null
    openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial -days 30 \
        -extfile "$dir/server.ext" -out "$dir/server.pem" 2>/dev/null
}

stop_server() {
    local work=$1 pid
    [ -s "$work/nginx.pid" ] || return 0
    pid=$(cat "$work/nginx.pid")
    # Only the master nginx started with this work folder's configuration.
    if grep -qF "$work/nginx.conf" "/proc/$pid/cmdline" 2>/dev/null; then
        kill "$pid"
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
    rm -f "$work/nginx.pid"
}

start_server() {
    local root port certs work
    root=$(realpath "$1") port=$2 certs=$(realpath -m "$3") work=$(realpath -m "$4")
    make_certs "$certs"
    mkdir -p "$work"
    stop_server "$work"
    # As root the workers would run as an unprivileged user that may not reach the folder.
    local user=""
    [ "$(id -u)" -ne 0 ] || user="user root root;"
    cat > "$work/nginx.conf" <<EOF
$user
worker_processes 4;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 512; }
http {
    access_log $work/access.log;
    client_body_temp_path $work/client_body;
    proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fastcgi;
    uwsgi_temp_path $work/uwsgi;
    scgi_temp_path $work/scgi;
    types { application/json json; }
    default_type application/octet-stream;
    sendfile on;
    server {
        listen 127.0.0.1:$port ssl;
        ssl_certificate $certs/server.pem;
        ssl_certificate_key $certs/server.key;
        location /update/ {
            alias $root/;
        }
    }
}
EOF
    if ! nginx -p "$work" -e "$work/error.log" -c "$work/nginx.conf"; then
        echo "serve-update: nginx did not start (is port $port taken?); see $work/error.log" >&2
        return 1
    fi
    for _ in $(seq 100); do
        if curl --silent --output /dev/null --cacert "$certs/ca.pem" "https://127.0.0.1:$port/update/"; then
            return 0
        fi
        sleep 0.05
    done
    echo "serve-update: https://127.0.0.1:$port/update/ does not answer; see $work/error.log" >&2
    stop_server "$work"
    return 1
}

case "${1:-}" in
certs) make_certs "$2" ;;
start) start_server "$2" "$3" "$4" "$5" ;;
stop) stop_server "$(realpath -m "$2")" ;;
*)
    echo "usage: $0 certs <cert dir> | start <published dir> <port> <cert dir> <work dir> | stop <work dir>" >&2
    exit 2
    ;;
esac
