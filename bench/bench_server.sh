#!/usr/bin/env bash
# catalogue-server's HTTP front end against a static file server on the same machine:
# first-page ISBN requests per second and latency at 1, 8 and 64 clients (wrk, 10 s each),
# beside nginx-light serving the very same answer as a file. Both on loopback.
#   bash bench/bench_server.sh [records]   (needs wrk and nginx-light; a build in build/)
set -euo pipefail
cd "$(dirname "$0")/.."
records=${1:-20000}
seconds=${BENCH_SECONDS:-10}
work=$(mktemp -d)
chmod 755 "$work"
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
free_port_pair() {
    python3 - <<'PY'
import socket
while True:
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close()
    try:
        t = socket.socket(); t.bind(("127.0.0.1", p + 1)); t.close(); print(p); break
    except OSError:
        pass
PY
}
build/bin/catalogue-server demo --db "$work/c.db" --records "$records" >/dev/null
port=$(free_port_pair)
build/bin/catalogue-server serve --db "$work/c.db" --port "$port" >"$work/out" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do grep -q listening "$work/out" && break; sleep 0.1; done
path='/GetZ39Marc.asp?begin=1&num=10&where=+ma_isbn%3D%279787536692930%27'
curl -s "http://127.0.0.1:$((port + 1))$path" >"$work/answer"
[ -s "$work/answer" ] || { echo "no answer from catalogue-server" >&2; exit 1; }
mkdir -p "$work/www"
cp "$work/answer" "$work/www/answer"
nginx_port=$(free_port_pair)
cat >"$work/nginx.conf" <<CONF
worker_processes 2;
pid $work/nginx.pid;
error_log $work/nginx.err;
events { worker_connections 1024; }
http {
    access_log off;
    server { listen 127.0.0.1:$nginx_port; root $work/www; location / { } }
}
CONF
nginx -c "$work/nginx.conf" -p "$work"
pids+=("$(cat "$work/nginx.pid" 2>/dev/null || sleep 0.5; cat "$work/nginx.pid")")
echo "answer: $(wc -c <"$work/answer") bytes; $records records; ${seconds}s per figure"
for clients in 1 8 64; do
    threads=$((clients < 2 ? 1 : 2))
    ours=$(wrk -t"$threads" -c"$clients" -d"${seconds}s" --latency "http://127.0.0.1:$((port + 1))$path")
    # One request per connection, as the catalogue server serves them.
    theirs=$(wrk -t"$threads" -c"$clients" -d"${seconds}s" --latency -H "Connection: close" \
        "http://127.0.0.1:$nginx_port/answer")
    rate() { echo "$1" | awk '/Requests\/sec/ {print $2}'; }
    p99() { echo "$1" | awk '$1 == "99%" {print $2}'; }
    printf '%3d clients: catalogue-server %9s req/s (p99 %s), nginx %9s req/s (p99 %s), ratio %s\n' \
        "$clients" "$(rate "$ours")" "$(p99 "$ours")" "$(rate "$theirs")" "$(p99 "$theirs")" \
        "$(python3 -c "print(round($(rate "$ours") / $(rate "$theirs"), 2))")"
done
