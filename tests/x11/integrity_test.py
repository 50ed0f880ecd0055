"""Records as real servers send them, through the real z39batch and yazc from a Z39.50
server on loopback that serves the exact bytes: each is saved faithfully (the title reads
as written, byte for byte the record served) or refused with its reason; the daily file
always passes a strict check; two runs at once save each book once; a client that writes
garbage fails its rows instead of aborting the run.

Run one case: python3 integrity_test.py IntegrityTest.test_name
"""

import csv
import html
import io
import os
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import batch_fixture as bf  # noqa: E402
import xdesk  # noqa: E402
import zebra  # noqa: E402

SERVER = os.path.join(xdesk.BIN, "..", "tests", "z39-record-server")


def isbn(i):
    body = "97875366%04d" % (2000 + i)
    total = sum(int(c) * (3 if n % 2 else 1) for n, c in enumerate(body))
    return body + str((10 - total % 10) % 10)


def raw_record(fields, leader=b"00000nam0 2200000   450 "):
    """ISO 2709 from (tag, bytes) fields, the bytes as they are (no conversion)."""
    directory = body = b""
    for tag, data in fields:
        data += b"\x1e"
        directory += b"%s%04d%05d" % (tag.encode(), len(data), len(body))
        body += data
    directory += b"\x1e"
    base = 24 + len(directory)
    total = base + len(body) + 1
    return b"%05d" % total + leader[5:12] + b"%05d" % base + leader[17:24] + directory + body + b"\x1d"


def sub(code, text):
    return b"\x1f" + code.encode() + text


strict_check = xdesk.strict_records


# Each case: (name, the record's fields beyond 001 and 010, leader, what should happen:
# "same" (saved byte for byte), "gbk:TITLE" (saved, 200 $a or 245 $a reads TITLE in GBK),
# "refused").
GBK = "gbk"
CASES = [
    ("leader4500", [("200", b"1 " + sub("a", "三体".encode(GBK)))], b"00000nam0 2200000   4500", "same", "gbk"),
    ("marc21", [("245", b"10" + sub("a", "中国科学技术史".encode(GBK)))], b"00000nam  2200000   4500", "same", "gbk"),
    ("escape", [("200", b"1 " + sub("a", "数据".encode(GBK) + b"\x1b" + "结构".encode(GBK)))], None, "same", "gbk"),
    ("lookalike", [("200", b"1 " + sub("a", "图学史".encode(GBK)) + sub("e", "同一".encode(GBK)))], None, "same", "gbk"),
    ("mixed", [("200", b"1 " + sub("a", "中文书".encode("utf-8"))),
               ("210", b"  " + sub("a", "北京".encode(GBK)) + sub("c", "中华书局".encode(GBK)))], None, "refused", "utf8"),
    ("brokenmarc8", [("245", b"10" + sub("a", b"Title \x1b$1\x21\x30"))], b"00000nam  2200000   4500", "refused", "marc8"),
    ("marc8", [("245", b"10" + sub("a", b"Caf\xe2e \x1b$1\x21\x30\x21\x1b(B"))], b"00000nam  2200000   4500",
     "gbk:Café 一", "marc8"),
    ("decomposed", [("200", b"1 " + sub("a", "Cafe\u0301 ".encode("utf-8") + "汉字".encode("utf-8")))],
     b"00000nam a2200000   450 ", "gbk:Café 汉字", "utf8"),
    ("nulindicator", [("200", b"\x00 " + sub("a", "汉字".encode("utf-8")))], b"00000nam a2200000   450 ", "refused", "utf8"),
    ("notgbk", [("200", b"1 " + sub("a", b"\xff\xfe\x80\x81"))], None, "refused", "gbk"),
]


GROUPS = ("gbk", "utf8", "marc8", "sru")


def marcxml(fields):
    """A MARCXML record from (tag, text) control fields and (tag, ind, [(code, text)])."""
    out = ['<record xmlns="http://www.loc.gov/MARC21/slim"><leader>00000nam a2200000   450 </leader>']
    for field in fields:
        if len(field) == 2:
            out.append('<controlfield tag="%s">%s</controlfield>' % (field[0], html.escape(field[1])))
        else:
            tag, ind, subs = field
            out.append('<datafield tag="%s" ind1="%s" ind2="%s">' % (tag, ind[0], ind[1]))
            out += ['<subfield code="%s">%s</subfield>' % (c, html.escape(t).replace("\r", "&#13;")
                                                          .replace("\n", "&#10;"))
                    for c, t in subs]
            out.append("</datafield>")
    return "".join(out) + "</record>"


