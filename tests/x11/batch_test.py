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
        books = [row for row in rows if row[1] != "invalid ISBN"]
        self.assertEqual(len(books), bf.BOOKS)  # each book once, duplicates left out
        self.assertEqual(len(rows) - len(books), 3)
        expected_daily = []
        for row, i in zip(books, self.order):
            self.assertEqual(row[0], bf.isbn13(i))
            target = bf.expected_target(i)
            if i in bf.SEVERAL:
                self.assertEqual(row[1:3], ["several", bf.GBK], i)
            elif not target:
                self.assertEqual(row[1:3], ["not found", ""], i)
            else:
                self.assertEqual(row[1:3], ["found", target], i)
                self.assertEqual(int(row[4]), len(expected_daily) + 1)
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
            if first[1] == "found":
                self.assertEqual(row[1], "already saved")
                self.assertEqual(row[4], first[4])

    def test_killed_five_times_it_ends_as_an_uninterrupted_run(self):
        whole = os.path.join(self.dir, "whole")
        os.makedirs(whole)
        self.assertEqual(self.batch(whole).returncode, 0)
        out = os.path.join(self.dir, "killed")
        os.makedirs(out)
        rng = random.Random(20261209)
        kills = 0
        for _ in range(5):
            p = subprocess.Popen([os.path.join(xdesk.BIN, "z39batch"), self.list, "--chain",
                                  CHAIN, "--out", out], cwd=os.path.join(self.dir, "work"),
                                 env=self.servers.env(), stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0.05, 0.6))
            if p.poll() is None:
                p.send_signal(signal.SIGKILL)
                kills += 1
            p.wait(timeout=60)
        r = self.batch(out)
        self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
        self.assertGreaterEqual(kills, 3)
        self.assertEqual(bf.daily_records(out), bf.daily_records(whole))
        for name in ("delivery.report.csv",):
            self.assertEqual(open(os.path.join(out, name), "rb").read(),
                             open(os.path.join(whole, name), "rb").read())

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


BATCH_BUTTON = (225, 15)  # the toolbar's 批量检索
LIST_PATH = (230, 76)
TREE_ROW = {"gbk": (330, 159), "utf8": (330, 187)}
FIRST_RESULT_ROW = (200, 310)
SAVE_BUTTON = (225, 240)
EXPORT_BUTTON = (310, 240)


