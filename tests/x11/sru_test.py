"""The real z39client searching an SRU target: Zebra keeping CNMARC records as MARCXML (its
DOM filter, from UTF-8 input) and answering SRU. What the host program gets back, and what
the cataloguer lists and saves, is the GBK record the server was given, byte for byte."""

import os
import shutil
import sys
import tempfile
import subprocess
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xdesk  # noqa: E402
import zebra  # noqa: E402
from zebra_test import RECORDS  # noqa: E402
from desk_test import search_title  # noqa: E402

# Twenty-five books titled "Java 编程 N", as zebra.py serves them.
PAGED = [zebra.marc_record([
    ("001", "B%06d" % i),
    ("010", "  ", [("a", "978700%07d" % i)]),
    ("200", "1 ", [("a", "Java 编程 %d" % i), ("f", "作者%d著" % i)]),
    ("210", "  ", [("a", "北京"), ("c", "测试出版社"), ("d", "2020")]),
]) for i in range(25)]


def http_requests(server):
    with open(server.log, "rb") as f:
        return f.read().count(b"[request] GET /")


class SruTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="z39sru.")
        cls.sru = zebra.Zebra(os.path.join(cls.folder, "sru"), RECORDS, encoding="utf-8",
                              sru=True)
        cls.paged = zebra.Zebra(os.path.join(cls.folder, "paged"), PAGED, encoding="utf-8",
                                sru=True)

    @classmethod
    def tearDownClass(cls):
        for server in (cls.sru, cls.paged):
            server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        self.desk = zebra.desk_on(xdesk, self.sru.port)
        self.use(self.sru)

    def tearDown(self):
        self.desk.close()

    def use(self, server, options=b""):
        zebra.write_target(self.desk, server.port, b"http://127.0.0.1", options)

    def search_title(self, text):
        search_title(self.desk, text)

    def test_launch_queries_hand_back_the_gbk_record(self):
        cases = [
            ("NAME@红楼梦", 3),
            ("NAME@淺談編目", 0),
            ("NAME@Java 编程", 1),
            ("ISBN@7-5366-9293-5", 2),  # the record holds the 13 digits
        ]
        for query, book in cases:
            with self.subTest(query=query):
                client = self.desk.client(query)
                self.assertEqual(client.wait(timeout=30), 0)
                with open(self.desk.path("tmp", "lib.tmp"), "rb") as f:
                    self.assertEqual(xdesk.checked(f.read()), RECORDS[book] + b"\r\n")
                os.unlink(self.desk.path("tmp", "lib.tmp"))

    def test_pages_one_request_each_and_saves_gbk(self):
        d = self.desk
        self.use(self.paged)
        d.write_settings("LASTDATABASE=4\r\nRECNUMBER=12\r\nRECORDER=1\r\n", ks_default=0)
        client = d.client()
        d.frame()
        before = http_requests(self.paged)
        self.search_title("编程")
        d.wait_listed(client, 12)
        d.key("F3")
        d.wait_listed(client, 24)
        d.key("F3")
        d.wait_listed(client, 25)
        self.assertIsNone(client.poll())
        # F2: the first record and the eleven that fill the page; each F3 one request.
        self.assertEqual(http_requests(self.paged) - before, 4)
        shots = os.environ.get("Z39_DESK_SHOTS")
        if shots:
            d.screenshot(os.path.join(shots, "sru-list.png"))
        # The first and the last of the 25 ticked with their hot keys and saved.
        d.key("F8", "1", "F5")
        d.dismiss_notice()
        saved = d.daily_records()
        self.assertEqual(len(saved), 1)
        self.assertIn(saved[0], PAGED)
        client.terminate()
        client.wait(timeout=10)

    def test_a_diagnostic_is_shown_and_nothing_is_handed_back(self):
        self.use(self.sru, b" index.title=no.such.index")
        client = self.desk.client("NAME@红楼梦")
        self.desk.dismiss_notice(timeout=30)  # the server's "Unsupported index"
        # The launch ends with "选择或退出.F5" (nothing ticked: nothing handed back). An extra
        # Enter of the dismissal may have pressed it already.
        try:
            client.wait(timeout=2)
        except subprocess.TimeoutExpired:
            self.desk.focus_frame()
            self.desk.key("F5")
        client.wait(timeout=30)
        self.assertFalse(os.path.exists(self.desk.path("tmp", "lib.tmp")))


if __name__ == "__main__":
    unittest.main()
