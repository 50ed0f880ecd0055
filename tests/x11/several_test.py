"""Several databases searched at once by the real z39client: the shared catalogue server, a
GBK Zebra 30 ms away, a UTF-8 Zebra 120 ms away, a port that refuses connections and a
server that never answers, all on loopback. A host program's query over the ticked
databases gets the fullest record of the book; at the desk the ticks, F2, Esc, F3 and F5
work over all of them, by mouse and keyboard.

Run: python3 several_test.py (Z39_DESK_SHOTS=FOLDER keeps the screenshots).
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))
import xdesk  # noqa: E402
import zebra  # noqa: E402
from delay_proxy import DelayProxy  # noqa: E402
from zebra_charset_test import fields  # noqa: E402

ISBN_A = "9787999000013"  # a member's short record in the catalogue, a full one in GBK Zebra
ISBN_B = "9787999000020"  # the catalogue only
ISBN_C = "9787999000037"  # GBK Zebra only
ISBN_D = "9787999000044"  # UTF-8 Zebra only
TITLE = "Polyglot"
KS_LIB_BOX = (497, 99)  # ks_lib's check box in the tree, in the main window        # three books of this title in each of the three servers


def short(isbn, title, author, mark):
    return zebra.marc_record([
        ("001", mark + isbn),
        ("010", "  ", [("a", isbn)]),
        ("200", "1 ", [("a", title), ("f", author)]),
        ("210", "  ", [("a", "北京"), ("c", "某出版社"), ("d", "2020")]),
    ])


def full(isbn, title, author, mark):
    return zebra.marc_record([
        ("001", mark + isbn),
        ("010", "  ", [("a", isbn), ("d", "CNY32.00")]),
        ("100", "  ", [("a", "20200101d2020    em y0chiy0110    ea")]),
        ("101", "0 ", [("a", "chi")]),
        ("200", "1 ", [("a", title), ("f", author)]),
        ("210", "  ", [("a", "北京"), ("c", "某出版社"), ("d", "2020")]),
        ("215", "  ", [("a", "320页")]),
        ("606", "0 ", [("a", "长篇小说")]),
        ("690", "  ", [("a", "I247.5")]),
        ("701", " 0", [("a", author)]),
    ])


def polyglot(n, author, mark):
    isbn = "97879990%04d" % (100 + n)
    digits = [int(c) for c in isbn]
    check = (10 - sum(d * (1 if i % 2 == 0 else 3) for i, d in enumerate(digits)) % 10) % 10
    return short(isbn + str(check), TITLE, author, mark)


CATALOGUE = [short(ISBN_A, "多源甲书", "甲某著", "K"), short(ISBN_B, "多源乙书", "乙某著", "K")] + [
    polyglot(n, "Aa%d" % n, "K") for n in (1, 2, 3)]
GBK_ZEBRA = [full(ISBN_A, "多源甲书", "甲某著", "G"), short(ISBN_C, "多源丙书", "丙某著", "G")] + [
    polyglot(n, "Bb%d" % n, "G") for n in (4, 5, 6)]
UTF8_ZEBRA = [short(ISBN_A, "多源甲书", "甲某著", "U"), short(ISBN_D, "多源丁书", "丁某著", "U")] + [
    polyglot(n, "Cc%d" % n, "U") for n in (7, 8, 9)]


class Silent:
    """A server that takes connections and never answers."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.held = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                self.held.append(self.listener.accept()[0])
            except OSError:
                return

    def stop(self):
        self.listener.close()
        for s in self.held:
            s.close()


class SeveralTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="z39several.")
        cls.gbk = zebra.Zebra(os.path.join(cls.folder, "gbk"), GBK_ZEBRA)
        cls.utf8 = zebra.Zebra(os.path.join(cls.folder, "utf8"), UTF8_ZEBRA, encoding="utf-8")
        cls.gbk_proxy = DelayProxy(cls.gbk.port, 30)
        cls.utf8_proxy = DelayProxy(cls.utf8.port, 120)
        cls.refusing = zebra.free_port()  # nothing listens there
        cls.silent = Silent()

    @classmethod
    def tearDownClass(cls):
        cls.gbk.stop()
        cls.utf8.stop()
        cls.silent.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        self.desk = None
        self.shots = os.environ.get("Z39_DESK_SHOTS")

    def tearDown(self):
        if self.desk:
            self.shot(self._testMethodName + ".png")
            self.desk.close()

    def shot(self, name):
        if self.shots and self.desk:
            self.desk.screenshot(os.path.join(self.shots, name))

    def open_desk(self, search_set, extra="", window_manager=False, last=(4, 0)):
        d = xdesk.Desk(records=20, window_manager=window_manager)
        self.desk = d
        listed = os.path.join(d.dir, "several.iso")
        with open(listed, "wb") as f:
            f.write(b"".join(CATALOGUE))
        subprocess.run([os.path.join(xdesk.BIN, "catalogue-server"), "import", "--db", d.db,
                        listed], check=True, stdout=subprocess.DEVNULL, timeout=60)
        d.write_settings("LASTDATABASE=%d\r\nSEARCHSET=%s\r\n%s" % (last[0], search_set, extra),
                         ks_default=last[1])
        with open(d.path("work", "z39svr.cfg"), "wb") as f:
            f.write(b"{Test\n"
                    b"[gbkzebra\n(Default,127.0.0.1,%d,0,,)\n]\n"
                    b"[utf8zebra\n(Default,127.0.0.1,%d,0,,)\n]\n"
                    b"[refusing\n(Default,127.0.0.1,%d,0,,)\n]\n"
                    b"[silent\n(Default,127.0.0.1,%d,0,,)\n]\n}\n"
                    % (self.gbk_proxy.port, self.utf8_proxy.port, self.refusing,
                       self.silent.port))
        return d

    def launch(self, isbn, timeout=60):
        d = self.desk
        handed = d.path("tmp", "lib.tmp")
        if os.path.exists(handed):
            os.unlink(handed)
        started = time.monotonic()
        client = d.client("ISBN@" + isbn)
        self.assertEqual(client.wait(timeout=timeout), 0, d.client_logs())
        seconds = time.monotonic() - started
        with open(handed, "rb") as f:
            return f.read(), seconds

    def test_a_launch_query_over_four_databases_hands_back_the_fullest_record(self):
        self.open_desk("ks_lib,gbkzebra/Default,utf8zebra/Default,refusing/Default")
        # A: in three databases; the GBK Zebra's record is the fullest, although ks_lib
        # comes first. It comes back as Debian's yaz-client receives it.
        fuller = self.gbk.yaz_client_records(b"@attr 1=7 " + ISBN_A.encode())
        self.assertEqual(fields(fuller[0]), fields(GBK_ZEBRA[0]))
        record, _ = self.launch(ISBN_A)
        self.assertEqual(record, fuller[0] + b"\r\n")
        # B: the catalogue's record.
        record, _ = self.launch(ISBN_B)
        self.assertEqual(record, self.desk.catalogue_records("ma_isbn = ?", (ISBN_B,))[0] +
                         b"\r\n")
        # D: the UTF-8 server's record, in GBK: every field as the GBK original has it.
        record, _ = self.launch(ISBN_D)
        self.assertEqual(fields(record[:-2]), fields(UTF8_ZEBRA[1]))
        # C: the GBK Zebra's; the refusing port held none of them up.
        record, seconds = self.launch(ISBN_C)
        self.assertEqual(record, self.gbk.yaz_client_records(b"@attr 1=7 " + ISBN_C.encode())[0] +
                         b"\r\n")
        self.assertLess(seconds, 20)

    def test_z39batch_best_takes_the_fullest_record_over_the_same_servers(self):
        d = self.open_desk("")
        listed = d.path("work", "several.txt")
        with open(listed, "w") as f:
            f.write(ISBN_A + "\n")
        fuller = self.gbk.yaz_client_records(b"@attr 1=7 " + ISBN_A.encode())[0]
        short = d.catalogue_records("ma_isbn = ?", (ISBN_A,))[0]
        for best, expected in ((True, fuller), (False, short)):
            with self.subTest(best=best):
                out = d.path("marc", "best" if best else "first")
                os.makedirs(out)
                r = subprocess.run(
                    [os.path.join(xdesk.BIN, "z39batch"), listed, "--chain",
                     "ks_lib,gbkzebra/Default,utf8zebra/Default,refusing/Default", "--out", out] +
                    (["--best"] if best else []), cwd=d.path("work"), env=d.env(),
                    capture_output=True, timeout=120)
                self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
                daily = [n for n in os.listdir(out) if n.startswith("marc")]
                with open(os.path.join(out, daily[0]), "rb") as f:
                    self.assertEqual(f.read(), expected + b"\r\n")

    def tick_state(self):
        text = self.desk.read("cfg", "Z39.ini").decode("gbk")
        for line in text.splitlines():
            if line.upper().startswith("SEARCHSET="):
                return line.split("=", 1)[1]
        return ""

    def test_ticks_by_mouse_and_keyboard_f2_esc_f3_and_f5_over_several(self):
        d = self.open_desk("", extra="RECNUMBER=2\r\n", window_manager=True, last=(0, 1))
        client = d.client()
        wid, fx, fy = d.frame()
        # Wide enough for the database's name after each row.
        def widened():
            d.xdotool("windowsize", wid, 1010, 600)
            return "WIDTH=1010" in d.xdotool("getwindowgeometry", "--shell", wid)
        xdesk.wait_until(widened, 10, "the window widened")
        self.shot("several-start.png")
        # ks_lib's check box by mouse: the tree's second row, after one level of indent.
        d.xdotool("mousemove", "--window", wid, "--sync", KS_LIB_BOX[0], KS_LIB_BOX[1], "click",
                  "1")
        xdesk.wait_until(lambda: self.tick_state() == "ks_lib", 10, "ks_lib ticked")
        # The three Zebra-like databases by keyboard: into the tree, down to each, Space.
        d.key("F9")
        d.key(*["Tab"] * 4)
        d.key("Home", "Down", "Down", "Down", "Down", "space")  # gbkzebra/Default
        d.key("Down", "Down", "space")  # utf8zebra/Default
        d.key("Down", "Down", "Down", "Down", "space")  # silent/Default
        xdesk.wait_until(
            lambda: self.tick_state() ==
            "ks_lib,gbkzebra/Default,utf8zebra/Default,silent/Default", 10, "four ticks")
        self.shot("several-ticked.png")

        # F2 over four: the three that answer list their first pages (2 each); the silent
        # one keeps the wait panel up until Esc, which keeps what came.
        d.key("F9")
        d.type(TITLE)
        d.key("shift+Tab", "Up", "Up", "Up", "Up", "Up")  # 题名, the first field of the list
        d.key("F9", "F2")
        d.wait_listed(client, 6, timeout=60)
        d.settle()
        self.shot("several-waiting.png")
        self.assertEqual(d.stored_records(client), 6)
        d.key("Escape")
        d.settle()
        self.shot("several-cancelled.png")
        # F3: the next page of each database that has more (one record each).
        d.key("F3")
        d.wait_listed(client, 9, timeout=60)
        d.settle()
        self.shot("several-f3.png")
        # Tick the first row (Aa1, the catalogue's) and the last (Cc9, the UTF-8 server's);
        # F5 saves them in list order.
        d.key("F8", "space", "End", "space", "F5")
        xdesk.wait_until(lambda: len(d.daily_records()) == 2, 20, "two records saved")
        saved = d.daily_records()
        self.assertIn(b"Aa1", saved[0])
        self.assertIn(b"Cc9", saved[1])
        d.dismiss_notice()  # "已成功保存[2]条编目数据"
        # Book A in three databases: its three records together, the fullest first.
        d.key("F9", "ctrl+a")
        d.type(ISBN_A)
        d.key("shift+Tab", "Down", "F9", "F2")  # ISBN follows 题名 in the list
        xdesk.wait_until(lambda: d.stored_records(client) == 3, 60, "book A's three records")
        d.key("Escape")  # the silent server
        d.settle()
        self.shot("several-one-book.png")
        client.terminate()
        client.wait(timeout=10)


if __name__ == "__main__":
    unittest.main()