class BatchWindowTest(unittest.TestCase):
    """The 批量检索 window under a real X server, driven by mouse and keys."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="z39batchwin.")
        self.servers = bf.Servers(self.tmp)
        self.desk = xdesk.Desk(records=1)
        d = self.desk
        settings = open(os.path.join(self.tmp, "cfg", "Z39.ini"), "rb").read().decode("gbk")
        settings = settings.replace(os.path.join(self.tmp, "marc"), d.path("marc"))
        with open(d.path("cfg", "Z39.ini"), "wb") as f:
            f.write(settings.encode("gbk"))
        shutil.copy(os.path.join(self.tmp, "work", "z39svr.cfg"), d.path("work", "z39svr.cfg"))
        text, self.order = bf.delivery_list()
        self.list = d.path("delivery.csv")
        with open(self.list, "wb") as f:
            f.write(text.encode("utf-8"))

    def tearDown(self):
        shots = os.environ.get("Z39_DESK_SHOTS")
        if shots:
            self.desk.screenshot(os.path.join(shots, self._testMethodName + ".png"))
        self.desk.close()
        self.servers.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def journal_lines(self, kind):
        try:
            data = open(self.desk.path("marc", "delivery.journal"), "rb").read()
        except OSError:
            return 0
        return sum(1 for line in data.split(b"\n") if line.startswith(kind + b"\t"))

    def yazc_children(self, client):
        r = subprocess.run(["pgrep", "-P", str(client.pid)], capture_output=True)
        return r.stdout.split()

    def press_for_notice(self, button, done):
        """Clicks a button that answers with a notice, until `done()` holds, and closes
        the notices. Without a window manager a click just after a dialog may only give
        the frame the focus back."""
        d = self.desk
        deadline = time.monotonic() + 20
        while not done() and time.monotonic() < deadline:
            d.click_in_frame(button)
            time.sleep(0.5)
        self.assertTrue(done())
        quiet = 0
        while quiet < 3 and time.monotonic() < deadline:
            boxes = d.windows("^提示信息$")
            if boxes:
                d.xdotool("windowfocus", "--sync", boxes[0])
                d.xdotool("key", "--window", boxes[0], "Return")
                quiet = 0
            else:
                quiet += 1
            time.sleep(0.3)

    def shot(self, name):
        shots = os.environ.get("Z39_DESK_SHOTS")
        if shots:
            _, fx, fy = self.desk.frame()
            self.desk.screenshot(os.path.join(shots, name), (724, 510, fx, fy))

    def test_load_start_cancel_go_on_review_save_and_export(self):
        d = self.desk
        # The OPAC answers slowly, so the run lasts long enough to be cancelled.
        self.servers.opac.delay = 0.3
        client = d.client()
        d.frame()
        d.click_in_frame(BATCH_BUTTON)
        # The chain: the shared catalogue (there by default), both Zebras, the OPAC.
        d.xdotool("mousemove", "--sync", 0, 0)
        _, fx, fy = d.frame()
        for name in ("gbk", "utf8"):
            x, y = TREE_ROW[name]
            d.xdotool("mousemove", "--sync", fx + x, fy + y, "click", "--repeat", "2", "1")
            time.sleep(0.3)
        d.key("Down", "Down", "Down", "Return")  # 国家图书馆, nlc, opac
        d.click_in_frame(LIST_PATH)
        d.type(self.list)
        d.key("Return")
        time.sleep(0.5)
        total = bf.BOOKS + 3
        # Start, and cancel while it runs: nothing goes on 200 ms after the click.
        d.key("alt+s")
        try:
            xdesk.wait_until(lambda: self.journal_lines(b"D") >= 150, 60, "the first rows")
        except AssertionError:
            raise AssertionError("journal: %s %s" % (os.listdir(d.path("marc")),
                                                     open(d.path("cfg", "Z39.ini"), "rb").read()))
        self.shot("batch-window-in-progress.png")
        d.key("alt+c")
        clicked = time.monotonic()
        while time.monotonic() - clicked < 0.2 and self.yazc_children(client):
            time.sleep(0.01)
        self.assertEqual(self.yazc_children(client), [], "child processes left")
        time.sleep(0.3)
        settled = self.journal_lines(b"D")
        time.sleep(0.5)
        self.assertEqual(self.journal_lines(b"D"), settled)
        self.assertLess(settled, total)
        # Start again: only what is left is searched.
        d.key("alt+s")
        xdesk.wait_until(lambda: self.journal_lines(b"D") >= total, 120, "every row")
        time.sleep(0.5)
        self.shot("batch-window-done.png")
        self.assertIsNone(client.poll())
        # Book 60 has two records: its row (61 down, after book 7's invalid line) opens its
        # candidates; the second is taken.
        d.click_in_frame(FIRST_RESULT_ROW)
        d.key("ctrl+Home")
        d.xdotool("key", "--repeat", "61", "--delay", "10", "Down")
        d.key("Return")
        wid = xdesk.wait_until(lambda: (d.windows("^选择记录") or [None])[0], 10, "candidates")
        self.shot("batch-window-several.png")
        d.xdotool("windowfocus", "--sync", wid)
        d.key("Down", "Return")
        xdesk.wait_until(lambda: not d.windows("^选择记录"), 10, "the candidates to close")
        self.assertEqual(self.journal_lines(b"C"), 1)
        # Save: every found record and the one taken, in list order.
        self.press_for_notice(SAVE_BUTTON, lambda: bf.daily_records(d.path("marc")))
        saved = bf.daily_records(d.path("marc"))
        found = [i for i in self.order if bf.expected_target(i) and i not in bf.SEVERAL]
        self.assertEqual(len(saved), len(found) + 1)
        self.assertIn("（第2版）".encode("gbk"), saved[found.index(61) if 61 in found else
                                                      sum(1 for i in found if i < 60)])
        self.press_for_notice(
            EXPORT_BUTTON, lambda: os.path.exists(d.path("marc", "delivery.report.csv")))
        report = open(d.path("marc", "delivery.report.csv"), "rb").read()
        self.assertTrue(report.startswith(b"\xef\xbb\xbfISBN,state"))
        several = [row for row in csv.reader(io.StringIO(report[3:].decode("utf-8")))
                   if row[1] == "several"]
        # 60 was taken and saved (its record and number are there); 61 waits.
        self.assertEqual([bool(row[4]) for row in several], [True, False])
        self.assertIn("第2版", several[0][3])
        self.assertIsNone(client.poll())


if __name__ == "__main__":
    unittest.main()
