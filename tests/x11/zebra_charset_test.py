"""The real z39client against Zebra servers that do not keep GBK: the same CNMARC records
in UTF-8 (converted by yaz-marcdump), with nothing configured about character sets in the
client. What a host program gets back is the GBK record, byte for byte."""

import os
import shutil
import sys
import tempfile
import unicodedata
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xdesk  # noqa: E402
import zebra  # noqa: E402
from zebra_test import RECORDS  # noqa: E402
from desk_test import row_y, search_title  # noqa: E402

MARC21_LEADER = "00000nam  2200000   4500"
# MARC21 records in UTF-8, served as MARC-8 (yaz-marcdump -t MARC-8): diacritics, EACC CJK,
# and a letter GBK lacks (Ł).
MARC8_TITLE = "Marc8test café 一 Łódka"
MARC8_RECORDS = [zebra.marc_record([
    ("001", "M0001"),
    ("008", "200101s2020    ch            000 0 chi d"),
    ("020", "  ", [("a", "9780000000019")]),
    ("245", "10", [("a", MARC8_TITLE), ("c", "Wang")]),
    ("260", "  ", [("a", "Beijing"), ("b", "Pub"), ("c", "2020")]),
], charset="utf-8", leader_fixed=MARC21_LEADER)]


def gbk_keeping_all(text):
    """GBK with what it lacks as &#xXXXX; references, as the client writes it."""
    out = b""
    for ch in unicodedata.normalize("NFC", text):
        try:
            out += ch.encode("gbk")
        except UnicodeEncodeError:
            out += b"&#x%04X;" % ord(ch)
    return out


def fields(record):
    """{tag: data} of an ISO 2709 record."""
    base = int(record[12:17])
    out = {}
    for at in range(24, base - 1, 12):
        tag = record[at:at + 3].decode()
        length, start = int(record[at + 3:at + 7]), int(record[at + 7:at + 12])
        out[tag] = record[base + start:base + start + length]
    return out


class Utf8ZebraTest(unittest.TestCase):
    """The same records on a Zebra that keeps them in UTF-8, nothing configured about its
    character set in the client: what comes back is the GBK server's record, byte for byte."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="z39zebra-utf8.")
        cls.gbk = zebra.Zebra(os.path.join(cls.folder, "gbk"), RECORDS)
        cls.utf8 = zebra.Zebra(os.path.join(cls.folder, "utf8"), RECORDS, encoding="utf-8")
        cls.marc8 = zebra.Zebra(os.path.join(cls.folder, "marc8"), MARC8_RECORDS,
                                encoding="marc-8")
        # Keeps MARCXML and hands out ISO 2709 as UNIMARC only: USMARC draws diagnostic 239.
        cls.unimarc = zebra.Zebra(os.path.join(cls.folder, "unimarc"), RECORDS,
                                  encoding="utf-8", sru=True, syntaxes=("unimarc",))

    @classmethod
    def tearDownClass(cls):
        cls.gbk.stop()
        cls.utf8.stop()
        cls.marc8.stop()
        cls.unimarc.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        self.desk = zebra.desk_on(xdesk, self.utf8.port)

    def use(self, server):
        zebra.write_target(self.desk, server.port)

    def tearDown(self):
        self.desk.close()

    def test_launch_queries_hand_back_the_gbk_servers_record(self):
        cases = [
            ("NAME@红楼梦", "@attr 1=4 红楼梦"),
            ("NAME@淺談編目", "@attr 1=4 淺談編目"),
            ("NAME@Java 编程", '@attr 1=4 "Java 编程"'),
            ("NAME@Data Structures", '@attr 1=4 "Data Structures"'),
            ("ISBN@9787536692930", "@attr 1=7 9787536692930"),
        ]
        for query, pqf in cases:
            with self.subTest(query=query):
                expected = self.gbk.yaz_client_records(pqf.encode("gbk").replace(b"\\", b"\\\\"))
                self.assertEqual(len(expected), 1)
                client = self.desk.client(query)
                self.assertEqual(client.wait(timeout=30), 0)
                with open(self.desk.path("tmp", "lib.tmp"), "rb") as f:
                    self.assertEqual(f.read(), expected[0] + b"\r\n")
                os.unlink(self.desk.path("tmp", "lib.tmp"))


    def test_a_server_without_usmarc_is_asked_for_unimarc(self):
        self.use(self.unimarc)
        client = self.desk.client("NAME@红楼梦")
        self.assertEqual(client.wait(timeout=30), 0)
        with open(self.desk.path("tmp", "lib.tmp"), "rb") as f:
            self.assertEqual(f.read(), RECORDS[3] + b"\r\n")
        with open(self.unimarc.log, "rb") as f:
            log = f.read()
        # The UTF-8 search that found it was refused its USMARC records and asked once
        # more for UNIMARC.
        self.assertEqual(log.count(b"Search Default OK 1 "), 2)

    def test_marc8_records_are_saved_in_gbk_with_references_and_the_user_is_told(self):
        self.use(self.marc8)
        client = self.desk.client("NAME@Marc8test")
        self.desk.dismiss_notice(timeout=30)  # "...GBK字符集没有的字符..."
        self.assertEqual(client.wait(timeout=30), 0)
        with open(self.desk.path("tmp", "lib.tmp"), "rb") as f:
            record = f.read()[:-2]
        self.assertEqual(int(record[:5]), len(record))
        self.assertEqual(record[9:10], b" ")
        self.assertEqual(fields(record)["245"],
                         b"10\x1fa" + gbk_keeping_all(MARC8_TITLE) + b"\x1fcWang\x1e")
        self.assertIn(b"&#x0141;", record)

    def test_marc8_records_listed_in_the_window_and_saved_with_f5_in_gbk(self):
        d = self.desk
        self.use(self.marc8)
        client = d.client()
        d.frame()
        search_title(d, "Marc8test")
        d.dismiss_notice(timeout=30)  # "...GBK字符集没有的字符..."
        self.assertIsNone(client.poll())
        d.focus_frame()
        d.key("F5")  # a single hit comes ticked
        d.dismiss_notice()
        saved = d.daily_records()
        self.assertEqual(len(saved), 1, saved)
        self.assertEqual(saved[0][9:10], b" ")
        self.assertEqual(fields(saved[0])["245"],
                         b"10\x1fa" + gbk_keeping_all(MARC8_TITLE) + b"\x1fcWang\x1e")
        client.terminate()
        client.wait(timeout=10)

    def test_the_utf8_servers_records_listed_and_shown(self):
        d = self.desk
        client = d.client()
        d.frame()
        search_title(d, "编程")
        d.wait_listed(client, 1)  # 编程: Java 编程 alone
        self.assertIsNone(client.poll())
        shots = os.environ.get("Z39_DESK_SHOTS")
        if shots:
            d.screenshot(os.path.join(shots, "utf8-server-list.png"))
        _, fx, fy = d.frame()
        d.click(fx + 200, fy + row_y(0), repeat=2)
        if shots:
            d.screenshot(os.path.join(shots, "utf8-server-detail.png"))
        self.assertIsNone(client.poll())
        client.terminate()
        client.wait(timeout=10)


if __name__ == "__main__":
    unittest.main()
