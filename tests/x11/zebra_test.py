"""The real z39client against a real indexing Z39.50 server (Zebra) serving GBK CNMARC
records: what a host program gets back is exactly what Debian's yaz-client receives."""

import os
import stat
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xdesk  # noqa: E402
import zebra  # noqa: E402


def book(isbn, title, author, extra=()):
    return zebra.marc_record([
        ("001", "Z" + isbn),
        ("010", "  ", [("a", isbn), ("d", "CNY20.00")]),
        ("200", "1 ", [("a", title), ("f", author)]),
        ("210", "  ", [("a", "北京"), ("c", "测试出版社"), ("d", "2020")]),
    ] + list(extra))


# Titles share no character, so each title search finds exactly its own record.
RECORDS = [
    book("9787000000011", "淺談編目", "甲某著"),  # 淺 and 談 end in the byte 0x5C in GBK
    book("9787000000028", "Java 编程", "乙某著"),
    book("9787536692930", "三体", "刘慈欣著"),
    book("9787000000042", "红楼梦", "曹雪芹著"),
    book("9787000000059", "敦煌学导论", "丁某著"),
    book("9787000000066", "Data Structures", "戊某著"),
]


class ZebraTest(zebra.ZebraDeskCase):
    RECORDS = RECORDS

    def launch(self, query, env=None, timeout=30):
        client = self.desk.client(query, env=env)
        return client, client.wait(timeout=timeout)

    def wrapper(self, name, prelude):
        """A stand-in for yazc in a folder with a blank: runs the real one after `prelude`."""
        folder = self.desk.path("my tools")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name)
        with open(path, "w") as f:
            f.write('#!/bin/sh\n{ %s cat; } | exec "%s" "$@"\n'
                    % (prelude, os.path.join(xdesk.BIN, "yazc")))
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
        return path

    def test_launch_queries_hand_back_exactly_what_yaz_client_receives(self):
        cases = [
            ("NAME@红楼梦", "@attr 1=4 红楼梦"),
            ("NAME@Java 编程", '@attr 1=4 "Java 编程"'),
            ("ISBN@9787536692930", "@attr 1=7 9787536692930"),
            ("NAME@淺談編目", "@attr 1=4 淺談編目"),
            ("NAME@Data Structures", '@attr 1=4 "Data Structures"'),
        ]
        for query, pqf in cases:
            with self.subTest(query=query):
                # In PQF a backslash escapes the next byte: a GBK trail byte 0x5C is sent
                # doubled, as the client does, and the server reads the character back.
                expected = self.server.yaz_client_records(pqf.encode("gbk").replace(b"\\", b"\\\\"))
                self.assertEqual(len(expected), 1, "the search should find one record")
                self.assertTrue(expected[0].startswith(b"%05d" % len(expected[0])))
                _, status = self.launch(query)
                self.assertEqual(status, 0)
                with open(self.desk.path("tmp", "lib.tmp"), "rb") as f:
                    self.assertEqual(f.read(), expected[0] + b"\r\n")
                os.unlink(self.desk.path("tmp", "lib.tmp"))

    def test_blanks_in_the_client_path_and_the_temp_folder(self):
        spaced = self.desk.path("sp ace")
        os.makedirs(spaced)
        yazc = self.wrapper("yazc", "")
        expected = self.server.yaz_client_records(b"@attr 1=7 9787536692930")
        _, status = self.launch("ISBN@9787536692930", env={"Z39_YAZC": yazc, "TMPDIR": spaced})
        self.assertEqual(status, 0)
        with open(os.path.join(spaced, "lib.tmp"), "rb") as f:
            self.assertEqual(f.read(), expected[0] + b"\r\n")
        # Our private working folder is gone with the client.
        self.assertEqual([n for n in os.listdir(spaced) if n.startswith("z39client-")], [])

    def test_a_text_record_is_never_handed_back_and_the_user_is_told(self):
        # The server asked for SUTRS answers with text; one hit, but no MARC record.
        yazc = self.wrapper("yazc-sutrs", "echo format sutrs;")
        client = self.desk.client("ISBN@9787536692930", env={"Z39_YAZC": yazc})
        self.desk.dismiss_notice(timeout=30)  # "...不是MARC格式..." names the reason
        # With no record listed the client does not save on its own: it stays open.
        self.assertIsNone(client.poll())
        self.assertFalse(os.path.exists(self.desk.path("tmp", "lib.tmp")))
        self.assertEqual(os.listdir(self.desk.path("marc")), [])
        client.terminate()
        client.wait(timeout=10)
        self.assertFalse(os.path.exists(self.desk.path("tmp", "lib.tmp")))


if __name__ == "__main__":
    unittest.main()
