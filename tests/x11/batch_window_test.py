"""The 批量检索 window under a real X server, driven by mouse and keys, against four real
servers on loopback.

Run one case: python3 batch_window_test.py BatchWindowTest.test_name
"""

import csv
import io
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import batch_fixture as bf  # noqa: E402
import xdesk  # noqa: E402

BATCH_BUTTON = (225, 15)  # the toolbar's 批量检索
LIST_PATH = (230, 76)
TREE_ROW = {"gbk": (330, 177), "utf8": (330, 205)}
FIRST_RESULT_ROW = (200, 322)
SAVE_BUTTON = (225, 232)
EXPORT_BUTTON = (310, 232)


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
            data = open(self.desk.path("marc", "batch", "delivery.journal"), "rb").read()
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
            d.click(fx + x, fy + y, repeat=2)
        d.key("Down", "Down", "Down", "Return")  # 国家图书馆, nlc, opac
        d.click_in_frame(LIST_PATH)
        d.type(self.list)
        d.key("Return")
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
        xdesk.wait_until(lambda: not self.yazc_children(client), 10, "the child processes to end")
        d.settle()
        # Nothing more is searched: the journal stays as it is for a while.
        settled = self.journal_lines(b"D")
        time.sleep(0.5)
        self.assertEqual(self.journal_lines(b"D"), settled)
        self.assertLess(settled, total)
        self.shot("batch-window-cancelled.png")  # the rows left read 已取消
        # Start again: only what is left is searched.
        d.key("alt+s")
        xdesk.wait_until(lambda: self.journal_lines(b"D") >= total, 120, "every row")
        d.settle()
        self.shot("batch-window-done.png")
        self.assertIsNone(client.poll())
        # Book 60 has two records: its row (65 down, after book 7's invalid line and the
        # duplicates after books 10, 20, 30 and 40) opens its candidates; the second is taken.
        d.click_in_frame(FIRST_RESULT_ROW)
        d.key("ctrl+Home")
        d.xdotool("key", "--repeat", "65", "--delay", "10", "Down")
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
            EXPORT_BUTTON, lambda: os.path.exists(d.path("marc", "batch", "delivery.report.csv")))
        report = open(d.path("marc", "batch", "delivery.report.csv"), "rb").read()
        self.assertTrue(report.startswith("\ufeff检索的ISBN,状态,".encode("utf-8")))
        by_isbn = {row[0]: row for row in csv.reader(io.StringIO(report[3:].decode("utf-8")))}
        # 60 was taken and saved (its title and number are there); 61 waits.
        taken, waiting = by_isbn[bf.isbn13(60)], by_isbn[bf.isbn13(61)]
        self.assertEqual(taken[1], "已保存", taken)
        self.assertTrue(taken[9], taken)
        self.assertIn("第2版", taken[3])
        self.assertEqual(waiting[1], "多条", waiting)
        self.assertEqual(waiting[9], "", waiting)
        # The folder the cataloguing system imports from holds the daily file alone; the
        # batch's own files are in batch/.
        self.assertEqual(sorted(os.listdir(d.path("marc"))),
                         sorted(["batch", "marc%s.txt" % time.strftime("%Y%m%d")]))
        self.assertEqual(sorted(os.listdir(d.path("marc", "batch"))),
                         ["delivery.journal", "delivery.journal.lock", "delivery.notfound.txt",
                          "delivery.report.csv"])
        self.assertIsNone(client.poll())

    def run_batch_of_books(self, client, books):
        """Opens the batch window, chains the GBK Zebra, loads `books` and runs them; returns
        the exported report's rows."""
        d = self.desk
        d.frame()
        d.click_in_frame(BATCH_BUTTON)
        d.xdotool("mousemove", "--sync", 0, 0)
        _, fx, fy = d.frame()
        x, y = TREE_ROW["gbk"]
        d.click(fx + x, fy + y, repeat=2)
        d.click_in_frame(LIST_PATH)
        d.type(self.list)
        d.key("Return")
        d.key("alt+s")
        xdesk.wait_until(lambda: self.journal_lines(b"D") >= len(books), 60, "every row")
        d.settle()
        self.assertIsNone(client.poll(), "the client ended: " + d.client_logs())
        self.press_for_notice(
            EXPORT_BUTTON, lambda: os.path.exists(d.path("marc", "batch", "delivery.report.csv")))
        with open(d.path("marc", "batch", "delivery.report.csv"), "rb") as f:
            report = f.read()
        return list(csv.reader(io.StringIO(report[3:].decode("utf-8"))))[1:]

    def test_a_full_temporary_folder_fails_rows_and_the_window_stays(self):
        probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("no mount namespace here: %s" % probe.stderr.decode())
        d = self.desk
        books = list(range(60, 66))  # only Zebra holds them: its client is needed for each
        with open(self.list, "w") as f:
            f.write("".join(bf.isbn13(i) + "\n" for i in books))
        # The client sees $TMPDIR as a small tmpfs of its own, full before it starts.
        script = ('mount -t tmpfs -o size=256k tmpfs "$TMPDIR" && '
                  'dd if=/dev/zero of="$TMPDIR/fill" bs=4k count=1000 2>/dev/null; exec "$@"')
        with open(d.path("client-full.log"), "wb") as log:
            client = d._spawn(["unshare", "-m", "sh", "-c", script, "sh",
                               os.path.join(xdesk.BIN, "z39client")], env=d.env(),
                              cwd=d.path("work"), stderr=log)
        rows = self.run_batch_of_books(client, books)
        self.shot("batch-window-full-tmp.png")
        self.assertEqual(len(rows), len(books))
        for row in rows:
            self.assertEqual(row[1], "连接失败", row)
            self.assertIn("_zinit.~", row[10], row)
        self.assertIsNone(client.poll())

    def test_a_client_that_writes_garbage_fails_rows_and_the_window_stays(self):
        d = self.desk
        garbage = d.path("garbage-yazc")
        with open(garbage, "w") as f:
            f.write("#!/bin/sh\ncat > /dev/null\nwhile [ $# -gt 0 ]; do [ \"$1\" = -m ] && "
                    "printf 'not a hit count\\n\\377garbage\\n' > \"$2\"; shift; done\n"
                    "echo 'Connecting...OK'\nexit 0\n")
        os.chmod(garbage, 0o755)
        # Books only Zebra holds: the shared catalogue has none, so yazc is asked for each.
        books = list(range(60, 70))
        with open(self.list, "w") as f:
            f.write("".join(bf.isbn13(i) + "\n" for i in books))
        client = d.client(env={"Z39_YAZC": garbage})
        rows = self.run_batch_of_books(client, books)
        self.shot("batch-window-garbage.png")
        self.assertEqual(len(rows), len(books))
        for row in rows:
            self.assertEqual(row[1], "连接失败", row)
            self.assertTrue(row[10], row)
        self.assertIsNone(client.poll())


if __name__ == "__main__":
    unittest.main()
