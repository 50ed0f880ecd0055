"""The real z39client against Zebra, which indexes an ISBN as the record writes it: a scanned
13-digit ISBN, an ISBN-10 with a small x, or one with hyphens finds the record whatever form
it holds, and what comes back is what Debian's yaz-client receives for that form."""

import csv
import io
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xdesk  # noqa: E402
import zebra  # noqa: E402
from zebra_test import book  # noqa: E402

RECORDS = [
    book("978-7-5366-9293-0", "三体", "刘慈欣著"),     # hyphenated ISBN-13
    book("7-5063-6543-X", "活着", "余华著"),           # hyphenated ISBN-10
    book("9787302125938", "数据结构", "严蔚敏著"),     # plain ISBN-13
]


class IsbnZebraTest(zebra.ZebraDeskCase):
    RECORDS = RECORDS

    def searches(self):
        with open(self.server.log, "rb") as f:
            return f.read().count(b"[request] Search")

    def test_every_form_finds_the_record_in_the_form_it_holds(self):
        cases = [
            ("9787536692930", "978-7-5366-9293-0"),
            ("9787506365437", "7-5063-6543-X"),
            ("7-302-12593-7", "9787302125938"),
            ("750636543x", "7-5063-6543-X"),
        ]
        for entered, held in cases:
            with self.subTest(entered=entered):
                expected = self.server.yaz_client_records(b"@attr 1=7 " + held.encode())
                self.assertEqual(len(expected), 1, "yaz-client finds the form the record holds")
                before = self.searches()
                client = self.desk.client("ISBN@" + entered)
                self.assertEqual(client.wait(timeout=30), 0)
                with open(self.desk.path("tmp", "lib.tmp"), "rb") as f:
                    self.assertEqual(f.read(), expected[0] + b"\r\n")
                os.unlink(self.desk.path("tmp", "lib.tmp"))
                self.assertEqual(self.searches() - before, 1)  # one @or query

    def test_an_isbn_no_record_holds_costs_one_search(self):
        before = self.searches()
        client = self.desk.client("ISBN@9787111213826", "1")  # full window: it stays open
        self.desk.frame()
        deadline = 30
        import time
        while self.searches() == before and deadline > 0:
            time.sleep(0.2)
            deadline -= 0.2
        time.sleep(1)
        self.assertEqual(self.searches() - before, 1)
        self.assertFalse(os.path.exists(self.desk.path("tmp", "lib.tmp")))
        client.terminate()
        client.wait(timeout=10)

    def test_a_wrong_check_digit_hands_nothing_back_and_is_its_own_batch_row(self):
        # 三体 is 978-7-5366-9293-0 (ISBN-10 7-5366-9293-5); one digit off is another number.
        for typed in ("9787536692931", "7536692934"):
            with self.subTest(typed=typed):
                before = self.searches()
                client = self.desk.client("ISBN@" + typed)
                deadline = time.monotonic() + 30
                while self.searches() == before and time.monotonic() < deadline:
                    time.sleep(0.1)
                time.sleep(1.0)
                self.assertGreater(self.searches(), before)
                self.assertFalse(os.path.exists(self.desk.path("tmp", "lib.tmp")))
                client.terminate()
                client.wait(timeout=10)
        # z39batch: the wrong ISBN-10 beside the book's ISBN-13 is a row of its own.
        listed = self.desk.path("work", "list.txt")
        with open(listed, "w") as f:
            f.write("7536692934\n9787536692930\n")
        r = subprocess.run([os.path.join(xdesk.BIN, "z39batch"),
                            listed, "--chain", "zebra/Default", "--out",
                            self.desk.path("marc")], cwd=self.desk.path("work"),
                           env=self.desk.env(), capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
        with open(self.desk.path("marc", "list.report.csv"), "rb") as f:
            rows = list(csv.reader(io.StringIO(f.read()[3:].decode("utf-8"))))[1:]
        self.assertEqual([row[:2] for row in rows],
                         [["7536692934", "ISBN无效"], ["9787536692930", "已保存"]])
        self.assertEqual(rows[1][3], "三体")

    def test_best_takes_the_fuller_record_whatever_the_chains_order(self):
        """Zebra holds a short record of 三体, the catalogue server its full record: the chain
        puts Zebra first; --best takes the catalogue's, without it Zebra's."""
        isbn13 = "9787536692930"
        listed = self.desk.path("work", "best.txt")
        with open(listed, "w") as f:
            f.write(isbn13 + "\n")
        fuller = self.desk.catalogue_records("ma_isbn = ?", (isbn13,))
        self.assertEqual(len(fuller), 1)
        for best in (False, True):
            with self.subTest(best=best):
                out = self.desk.path("marc", "best" if best else "first")
                os.makedirs(out)
                r = subprocess.run([os.path.join(xdesk.BIN, "z39batch"), listed, "--chain",
                                    "zebra/Default,ks_lib", "--out", out] +
                                   (["--best"] if best else []), cwd=self.desk.path("work"),
                                   env=self.desk.env(), capture_output=True, timeout=120)
                self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
                with open(os.path.join(out, "best.report.csv"), "rb") as f:
                    rows = list(csv.reader(io.StringIO(f.read()[3:].decode("utf-8"))))[1:]
                self.assertEqual(rows[0][1:3], ["已保存", "ks_lib" if best else "Default"], rows)
                daily = [n for n in os.listdir(out) if n.startswith("marc")]
                with open(os.path.join(out, daily[0]), "rb") as f:
                    saved = f.read()
                if best:
                    self.assertEqual(saved, fuller[0] + b"\r\n")
                else:
                    expected = self.server.yaz_client_records(b"@attr 1=7 978-7-5366-9293-0")
                    self.assertEqual(saved, expected[0] + b"\r\n")

if __name__ == "__main__":
    unittest.main()
