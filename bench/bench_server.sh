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
stop_all() {
    [ -f "$work/nginx.conf" ] && nginx -c "$work/nginx.conf" -p "$work" -s stop 2>/dev/null || true
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap stop_all EXIT
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
# wrk's clients all come from 127.0.0.1: the limit per peer (64 by default, which counts
# connections still closing) would refuse most of them at 64 clients, so it is lifted.
build/bin/catalogue-server serve --db "$work/c.db" --port "$port" --max-per-peer 1024 \
    >"$work/out" 2>/dev/null &
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
runs=${BENCH_RUNS:-3}
echo "answer: $(wc -c <"$work/answer") bytes; $records records; ${seconds}s per figure;" \
    "median of $runs runs, the two servers taking turns"
rate() { echo "$1" | awk '/Requests\/sec/ {print $2}'; }
# wrk's 99th percentile in microseconds.
p99() {
    echo "$1" | awk '$1 == "99%" { v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v);
        print (u == "ms" ? v * 1000 : u == "s" ? v * 1e6 : v) }'
}
median() { python3 -c "import statistics, sys; print(statistics.median(map(float, sys.argv[1:])))" "$@"; }
for clients in 1 8 64; do
    threads=$((clients < 2 ? 1 : 2))
    our_rates=() our_p99=() their_rates=() their_p99=() ratios=()
    for _ in $(seq "$runs"); do
        ours=$(wrk -t"$threads" -c"$clients" -d"${seconds}s" --latency \
            "http://127.0.0.1:$((port + 1))$path")
        # One request per connection, as the catalogue server serves them.
        theirs=$(wrk -t"$threads" -c"$clients" -d"${seconds}s" --latency -H "Connection: close" \
            "http://127.0.0.1:$nginx_port/answer")
        our_rates+=("$(rate "$ours")") our_p99+=("$(p99 "$ours")")
        their_rates+=("$(rate "$theirs")") their_p99+=("$(p99 "$theirs")")
        ratios+=("$(python3 -c "print($(rate "$ours") / $(rate "$theirs"))")")
    done
    printf '%3d clients: catalogue-server %8.0f req/s (p99 %6.2f ms), nginx %8.0f req/s (p99 %6.2f ms), ratio %.2f\n' \
        "$clients" "$(median "${our_rates[@]}")" "$(python3 -c "print($(median "${our_p99[@]}") / 1000)")" \
        "$(median "${their_rates[@]}")" "$(python3 -c "print($(median "${their_p99[@]}") / 1000)")" \
        "$(median "${ratios[@]}")"
done
