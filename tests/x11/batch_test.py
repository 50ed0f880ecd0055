"""Batch searches through the real z39batch against four real servers on loopback.

Run one case: python3 batch_test.py BatchTest.test_name (ctest runs each case on its own).
"""

import csv
import io
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import batch_fixture as bf  # noqa: E402
import xdesk  # noqa: E402

CHAIN = bf.CHAIN


class BatchTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="z39batch.")
        self.servers = bf.Servers(self.dir)
        text, self.order = bf.delivery_list()
        self.list = os.path.join(self.dir, "delivery.csv")
        with open(self.list, "wb") as f:
            f.write(text.encode("utf-8"))

    def tearDown(self):
        self.servers.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def batch(self, out, *extra, timeout=300):
        return subprocess.run([os.path.join(xdesk.BIN, "z39batch"), self.list, "--chain", CHAIN,
                               "--out", out] + list(extra), cwd=os.path.join(self.dir, "work"),
                              env=self.servers.env(), capture_output=True, timeout=timeout)

    def report(self, out):
        with open(os.path.join(out, "delivery.report.csv"), "rb") as f:
            data = f.read()
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"))
        return list(csv.reader(io.StringIO(data[3:].decode("utf-8"))))[1:]

    def test_two_hundred_isbns_through_four_servers_and_a_second_run(self):
        out = os.path.join(self.dir, "out")
        os.makedirs(out)
        r = self.batch(out)
        self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
        rows = self.report(out)
        books = [row for row in rows if row[1] not in ("ISBN无效", "重复")]
        self.assertEqual(len(books), bf.BOOKS)  # each book searched once
        self.assertEqual(sum(1 for row in rows if row[1] == "ISBN无效"), 3)
        # A book listed again keeps its row, marked with the line that asked first.
        duplicates = [row for row in rows if row[1] == "重复"]
        self.assertEqual(len(duplicates), 5)
        for row in duplicates:
            self.assertRegex(row[10], r"^与第\d+行的ISBN相同$")
            self.assertEqual(row[9], "")
        expected_daily = []
        for row, i in zip(books, self.order):
            self.assertEqual(row[0], bf.isbn13(i))
            target = bf.expected_target(i)
            if i in bf.SEVERAL:
                self.assertEqual(row[1:3], ["多条", bf.GBK], i)
            elif not target:
                self.assertEqual(row[1:3], ["未找到", ""], i)
            else:
                self.assertEqual(row[1:3], ["已保存", target], i)
                self.assertEqual(int(row[9]), len(expected_daily) + 1)
                expected_daily.append((i, target))
        saved = bf.daily_records(out)
        self.assertEqual(len(saved), len(expected_daily))
        # Zebra serves its own leader: what yaz-client receives is the record to expect,
        # its lengths those of the GBK record and leader/09 blank (GBK is not UCS).
        served = {}
        for name, server, source in ((bf.GBK, self.servers.zebra_gbk, self.servers.records[50]),
                                     (bf.UTF8, self.servers.zebra_utf8,
                                      self.servers.utf8_source[120])):
            written = dict(bf.fields_of(source))["010"][2:].split(b"\x1f")[1][1:]
            served[name] = server.yaz_client_records(b"@attr 1=7 " + written)[0][:24]

        def as_served(record, name):
            leader = served[name]
            return (record[:5] + leader[5:9] + b" " + leader[10:12] + record[12:17] +
                    leader[17:24] + record[24:])
        for record, (i, target) in zip(saved, expected_daily):
            if target == "opac":
                # Rebuilt from the page: the same fields, in GBK.
                fields = dict(bf.fields_of(record))
                self.assertEqual(fields["200"], dict(bf.fields_of(self.servers.records[i]))["200"])
            elif target == bf.UTF8:
                # Converted back from UTF-8: the GBK record as it was made.
                self.assertEqual(record, as_served(self.servers.utf8_source[i], target), i)
            elif target == bf.GBK:
                self.assertEqual(record, as_served(self.servers.records[i], target), i)
            else:
                self.assertEqual(record, self.servers.records[i], i)
        notfound = open(os.path.join(out, "delivery.notfound.txt")).read().split()
        self.assertEqual(notfound, [bf.isbn13(i) for i in self.order if i in bf.NOWHERE])
        # Standard output holds the same report.
        self.assertEqual(list(csv.reader(io.StringIO(r.stdout.decode())))[1:], rows)

        # The same list again: nothing more is saved, and the rows say so.
        before = bf.daily_records(out)
        r = self.batch(out)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(bf.daily_records(out), before)
        again = self.report(out)
        for row, first in zip(again, rows):
            if first[1] == "已保存":
                self.assertEqual(row[1], "已保存过")
                self.assertEqual(row[9], first[9])

    def test_killed_five_times_it_ends_as_an_uninterrupted_run(self):
        whole = os.path.join(self.dir, "whole")
        os.makedirs(whole)
        self.assertEqual(self.batch(whole).returncode, 0)
        total = len(self.order)
        out = os.path.join(self.dir, "killed")
        os.makedirs(out)
        # Each run is killed once its progress lines pass a row chosen in advance, further
        # on each time, so every kill leaves a run unfinished whatever the machine's speed.
        # A run that ends before its kill lands is the one compared.
        rng = random.Random(20261209)
        stops = sorted(rng.sample(range(total // 10, total * 9 // 10), 5))
        kills = 0
        ended = None
        for stop in stops:
            status = xdesk.batch_killed_at(
                [os.path.join(xdesk.BIN, "z39batch"), self.list, "--chain", CHAIN, "--out", out],
                stop, cwd=os.path.join(self.dir, "work"), env=self.servers.env())
            if status != -signal.SIGKILL:
                ended = status
                break
            kills += 1
        if ended is None:
            r = self.batch(out)
            self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
            self.assertIn("接着", r.stderr.decode())  # it took up an unfinished run
        else:
            self.assertEqual(ended, 0)
        self.assertGreaterEqual(kills, 1)
        self.assertEqual(bf.daily_records(out), bf.daily_records(whole))
        for name in ("delivery.report.csv",):
            self.assertEqual(open(os.path.join(out, name), "rb").read(),
                             open(os.path.join(whole, name), "rb").read())

    def test_an_sru_target_in_the_chain(self):
        # The UTF-8 records (ISBN-10 with hyphens) kept as MARCXML by Zebra and searched
        # over SRU: each ISBN-13 of the list found there and saved as the GBK record.
        books = list(bf.ZEBRA_UTF8)[10:30]
        sru = bf.zebra.Zebra(os.path.join(self.dir, "zebra-sru"),
                             [self.servers.utf8_source[i] for i in books], "utf-8", sru=True)
        try:
            with open(os.path.join(self.dir, "work", "z39svr.cfg"), "ab") as f:
                f.write(b"{SRU\n[sru\n(Default,http://127.0.0.1,%d,0,,)\n]\n}\n" % sru.port)
            with open(self.list, "wb") as f:
                f.write("".join(bf.isbn13(i) + "\n" for i in books).encode())
            out = os.path.join(self.dir, "out")
            os.makedirs(out)
            r = self.batch(out, "--chain", "sru/Default")
            self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
            rows = self.report(out)
            self.assertEqual([row[:3] for row in rows],
                             [[bf.isbn13(i), "已保存", "sru/Default"] for i in books])
            self.assertEqual(bf.daily_records(out), [self.servers.utf8_source[i] for i in books])
        finally:
            sru.stop()

    def test_help_and_a_wrong_chain(self):
        r = subprocess.run([os.path.join(xdesk.BIN, "z39batch"), "--help"], capture_output=True,
                           timeout=10)
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"--chain", r.stdout)
        r = self.batch(os.path.join(self.dir, "marc"), "--chain", "nowhere")
        self.assertNotEqual(r.returncode, 0)
        r = subprocess.run([os.path.join(xdesk.BIN, "z39batch"), self.list, "--chain", "nowhere"],
                           cwd=os.path.join(self.dir, "work"), env=self.servers.env(),
                           capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 1)
        self.assertIn("nowhere", r.stderr.decode())


if __name__ == "__main__":
    unittest.main()
