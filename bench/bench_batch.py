#!/usr/bin/env python3
"""z39batch on 200 ISBNs through four real servers (catalogue server, Zebra in GBK, Zebra in
UTF-8, an OPAC stand-in), each behind a TCP delay proxy that adds a round trip (30 ms by
default) as a server elsewhere in China would: one ISBN at a time against the engine's
concurrency. Prints each run's time and the ratio.

    python3 bench/bench_batch.py [--rtt-ms 30] [--runs 3]
"""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "x11"))
import batch_fixture as bf  # noqa: E402
from delay_proxy import DelayProxy  # noqa: E402
import xdesk  # noqa: E402


def proxied_config(servers, folder, rtt):
    proxies = []

    def proxy(port, fixed=0):
        p = DelayProxy(port, rtt, fixed, handshake=False)
        proxies.append(p)
        return p.port

    # The catalogue speaks TCP on P and HTTP on P + 1: a proxy pair.
    while True:
        pair = xdesk.free_port_pair()
        try:
            catalogue = proxy(servers.port, pair)
            proxy(servers.port + 1, pair + 1)
            break
        except OSError:
            continue
    gbk = proxy(servers.zebra_gbk.port)
    utf8 = proxy(servers.zebra_utf8.port)
    opac = proxy(servers.opac.server.server_address[1])
    cfg = os.path.join(folder, "cfg", "Z39.ini")
    text = open(cfg, "rb").read().decode("gbk")
    text = text.replace("KSPORT=%d" % servers.port, "KSPORT=%d" % catalogue)
    text = text.replace(":%d/F" % servers.opac.server.server_address[1], ":%d/F" % opac)
    open(cfg, "wb").write(text.encode("gbk"))
    targets = os.path.join(folder, "work", "z39svr.cfg")
    t = open(targets, "rb").read()
    t = t.replace(b",%d,0" % servers.zebra_gbk.port, b",%d,0" % gbk)
    t = t.replace(b",%d,0" % servers.zebra_utf8.port, b",%d,0" % utf8)
    open(targets, "wb").write(t)
    return proxies


def run(servers, folder, list_path, jobs, per_target):
    out = tempfile.mkdtemp(dir=folder)
    start = time.monotonic()
    r = subprocess.run([os.path.join(xdesk.BIN, "z39batch"), list_path, "--chain", bf.CHAIN,
                        "--out", out, "--jobs", str(jobs), "--per-target", str(per_target)],
                       cwd=os.path.join(folder, "work"), env=servers.env(),
                       capture_output=True, timeout=1800)
    took = time.monotonic() - start
    if r.returncode != 0:
        raise RuntimeError(r.stderr.decode()[-2000:])
    return took, len(bf.daily_records(out))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rtt-ms", type=float, default=30)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    folder = tempfile.mkdtemp(prefix="z39bench.")
    servers = bf.Servers(folder)
    try:
        proxied_config(servers, folder, args.rtt_ms)
        text, _ = bf.delivery_list()
        list_path = os.path.join(folder, "delivery.csv")
        open(list_path, "wb").write(text.encode("utf-8"))
        times = {}
        for label, jobs, per in (("one at a time", 1, 1), ("engine (8, 4 per target)", 8, 4)):
            runs = [run(servers, folder, list_path, jobs, per) for _ in range(args.runs)]
            times[label] = statistics.median(t for t, _ in runs)
            print("%-26s %7.2f s  (median of %d; %d records saved)" %
                  (label, times[label], args.runs, runs[0][1]), flush=True)
        print("ratio %.1fx at %g ms round trip" %
              (times["one at a time"] / times["engine (8, 4 per target)"], args.rtt_ms))
    finally:
        servers.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
