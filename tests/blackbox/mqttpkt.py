"""MQTT packet builders and a raw-socket peer with exact-byte expectations.

Builders return complete packets as bytes (gen_connect, gen_subscribe, ...).
`level` is the protocol level: 4 (MQTT 3.1.1) or 5 (MQTT 5.0); at level 5 the
builders add an empty property section wherever one belongs, unless `props`
gives other property bytes.
"""
import socket
import struct
import time

DEFAULT_TIMEOUT = 5.0


def varlen(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def mqtt_str(s):
    if isinstance(s, str):
        s = s.encode()
    return struct.pack("!H", len(s)) + s


def packet(byte0, body=b""):
    return bytes([byte0]) + varlen(len(body)) + body


def _props(level, props):
    if level != 5:
        return b""
    return varlen(len(props)) + props if props is not None else b"\x00"


def gen_connect(client_id="", level=4, clean=True, keepalive=60, will=None,
                username=None, password=None, props=None, will_props=None):
    """will = (topic, payload, qos, retain)."""
    flags = 0x02 if clean else 0
    payload = mqtt_str(client_id)
    if will is not None:
        topic, msg, qos, retain = will
        flags |= 0x04 | (qos << 3) | (0x20 if retain else 0)
        payload += _props(level, will_props) + mqtt_str(topic) + mqtt_str(msg)
    if username is not None:
        flags |= 0x80
        payload += mqtt_str(username)
    if password is not None:
        flags |= 0x40
        payload += mqtt_str(password)
    var = mqtt_str("MQTT") + bytes([level, flags]) + struct.pack("!H", keepalive)
    return packet(0x10, var + _props(level, props) + payload)


def gen_subscribe(pid, filters, level=4, props=None):
    """filters: list of (filter, requested QoS)."""
    body = struct.pack("!H", pid) + _props(level, props)
    for f, qos in filters:
        body += mqtt_str(f) + bytes([qos])
    return packet(0x82, body)


def gen_unsubscribe(pid, filters, level=4):
    body = struct.pack("!H", pid) + _props(level, None)
    for f in filters:
        body += mqtt_str(f)
    return packet(0xA2, body)


def gen_publish(topic, payload=b"", qos=0, pid=1, retain=False, dup=False, level=4,
                props=None):
    if isinstance(payload, str):
        payload = payload.encode()
    byte0 = 0x30 | (qos << 1) | (0x01 if retain else 0) | (0x08 if dup else 0)
    body = mqtt_str(topic)
    if qos > 0:
        body += struct.pack("!H", pid)
    return packet(byte0, body + _props(level, props) + payload)


def gen_puback(pid):
    return packet(0x40, struct.pack("!H", pid))


PINGREQ = b"\xc0\x00"
PINGRESP = b"\xd0\x00"
DISCONNECT = b"\xe0\x00"


def connack(level=4, session_present=0, rc=0):
    if level == 5:
        return bytes([0x20, 0x03, session_present, rc, 0x00])
    return bytes([0x20, 0x02, session_present, rc])


def suback(pid, codes, level=4):
    pre = b"\x00" if level == 5 else b""
    body = struct.pack("!H", pid) + pre + bytes(codes)
    return packet(0x90, body)


def hexs(b):
    return b.hex(" ")


class RawPeer:
    """A TCP peer that sends bytes and expects exact bytes, within timeouts."""

    def __init__(self, port, host="127.0.0.1", timeout=DEFAULT_TIMEOUT):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.timeout = timeout

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, data):
        self.sock.sendall(data)

    def recv_exact(self, n, timeout=None):
        """Exactly n bytes, or AssertionError naming what did arrive."""
        deadline = time.monotonic() + (timeout or self.timeout)
        buf = b""
        while len(buf) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("timed out after %r, wanted %d bytes" % (hexs(buf), n))
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(n - len(buf))
            except socket.timeout:
                continue
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                raise AssertionError("connection closed after %r, wanted %d bytes"
                                     % (hexs(buf), n))
            buf += chunk
        return buf

    def expect(self, want, timeout=None):
        got = self.recv_exact(len(want), timeout)
        assert got == want, "expected %s, got %s" % (hexs(want), hexs(got))

    def send_expect(self, data, want, timeout=None):
        self.send(data)
        self.expect(want, timeout)

    def read_packet(self, timeout=None):
        """One packet: (byte0, body)."""
        deadline = time.monotonic() + (timeout or self.timeout)
        b0 = self.recv_exact(1, timeout)[0]
        n, mult = 0, 1
        for _ in range(4):
            b = self.recv_exact(1, max(0.01, deadline - time.monotonic()))[0]
            n += (b & 0x7F) * mult
            mult *= 128
            if not b & 0x80:
                break
        body = self.recv_exact(n, max(0.01, deadline - time.monotonic())) if n else b""
        return b0, body

    def expect_closed(self, timeout=None):
        """The broker closes the connection and sends nothing before it."""
        deadline = time.monotonic() + (timeout or self.timeout)
        got = b""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("still open after %.1f s (received %s)"
                                     % (timeout or self.timeout, hexs(got)))
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(4096)
            except socket.timeout:
                continue
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                assert got == b"", "expected no reply before the close, got %s" % hexs(got)
                return
            got += chunk

    def expect_silence(self, duration=0.3):
        """Nothing arrives and the connection stays open for `duration`."""
        self.sock.settimeout(duration)
        try:
            chunk = self.sock.recv(4096)
        except socket.timeout:
            return
        finally:
            self.sock.settimeout(self.timeout)
        if chunk:
            raise AssertionError("unexpected bytes %s" % hexs(chunk))
        raise AssertionError("connection closed")

    def handshake(self, client_id="c", level=4, **kw):
        """CONNECT and the accepting CONNACK."""
        self.send_expect(gen_connect(client_id, level=level, **kw), connack(level))
        return self


def wait_until(pred, timeout=DEFAULT_TIMEOUT, interval=0.02, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        v = pred()
        if v:
            return v
        if time.monotonic() >= deadline:
            raise AssertionError("timed out waiting for %s" % what)
        time.sleep(interval)
