"""A real indexing Z39.50 server for tests: Debian's Zebra (zebraidx + zebrasrv) serving GBK
CNMARC records that the test makes, on a free loopback port."""

import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

CNMARC_ABS = """name cnmarc
reference USmarc
attset bib1.att
tagset usmarc.tag
marc cnmarc.mar
encoding %(encoding)s
esetname F @
all any
elm 010          ISBN           -
elm 010/?        ISBN           -
elm 010/?/a      ISBN           !:w
elm 200          Title          -
elm 200/?        Title          -
elm 200/?/a      Title          !:w,!:p
elm 701          Author         -
elm 701/?        Author         -
elm 701/?/a      Author         !:w,!:p
"""

CNMARC_MAR = "name cnmarc\nreference USmarc\n"

# Bib-1 without ISBN (7) and ISSN (8): a server that cannot search them.
NOISBN_ATT = """name bib1
reference Bib-1
att 1 Personal-name
att 4 Title
att 31 Date-of-publication
att 1003 Author
att 1016 Any
att 1018 Publisher
"""

ZEBRA_CFG = """profilePath: .:/usr/share/idzebra-2.0/tab
attset: bib1.att
recordType: grs.marc.cnmarc
encoding: %(encoding)s
register: reg:100M
lockDir: lock
keyTmpDir: tmp
shadow: shadow:100M
"""


# Served over SRU as well: the DOM filter keeps each record as MARCXML (converted from the
# ISO 2709 input in its character set) and hands it back as it is kept.
DOM_XML = """<dom xmlns="http://indexdata.com/zebra-2.0">
  <input syntax="usmarc"><marc inputcharset="%(encoding)s"/></input>
  <extract name="index"><xslt stylesheet="index.xsl"/></extract>
  <retrieve name="marcxml"><xslt stylesheet="identity.xsl"/></retrieve>
</dom>
"""

INDEX_XSL = """<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:m="http://www.loc.gov/MARC21/slim" xmlns:z="http://indexdata.com/zebra-2.0"
    exclude-result-prefixes="m">
  <xsl:template match="text()"/>
  <xsl:template match="/m:record">
    <z:record z:id="{normalize-space(m:controlfield[@tag='001'])}"><xsl:apply-templates/></z:record>
  </xsl:template>
  <xsl:template match="m:datafield[@tag='200']/m:subfield[@code='a']">
    <z:index name="title:w title:p"><xsl:value-of select="."/></z:index>
  </xsl:template>
  <xsl:template match="m:datafield[@tag='010']/m:subfield[@code='a']">
    <z:index name="isbn:w"><xsl:value-of select="."/></z:index>
  </xsl:template>
</xsl:stylesheet>
"""

IDENTITY_XSL = """<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:template match="node()|@*"><xsl:copy><xsl:apply-templates select="@*|node()"/></xsl:copy></xsl:template>
</xsl:stylesheet>
"""

# MARCXML for SRU; ISO 2709 in the server's character set, made from it, for Z39.50.
GFS_XML = """<yazgfs><server id="zebra"><config>zebra.cfg</config>
<cql2rpn>%(folder)s/pqf.properties</cql2rpn>
<retrievalinfo>
  <retrieval syntax="xml" name="marcxml"/>
%(marc)s</retrievalinfo></server></yazgfs>
"""

GFS_MARC = """  <retrieval syntax="%(syntax)s" name="F"><backend syntax="xml" name="marcxml">
    <marc inputformat="xml" outputformat="marc" inputcharset="utf-8" outputcharset="%(encoding)s"/>
  </backend></retrieval>
"""


def cql_mapping():
    """YAZ's CQL-to-Bib-1 mapping with the DOM filter's own index names for title and ISBN."""
    with open("/usr/share/yaz/etc/pqf.properties") as f:
        lines = [line for line in f if not line.startswith("index.dc.title")]
    return "".join(lines) + "\nindex.dc.title = 1=title\nindex.bath.isbn = 1=isbn\n"


