"""A TCP forwarder on loopback that models a server elsewhere: each chunk is held for half
the round trip in each direction, and a new connection waits one round trip before its
first byte goes on (the TCP handshake a real connection pays). It counts what clients
send: one chunk per request PDU for the request/answer protocols measured here."""

import socket
import threading
import time


class DelayProxy:
    def __init__(self, target_port, rtt_ms, port=0, handshake=True):
        self.target = target_port
        self.delay = rtt_ms / 2000.0
        self.handshake = rtt_ms / 1000.0 if handshake else 0.0
        self.lock = threading.Lock()
        self.connections = 0
        self.requests = 0  # chunks from clients to the server
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(256)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def counts(self):
        with self.lock:
            return self.connections, self.requests

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        with self.lock:
            self.connections += 1
        if self.handshake:
            time.sleep(self.handshake)
        try:
            server = socket.create_connection(("127.0.0.1", self.target))
        except OSError:
            client.close()
            return
        # A relay holds nothing back of its own: what the delay releases goes out at once.
        for s in (client, server):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for a, b, upstream in ((client, server, True), (server, client, False)):
            threading.Thread(target=self._pump, args=(a, b, upstream), daemon=True).start()

    def _pump(self, source, sink, upstream):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                if upstream:
                    with self.lock:
                        self.requests += 1
                time.sleep(self.delay)
                sink.sendall(data)
        except OSError:
            pass
        finally:
            for s in (source, sink):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
