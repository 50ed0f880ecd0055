#!/usr/bin/env python3
"""demo-zebra.py CATALOGUE.db FOLDER: a second source for the demo, a Zebra Z39.50 server
(GBK) on loopback holding part of the demo catalogue as fuller records (a summary, the
country and a variant title added to each) and a few books the catalogue does not have.
Prints "listening PORT" once it answers and serves until ended."""

import os
import sqlite3
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "x11"))
import zebra  # noqa: E402

# The README's example and four more of the demo's first books.
FULLER = 5
ONLY_HERE = [
    ("9787020008735", "围城", "钱钟书著", "人民文学出版社", "1991"),
    ("9787544242516", "挪威的森林", "村上春树著", "上海译文出版社", "2007"),
    ("9787108009821", "万历十五年", "黄仁宇著", "生活·读书·新知三联书店", "1997"),
]


def fields_of(record):
    """(tag, data without its terminator) of an ISO 2709 record."""
    base = int(record[12:17])
    out = []
    for at in range(24, base - 1, 12):
        tag = record[at:at + 3]
        length, start = int(record[at + 3:at + 7]), int(record[at + 7:at + 12])
        out.append((tag.decode(), record[base + start:base + start + length - 1]))
    return out


def record_of(fields, leader):
    directory = b""
    body = b""
    for tag, data in sorted(fields, key=lambda f: f[0]):
        data += b"\x1e"
        directory += b"%s%04d%05d" % (tag.encode(), len(data), len(body))
        body += data
    directory += b"\x1e"
    base = 24 + len(directory)
    total = base + len(body) + 1
    return (b"%05d" % total + leader[5:12] + b"%05d" % base + leader[17:24] + directory + body +
            b"\x1d")


def sub(code, text):
    return b"\x1f" + code.encode() + text.encode("gbk")


def fuller(record):
    fields = fields_of(record)
    title = b""
    for tag, data in fields:
        if tag == "200":
            title = data.split(b"\x1fa", 1)[-1].split(b"\x1f", 1)[0]
    fields += [
        ("102", b"  " + sub("a", "CN") + sub("b", "110000")),
        ("330", b"  " + sub("a", "本书内容提要：") + title + "。".encode("gbk")),
        ("517", b"1 " + sub("a", "") + title),
    ]
    return record_of(fields, record[:24])


def only_here(isbn, title, author, publisher, year):
    return zebra.marc_record([
        ("001", "ZB" + isbn),
        ("010", "  ", [("a", isbn), ("d", "CNY30.00")]),
        ("101", "0 ", [("a", "chi")]),
        ("200", "1 ", [("a", title), ("f", author)]),
        ("210", "  ", [("a", "北京"), ("c", publisher), ("d", year)]),
        ("215", "  ", [("a", "300页")]),
        ("701", " 0", [("a", author.rstrip("著"))]),
    ])


def main():
    db, folder = sys.argv[1], sys.argv[2]
    con = sqlite3.connect(db)
    con.text_factory = bytes
    try:
        rows = con.execute("select record from records order by rowid limit ?", (FULLER,))
        records = [fuller(r[0]) for r in rows]
    finally:
        con.close()
    records += [only_here(*book) for book in ONLY_HERE]
    zebra.serve(zebra.Zebra(folder, records))


if __name__ == "__main__":
    main()
