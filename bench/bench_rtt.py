#!/usr/bin/env python3
"""Z39.50 searches as the client runs them, against one yaz-client session, on Zebra (25
books) behind a delay proxy: the first page, and 25 hits paged F2, F3, F3 (1 + 12 + 12).
Then a launch query of the real z39client (offscreen) on the shared catalogue over TCP,
against the bare exchange of its request and answer. Last, the real z39batch on one ISBN
of the web OPAC (start page, search, a record page), against a stand-in that keeps
connections open and one that closes each (what every search cost before the client
asked to keep them).
Each figure is the median of --runs runs, at 0 ms and at --rtt-ms; the proxy's counts give
the connections and request PDUs of a first page.

The client's path is yazc run on the very script ExternalZ39Backend writes, one run per
page. With --before YAZC (a yazc built from an earlier commit), the earlier path is
measured too: that yazc plus the fixed waits (200 ms before and 500 ms after each run) it
took.

    python3 bench/bench_rtt.py [--rtt-ms 30] [--runs 5] [--before OLD_YAZC]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "x11"))
import batch_fixture  # noqa: E402
import xdesk  # noqa: E402
import zebra  # noqa: E402
from delay_proxy import DelayProxy  # noqa: E402

QUERY = "f @attr 1=4 Java"
PAGES = ["show", "show 2+12", "show 14+12"]


def script(port, show):
    return ("open 127.0.0.1:%d/Default\r\nelements F\r\n%s\r\n%s\r\nquit\r\n"
            % (port, QUERY, show)).encode()


def run_client(yazc, port, shows, folder, waits):
    """One yazc run per page, as the client's back end runs it; seconds."""
    started = time.monotonic()
    for show in shows:
        if waits:
            time.sleep(0.2)
        out = os.path.join(folder, "marc.~")
        subprocess.run([yazc, "-m", out], input=script(port, show), stdout=subprocess.DEVNULL,
                       check=True, timeout=60)
        if waits:
            time.sleep(0.5)
    return time.monotonic() - started


