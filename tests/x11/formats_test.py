"""The daily file in each of its forms, and a record copied and printed as MARC text, through
the real z39client and z39batch under a real X server (openbox), read back by YAZ's own
yaz-marcdump, xmllint and pdftotext.

Run one case: python3 formats_test.py FormatsTest.test_name (ctest runs each case on its own).
"""

import os
import sqlite3
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xdesk  # noqa: E402


def marcdump(*args):
    """What yaz-marcdump reads. Its exit status is not looked at: it reads every record of
    a daily file, and then takes the CR LF after the last one for a record it cannot read."""
    r = subprocess.run(["yaz-marcdump"] + list(args), capture_output=True, timeout=60)
    return r.stdout.decode("utf-8")


def records_of(line_dump):
    """The records of `yaz-marcdump -o line` output. Of the leader, what depends on the
    character set is left out: the record's length and base address (bytes, which UTF-8
    counts otherwise than GBK; yaz-marcdump shows the GBK file's after converting it) and
    leader/09, which says Unicode in a Unicode file."""
    out = []
    for block in line_dump.strip().split("\n\n"):
        # yaz-marcdump's notes on the CR LF between records ("Skipping bad byte") go.
        lines = [line for line in block.strip().splitlines() if not line.startswith("<!--")]
        if lines:
            leader = lines[0]
            out.append([leader[5:9] + leader[10:12] + leader[17:]] + lines[1:])
    return out


def xml_whole(path):
    return subprocess.run(["xmllint", "--noout", path], capture_output=True,
                          timeout=30).returncode == 0


class FormatsTest(unittest.TestCase):
    def setUp(self):
        self.desk = xdesk.Desk(records=400, window_manager=True)
        self.today = time.strftime("%Y%m%d")

    def tearDown(self):
        self.desk.close()

    def marc(self, name):
        return self.desk.path("marc", name)

    def save_ten(self, form):
        """The first ten 敦煌学 titles ticked by hot key and saved with F5 by a client whose
        daily file is in `form`."""
        d = self.desk
        d.write_settings("MARCFORMAT=%s\r\n" % form)
        client = d.client()
        d.frame()
        d.search_title("敦煌学")
        d.wait_listed(client, 10)
        d.key("F8", *"0123456789")
        d.key("F5")
        d.dismiss_notice(timeout=30)
        self.assertIsNone(client.poll(), d.client_logs())
        client.terminate()
        client.wait(timeout=10)

    def test_the_same_ten_records_in_gbk_utf8_and_marcxml(self):
        self.save_ten("GBK")
        gbk = self.marc("gbk.mrc")
        os.rename(self.marc("marc%s.txt" % self.today), gbk)  # imported, as a library would
        self.save_ten("UTF-8")
        utf8 = self.marc("utf8.mrc")
        os.rename(self.marc("marc%s.txt" % self.today), utf8)
        self.save_ten("MARCXML")
        xml = self.marc("marc%s.xml" % self.today)
        self.assertTrue(xml_whole(xml))

        wanted = records_of(marcdump("-f", "GBK", "-t", "UTF-8", "-o", "line", gbk))
        self.assertEqual(len(wanted), 10)
        self.assertEqual(records_of(marcdump("-o", "line", utf8)), wanted)
        self.assertEqual(records_of(marcdump("-i", "marcxml", "-o", "line", xml)), wanted)
        # Each UTF-8 record is a line of its own, and says Unicode in its leader.
        with open(utf8, "rb") as f:
            lines = f.read().split(b"\r\n")
        self.assertEqual(lines[-1], b"")
        self.assertTrue(all(line[9:10] == b"a" for line in lines[:-1]))

    def test_a_record_copied_and_printed_as_marc_text(self):
        d = self.desk
        isbn = "9787536692930"
        client = d.client(env={"HOME": d.path("work")})
        d.frame()
        d.focus_frame()
        d.key("F9")
        d.type(isbn)
        d.key("F2")
        d.wait_listed(client, 1)
        d.key("F8", "Return")  # the record's fields
        d.key("ctrl+c")
        copied = xdesk.wait_until(
            lambda: subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=d.env(),
                                   capture_output=True, timeout=5).stdout.decode("utf-8"),
            10, "the record on the clipboard")
        record = d.catalogue_records("ma_isbn = ?", (isbn,))[0]
        path = d.path("one.mrc")
        with open(path, "wb") as f:
            f.write(record)
        wanted = marcdump("-f", "GBK", "-t", "UTF-8", "-o", "line", path)
        # Every field, as yaz-marcdump writes the record.
        self.assertEqual(records_of(copied), records_of(wanted))
        # 打印: the print dialog, with no printer here a PDF file named after the book.
        d.key("ctrl+p")
        box = xdesk.wait_until(lambda: (d.windows("^打印记录$") or [None])[0], 20,
                               "the print dialog")
        xdesk.wait_until(lambda: d.xdotool("getactivewindow") == box, 10, "its focus")
        d.key("Return")
        pdf = d.path("work", isbn + ".pdf")
        xdesk.wait_until(lambda: os.path.exists(pdf) and os.path.getsize(pdf) > 0, 20, "the PDF")
        text = subprocess.run(["pdftotext", "-layout", pdf, "-"], capture_output=True,
                              timeout=30).stdout.decode("utf-8")
        # The same text; a long field may wrap on the page, and each page has its number.
        printed = [line for line in text.splitlines() if not line.strip().isdigit()]
        self.assertEqual(" ".join(printed).split(), copied.split())
        self.assertIsNone(client.poll(), d.client_logs())

    def test_z39batch_marcxml_whole_after_every_kill(self):
        d = self.desk
        con = sqlite3.connect(d.db)
        try:
            isbns = [r[0] for r in con.execute("select ma_isbn from records order by rowid limit 300")]
        finally:
            con.close()
        self.assertEqual(len(set(isbns)), 300)
        listing = d.path("work", "list.txt")
        with open(listing, "w") as f:
            f.write("".join(i + "\n" for i in isbns))
        out = d.path("out")
        os.makedirs(out)
        xml = os.path.join(out, "marc%s.xml" % self.today)
        argv = [os.path.join(xdesk.BIN, "z39batch"), listing, "--chain", "ks_lib", "--out", out,
                "--format", "MARCXML", "--jobs", "2"]
        # Killed three times as it saves, further on each time: the collection is whole
        # after every kill.
        for stop in (40, 120, 200):
            xdesk.batch_killed_at(argv, stop, cwd=d.path("work"), env=d.env())
            self.assertTrue(xml_whole(xml), "after the kill at %d" % stop)
        r = subprocess.run(argv, cwd=d.path("work"), env=d.env(), capture_output=True,
                           timeout=300)
        self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
        self.assertTrue(xml_whole(xml))
        saved = records_of(marcdump("-i", "marcxml", "-o", "line", xml))
        self.assertEqual(len(saved), 300)
        self.assertEqual(len({tuple(r) for r in saved}), 300)


if __name__ == "__main__":
    unittest.main()
