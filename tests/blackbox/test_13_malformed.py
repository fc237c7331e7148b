"""Malformed input over raw sockets: a protocol violation closes only that
connection, without a reply, and the broker keeps serving everyone else;
truncated fields inside complete packets are ignored or answered, never
read past."""
import random

import pytest

from mqttpkt import (PINGREQ, PINGRESP, RawPeer, gen_connect, gen_subscribe,
                     gen_unsubscribe, hexs, packet, suback, wait_until)

MAX_LEN_ERROR = "Remaining Length exceeds MAX_PAYLOAD_LEN"


def assert_still_serving(lib):
    """A new client is served and the reports still parse."""
    with RawPeer(lib.port) as p:
        p.handshake("probe")
        p.send_expect(PINGREQ, PINGRESP)
    assert lib.stats()["status"] == "running"
    lib.poll()


# Remaining Length fields: 268,435,455 in four bytes; the same with a fifth
# continuation byte; 1,048,577, one above the limit.
HUGE_LENGTHS = {"4 bytes": b"\xff\xff\xff\x7f", "5 bytes": b"\xff\xff\xff\xff\x7f",
                "limit + 1": b"\x81\x80\x40"}


@pytest.mark.parametrize("form", ["huge", "small"])
@pytest.mark.parametrize("ptype", range(16))
def test_every_packet_type_before_connect_closes_silently(broker, ptype, form):
    """Huge Remaining Length: refused before the type is looked at. Small
    packet: every type but CONNECT is refused before CONNECT, and a CONNECT
    of two bytes is too short to be one."""
    connected = RawPeer(broker.port).handshake("bystander")
    with RawPeer(broker.port) as p:
        if form == "huge":
            p.send(bytes([ptype << 4]) + HUGE_LENGTHS["4 bytes"] + b"\x00" * 16)
        else:
            p.send(packet(ptype << 4, b"\x00\x01"))
        p.expect_closed()
    assert broker.last_error() == (MAX_LEN_ERROR if form == "huge" else "")
    # Only the offending connection went.
    connected.send_expect(PINGREQ, PINGRESP)
    connected.close()
    assert_still_serving(broker)


@pytest.mark.parametrize("field", list(HUGE_LENGTHS))
@pytest.mark.parametrize("level", [4, 5])
def test_huge_remaining_length_after_connect(broker, level, field):
    with RawPeer(broker.port) as p:
        p.handshake("big", level=level, will=("will/big", b"w", 0, False))
        p.send(b"\x30" + HUGE_LENGTHS[field])
        p.expect_closed()
    assert broker.last_error() == MAX_LEN_ERROR
    # A protocol violation breaks the connection: its will is published.
    wait_until(lambda: [e["topic"] for e in broker.poll()] == ["will/big"], what="the will")
    assert_still_serving(broker)


def test_remaining_length_at_the_limit_is_accepted(broker):
    with RawPeer(broker.port) as p:
        p.handshake("c")
        p.send(b"\x30\x80\x80\x40" + b"\x00\x01t")  # 1,048,576: waits for the body
        p.expect_silence(0.3)
        p.send(b"x" * (1048576 - 3) + PINGREQ)
        p.expect(PINGRESP, timeout=10)
    assert broker.last_error() == ""
    [entry] = broker.poll()
    assert entry["topic"] == "t" and entry["payload"] == "x" * (1048576 - 3)


@pytest.mark.parametrize("level", [4, 5])
def test_fifth_length_byte_ends_the_field(broker, level):
    """The Remaining Length field is at most four bytes: C0 80 80 80 80 is a
    PINGREQ of length 0, and the byte after it starts the next packet."""
    with RawPeer(broker.port) as p:
        p.handshake("c", level=level)
        p.send(b"\xc0\x80\x80\x80\x80")
        p.expect(PINGRESP)
        p.send(b"\x00\x00" + PINGREQ)  # type 0, ignored once connected; then a PINGREQ
        p.expect(PINGRESP)


@pytest.mark.parametrize("level", [4, 5])
def test_second_connect_closes_without_reply_and_publishes_the_will(broker, level):
    with RawPeer(broker.port) as p:
        p.handshake("twice", level=level, will=("will/twice", b"w", 0, False))
        p.send(gen_connect("twice", level=level))
        p.expect_closed()
    wait_until(lambda: [e["topic"] for e in broker.poll()] == ["will/twice"], what="the will")
    assert broker.last_error() == ""
    assert_still_serving(broker)


