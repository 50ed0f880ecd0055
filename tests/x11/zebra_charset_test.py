"""The real z39client against Zebra servers that do not keep GBK: the same CNMARC records
in UTF-8 (converted by yaz-marcdump), with nothing configured about character sets in the
client. What a host program gets back is the GBK record, byte for byte."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xdesk  # noqa: E402
import zebra  # noqa: E402
from zebra_test import RECORDS  # noqa: E402


class Utf8ZebraTest(unittest.TestCase):
    """The same records on a Zebra that keeps them in UTF-8, nothing configured about its
    character set in the client: what comes back is the GBK server's record, byte for byte."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="z39zebra-utf8.")
        cls.gbk = zebra.Zebra(os.path.join(cls.folder, "gbk"), RECORDS)
        cls.utf8 = zebra.Zebra(os.path.join(cls.folder, "utf8"), RECORDS, encoding="utf-8")

    @classmethod
    def tearDownClass(cls):
        cls.gbk.stop()
        cls.utf8.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        self.desk = xdesk.Desk(records=20)
        self.desk.write_settings("LASTDATABASE=4\r\n", ks_default=0)
        with open(self.desk.path("work", "z39svr.cfg"), "wb") as f:
            f.write(b"{Test\n[zebra\n(Default,127.0.0.1,%d,0,,)\n]\n}\n" % self.utf8.port)

    def tearDown(self):
        self.desk.close()

    def searches(self, kind):
        with open(self.utf8.log, "rb") as f:
            return f.read().count(b"Search " if kind == "Search" else kind.encode())

    def test_launch_queries_hand_back_the_gbk_servers_record(self):
        cases = [
            ("NAME@红楼梦", "@attr 1=4 红楼梦"),
            ("NAME@淺談編目", "@attr 1=4 淺談編目"),
            ("NAME@Java 编程", '@attr 1=4 "Java 编程"'),
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


if __name__ == "__main__":
    unittest.main()