def run_yaz_client(port, shows, folder):
    """One yaz-client session for all pages; seconds."""
    lines = ["open tcp:127.0.0.1:%d/Default" % port, "elements F", QUERY]
    lines += ["show 1+1" if s == "show" else s for s in shows] + ["quit"]
    started = time.monotonic()
    subprocess.run(["yaz-client", "-m", os.path.join(folder, "yaz.mrc")],
                   input=("\n".join(lines) + "\n").encode(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=60)
    return time.monotonic() - started


ISBN_REQUEST = "REQU_BEGIN1@10@ ma_isbn='9787536692930'BAG_END".encode("gbk")


def bare_exchange(port):
    import socket
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(ISBN_REQUEST)
        data = b""
        while not data.endswith(b"BAG_END"):
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    return time.monotonic() - started


def launch_query(client, port, folder):
    config = os.path.join(folder, "config")
    os.makedirs(os.path.join(folder, "tmp"), exist_ok=True)
    os.makedirs(config, exist_ok=True)
    with open(os.path.join(config, "Z39.ini"), "wb") as f:
        f.write("[系统参数]\r\nKSIP=127.0.0.1\r\nKSPORT=%d\r\nKSDEFAULT=1\r\n"
                .encode("gbk") % port)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", Z39_CONFIG_DIR=config,
               TMPDIR=os.path.join(folder, "tmp"), XDG_CONFIG_HOME=config)
    started = time.monotonic()
    subprocess.run([client, "ISBN@9787536692930"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=60, cwd=folder)
    return time.monotonic() - started


def launch_figures(bin_dir, folder, rtt_ms, runs):
    server_bin = os.path.join(bin_dir, "catalogue-server")
    db = os.path.join(folder, "catalogue.db")
    subprocess.run([server_bin, "demo", "--db", db, "--records", "2000", "--force"],
                   stdout=subprocess.DEVNULL, check=True)
    port = xdesk.free_port_pair()
    server = subprocess.Popen([server_bin, "serve", "--db", db, "--port", str(port)],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        server.stdout.readline()
        for rtt in (0, rtt_ms):
            proxy = DelayProxy(port, rtt)
            bare = median_ms(runs, lambda: bare_exchange(proxy.port))
            ours = median_ms(runs, lambda: launch_query(os.path.join(bin_dir, "z39client"),
                                                         proxy.port, folder))
            print("round trip %g ms: launch query %7.1f ms, bare exchange %6.1f ms, "
                  "the client's own part %6.1f ms" % (rtt, ours, bare, ours - bare))
    finally:
        server.terminate()
        server.wait()


def opac_figures(bin_dir, folder, rtt_ms, runs):
    record = batch_fixture.book(0)
    for keep_alive in (True, False):
        stand_in = batch_fixture.OpacStandIn({batch_fixture.isbn13(0): [record]}, keep_alive)
        try:
            for rtt in (0, rtt_ms):
                proxy = DelayProxy(stand_in.server.server_address[1], rtt)
                base = "http://127.0.0.1:%d/F" % proxy.port
                before = proxy.counts()
                batch_fixture.opac_search(bin_dir, folder, base)
                after = proxy.counts()
                took = median_ms(runs, lambda: batch_fixture.opac_search(bin_dir, folder, base)[0])
                print("  %-26s round trip %4g ms: %7.1f ms, %d requests on %d connection(s)"
                      % ("keeps connections" if keep_alive else "closes each connection", rtt,
                         took, after[1] - before[1], after[0] - before[0]))
        finally:
            stand_in.stop()


def median_ms(runs, fn):
    return statistics.median(fn() for _ in range(runs)) * 1000


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rtt-ms", type=float, default=30)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--before", help="a yazc built from an earlier commit")
    args = parser.parse_args()
    bin_dir = os.environ.get("Z39_BIN_DIR", os.path.join(ROOT, "build", "bin"))
    yazc = os.path.join(bin_dir, "yazc")
    folder = tempfile.mkdtemp(prefix="z39rtt.")
    records = [zebra.marc_record([
        ("001", "B%06d" % i), ("010", "  ", [("a", "978700%07d" % i)]),
        ("200", "1 ", [("a", "Java 编程 %d" % i)])]) for i in range(25)]
    server = zebra.Zebra(os.path.join(folder, "zebra"), records)
    try:
        for rtt in (0, args.rtt_ms):
            proxy = DelayProxy(server.port, rtt)
            port = proxy.port
            print("round trip %g ms" % rtt)
            before = proxy.counts()
            run_client(yazc, port, PAGES[:1], folder, False)
            after = proxy.counts()
            print("  first page: %d connection, %d request PDUs (connect, init, search%s)"
                  % (after[0] - before[0], after[1] - before[1],
                     "" if after[1] - before[1] == 2 else ", present"))
            rows = []
            for name, shows in (("first page", PAGES[:1]), ("F2, F3, F3", PAGES)):
                ours = median_ms(args.runs, lambda: run_client(yazc, port, shows, folder, False))
                theirs = median_ms(args.runs, lambda: run_yaz_client(port, shows, folder))
                old = (median_ms(args.runs,
                                 lambda: run_client(args.before, port, shows, folder, True))
                       if args.before else None)
                rows.append((name, ours, theirs, old))
            for name, ours, theirs, old in rows:
                line = "  %-11s client %7.1f ms   yaz-client %7.1f ms   %.2fx" % (
                    name, ours, theirs, ours / theirs)
                if old is not None:
                    line += "   before %7.1f ms (%.1fx)" % (old, old / theirs)
                print(line)
        print("shared catalogue over TCP")
        launch_figures(bin_dir, folder, args.rtt_ms, args.runs)
        print("web OPAC, one ISBN through z39batch")
        opac_figures(bin_dir, os.path.join(folder, "opac"), args.rtt_ms, args.runs)
    finally:
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