GARBAGE_BEFORE_CONNECT = {
    "http request": b"GET / HTTP/1.1\r\nHost: localhost\r\n" + b"X-Pad: " + b"x" * 64 + b"\r\n\r\n",
    "tls client hello": bytes.fromhex("160301007a0100007603035b") + bytes(range(120)),
    "zeros": b"\x00" * 32,
    "ones": b"\xff" * 32,
    "mqtt 3.1 name": packet(0x10, b"\x00\x06MQIsdp\x03\x02\x00\x3c\x00\x01c"),
    "reserved flag": packet(0x10, b"\x00\x04MQTT\x04\x03\x00\x3c\x00\x01c"),
    "connect cut after level": packet(0x10, b"\x00\x04MQTT\x04"),
}


@pytest.mark.parametrize("name", list(GARBAGE_BEFORE_CONNECT))
def test_garbage_before_connect_closes_without_reply(broker, name):
    with RawPeer(broker.port) as p:
        p.send(GARBAGE_BEFORE_CONNECT[name])
        p.expect_closed()
    assert_still_serving(broker)


def test_unsupported_level_gets_connack_1(broker):
    with RawPeer(broker.port) as p:
        p.send(gen_connect("c", level=3))
        p.expect(b"\x20\x02\x00\x01")
        p.expect_closed()


def _t(level, l4, l5):
    return l5 if level == 5 else l4


# Complete packets with fields cut short, sent after CONNECT. Each row: the
# bytes for level 4 and level 5, and the reply expected at each level.
# A PINGREQ follows every row to show the connection is alive and in step.
TRUNCATED = {
    "publish qos1 ending after its topic": (b"\x32\x03\x00\x01a",) * 2 + (b"",) * 2,
    "publish shorter than its topic": (b"\x30\x03\x00\x09a",) * 2 + (b"",) * 2,
    "publish of one byte": (b"\x30\x01\x00",) * 2 + (b"",) * 2,
    "publish of no bytes": (b"\x30\x00",) * 2 + (b"",) * 2,
    "publish qos 3, never acknowledged": (b"\x36\x06\x00\x01a\x00\x01x",
                                          b"\x36\x07\x00\x01a\x00\x01\x00x", b"", b""),
    "subscribe with only an identifier": (b"\x82\x02\x00\x07", b"\x82\x02\x00\x07",
                                          b"\x90\x02\x00\x07", b"\x90\x03\x00\x07\x00"),
    "subscribe of one byte": (b"\x82\x01\x00",) * 2 + (b"",) * 2,
    "subscribe filter past the end": (b"\x82\x05\x00\x07\x00\x09a",
                                      b"\x82\x06\x00\x07\x00\x00\x09a",
                                      b"\x90\x02\x00\x07", b"\x90\x03\x00\x07\x00"),
    "subscribe last filter without options": (b"\x82\x05\x00\x07\x00\x01a",
                                              b"\x82\x06\x00\x07\x00\x00\x01a",
                                              b"\x90\x03\x00\x07\x00",
                                              b"\x90\x04\x00\x07\x00\x00"),
    "subscribe property length past the end": (b"\x82\x02\x00\x07", b"\x82\x04\x00\x07\x05\x00",
                                               b"\x90\x02\x00\x07", b"\x90\x03\x00\x07\x00"),
    "unsubscribe with only an identifier": (b"\xa2\x02\x00\x08", b"\xa2\x02\x00\x08",
                                            b"\xb0\x02\x00\x08", b"\xb0\x03\x00\x08\x00"),
    "unsubscribe of a filter never subscribed": (gen_unsubscribe(8, ["x"], 4),
                                                 gen_unsubscribe(8, ["x"], 5),
                                                 b"\xb0\x02\x00\x08",
                                                 b"\xb0\x04\x00\x08\x00\x11"),
    "puback, pubrel of no bytes": (b"\x40\x00\x62\x00",) * 2 + (b"",) * 2,
    "pubrel": (b"\x62\x02\x12\x34",) * 2 + (b"\x70\x02\x12\x34",) * 2,
    "pubrec, pubcomp and server-only types ignored": (
        b"\x50\x02\x00\x01\x70\x02\x00\x01\x20\x02\x00\x00\x90\x03\x00\x01\x00"
        b"\xb0\x02\x00\x01\xd0\x00\x00\x00\xf0\x03abc",) * 2 + (b"",) * 2,
}


