"""A minimal WebSocket client (RFC 6455) for a browser's remote protocol on loopback; standard
library only.

Text messages only, which is all the remote protocols send: the client masks what it sends,
answers pings, joins fragmented messages and treats a close frame as the end. Every read
waits until a deadline the caller gives, so a silent browser turns into an error, not a hang.
"""

import base64
import hashlib
import os
import socket
import struct
import time
import urllib.parse

# RFC 6455, section 1.3: the server proves it read our key by hashing it with this.
ACCEPT_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
OP_CONTINUATION, OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 0x0, 0x1, 0x2, 0x8, 0x9, 0xA
# A handshake reply is a few hundred bytes; anything this long is not one.
MAX_HANDSHAKE = 1 << 16


class WebSocketError(Exception):
    pass


class WebSocket:
    """One connection to a ws:// URL, opened (handshake done) by the constructor."""

    def __init__(self, url, timeout):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme != "ws":
            raise WebSocketError("not a ws:// URL: " + url)
        self.sock = socket.create_connection((parts.hostname, parts.port or 80), timeout)
        self.buffer = b""
        try:
            self.handshake(parts, time.monotonic() + timeout)
        except BaseException:
            self.sock.close()
            raise

    def handshake(self, parts, deadline):
        key = base64.b64encode(os.urandom(16))
        self.sock.sendall(b"GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\n"
                          b"Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                          b"Sec-WebSocket-Version: 13\r\n\r\n"
                          % ((parts.path or "/").encode(), parts.netloc.encode(), key))
        while b"\r\n\r\n" not in self.buffer:
            if len(self.buffer) > MAX_HANDSHAKE:
                raise WebSocketError("the handshake reply has no end")
            self.fill(deadline)
        head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        status, *lines = head.decode("latin-1").split("\r\n")
        if status.split()[1:2] != ["101"]:
            raise WebSocketError("handshake refused: " + status)
        headers = {name.strip().lower(): value.strip()
                   for name, _, value in (line.partition(":") for line in lines)}
        expected = base64.b64encode(hashlib.sha1(key + ACCEPT_GUID).digest()).decode()
        if headers.get("sec-websocket-accept") != expected:
            raise WebSocketError("handshake reply does not answer our key")

    def fill(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            raise WebSocketError("no reply before the deadline")
        self.sock.settimeout(left)
        try:
            chunk = self.sock.recv(1 << 16)
        except socket.timeout:
            raise WebSocketError("no reply before the deadline") from None
        if not chunk:
            raise WebSocketError("the peer closed the connection")
        self.buffer += chunk

    def take(self, count, deadline):
        while len(self.buffer) < count:
            self.fill(deadline)
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def send_frame(self, opcode, payload):
        # A client masks every frame (RFC 6455, 5.3); servers close connections that do not.
        mask = os.urandom(4)
        size = len(payload)
        if size < 126:
            head = struct.pack("!BB", 0x80 | opcode, 0x80 | size)
        elif size < 1 << 16:
            head = struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, size)
        else:
            head = struct.pack("!BBQ", 0x80 | opcode, 0x80 | 127, size)
        masked = bytes(b ^ mask[i & 3] for i, b in enumerate(payload))
        self.sock.sendall(head + mask + masked)

    def send(self, text):
        self.send_frame(OP_TEXT, text.encode("utf-8"))

    def receive(self, deadline):
        """The next whole text message, waiting until `deadline` (time.monotonic())."""
        parts = []
        while True:
            first, second = self.take(2, deadline)
            opcode = first & 0x0F
            size = second & 0x7F
            if size == 126:
                size = struct.unpack("!H", self.take(2, deadline))[0]
            elif size == 127:
                size = struct.unpack("!Q", self.take(8, deadline))[0]
            mask = self.take(4, deadline) if second & 0x80 else None
            payload = self.take(size, deadline)
            if mask:
                payload = bytes(b ^ mask[i & 3] for i, b in enumerate(payload))
            if opcode == OP_PING:
                self.send_frame(OP_PONG, payload)
            elif opcode == OP_CLOSE:
                raise WebSocketError("the peer closed the WebSocket")
            elif opcode in (OP_TEXT, OP_BINARY, OP_CONTINUATION):
                parts.append(payload)
                if first & 0x80:
                    return b"".join(parts).decode("utf-8")

    def close(self):
        try:
            self.send_frame(OP_CLOSE, struct.pack("!H", 1000))
        except OSError:
            pass  # already gone
        self.sock.close()