HAN = "汉字书目数据"
# SRU records (MARCXML, UTF-8): what they become in GBK, or "refused".
SRU_CASES = [
    ("sru10004", [("300", "  ", [("a", "x")])] * 10004, "refused"),
    ("sruover99999utf8", [("330", "  ", [("a", HAN * 420)])] * 16, "fields:18"),
    ("sru3400", [("330", "  ", [("a", (HAN * 600)[:3400])])], "fields:3"),
    ("srucrlf", [("200", "1 ", [("a", "第一行\r\n第二行")])], "gbk:第一行  第二行"),
]


class SruStandIn:
    """An SRU server on loopback answering every searchRetrieve with the records whose ISBN
    the query names."""

    def __init__(self, records):
        stand_in = self
        self.records = records  # (isbn, MARCXML)

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                query = urllib.parse.parse_qs(urllib.parse.urlparse(self.path).query)
                cql = query.get("query", [""])[0]
                hits = [xml for isbn_, xml in stand_in.records if isbn_ in cql]
                body = ('<?xml version="1.0"?><searchRetrieveResponse xmlns="http://www.loc.gov/'
                        'zing/srw/"><version>1.1</version><numberOfRecords>%d</numberOfRecords>'
                        '<records>' % len(hits) + "".join(
                            "<record><recordSchema>marcxml</recordSchema><recordPacking>xml"
                            "</recordPacking><recordData>%s</recordData><recordPosition>%d"
                            "</recordPosition></record>" % (xml, n + 1)
                            for n, xml in enumerate(hits)) + "</records></searchRetrieveResponse>")
                data = body.encode("utf-8")
                self.send_response(200)
                self.send_header("Content-Type", "text/xml; charset=utf-8")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def case_record(i, name, fields, leader):
    head = [("001", ("C-%s" % name).encode()), ("010", b"  " + sub("a", isbn(i).encode()))]
    return raw_record(head + fields, leader or b"00000nam0 2200000   450 ")


class IntegrityTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="z39integrity.")
        for sub_folder in ("cfg", "work", "marc", "tmp"):
            os.makedirs(os.path.join(self.dir, sub_folder))
        self.records = [case_record(i, *case[:3]) for i, case in enumerate(CASES)]
        # One server per character set, as real servers keep one.
        self.servers, self.ports = [], {}
        self.sru_isbns = {name: isbn(100 + n) for n, (name, _, _) in enumerate(SRU_CASES)}
        self.sru = SruStandIn([(self.sru_isbns[name], marcxml(
            [("001", "C-" + name), ("010", "  ", [("a", self.sru_isbns[name])])] + fields))
            for name, fields, _ in SRU_CASES])
        for group in GROUPS[:-1]:
            path = os.path.join(self.dir, group + ".mrc")
            with open(path, "wb") as f:
                f.write(b"".join(r for r, c in zip(self.records, CASES) if c[4] == group))
            self.ports[group] = self.start_server(path)
        with open(os.path.join(self.dir, "cfg", "Z39.ini"), "wb") as f:
            f.write(("[系统参数]\r\nKSDEFAULT=0\r\nMARCPATH=%s/\r\n"
                     % os.path.join(self.dir, "marc")).encode(GBK))
        with open(os.path.join(self.dir, "work", "z39svr.cfg"), "wb") as f:
            f.write(b"{Test\n" + b"".join(b"[%s\n(Default,127.0.0.1,%d,0,,)\n]\n" % (g.encode(), self.ports[g])
                                          for g in GROUPS[:-1]) +
                    b"[sru\n(Default,http://127.0.0.1,%d,0,,)\n]\n}\n" % self.sru.port)
        self.list = os.path.join(self.dir, "list.txt")
        with open(self.list, "w") as f:
            f.write("".join(isbn(i) + "\n" for i in range(len(CASES))))
            f.write("".join(self.sru_isbns[name] + "\n" for name, _, _ in SRU_CASES))

    def serve_catalogue(self, db):
        """The catalogue server on `db`, answering on loopback; returns its TCP port."""
        port = xdesk.free_port_pair()
        self.servers.append(subprocess.Popen(
            [os.path.join(xdesk.BIN, "catalogue-server"), "serve", "--db", db, "--port",
             str(port), "--bind", "127.0.0.1"], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return port
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("catalogue-server did not start")

    def start_server(self, records):
        for _ in range(5):
            port = zebra.free_port()
            server = subprocess.Popen([SERVER, records, "-T", "tcp:127.0.0.1:%d" % port],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                      start_new_session=True)
            self.servers.append(server)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and server.poll() is None:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    return port
                except OSError:
                    time.sleep(0.05)
        raise RuntimeError("z39-record-server did not start")

    def tearDown(self):
        self.sru.stop()
        for server in self.servers:
            server.kill()
            server.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def env(self, **extra):
        env = dict(os.environ, Z39_CONFIG_DIR=os.path.join(self.dir, "cfg"),
                   TMPDIR=os.path.join(self.dir, "tmp"), LANG="C.UTF-8")
        env.update(extra)
        return env

    def batch(self, listing=None, env=None, wait=True):
        args = [os.path.join(xdesk.BIN, "z39batch"), listing or self.list, "--chain",
                ",".join(g + "/Default" for g in GROUPS), "--jobs", "2"]
        if not wait:
            return subprocess.Popen(args, cwd=os.path.join(self.dir, "work"), env=env or self.env(),
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return subprocess.run(args, cwd=os.path.join(self.dir, "work"), env=env or self.env(),
                              capture_output=True, timeout=120)

    def report(self, name="list"):
        with open(os.path.join(self.dir, "marc", name + ".report.csv"), "rb") as f:
            data = f.read()
        return {row[0]: row for row in csv.reader(io.StringIO(data[3:].decode("utf-8")))}

    def daily(self):
        out = b""
        for name in sorted(os.listdir(os.path.join(self.dir, "marc"))):
            if name.startswith("marc") and name.endswith(".txt"):
                with open(os.path.join(self.dir, "marc", name), "rb") as f:
                    out += f.read()
        return out

    def test_each_record_is_saved_as_served_or_refused_with_its_reason(self):
        r = self.batch()
        self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
        saved = strict_check(self.daily())
        by_id = {rec[rec.index(b"C-"):].split(b"\x1e")[0].decode(): rec for rec in saved}
        rows = self.report()
        for i, (name, _, _, expected, _) in enumerate(CASES):
            row = rows[isbn(i)]
            if expected == "refused":
                self.assertNotIn("C-" + name, by_id, name)
                self.assertIn(row[1], ("未通过检查", "连接失败"), (name, row))
                self.assertTrue(row[10], (name, row))  # the reason is given
                continue
            self.assertEqual(row[1], "已保存", (name, row))
            record = by_id["C-" + name]
            if expected == "same":
                self.assertEqual(record, self.records[i], name)
            else:
                title = expected.split(":", 1)[1]
                self.assertIn(b"\x1fa" + title.encode(GBK) + b"\x1e", record, name)
                self.assertEqual(record[9:10], b" ")  # leader/09 no longer says Unicode
        # SRU: converted field by field into GBK, never cut; refused whole when too large.
        for name, fields, expected in SRU_CASES:
            row = rows[self.sru_isbns[name]]
            if expected == "refused":
                self.assertNotIn("C-" + name, by_id)
                self.assertIn("99999", row[10], row)
                continue
            record = by_id["C-" + name]
            if expected.startswith("fields:"):
                self.assertEqual((int(record[12:17]) - 25) // 12, int(expected[7:]), name)
                self.assertIn((HAN * 2).encode(GBK), record)
            else:
                self.assertIn(b"\x1fa" + expected[4:].encode(GBK) + b"\x1e", record, name)

    def test_two_runs_of_one_list_and_two_lists_at_once_save_each_book_once(self):
        other = os.path.join(self.dir, "other.txt")
        with open(other, "w") as f:
            f.write("".join(isbn(i) + "\n" for i in reversed(range(len(CASES)))))
        runs = [self.batch(wait=False), self.batch(wait=False), self.batch(other, wait=False)]
        results = [(p.wait(timeout=120), p.stderr.read().decode()) for p in runs]
        for p in runs:
            p.stdout.close()
            p.stderr.close()
        codes = sorted(code for code, _ in results)
        # The same list twice: one of them is told the list is being worked on, unless the
        # first had ended before the second began.
        self.assertIn(codes, ([0, 0, 3], [0, 0, 0]), results)
        for code, err in results:
            if code == 3:
                self.assertIn("另一个批处理", err)
        saved = strict_check(self.daily())
        ids = [rec[rec.index(b"C-"):].split(b"\x1e")[0] for rec in saved]
        self.assertEqual(len(ids), len(set(ids)), ids)
        self.assertEqual(len(ids), sum(1 for c in CASES if c[3] != "refused") +
                         sum(1 for c in SRU_CASES if c[2] != "refused"))

    def saved_ids(self):
        """How often each record stands in the download folder's files, imported ones too."""
        counts = {}
        folder = os.path.join(self.dir, "marc")
        for name in os.listdir(folder):
            if not (name.startswith("marc") or name.startswith("imported")):
                continue
            with open(os.path.join(folder, name), "rb") as f:
                for rec in strict_check(f.read()):
                    key = rec[rec.index(b"C-"):].split(b"\x1e")[0].decode()
                    counts[key] = counts.get(key, 0) + 1
        return counts

    def test_a_damaged_journal_resumed_after_the_import_and_the_next_day_saves_nothing_twice(self):
        for next_day in (False, True):
            with self.subTest(next_day=next_day):
                for name in os.listdir(os.path.join(self.dir, "marc")):
                    os.remove(os.path.join(self.dir, "marc", name))
                r = self.batch()
                self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
                # The run stopped just before it ended (no "E" line) ...
                path = os.path.join(self.dir, "marc", "list.journal")
                with open(path, "rb") as f:
                    lines = f.read().split(b"\n")[:-1]
                self.assertTrue(lines[-1].startswith(b"E\t"))
                lines = lines[:-1]
                # ... a byte flipped in the middle: the Saved line of the third save.
                saved_lines = [i for i, line in enumerate(lines) if line.startswith(b"S\t")]
                victim = saved_lines[2]
                self.assertGreater(victim, 2)
                lines[victim] = lines[victim][:3] + bytes([lines[victim][3] ^ 1]) + lines[victim][4:]
                with open(path, "wb") as f:
                    f.write(b"\n".join(lines) + b"\n")
                # ... and the cataloguing system imported the daily file.
                daily = [n for n in os.listdir(os.path.join(self.dir, "marc"))
                         if n.startswith("marc") and n.endswith(".txt")]
                self.assertEqual(len(daily), 1)
                os.rename(os.path.join(self.dir, "marc", daily[0]),
                          os.path.join(self.dir, "marc", "imported-" + daily[0]))
                command = []
                if next_day:
                    tomorrow = time.strftime("%Y-%m-%d %H:%M:%S",
                                             time.localtime(time.time() + 86400))
                    command = ["faketime", tomorrow]
                env = self.env()
                # libfaketime comes in by LD_PRELOAD, ahead of AddressSanitizer's runtime
                # in a sanitizer build: let that be.
                env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") +
                                       ":verify_asan_link_order=0").lstrip(":")
                args = [os.path.join(xdesk.BIN, "z39batch"), self.list, "--chain",
                        ",".join(g + "/Default" for g in GROUPS)]
                r = subprocess.run(command + args, cwd=os.path.join(self.dir, "work"), env=env,
                                   capture_output=True, timeout=120)
                err = r.stderr.decode()
                self.assertEqual(r.returncode, 0, err[-2000:])
                self.assertIn("有1行已损坏", err)
                self.assertIn("第%d行" % (victim + 1), err)
                counts = self.saved_ids()
                self.assertEqual(sorted(counts.values()), [1] * len(counts), counts)
                self.assertEqual(len(counts), sum(1 for c in CASES if c[3] != "refused") +
                                 sum(1 for c in SRU_CASES if c[2] != "refused"))

    def test_a_shared_catalogue_record_with_line_breaks_is_saved_on_one_line(self):
        # A catalogue whose record holds CR LF, 0x1D and NUL inside fields (put there by
        # another program: our importer would not take it).
        record = raw_record([("001", b"C-kscrlf"), ("010", b"  " + sub("a", isbn(200).encode())),
                             ("200", b"1 " + sub("a", "第一行\r\n第二行".encode(GBK))),
                             ("330", b"  " + sub("a", b"a\x1db\x00c"))])
        db = os.path.join(self.dir, "ks.db")
        subprocess.run([os.path.join(xdesk.BIN, "catalogue-server"), "init", "--db", db],
                       check=True, capture_output=True)
        import sqlite3
        with sqlite3.connect(db) as c:
            # The server's own function for its case-blind title index; "x" has no case.
            c.create_function("gbk_upper", 1, lambda text: text, deterministic=True)
            c.execute("INSERT INTO records (record, ma_isbn, ma_name, ma_namepy) "
                      "VALUES (?, ?, ?, ?)", (record, isbn(200), "x", "x"))
        port = self.serve_catalogue(db)
        with open(os.path.join(self.dir, "cfg", "Z39.ini"), "wb") as f:
            f.write(("[系统参数]\r\nKSIP=127.0.0.1\r\nKSPORT=%d\r\nKSDEFAULT=1\r\nMARCPATH=%s/\r\n"
                     % (port, os.path.join(self.dir, "marc"))).encode(GBK))
        with open(self.list, "w") as f:
            f.write(isbn(200) + "\n")
        r = subprocess.run([os.path.join(xdesk.BIN, "z39batch"), self.list, "--chain", "ks_lib"],
                           cwd=os.path.join(self.dir, "work"), env=self.env(), capture_output=True,
                           timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
        saved = strict_check(self.daily())
        self.assertEqual(len(saved), 1, self.daily())
        self.assertEqual(len(saved[0]), len(record))  # the same bytes, the breaks blanked
        self.assertIn(b"\x1fa" + "第一行  第二行".encode(GBK) + b"\x1e", saved[0])
        self.assertIn(b"\x1faa b c\x1e", saved[0])

    def test_the_shared_catalogues_host_is_discovered_once_per_run(self):
        # KSPORT "-P": the host comes from /hosts.txt at KSIP, which counts its requests.
        db = os.path.join(self.dir, "demo.db")
        subprocess.run([os.path.join(xdesk.BIN, "catalogue-server"), "demo", "--db", db,
                        "--records", "40"], check=True, capture_output=True)
        import sqlite3
        with sqlite3.connect(db) as c:
            isbns = [row[0] for row in c.execute("SELECT ma_isbn FROM records LIMIT 24")]
        port = self.serve_catalogue(db)
        hosts = bf.HostsTxt()
        self.addCleanup(hosts.stop)
        with open(os.path.join(self.dir, "cfg", "Z39.ini"), "wb") as f:
            f.write(("[系统参数]\r\nKSIP=127.0.0.1:%d\r\nKSPORT=-%d\r\nKSDEFAULT=1\r\n"
                     "MARCPATH=%s/\r\n" % (hosts.port, port,
                                           os.path.join(self.dir, "marc"))).encode(GBK))
        with open(self.list, "w") as f:
            f.write("".join(i + "\n" for i in isbns))
        r = subprocess.run([os.path.join(xdesk.BIN, "z39batch"), self.list, "--chain", "ks_lib",
                            "--jobs", "8"], cwd=os.path.join(self.dir, "work"), env=self.env(),
                           capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
        rows = self.report()
        self.assertEqual(sum(1 for isbn_ in isbns if rows[isbn_][1] == "已保存"), len(isbns), rows)
        self.assertEqual(hosts.asked, ["/hosts.txt"])

    def test_a_book_saved_under_a_qualified_isbn_is_not_saved_again(self):
        # Today's daily file holds book 0 (the GBK server's) under "ISBN (pbk.)" and book 1
        # under a hyphenated ISBN-10 with a note in Chinese.
        book0 = raw_record([("001", b"earlier-0"),
                            ("010", b"  " + sub("a", (isbn(0) + " (pbk.)").encode()))])
        b1 = isbn(1)
        ten = b1[3:12]
        check = (11 - sum(int(c) * (10 - n) for n, c in enumerate(ten)) % 11) % 11
        hyphenated = "%s-%s-%s-%s" % (ten[0], ten[1:5], ten[5:9], "X" if check == 10 else check)
        book1 = raw_record([("001", b"earlier-1"),
                            ("020", b"  " + sub("a", hyphenated.encode() + "（精装）".encode(GBK)))])
        daily = os.path.join(self.dir, "marc", time.strftime("marc%Y%m%d.txt"))
        with open(daily, "wb") as f:
            f.write(book0 + b"\r\n" + book1 + b"\r\n")
        self.z39_only()
        r = self.batch()
        self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
        rows = self.report()
        self.assertEqual(rows[isbn(0)][1], "已保存过", rows[isbn(0)])
        self.assertEqual(rows[isbn(0)][9], "1")
        self.assertEqual(rows[isbn(1)][1], "已保存过", rows[isbn(1)])
        self.assertEqual(rows[isbn(1)][9], "2")
        with open(daily, "rb") as f:
            saved = strict_check(f.read())
        self.assertNotIn(b"C-leader4500", b"".join(saved))
        self.assertNotIn(b"C-marc21", b"".join(saved))

    def z39_only(self):
        """The list without the SRU target's books (which need no external client)."""
        with open(self.list, "w") as f:
            f.write("".join(isbn(i) + "\n" for i in range(len(CASES))))

    def test_a_full_temporary_folder_fails_rows_with_the_reason_and_ends_the_run(self):
        self.z39_only()
        tmp = os.path.join(self.dir, "tmp")
        probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("no mount namespace here: %s" % probe.stderr.decode())
        # A tmpfs of its own for TMPDIR, filled up before the run starts.
        script = ('mount -t tmpfs -o size=64k tmpfs "$TMPDIR" && '
                  'dd if=/dev/zero of="$TMPDIR/fill" bs=4k count=100 2>/dev/null; '
                  'exec "$@"')
        args = [os.path.join(xdesk.BIN, "z39batch"), self.list, "--chain",
                ",".join(g + "/Default" for g in GROUPS)]
        r = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh"] + args,
                           cwd=os.path.join(self.dir, "work"), env=self.env(TMPDIR=tmp),
                           capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
        rows = self.report()
        for i in range(len(CASES)):
            self.assertEqual(rows[isbn(i)][1], "连接失败", rows[isbn(i)])
            self.assertIn("_zinit.~", rows[isbn(i)][10])
        self.assertEqual(self.daily(), b"")

    def test_a_client_that_writes_garbage_fails_its_rows_without_aborting(self):
        self.z39_only()
        garbage = os.path.join(self.dir, "garbage-yazc")
        with open(garbage, "w") as f:
            f.write("#!/bin/sh\ncat > /dev/null\nwhile [ $# -gt 0 ]; do [ \"$1\" = -m ] && "
                    "printf 'not a hit count\\n\\377\\376garbage\\n' > \"$2\"; shift; done\n"
                    "echo 'Connecting...OK'\nexit 0\n")
        os.chmod(garbage, 0o755)
        r = self.batch(env=self.env(Z39_YAZC=garbage))
        self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
        rows = self.report()
        for i in range(len(CASES)):
            self.assertEqual(rows[isbn(i)][1], "连接失败", rows[isbn(i)])
            self.assertTrue(rows[isbn(i)][10], rows[isbn(i)])
        self.assertEqual(self.daily(), b"")

    def test_a_client_that_crashes_hangs_or_is_missing_fails_its_rows_with_the_cause(self):
        self.z39_only()
        clients = {
            "crashes": "#!/bin/sh\ncat > /dev/null\nkill -SEGV $$\n",
            # Waits for ever; the run's clock goes 100 times as fast (libfaketime), so the
            # two-minute limit passes in about a second.
            "hangs": "#!/bin/sh\nexec tail -f /dev/null\n",
        }
        for name in ("crashes", "hangs", "missing"):
            with self.subTest(client=name):
                for old in os.listdir(os.path.join(self.dir, "marc")):
                    if old.startswith("list."):
                        os.unlink(os.path.join(self.dir, "marc", old))
                path = os.path.join(self.dir, name + "-yazc")
                if name in clients:
                    with open(path, "w") as f:
                        f.write(clients[name])
                    os.chmod(path, 0o755)
                env = self.env(Z39_YAZC=path)
                command = [os.path.join(xdesk.BIN, "z39batch"), self.list, "--chain",
                           "gbk/Default", "--jobs", "2"]
                if name == "hangs":
                    command = ["faketime", "-f", "+0 x100"] + command
                    env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") +
                                           ":verify_asan_link_order=0").lstrip(":")
                started = time.monotonic()
                r = subprocess.run(command, cwd=os.path.join(self.dir, "work"), env=env,
                                   capture_output=True, timeout=120)
                err = r.stderr.decode()
                self.assertEqual(r.returncode, 0, err[-2000:])
                self.assertNotIn("terminate", err)
                rows = self.report()
                for i in range(len(CASES)):
                    row = rows[isbn(i)]
                    self.assertEqual(row[1], "连接失败", row)
                    self.assertTrue(row[10], row)  # the cause, in the reason column
                    if name == "missing":
                        self.assertIn("运行程序失败", row[10], row)
                    if name == "hangs":
                        self.assertIn("没有在限定时间内应答", row[10], row)
                    if name == "crashes":
                        self.assertIn("检索程序异常结束", row[10], row)
                print("%s: %.1f s" % (name, time.monotonic() - started), file=sys.stderr)
        self.assertEqual(self.daily(), b"")

if __name__ == "__main__":
    unittest.main()
