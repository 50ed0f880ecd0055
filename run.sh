#!/usr/bin/env bash
# Runs Z39.50客户端 on a bundled demo catalogue: installs what is missing, builds, makes
# the demo catalogue on first use, starts the shared catalogue server and a sample Z39.50
# target on loopback, and opens the client. Without a display it runs a launch-query
# search instead and prints the record that came back.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD

scripts/install-deps.sh
build=${BUILD_DIR:-build}
if [ ! -x "$build/bin/z39client" ] || [ -n "$(find src tools CMakeLists.txt -newer "$build/bin/z39client" -print -quit)" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZ39_BUILD_BENCH=OFF >/dev/null
    cmake --build "$build" -j"$(nproc)" --target z39client yazc catalogue-server
fi
bin=$root/$build/bin

demo=$root/demo
mkdir -p "$demo/marc" "$demo/tmp"
if [ ! -f "$demo/catalogue.db" ]; then
    echo "Making the demo catalogue (20,000 records)..."
    "$bin/catalogue-server" demo --db "$demo/catalogue.db" --records 20000
fi

# Two free loopback ports in a row for the catalogue (TCP, HTTP) and one for yaz-ztest.
free_port() {
    python3 - "$@" <<'PY'
import socket, sys
need = int(sys.argv[1]) if len(sys.argv) > 1 else 1
while True:
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]
    ok = True; held = [s]
    for k in range(1, need):
        t = socket.socket()
        try: t.bind(("127.0.0.1", p + k)); held.append(t)
        except OSError: ok = False
    for h in held: h.close()
    if ok: print(p); break
PY
}
ks_port=$(free_port 2)
z_port=$(free_port 1)

pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

"$bin/catalogue-server" serve --db "$demo/catalogue.db" --port "$ks_port" >"$demo/server.out" 2>"$demo/server.log" &
pids+=($!)
yaz-ztest -l "$demo/ztest.log" "tcp:127.0.0.1:$z_port" >/dev/null 2>&1 &
pids+=($!)
# A second source: a Zebra holding some of the demo's books as fuller records, and books
# only it has. It is ticked with the shared catalogue, so F2 searches both at once.
rm -rf "$demo/zebra"
python3 scripts/demo-zebra.py "$demo/catalogue.db" "$demo/zebra" >"$demo/zebra.out" 2>"$demo/zebra.log" &
pids+=($!)
for _ in $(seq 50); do grep -q listening "$demo/server.out" 2>/dev/null && break; sleep 0.1; done
for _ in $(seq 300); do grep -q listening "$demo/zebra.out" 2>/dev/null && break; sleep 0.1; done
zebra_port=$(sed -n 's/^listening //p' "$demo/zebra.out")
if [ -z "$zebra_port" ]; then
    echo "The demo's Zebra did not start (see $demo/zebra.log)." >&2
    exit 1
fi

# The demo's settings and target list (GBK, as the client reads them).
python3 - "$demo" "$ks_port" "$z_port" "$zebra_port" <<'PY'
import sys
demo, ks, z, zebra = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
ini = (
    "[系统参数]\r\nRECNUMBER=10\r\nALLNUMBER=0\r\nMARCPATH=%s/marc/\r\nKSDEFAULT=1\r\n"
    "KSIP=127.0.0.1\r\nKSPORT=%s\r\nKSUSEHTTP=0\r\nRECORDER=0\r\n"
    "SEARCHSET=ks_lib,Zebra/Default\r\n"
    "[MARC标志]\r\n001=记录标识\r\n005=处理时间\r\n010=ISBN\r\n100=通用数据\r\n101=作品语种\r\n"
    "200=题名与责任\r\n210=出版发行\r\n215=载体形态\r\n606=主题\r\n690=中图分类号\r\n"
    "701=个人责任\r\n801=记录来源\r\n" % (demo, ks))
cfg = (
    "//数据库名称，地址，端口，授权方式，用户名称，用户密码\r\n"
    "{演示\r\n    [yaz-ztest\r\n        (Default,127.0.0.1,%s,0,,)\r\n    ]\r\n"
    "    [Zebra\r\n        (Default,127.0.0.1,%s,0,,)\r\n    ]\r\n}\r\n\r\n"
    "{中国\r\n    [国家图书馆\r\n        (opac,opac.nlc.cn,80,0,,)\r\n    ]\r\n}\r\n\r\n" % (z, zebra))
open(demo + "/Z39.ini", "wb").write(ini.encode("gbk"))
open(demo + "/z39svr.cfg", "wb").write(cfg.encode("gbk"))
PY

export Z39_CONFIG_DIR=$demo TMPDIR=$demo/tmp
cd "$demo"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "Shared catalogue on 127.0.0.1:$ks_port, yaz-ztest on 127.0.0.1:$z_port, Zebra on 127.0.0.1:$zebra_port."
    echo "ks_lib and Zebra's Default are ticked in the tree: F2 searches both at once."
    echo "Try ISBN 9787536692930, or the title 敦煌学 (25 records, F3 pages)."
    "$bin/z39client"
else
    echo "No display: running a launch-query search for ISBN 9787536692930 instead."
    rm -f "$demo/tmp/lib.tmp"
    QT_QPA_PLATFORM=offscreen timeout 60 "$bin/z39client" "ISBN@9787536692930"
    if [ ! -s "$demo/tmp/lib.tmp" ]; then
        echo "No record came back." >&2
        exit 1
    fi
    echo "The record handed back in lib.tmp:"
    "$bin/catalogue-server" dump "$demo/tmp/lib.tmp"
fi
