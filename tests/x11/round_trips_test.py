"""What the real programs send, counted by a TCP relay on loopback between them and real
servers: connections and request chunks (one per request PDU for these request/answer
protocols). A Z39.50 first page is init and search on one connection, a further page adds
one present; a launch query on the shared catalogue is one request; the web OPAC's three
requests share one connection where the server keeps it open."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))
import batch_fixture  # noqa: E402
import xdesk  # noqa: E402
import zebra  # noqa: E402
from delay_proxy import DelayProxy  # noqa: E402
from zebra_test import RECORDS  # noqa: E402


class Counted:
    """The relay's connections and requests during a `with` block."""

    def __init__(self, proxy):
        self.proxy = proxy

    def __enter__(self):
        self.before = self.proxy.counts()
        return self

    def __exit__(self, *exc):
        after = self.proxy.counts()
        self.connections = after[0] - self.before[0]
        self.requests = after[1] - self.before[1]


class RoundTripsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="z39trips.")
        cls.zebra = zebra.Zebra(os.path.join(cls.folder, "zebra"), RECORDS)
        cls.zebra_relay = DelayProxy(cls.zebra.port, 0, handshake=False)

    @classmethod
    def tearDownClass(cls):
        cls.zebra.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_a_z39_first_page_is_init_and_search_and_a_further_page_one_present_more(self):
        desk = zebra.desk_on(xdesk, self.zebra_relay.port)
        try:
            with Counted(self.zebra_relay) as first:
                client = desk.client("NAME@红楼梦")
                self.assertEqual(client.wait(timeout=30), 0)
            expected = self.zebra.yaz_client_records("@attr 1=4 红楼梦".encode("gbk"))
            self.assertEqual(xdesk.checked(desk.read("tmp", "lib.tmp")), expected[0] + b"\r\n")
        finally:
            desk.close()
        self.assertEqual((first.connections, first.requests), (1, 2))
        # A further page, as the client writes it for F3: the search again, then the range.
        script = ("open 127.0.0.1:%d/Default\r\nelements F\r\nf @or @attr 1=4 红楼梦 @attr "
                  "1=4 三体\r\nshow 2+10\r\nquit\r\n" % self.zebra_relay.port).encode("gbk")
        with Counted(self.zebra_relay) as further:
            shown = subprocess.run([os.path.join(xdesk.BIN, "yazc")], input=script, check=True,
                                   stdout=subprocess.PIPE, timeout=30).stdout
        self.assertIn(b"Record 2 presented", shown)
        self.assertEqual((further.connections, further.requests), (1, 3))

    def test_a_launch_query_on_the_shared_catalogue_is_one_request(self):
        desk = xdesk.Desk(records=200)
        try:
            relay = DelayProxy(desk.port, 0, handshake=False)
            served = desk.port
            desk.port = relay.port
            desk.write_settings()
            with Counted(relay) as trip:
                client = desk.client("ISBN@9787536692930")
                self.assertEqual(client.wait(timeout=30), 0)
            desk.port = served
            self.assertEqual(xdesk.checked(desk.read("tmp", "lib.tmp")),
                             desk.catalogue_records("ma_isbn = '9787536692930'")[0] + b"\r\n")
        finally:
            desk.close()
        self.assertEqual((trip.connections, trip.requests), (1, 1))

    def test_the_web_opacs_requests_share_a_connection_where_the_server_keeps_it(self):
        record = batch_fixture.book(0)
        for keep_alive, connections in ((True, 1), (False, 3)):
            with self.subTest(keep_alive=keep_alive):
                stand_in = batch_fixture.OpacStandIn({batch_fixture.isbn13(0): [record]},
                                                     keep_alive)
                try:
                    relay = DelayProxy(stand_in.server.server_address[1], 0, handshake=False)
                    base = "http://127.0.0.1:%d/F" % relay.port
                    folder = os.path.join(self.folder, "opac-%s" % keep_alive)
                    with Counted(relay) as trip:
                        _, out = batch_fixture.opac_search(xdesk.BIN, folder, base)
                finally:
                    stand_in.stop()
                # Start page, search, the record's page.
                self.assertEqual((trip.connections, trip.requests), (connections, 3))
                saved = [name for name in os.listdir(out) if name.startswith("marc")]
                self.assertEqual(len(saved), 1)
                with open(os.path.join(out, saved[0]), "rb") as f:
                    self.assertTrue(f.read().startswith(b"%05d" % len(record)))


if __name__ == "__main__":
    unittest.main()
