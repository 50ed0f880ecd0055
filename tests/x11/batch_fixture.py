"""Four real servers on loopback for batch searches, each holding a known part of 200 books:
the catalogue server, Zebra with GBK records, Zebra with the same records in UTF-8, and a
stand-in for the national library's web OPAC. Also the list of ISBNs a delivery brings."""

import html
import os
import re
import subprocess
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import xdesk
import zebra

BOOKS = 200


def isbn13(i):
    body = "97875366%04d" % (1000 + i)
    total = sum(int(c) * (3 if n % 2 else 1) for n, c in enumerate(body))
    return body + str((10 - total % 10) % 10)


def isbn10(i):
    body = isbn13(i)[3:12]
    total = sum(int(c) * (10 - n) for n, c in enumerate(body))
    check = (11 - total % 11) % 11
    return body + ("X" if check == 10 else str(check))


def hyphenated13(i):
    s = isbn13(i)
    return "%s-%s-%s-%s-%s" % (s[:3], s[3], s[4:8], s[8:12], s[12])


def book(i, edition=1, isbn_form=None):
    """Book i as a GBK CNMARC record; `isbn_form` is how its 010 $a writes the ISBN."""
    return zebra.marc_record([
        ("001", "B%04d-%d" % (i, edition)),
        ("010", "  ", [("a", isbn_form or isbn13(i)), ("d", "CNY%d.00" % (10 + i % 50))]),
        ("100", "  ", [("a", "20240101d2020    em y0chiy50      ea")]),
        ("200", "1 ", [("a", "批量图书 %d" % i + ("（第%d版）" % edition if edition > 1 else "")),
                       ("f", "作者%d著" % i)]),
        ("210", "  ", [("a", "北京"), ("c", "测试出版社"), ("d", "2020")]),
        ("701", " 0", [("a", "作者%d" % i)]),
    ])


# The targets as the tree names them: both Zebras call their database "Default".
GBK = "zebra-gbk/Default"
UTF8 = "zebra-utf8/Default"
CHAIN = ",".join(["ks_lib", GBK, UTF8, "opac"])

# Who holds what. The chain is catalogue, Zebra GBK, Zebra UTF-8, OPAC: the first with hits
# decides.
CATALOGUE = range(0, 50)
ZEBRA_GBK = range(40, 100)     # 40..49 are in the catalogue as well
ZEBRA_UTF8 = range(90, 150)    # 90..99 in Zebra GBK as well
OPAC = range(140, 180)         # 140..149 in Zebra UTF-8 as well
SEVERAL = (60, 61)             # Zebra GBK holds a second edition of these
NOWHERE = range(180, BOOKS)


def expected_target(i):
    for name, held in (("ks_lib", CATALOGUE), (GBK, ZEBRA_GBK), (UTF8, ZEBRA_UTF8),
                       ("opac", OPAC)):
        if i in held:
            return name
    return ""


def delivery_list():
    """The list as a vendor sends it: a heading, CSV lines, ISBN-10s, hyphens, a small x,
    comments, invalid ISBNs and books listed twice. Returns (text, the books in list order,
    the invalid entries)."""
    lines = ["# delivery 2026-12-09", "ISBN,书名,定价"]
    order = []
    for i in range(BOOKS):
        if i % 5 == 0 and isbn13(i).startswith("978"):
            form = isbn10(i).lower()
        elif i % 5 == 1:
            form = hyphenated13(i)
        else:
            form = isbn13(i)
        if i % 3 == 0:
            lines.append('"%s","批量图书 %d",%d.00' % (form, i, 10 + i % 50))
        else:
            lines.append(form)
        order.append(i)
        if i in (7, 77, 177):
            lines.append("978-7-5366-0000-0")  # a wrong check digit
        if i in (10, 20, 30, 40, 150):
            lines.append(isbn13(i - 9))  # listed before
    return "\r\n".join(lines) + "\r\n", order