def marc_record(fields, charset="gbk", leader_fixed=None):
    """An ISO 2709 record in GBK (or `charset`) from (tag, indicators, [(code, text)]) or
    (tag, data); `leader_fixed` replaces the CNMARC leader's bytes other than the lengths."""
    directory = b""
    body = b""
    for field in fields:
        if len(field) == 2:
            tag, data = field[0], field[1].encode(charset)
        else:
            tag, ind, subs = field
            data = ind.encode("ascii") + b"".join(b"\x1f" + c.encode() + t.encode(charset)
                                                  for c, t in subs)
        data += b"\x1e"
        directory += b"%s%04d%05d" % (tag.encode(), len(data), len(body))
        body += data
    directory += b"\x1e"
    base = 24 + len(directory)
    total = base + len(body) + 1
    leader = b"%05dnam0 22%05d   450 " % (total, base)
    if leader_fixed:
        fixed = leader_fixed.encode("ascii")
        leader = leader[:5] + fixed[5:12] + leader[12:17] + fixed[17:24]
    return leader + directory + body + b"\x1d"


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def converted(records, to, folder, source_charset="GBK"):
    """The records converted by yaz-marcdump from `source_charset` into `to` ("UTF-8",
    "MARC-8")."""
    source = os.path.join(folder, "records-source.mrc")
    with open(source, "wb") as f:
        f.write(b"".join(records))
    out = subprocess.run(["yaz-marcdump", "-i", "marc", "-o", "marc", "-f", source_charset,
                          "-t", to, source], stdout=subprocess.PIPE, check=True,
                         timeout=60).stdout
    result = []
    while out:
        length = int(out[:5])
        result.append(out[:length])
        out = out[length:]
    return result