@pytest.mark.parametrize("level", [4, 5])
@pytest.mark.parametrize("name", list(TRUNCATED))
def test_truncated_fields_inside_complete_packets(broker, name, level):
    l4, l5, r4, r5 = TRUNCATED[name]
    with RawPeer(broker.port) as p:
        p.handshake("t", level=level)
        p.send(_t(level, l4, l5) + PINGREQ)
        p.expect(_t(level, r4, r5) + PINGRESP)
    assert broker.last_error() == ""


@pytest.mark.parametrize("props, payload", [
    (b"\x05", ""),          # section longer than the packet: nothing is left
    (b"\x80", "\ufffd"),    # length cannot be decoded: taken as absent
    (b"\x02\x01\x01", "x"),  # a real section (payload format indicator)
])
def test_level5_publish_property_section_edges(broker, props, payload):
    with RawPeer(broker.port) as p:
        p.handshake("p5", level=5)
        body = b"\x00\x01a" + props + (b"x" if payload == "x" else b"")
        p.send(packet(0x30, body) + PINGREQ)
        p.expect(PINGRESP)
    assert [(e["topic"], e["payload"]) for e in broker.poll()] == [("a", payload)]


def _random_packet(rng):
    ptype = rng.choice([3, 3, 3, 4, 6, 8, 8, 10, 10, 12, 0, 2, 5, 7, 9, 11, 13, 15])
    flags = rng.randrange(16) if ptype == 3 and rng.random() < 0.5 else \
        (2 if ptype in (6, 8, 10) else 0)
    if ptype == 3 and (flags >> 1) & 3 == 2:
        flags &= ~0x04  # QoS 2 ends the connection; keep most streams going
    n = rng.choice([0, 1, 2, 3, 4, 5, 7, 12, 40, 300])
    body = bytes(rng.randrange(256) for _ in range(n))
    if ptype in (3, 8, 10) and n >= 2 and rng.random() < 0.7:
        # A plausible length prefix, sometimes off by a little.
        k = max(0, min(n - 2, rng.randrange(n)) + rng.choice([0, 0, 1, -1]))
        body = bytes([k >> 8, k & 0xFF]) + body[2:]
    return packet((ptype << 4) | flags, body)


@pytest.mark.parametrize("level", [4, 5])
def test_random_packets_after_connect_never_break_the_broker(broker, level):
    rng = random.Random(1000 + level)
    with RawPeer(broker.port) as sub:
        sub.handshake("watcher", level=level)
        sub.send_expect(gen_subscribe(1, [("#", 1)], level), suback(1, [1], level))
        for conn in range(20):
            p = RawPeer(broker.port)
            try:
                p.handshake("fuzz%d" % conn, level=level)
                stream = b"".join(_random_packet(rng) for _ in range(25))
                # Split at random points to exercise the partial-packet path.
                cuts = sorted(rng.sample(range(1, len(stream)), 3))
                for a, b in zip([0] + cuts, cuts + [len(stream)]):
                    p.send(stream[a:b])
                p.send(PINGREQ)
            except OSError:
                pass  # the broker may rightly have closed this one
            finally:
                p.close()
        # The watcher stays connected through all of it: whatever was routed
        # to it arrives as whole PUBLISH packets, then its PINGRESP.
        sub.send(PINGREQ)
        while True:
            b0, body = sub.read_packet()
            if b0 == 0xD0:
                break
            assert b0 >> 4 == 3, "unexpected packet %02x %s" % (b0, hexs(body))
    assert_still_serving(broker)


def test_random_bytes_before_connect(broker):
    rng = random.Random(7)
    for _ in range(30):
        blob = bytes(rng.randrange(256) for _ in range(rng.choice([2, 5, 64, 700])))
        with RawPeer(broker.port) as p:
            try:
                p.send(blob)
            except OSError:
                pass
    assert_still_serving(broker)
