#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/ (run from anywhere).

The seeds follow each target's input layout (see the comment at the top of
each fuzz_*.cpp). Re-running rewrites the seeds of this script and leaves
other files alone, such as reproducers of fixed findings (crash-*, hang-*).
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SNAPSHOTS = os.path.join(HERE, "..", "tests", "data", "snapshots")


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- MQTT packets ---------------------------------------------------------


def varlen(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


def mstr(s):
    s = s.encode() if isinstance(s, str) else s
    return struct.pack(">H", len(s)) + s


def packet(first, body):
    return bytes([first]) + varlen(len(body)) + body


def connect(cid, level=4, clean=True, keep_alive=30, will=None, user=None, password=None):
    flags = 0x02 if clean else 0
    if will:
        flags |= 0x04 | (will[2] << 3) | (0x20 if will[3] else 0)
    if user is not None:
        flags |= 0x80
    if password is not None:
        flags |= 0x40
    body = mstr("MQTT") + bytes([level, flags]) + struct.pack(">H", keep_alive)
    if level == 5:
        body += b"\x05\x11\x00\x00\x00\x0a"  # session expiry interval property
    body += mstr(cid)
    if will:
        if level == 5:
            body += b"\x00"
        body += mstr(will[0]) + mstr(will[1])
    if user is not None:
        body += mstr(user)
    if password is not None:
        body += mstr(password)
    return packet(0x10, body)


def subscribe(pid, filters, level=4):
    body = struct.pack(">H", pid) + (b"\x00" if level == 5 else b"")
    for f, q in filters:
        body += mstr(f) + bytes([q])
    return packet(0x82, body)


def unsubscribe(pid, filters, level=4):
    body = struct.pack(">H", pid) + (b"\x00" if level == 5 else b"")
    for f in filters:
        body += mstr(f)
    return packet(0xA2, body)


def publish(topic, payload, qos=0, pid=1, retain=False, level=4):
    body = mstr(topic)
    if qos:
        body += struct.pack(">H", pid)
    if level == 5:
        body += b"\x00"
    body += payload
    return packet(0x30 | (qos << 1) | (1 if retain else 0), body)


def puback(pid):
    return packet(0x40, struct.pack(">H", pid))


PINGREQ = b"\xc0\x00"
DISCONNECT = b"\xe0\x00"


def chunks(*parts):
    """Each part as one receive (split into 256-byte chunks when longer)."""
    out = bytearray()
    for p in parts:
        for i in range(0, len(p), 256):
            piece = p[i:i + 256]
            out.append(len(piece) - 1)
            out += piece
    return bytes(out)


def bytewise(data):
    return b"".join(b"\x00" + bytes([x]) for x in data)


def packet_seeds():
    t = "fuzz_packet"
    BYSTANDER, BYSTANDER_SESSION, DETACHED, USERS = 0x10, 0x20, 0x40, 0x80
    PRE, L5, OWN, PER = 0x01, 0x02, 0x04, 0x08
    session = [subscribe(1, [("a/+", 1), ("a/#", 0), ("+/+/#", 1)]),
               publish("a/b", b"hello", qos=1, pid=7, retain=True),
               puback(1), subscribe(2, [("a/b", 1)]), puback(2), PINGREQ,
               unsubscribe(3, ["a/+", "nope"]), publish("a/b", b"", retain=True), DISCONNECT]
    write(t, "v4-session", bytes([BYSTANDER | DETACHED]) + chunks(connect("c"), *session))
    write(t, "v4-one-receive",
          bytes([BYSTANDER | PER]) + chunks(b"".join([connect("c")] + session)))
    s5 = [subscribe(1, [("a/+", 1)], 5), publish("a/b", b"five", 1, 9, level=5),
          unsubscribe(2, ["a/+"], 5), publish("q2", b"x", qos=2, level=5)]
    write(t, "v5-session", bytes([BYSTANDER | PER]) + chunks(connect("c5", level=5), *s5))
    write(t, "v4-will-auth",
          bytes([BYSTANDER | USERS]) +
          chunks(connect("w", will=("a/will", b"gone", 1, 1), user="u", password="p"),
                 publish("a/x", b"1"), b"\x30\x03\x00\x01"))
    write(t, "v4-auth-refused", bytes([USERS]) + chunks(connect("w", user="u", password="x")))
    write(t, "v4-take-over-resume",
          bytes([BYSTANDER | BYSTANDER_SESSION | DETACHED]) +
          chunks(connect("b", clean=False), subscribe(1, [("#", 1)]), puback(1)))
    write(t, "v4-resume-detached",
          bytes([DETACHED]) + chunks(connect("d", clean=False), puback(1), puback(2)))
    write(t, "preconnected-own-session",
          bytes([PRE | OWN | BYSTANDER]) +
          chunks(subscribe(1, [("x/#", 1)]), publish("x/1", b"p" * 40, 1, 5, True), puback(1),
                 subscribe(2, [("x/1", 1)]), b"\x62\x02\x00\x05", b"\x50\x02\x00\x05"))
    write(t, "preconnected-v5", bytes([PRE | L5 | PER]) +
          chunks(subscribe(1, [("#", 1)], 5), publish("t", b"z", 1, 3, level=5)))
    write(t, "connect-bytewise", bytes([PER]) + bytewise(connect("slow") + PINGREQ))
    write(t, "remaining-length-too-long", bytes([PRE]) + chunks(b"\x30\xff\xff\xff\x7f"))
    write(t, "remaining-length-max", bytes([PRE]) + chunks(b"\x30\x80\x80\x40\x00\x01a"))
    write(t, "subscribe-33-filters", bytes([PRE]) +
          chunks(subscribe(1, [("f/%d" % i, 1) for i in range(33)])))
    write(t, "server-only-types", bytes([PRE]) +
          chunks(b"\x00\x00", b"\x20\x02\x00\x00", b"\x90\x03\x00\x01\x00", b"\xf0\x00",
                 b"\x10\x00"))
    write(t, "bad-connects", bytes([0]) + chunks(b"\x10\x06\x00\x04MQTT"))
    write(t, "empty-id-v4-persistent", bytes([0]) + chunks(connect("", clean=False)))
    write(t, "empty-id-v5", bytes([0]) + chunks(connect("", level=5)))


# --- WebSocket --------------------------------------------------------------


def ws_request(protocol=True, deflate=True, key=b"dGhlIHNhbXBsZSBub25jZQ=="):
    head = b"GET /mqtt HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    head += b"Sec-WebSocket-Key: " + key + b"\r\nSec-WebSocket-Version: 13\r\n"
    if protocol:
        head += b"Sec-WebSocket-Protocol: mqttv3.1, mqtt\r\n"
    if deflate:
        head += b"Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n"
    return head + b"\r\n"


def frame(first, payload, key=b"\x37\xfa\x21\x3d"):
    n = len(payload)
    if n <= 125:
        head = bytes([first, 0x80 | n])
    elif n <= 0xFFFF:
        head = bytes([first, 0x80 | 126]) + struct.pack(">H", n)
    else:
        head = bytes([first, 0x80 | 127]) + struct.pack(">Q", n)
    return head + key + bytes(b ^ key[i & 3] for i, b in enumerate(payload))


def deflate_raw(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    out = c.compress(data) + c.flush(zlib.Z_SYNC_FLUSH)
    assert out.endswith(b"\x00\x00\xff\xff")
    return out[:-4]


def ws_seeds():
    t = "fuzz_ws"
    write(t, "handshake-full", b"\x00" + ws_request())
    write(t, "handshake-plain", b"\x00" + ws_request(False, False) + b"\x82\x80abcd")
    write(t, "handshake-no-key", b"\x00GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    write(t, "handshake-partial", b"\x00" + ws_request()[:60])
    mqtt = connect("ws") + subscribe(1, [("a/#", 1)]) + publish("a/b", b"hi", 1, 2)
    # Mode 1: a whole connection, handshake first.
    write(t, "client-handshake-then-frames",
          b"\x01" + chunks(ws_request(), frame(0x82, mqtt), frame(0x89, b"ping"),
                           frame(0x88, b"\x03\xe8")))
    write(t, "client-fragmented",
          bytes([0x01 | 0x04]) + chunks(frame(0x02, mqtt[:5]), frame(0x89, b""),
                                        frame(0x00, mqtt[5:20]), frame(0x80, mqtt[20:])))
    write(t, "client-compressed",
          bytes([0x01 | 0x04 | 0x08]) +
          chunks(frame(0xC2, deflate_raw(mqtt)), frame(0xC2, deflate_raw(PINGREQ))))
    packed = deflate_raw(b"\x00" * (2 << 20))
    write(t, "client-deflate-bomb", bytes([0x01 | 0x04 | 0x08 | 0x10]) + chunks(frame(0xC2, packed)))
    write(t, "client-pass-limit", bytes([0x01 | 0x04]) + b"\xff" + frame(0x82, b"") * 1100 +
          frame(0x82, PINGREQ))
    write(t, "client-unmasked", bytes([0x01 | 0x04]) + chunks(b"\x82\x02\xc0\x00"))
    write(t, "client-reader-only",
          bytes([0x01 | 0x04 | 0x08 | 0x20]) +
          chunks(frame(0x82, b"one"), frame(0xC2, deflate_raw(b"two" * 50)), frame(0x81, b"")))
    # Mode 2: inflate with a small cap, then with the connection's cap.
    bomb = deflate_raw(b"\x00" * (4 << 20))
    body = b"".join(b"\x00" + chunks(bomb[i:i + 200])
                    for i in range(0, len(bomb) - 200, 200))
    write(t, "inflate-bomb-small-cap", b"\x02\x10\x00" + body + b"\x01" + chunks(bomb[-200:]))
    write(t, "inflate-bomb-full-cap", b"\x02\x00\x00\x01" + chunks(bomb))
    write(t, "inflate-messages", b"\x02\x00\x00" + b"\x03" + chunks(deflate_raw(b"abc" * 30)) +
          b"\x01" + chunks(deflate_raw(b"xyz")))
    write(t, "inflate-corrupt", b"\x02\x00\x01\x01" + chunks(b"\xff\xff\xff\xff"))
    # Mode 3: round trip.
    write(t, "round-trip-publish", bytes([0x03 | 0x04 | (10 << 3)]) + publish("r", b"q" * 300))
    write(t, "round-trip-empty", bytes([0x03 | 0x04]))
    write(t, "round-trip-random", bytes([0x03]) + bytes((i * 7919) & 0xFF for i in range(200)))


# --- JSON inputs ---------------------------------------------------------------


def auth_seeds():
    t = "fuzz_auth_json"
    seeds = {
        "array": b'[{"username":"u","password":"p"},{"username":"v"}]',
        "object": b'{"users":[{"username":"u","password":"p"}],"users":5}',
        "empty-array": b"[]",
        "empty-object": b"{}",
        "not-json": b"[{",
        "no-valid-user": b'[1,{},{"username":5},{"password":"x"}]',
        "escapes": b'[{"username":"a\\u0000b","password":"\\ud83d\\ude00"}]',
        "long-name": b'[{"username":"' + b"n" * 200 + b'","password":"' + b"p" * 200 + b'"}]',
        "deep": b"[" * 300 + b"]" * 300,
        "duplicate-keys": b'[{"username":"a","username":"b","password":"1","password":"2"}]',
    }
    for name, data in seeds.items():
        write(t, name, data)


def snapshot_seeds():
    t = "fuzz_snapshot_load"

    def read(name):
        with open(os.path.join(SNAPSHOTS, name), "rb") as f:
            return f.read()

    for name in sorted(os.listdir(SNAPSHOTS)):
        if name.startswith("retained_"):
            write(t, name, b"\x01" + read(name))
        elif name.startswith("sessions_"):
            write(t, name, b"\x02" + read(name))
    r = read("retained_valid.json")
    s = read("sessions_valid.json")
    write(t, "both-valid", b"\x03" + struct.pack(">H", len(r)) + r + s)
    write(t, "both-valid-preloaded", b"\x07" + struct.pack(">H", len(r)) + r + s)


def b64_seeds():
    t = "fuzz_b64"
    for i, text in enumerate([b"Zm9vYmFy", b"Zg==", b"Zm8=", b"Z", b"Zm9v\nYmFy", b"-_8=", b"",
                              b"QQ==garbage!", b"QQ\x00!!", b"////", b"A" * 99]):
        write(t, "seed-%02d" % i, text)


def topic_seeds():
    t = "fuzz_topic_match"
    pairs = [("a/+/#", "a/"), ("a/+/#", "a"), ("#", "$SYS/x"), ("+/+", "/"), ("a/#", "a"),
             ("sport/tennis/+", "sport/tennis/player1"), ("+", ""), ("/+", "/"),
             ("a/b", "a/b/c"), ("+/#", "$x"), ("a/+/c", "a//c"), ("+/+/+", "a/b"),
             ("a/#/b", "a/x/b"), ("a+", "a+"), ("", "")]
    for i, (f, tp) in enumerate(pairs):
        write(t, "seed-%02d" % i, f.encode() + b"\x00" + tp.encode())


if __name__ == "__main__":
    packet_seeds()
    ws_seeds()
    auth_seeds()
    snapshot_seeds()
    b64_seeds()
    topic_seeds()