class Zebra:
    """Indexes `records` in `folder` and serves them; stop() ends the server. With
    encoding "utf-8" the GBK records are converted by yaz-marcdump and indexed as UTF-8. With
    `sru` the DOM filter keeps them and Z39.50 gets ISO 2709 only in `syntaxes`."""

    def __init__(self, folder, records, encoding="gbk", sru=False, syntaxes=("usmarc",),
                 passwd=None, index_isbn=True):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        config = ZEBRA_CFG % {"encoding": encoding.upper()}
        if encoding.lower() == "marc-8":
            # MARC21 records given in UTF-8, served as MARC-8 from Zebra's own USMARC profile.
            records = converted(records, "MARC-8", folder, "UTF-8")
            config = config.replace("grs.marc.cnmarc", "grs.marc.usmarc").replace(
                "encoding: MARC-8", "encoding: UTF-8")
        elif encoding.lower() != "gbk":
            records = converted(records, "UTF-8", folder)
        names = {"encoding": encoding, "folder": os.path.abspath(folder)}
        names["marc"] = "".join(GFS_MARC % dict(names, syntax=syntax) for syntax in syntaxes)
        abs_text = CNMARC_ABS % names
        if not index_isbn:
            # Neither indexed nor known: Bib-1 use attribute 7 is then unsupported.
            abs_text = "\n".join(line for line in abs_text.splitlines() if "ISBN" not in line)
            abs_text = abs_text.replace("attset bib1.att", "attset noisbn.att")
            config = config.replace("attset: bib1.att", "attset: noisbn.att")
        files = [("cnmarc.abs", abs_text), ("cnmarc.mar", CNMARC_MAR),
                 ("noisbn.att", NOISBN_ATT)]
        if passwd:
            # Only a user of the password file may connect (no anonymous access).
            config += "passwd: passwd\nperm.shadow: rw\nperm.%s: rw\n" % passwd[0]
            files.append(("passwd", "%s:%s\n" % passwd))
        if sru:
            config = config.replace("grs.marc.cnmarc", "dom.dom.xml")
            files += [("dom.xml", DOM_XML % names), ("index.xsl", INDEX_XSL),
                      ("identity.xsl", IDENTITY_XSL), ("pqf.properties", cql_mapping()),
                      ("gfs.xml", GFS_XML % names)]
        for name, text in files + [("zebra.cfg", config)]:
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        for sub in ("reg", "lock", "tmp", "shadow"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        with open(os.path.join(folder, "records.mrc"), "wb") as f:
            f.write(b"".join(records))
        for step in (["init"], ["update", "records.mrc"], ["commit"]):
            subprocess.run(["zebraidx", "-c", "zebra.cfg"] + step, cwd=folder, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        self.server = None
        for _ in range(5):
            self.port = free_port()
            self.log = os.path.join(folder, "zebrasrv.log")
            config_args = ["-f", "gfs.xml"] if sru else ["-c", "zebra.cfg"]
            self.server = subprocess.Popen(
                ["zebrasrv"] + config_args + ["-l", self.log, "tcp:127.0.0.1:%d" % self.port],
                cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True)
            if self._listening():
                return
            self.stop()
        raise RuntimeError("zebrasrv did not start")

    def _listening(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.server.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.05)
        return False

    def yaz_client_records(self, query, show="show 1"):
        """The records Debian's yaz-client receives for `query` (GBK bytes of a PQF query)."""
        dump = os.path.join(self.folder, "yaz-client-%d.mrc" % time.monotonic_ns())
        script = (b"open tcp:127.0.0.1:%d/Default\nelements F\nf " % self.port + query +
                  b"\n" + show.encode() + b"\nquit\n")
        subprocess.run(["yaz-client", "-m", dump], input=script, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=True)
        with open(dump, "rb") as f:
            data = f.read()
        records = []
        while data:
            length = int(data[:5])
            records.append(data[:length])
            data = data[length:]
        return records

    def stop(self):
        if self.server and self.server.poll() is None:
            self.server.terminate()
            try:
                self.server.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()


def desk_on(xdesk, port):
    """A desk whose only Z39.50 target (tree position 4, chosen) is the Zebra on `port`."""
    desk = xdesk.Desk(records=20)
    desk.write_settings("LASTDATABASE=4\r\n", ks_default=0)
    write_target(desk, port)
    return desk


class ZebraDeskCase(unittest.TestCase):
    """One Zebra for the class serving its RECORDS, and a desk on it for each case."""

    RECORDS = []

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="z39zebra.")
        cls.server = Zebra(cls.folder, cls.RECORDS)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        import xdesk
        self.desk = desk_on(xdesk, self.server.port)

    def tearDown(self):
        self.desk.close()


def write_target(desk, port, address=b"127.0.0.1", options=b""):
    with open(desk.path("work", "z39svr.cfg"), "wb") as f:
        f.write(b"{Test\n[zebra\n(Default,%s,%d,0,,)%s\n]\n}\n" % (address, port, options))


def main():
    """zebra.py FOLDER COUNT [utf-8|gbk] [sru]: serves COUNT books titled "Java 编程 N" until
    ended (in UTF-8 when asked; through the DOM filter, answering SRU, with "sru"); prints "listening PORT" once it answers (for benchmarks and tests
    that need a real server)."""
    import signal
    import sys
    folder, count = sys.argv[1], int(sys.argv[2])
    encoding = sys.argv[3] if len(sys.argv) > 3 else "gbk"
    sru = len(sys.argv) > 4 and sys.argv[4] == "sru"
    records = [marc_record([
        ("001", "B%06d" % i),
        ("010", "  ", [("a", "978700%07d" % i)]),
        ("200", "1 ", [("a", "Java 编程 %d" % i), ("f", "作者%d著" % i)]),
        ("210", "  ", [("a", "北京"), ("c", "测试出版社"), ("d", "2020")]),
    ]) for i in range(count)]
    serve(Zebra(folder, records, encoding, sru))


def serve(server):
    """Says "listening PORT" and serves until SIGTERM (or the server's end), then stops."""
    import signal
    import sys
    # The server is stopped once the wait below has given up its lock, not in the handler.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("listening %d" % server.port, flush=True)
    try:
        server.server.wait()
    finally:
        server.stop()


if __name__ == "__main__":
    main()
