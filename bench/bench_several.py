#!/usr/bin/env python3
"""A host program's query over four ticked databases against the slowest of them alone.

The real z39client hands back one record for "ISBN@..." with SEARCHSET naming the shared
catalogue server, a GBK Zebra behind a 30 ms round trip, a UTF-8 Zebra behind a 120 ms
round trip and a port that refuses connections (the servers of the several-databases
test). Each database is also asked alone (SEARCHSET naming it only). Each figure is the
median of --runs runs, from the start of z39client to its end; the four together should
take at most 1.25 times the slowest alone, as the databases are asked at the same time.

    python3 bench/bench_several.py [--runs 3]
"""

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "x11"))
import several_test  # noqa: E402


class Bench(several_test.SeveralTest):
    def runTest(self):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    Bench.setUpClass()
    bench = Bench()
    bench.setUp()
    try:
        every = "ks_lib,gbkzebra/Default,utf8zebra/Default,refusing/Default"
        bench.open_desk(every)

        def median(search_set, isbn):
            bench.desk.write_settings("SEARCHSET=%s\r\n" % search_set, ks_default=1)
            times = []
            for _ in range(args.runs):
                record, seconds = bench.launch(isbn)
                if not record:
                    raise SystemExit("no record for " + search_set)
                times.append(seconds)
            return statistics.median(times)

        alone = {}
        for name in every.split(","):
            # Each database's own book, or book A where it has it.
            isbn = {"refusing/Default": None}.get(name, several_test.ISBN_A)
            if isbn is None:
                continue
            alone[name] = median(name, isbn)
        together = median(every, several_test.ISBN_A)
        slowest = max(alone.values())
        for name, seconds in alone.items():
            print("%-20s alone      %6.0f ms" % (name, seconds * 1000))
        print("%-20s together   %6.0f ms" % ("all four", together * 1000))
        ratio = together / slowest
        print("together / slowest alone: %.2f (at most 1.25)" % ratio)
        return 0 if ratio <= 1.25 else 1
    finally:
        bench.tearDown()
        Bench.tearDownClass()


if __name__ == "__main__":
    sys.exit(main())
