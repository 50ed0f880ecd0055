"""z39probe against real servers on loopback: yaz-ztest, Zebras in GBK and UTF-8, one that
gives only UNIMARC, one that indexes no ISBN, one that wants a password, Zebra over SRU, the
catalogue server found through /hosts.txt, the OPAC stand-in, a port that refuses and one
that accepts and never answers.

Run: python3 probe_test.py
"""

import csv
import io
import os
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

DEADLINE = 8  # seconds: the silent port takes this long


def book_records():
    return [bf.book(i) for i in range(5)]


class ProbeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="z39probe.")
        cls.procs = []
        cls.zebras = []
        try:
            cls._start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def _zebra(cls, name, **kw):
        z = zebra.Zebra(os.path.join(cls.dir, name), book_records(), **kw)
        cls.zebras.append(z)
        return z.port

    @classmethod
    def _start(cls):
        for sub in ("cfg", "work", "marc", "tmp"):
            os.makedirs(os.path.join(cls.dir, sub))
        ports = {
            "gbk": cls._zebra("gbk"),
            "utf8": cls._zebra("utf8", encoding="utf-8"),
            "unimarc": cls._zebra("unimarc", sru=True, syntaxes=("unimarc",)),
            "noisbn": cls._zebra("noisbn", index_isbn=False),
            "locked": cls._zebra("locked", passwd=("cat", "secret")),
            "sru": cls._zebra("sru", encoding="utf-8", sru=True),
        }
        ports["ztest"] = zebra.free_port()
        cls.procs.append(subprocess.Popen(
            ["yaz-ztest", "tcp:127.0.0.1:%d" % ports["ztest"]], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True))
        # A port that refuses (nothing listens) and one that accepts and never answers.
        ports["refusing"] = zebra.free_port()
        cls.silent = socket.socket()
        cls.silent.bind(("127.0.0.1", 0))
        cls.silent.listen(64)
        ports["silent"] = cls.silent.getsockname()[1]
        # The catalogue server, its host told by /hosts.txt.
        db = os.path.join(cls.dir, "catalogue.db")
        subprocess.run([os.path.join(xdesk.BIN, "catalogue-server"), "demo", "--db", db,
                        "--records", "30"], check=True, capture_output=True, timeout=120)
        ks = xdesk.free_port_pair()
        out = open(os.path.join(cls.dir, "server.out"), "wb")
        cls.procs.append(subprocess.Popen(
            [os.path.join(xdesk.BIN, "catalogue-server"), "serve", "--db", db, "--port", str(ks)],
            stdout=out, stderr=subprocess.DEVNULL, start_new_session=True))
        xdesk.wait_until(lambda: b"listening" in open(os.path.join(cls.dir, "server.out"),
                                                      "rb").read(), 10, "catalogue-server")

        cls.hosts = bf.HostsTxt()
        cls.opac = bf.OpacStandIn({bf.isbn13(i): [bf.book(i)] for i in range(5)})
        settings = ("[系统参数]\r\nKSIP=127.0.0.1:%d\r\nKSPORT=-%d\r\nKSDEFAULT=1\r\n"
                    "MARCPATH=%s/\r\nOPACURL=%s\r\n"
                    % (cls.hosts.port, ks, os.path.join(cls.dir, "marc"),
                       cls.opac.base()))
        with open(os.path.join(cls.dir, "cfg", "Z39.ini"), "wb") as f:
            f.write(settings.encode("gbk"))
        # Comments, blank lines and odd spacing: --write must leave them as they are.
        cls.target_list = (
            "//数据库名称，地址，端口，授权方式，用户名称，用户密码\r\n"
            "// 测试用的服务器\r\n"
            "{测试\r\n"
            "    [ztest\r\n        (Default,127.0.0.1,%(ztest)d,0,,)\r\n    ]\r\n"
            "    [zebra-gbk\r\n        (Default,127.0.0.1,%(gbk)d,0,,)\r\n    ]\r\n"
            "    [zebra-utf8\r\n        (Default,127.0.0.1,%(utf8)d,0,,)\r\n    ]\r\n"
            "    [zebra-unimarc\r\n        (Default,127.0.0.1,%(unimarc)d,0,,)\r\n    ]\r\n"
            "    [zebra-noisbn\r\n        (Default,127.0.0.1,%(noisbn)d,0,,)\r\n    ]\r\n"
            "    [zebra-locked\r\n        (Default,127.0.0.1,%(locked)d,0,,)\r\n    ]\r\n"
            "    [zebra-sru\r\n        (Default,http://127.0.0.1,%(sru)d,0,,)\r\n    ]\r\n"
            "    [zebra-unimarc-sru\r\n        (Default,http://127.0.0.1,%(unimarc)d,0,,)\r\n    ]\r\n"
            "    [refusing\r\n        (Default,127.0.0.1,%(refusing)d,0,,)\r\n    ]\r\n"
            "    [silent\r\n        (Default,127.0.0.1,%(silent)d,0,,)\r\n    ]\r\n"
            "}\r\n\r\n"
            "// 国家图书馆\r\n"
            "{国家图书馆\r\n    [nlc\r\n        (opac,www.nlc.cn,80,0,,)\r\n    ]\r\n}\r\n"
            % ports).encode("gbk")
        cls.cfg = os.path.join(cls.dir, "cfg", "z39svr.cfg")
        with open(cls.cfg, "wb") as f:
            f.write(cls.target_list)
        cls.ports = ports

    @classmethod
    def tearDownClass(cls):
        for p in cls.procs:
            if p.poll() is None:
                p.terminate()
                p.wait(timeout=10)
        for z in cls.zebras:
            z.stop()
        for name in ("hosts", "opac"):
            server = getattr(cls, name, None)
            if server is not None:
                server.stop()
        if getattr(cls, "silent", None):
            cls.silent.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def env(self):
        env = dict(os.environ)
        env.update({"Z39_CONFIG_DIR": os.path.join(self.dir, "cfg"),
                    "TMPDIR": os.path.join(self.dir, "tmp"), "LANG": "C.UTF-8"})
        return env

    def probe(self, *args):
        started = time.monotonic()
        r = subprocess.run([os.path.join(xdesk.BIN, "z39probe"), "--deadline", str(DEADLINE)] +
                           list(args), cwd=os.path.join(self.dir, "work"), env=self.env(),
                           capture_output=True, timeout=120)
        seconds = time.monotonic() - started
        rows = list(csv.DictReader(io.StringIO(r.stdout.decode("utf-8"))))
        return r, {row["target"]: row for row in rows}, seconds

    def test_every_kind_of_target_is_reported_as_it_is(self):
        r, rows, seconds = self.probe()
        said = r.stderr.decode("utf-8", "replace")
        if os.environ.get("Z39_PROBE_SHOW"):
            print(said, r.stdout.decode(), "%.1f s" % seconds)
        self.assertEqual(r.returncode, 1, said)  # some targets do not answer
        # One line per target on standard error, one row each in the report.
        self.assertEqual(len(rows), 12, rows.keys())
        self.assertEqual(len([line for line in said.splitlines() if ": " in line]), 12, said)

        def row(name):
            return rows[name]

        for name in ("ks_lib", "ztest/Default", "zebra-gbk/Default", "zebra-utf8/Default",
                     "zebra-unimarc/Default", "zebra-noisbn/Default", "zebra-sru/Default",
                     "zebra-unimarc-sru/Default", "opac"):
            self.assertEqual(row(name)["reachable"], "yes", row(name))
            self.assertEqual(row(name)["failure"], "", row(name))
            self.assertTrue(row(name)["search_ms"], row(name))
        # The shared catalogue's host came from /hosts.txt and was connected to.
        self.assertTrue(row("ks_lib")["connect_ms"], row("ks_lib"))
        self.assertEqual(row("ks_lib")["fields"], "题名 ISBN")
        every = "ISBN ISSN 题名 著者 出版者 出版日期"
        gbk = row("zebra-gbk/Default")
        self.assertEqual((gbk["record_charset"], gbk["query_charset"]), ("GBK", "GBK"))
        self.assertEqual(gbk["syntaxes"], "USMARC")
        self.assertEqual(gbk["suggested_options"], "charset=GBK")
        utf8 = row("zebra-utf8/Default")
        self.assertEqual((utf8["record_charset"], utf8["query_charset"]), ("UTF-8", "UTF-8"))
        self.assertEqual(utf8["suggested_options"], "charset=UTF-8")
        unimarc = row("zebra-unimarc/Default")
        self.assertEqual(unimarc["syntaxes"], "UNIMARC")
        self.assertIn("format=UNIMARC", unimarc["suggested_options"])
        noisbn = row("zebra-noisbn/Default")
        self.assertNotIn("ISBN", noisbn["fields"].split())
        self.assertIn("题名", noisbn["fields"].split())
        self.assertEqual(row("ztest/Default")["fields"], every)
        locked = row("zebra-locked/Default")
        self.assertEqual((locked["reachable"], locked["authentication_needed"]), ("yes", "yes"))
        self.assertIn("用户名和密码", locked["failure"])
        sru = row("zebra-sru/Default")
        self.assertEqual(sru["syntaxes"], "MARCXML")
        self.assertIn("ISBN", sru["fields"].split())
        self.assertIn("题名", sru["fields"].split())
        refusing = row("refusing/Default")
        self.assertEqual(refusing["reachable"], "no")
        self.assertIn("拒绝", refusing["failure"])
        silent = row("silent/Default")
        self.assertIn("限定时间", silent["failure"])
        # All at once: the silent port's deadline bounds the whole list.
        self.assertLess(seconds, DEADLINE * 1.5, said)

    def test_write_adds_the_options_and_leaves_every_other_line(self):
        with open(self.cfg, "wb") as f:
            f.write(self.target_list)
        r, rows, _ = self.probe("zebra-utf8/Default", "zebra-unimarc/Default", "--write")
        self.assertEqual(r.returncode, 0, r.stderr.decode("utf-8", "replace"))
        with open(self.cfg, "rb") as f:
            after = f.read().split(b"\r\n")
        before = self.target_list.split(b"\r\n")
        self.assertEqual(len(after), len(before))
        changed = [(b, a) for b, a in zip(before, after) if a != b]
        self.assertEqual(len(changed), 2, changed)
        utf8_line = ("        (Default,127.0.0.1,%d,0,,)" % self.ports["utf8"]).encode()
        unimarc_line = ("        (Default,127.0.0.1,%d,0,,)" % self.ports["unimarc"]).encode()
        self.assertIn((utf8_line, utf8_line + b" charset=UTF-8"), changed)
        self.assertTrue(any(b == unimarc_line and a.startswith(unimarc_line + b" ") and
                            b"format=UNIMARC" in a for b, a in changed), changed)

        # Searched afterwards, neither server sees a failed try: the UNIMARC one is asked
        # for UNIMARC at once (z39batch), the UTF-8 one gets a Chinese title in UTF-8 at
        # once (the client, in a run that has learned nothing).
        logs = {name: self.log_size(name) for name in ("unimarc", "utf8")}
        listed = os.path.join(self.dir, "one.txt")
        with open(listed, "w") as f:
            f.write(bf.isbn13(1) + "\n")
        batch = subprocess.run([os.path.join(xdesk.BIN, "z39batch"), listed, "--chain",
                                "zebra-unimarc/Default"], cwd=os.path.join(self.dir, "work"),
                               env=self.env(), capture_output=True, timeout=120)
        self.assertEqual(batch.returncode, 0, batch.stderr.decode("utf-8", "replace"))
        self.assertIn("已保存", batch.stdout.decode("utf-8"))
        d = xdesk.Desk(records=5)
        self.addCleanup(d.close)
        d.write_settings("LASTDATABASE=8\r\n", ks_default=0)  # 测试/zebra-utf8/Default
        shutil.copy(self.cfg, d.path("work", "z39svr.cfg"))
        client = d.client()
        d.frame()
        d.search_title("批量图书")
        d.wait_listed(client, 5)
        for name, start in logs.items():
            requests = self.log_requests(name, start)
            self.assertTrue(any("Search Default OK" in line for line in requests), requests)
            self.assertFalse([line for line in requests if "ERROR" in line], requests)

    def zebra_of(self, name):
        return {"gbk": 0, "utf8": 1, "unimarc": 2}[name]

    def log_size(self, name):
        return os.path.getsize(self.zebras[self.zebra_of(name)].log)

    def log_requests(self, name, start):
        with open(self.zebras[self.zebra_of(name)].log, "rb") as f:
            f.seek(start)
            return [line for line in f.read().decode("utf-8", "replace").splitlines()
                    if "[request]" in line]

    def test_the_target_editors_test_fills_the_charset_from_its_findings(self):
        """Under Xvfb: 参数配置, 设置Z39.50服务器参数, 测试 on the UTF-8 Zebra's entry, the
        findings, 采用建议, 确认: the entry keeps charset=UTF-8."""
        d = xdesk.Desk(records=5)
        self.addCleanup(d.close)
        cfg = d.path("work", "z39svr.cfg")
        with open(cfg, "wb") as f:
            f.write(("{测试\r\n[zebra-utf8\r\n(Default,127.0.0.1,%d,0,,)\r\n]\r\n}\r\n"
                     % self.ports["utf8"]).encode("gbk"))
        client = d.client()
        d.frame()
        d.click_in_frame(xdesk.TOOLBAR["settings"])
        d.click_in_frame((392, 400))  # 设置Z39.50服务器参数
        editor = xdesk.wait_until(
            lambda: (d.windows("^Z39.50服务器参数配置$") or [None])[0], 10, "the target editor")

        def corner(wid):
            g = {}
            for line in d.xdotool("getwindowgeometry", "--shell", wid).splitlines():
                key, _, value = line.partition("=")
                g[key] = int(value) if value.isdigit() else value
            return g["X"], g["Y"]

        ex, ey = corner(editor)
        d.click(ex + 300, ey + 425)  # 测试
        box = xdesk.wait_until(lambda: (d.windows("^测试结果$") or [None])[0], 30,
                               "the findings")
        shots = os.environ.get("Z39_DESK_SHOTS")
        if shots:
            d.screenshot(os.path.join(shots, "editor-test-findings.png"))
        self.assertTrue(box)
        d.dismiss_notice(title="测试结果")  # Enter: 采用建议, the default
        d.settle()
        if shots:
            d.screenshot(os.path.join(shots, "editor-test-taken.png"))
        d.xdotool("windowfocus", "--sync", editor)
        d.key("space")  # 确认 has the focus
        xdesk.wait_until(lambda: b" charset=UTF-8" in open(cfg, "rb").read(), 10,
                         "charset=UTF-8 in the list")
        self.assertIsNone(client.poll())


if __name__ == "__main__":
    unittest.main()