class HostsTxt:
    """The site KSIP names, on loopback: /hosts.txt answers `address`; `asked` lists the
    paths requested."""

    def __init__(self, address=b"127.0.0.1"):
        asked = self.asked = []

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                asked.append(self.path)
                self.send_response(200)
                self.send_header("Content-Length", str(len(address)))
                self.end_headers()
                self.wfile.write(address)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    @property
    def port(self):
        return self.server.server_address[1]

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class OpacStandIn:
    """The web OPAC's three steps on loopback: the start page with form1, find-m by ISBN
    with the set number and hit count, and each full record page of a set."""

    def __init__(self, records_by_isbn, keep_alive=False):
        stand_in = self

        class Handler(BaseHTTPRequestHandler):
            # HTTP/1.1 keeps a connection open when the request asks (HTTP/1.0 closes it).
            protocol_version = "HTTP/1.1" if keep_alive else "HTTP/1.0"
            # The head and the body leave in one write, as a web server's would, not the body
            # a delayed acknowledgement later.
            disable_nagle_algorithm = True
            wbufsize = 1 << 16

            def log_message(self, *args):
                pass

            def do_GET(self):
                if stand_in.delay:
                    time.sleep(stand_in.delay)
                url = urllib.parse.urlparse(self.path)
                q = urllib.parse.parse_qs(url.query)
                if url.path == "/F":
                    # The form names the address the client came to (a proxy's, say).
                    body = ('<html><form name="form1" method=GET action="http://%s/F/S1">\n'
                            '</form>' % self.headers.get("Host", stand_in.base()[7:-2]))
                elif q.get("func") == ["find-m"]:
                    isbn = q.get("request", [""])[0]
                    hits = stand_in.records.get(isbn, [])
                    body = "<html><!-- SET-NUMBER:%06d -->" % (len(stand_in.sets) + 1)
                    stand_in.sets.append(hits)
                    body += "<td>第         1 条记录(共 %d 条)</td></html>" % len(hits)
                else:
                    number = int(q.get("set_number", ["0"])[0])
                    entry = int(q.get("set_entry", ["0"])[0])
                    hits = stand_in.sets[number - 1] if 0 < number <= len(stand_in.sets) else []
                    body = aleph_page(hits[entry - 1]) if 0 < entry <= len(hits) else ""
                data = body.encode("utf-8")
                try:
                    self.send_response(200)
                    self.send_header("Content-Type", "text/html; charset=UTF-8")
                    self.send_header("Content-Length", str(len(data)))
                    self.end_headers()
                    self.wfile.write(data)
                except OSError:
                    pass  # the client gave up (a cancelled batch)

        self.records = records_by_isbn
        self.sets = []
        self.delay = 0.0  # seconds before each answer: a far server
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def base(self):
        return "http://127.0.0.1:%d/F" % self.server.server_address[1]

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def opac_search(bin_dir, folder, base):
    """The real z39batch on one ISBN (book 0) through the web OPAC at `base`, in `folder`:
    the seconds taken and the folder it wrote to."""
    for sub in ("cfg", "work", "marc", "tmp"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
    with open(os.path.join(folder, "cfg", "Z39.ini"), "wb") as f:
        f.write(("[系统参数]\r\nKSDEFAULT=0\r\nMARCPATH=%s/\r\nOPACURL=%s\r\n"
                 % (os.path.join(folder, "marc"), base)).encode("gbk"))
    with open(os.path.join(folder, "work", "z39svr.cfg"), "wb") as f:
        f.write("{国家图书馆\n[nlc\n(opac,www.nlc.cn,80,0,,)\n]\n}\n".encode("gbk"))
    listing = os.path.join(folder, "list.txt")
    with open(listing, "w") as f:
        f.write(isbn13(0) + "\n")
    env = dict(os.environ, Z39_CONFIG_DIR=os.path.join(folder, "cfg"),
               TMPDIR=os.path.join(folder, "tmp"), LANG="C.UTF-8")
    out = os.path.join(folder, "out-%d" % time.monotonic_ns())
    os.makedirs(out)
    started = time.monotonic()
    subprocess.run([os.path.join(bin_dir, "z39batch"), listing, "--chain", "opac", "--out", out],
                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True,
                   timeout=60, cwd=os.path.join(folder, "work"))
    return time.monotonic() - started, out


def fields_of(record):
    base = int(record[12:17])
    out = []
    for at in range(24, base - 1, 12):
        tag = record[at:at + 3].decode()
        length, start = int(record[at + 3:at + 7]), int(record[at + 7:at + 12])
        out.append((tag, record[base + start:base + start + length - 1]))
    return out


def aleph_page(record):
    """A GBK record as an Aleph full-record page in UTF-8."""
    page = ("<html><table>\n<!-- filename: full-000-body -->\n"
            "<tr><td class=td1 id=bold nowrap>FMT</td><td class=td1>BK</td></tr>\n")
    for tag, data in fields_of(record):
        text = data.decode("gbk")
        if tag < "010":
            label, value = tag, text
        else:
            label = tag + text[:2]
            value = "".join(" |%s&nbsp;%s" % (part[0], html.escape(part[1:]))
                            for part in text[2:].split("\x1f") if part)
        page += ("<!-- filename: full-000-body -->\n<tr>\n<td class=td1 id=bold valign=top "
                 "nowrap>%s</td>\n<td class=td1>%s</td>\n</tr>\n" % (label, value))
    return page + "</table></html>"


class Servers:
    """The four servers and a folder with Z39.ini and z39svr.cfg naming them."""

    def __init__(self, folder):
        self.folder = folder
        self.procs = []
        for sub in ("cfg", "work", "marc", "tmp"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        self.records = {i: book(i) for i in range(BOOKS)}
        catalogue = os.path.join(folder, "catalogue.iso")
        with open(catalogue, "wb") as f:
            f.write(b"".join(self.records[i] for i in CATALOGUE))
        self.db = os.path.join(folder, "catalogue.db")
        bin_dir = xdesk.BIN
        subprocess.run([os.path.join(bin_dir, "catalogue-server"), "import", "--db", self.db,
                        catalogue], check=True, stdout=subprocess.DEVNULL, timeout=60)
        self.port = xdesk.free_port_pair()
        out = open(os.path.join(folder, "server.out"), "wb")
        self.procs.append(subprocess.Popen(
            [os.path.join(bin_dir, "catalogue-server"), "serve", "--db", self.db, "--port",
             str(self.port)], stdout=out, stderr=subprocess.DEVNULL, start_new_session=True))
        xdesk.wait_until(lambda: b"listening" in open(os.path.join(folder, "server.out"),
                                                      "rb").read(), 10, "catalogue-server")
        # Zebra GBK writes the ISBN as the scanner reads it, Zebra UTF-8 as ISBN-10 (older
        # records), so both need the ISBN forms.
        gbk = [self.records[i] for i in ZEBRA_GBK] + [book(i, 2) for i in SEVERAL]
        self.zebra_gbk = zebra.Zebra(os.path.join(folder, "zebra-gbk"), gbk)
        self.utf8_source = {i: book(i, isbn_form=isbn10(i)[:1] + "-" + isbn10(i)[1:5] + "-" +
                                    isbn10(i)[5:9] + "-" + isbn10(i)[9]) for i in ZEBRA_UTF8}
        self.zebra_utf8 = zebra.Zebra(os.path.join(folder, "zebra-utf8"),
                                      [self.utf8_source[i] for i in ZEBRA_UTF8], "utf-8")
        self.opac = OpacStandIn({isbn13(i): [self.records[i]] for i in OPAC})
        settings = ("[系统参数]\r\nKSIP=127.0.0.1\r\nKSPORT=%d\r\nKSDEFAULT=1\r\nMARCPATH=%s/\r\n"
                    "OPACURL=%s\r\n" % (self.port, os.path.join(folder, "marc"),
                                        self.opac.base()))
        with open(os.path.join(folder, "cfg", "Z39.ini"), "wb") as f:
            f.write(settings.encode("gbk"))
        targets = ("{Test\n[zebra-gbk\n(Default,127.0.0.1,%d,0,,)\n]\n[zebra-utf8\n"
                   "(Default,127.0.0.1,%d,0,,)\n]\n}\n{国家图书馆\n[nlc\n"
                   "(opac,www.nlc.cn,80,0,,)\n]\n}\n" % (self.zebra_gbk.port, self.zebra_utf8.port))
        with open(os.path.join(folder, "work", "z39svr.cfg"), "wb") as f:
            f.write(targets.encode("gbk"))

    def env(self):
        env = dict(os.environ)
        env.update({"Z39_CONFIG_DIR": os.path.join(self.folder, "cfg"),
                    "TMPDIR": os.path.join(self.folder, "tmp"), "LANG": "C.UTF-8"})
        return env

    def stop(self):
        for p in self.procs:
            if p.poll() is None:
                p.terminate()
                p.wait(timeout=10)
        self.zebra_gbk.stop()
        self.zebra_utf8.stop()
        self.opac.stop()


def daily_records(folder):
    """The records of the daily files in `folder`, in order."""
    out = []
    for name in sorted(os.listdir(folder)):
        if re.fullmatch(r"marc\d{8}\.txt", name):
            data = open(os.path.join(folder, name), "rb").read()
            out += xdesk.strict_records(data)
    return out
