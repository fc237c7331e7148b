"""The host's reports through ctypes: poll, topics and stats texts parse, have
their keys in order, and say what the broker routed."""
import json
import re

import pytest

from bvlib import POLL_KEYS, STATS_KEYS, TOPIC_KEYS
from mqttpkt import RawPeer, gen_publish, gen_subscribe, suback, wait_until


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


@pytest.mark.parametrize("level", [4, 5])
def test_poll_lists_every_entry_point_with_its_origin(broker, level):
    with RawPeer(broker.port) as p:
        p.handshake("pub-1", level=level, will=("will/t", b"bye", 1, False))
        p.send_expect(gen_publish("a/b", b"q1", qos=1, pid=9, level=level), b"\x40\x02\x00\x09")
        p.send(gen_publish("a/r", b"keep", retain=True, level=level))
        # The payload is reported up to its first NUL byte.
        p.send(gen_publish("a/nul", b"ab\x00cd", level=level))
        p.send_expect(b"\xc0\x00", b"\xd0\x00")
    # Closed without DISCONNECT: the will is routed under the client's id.
    wait_until(lambda: len(broker.poll()) == 4, what="the will in the history")
    assert broker.publish("host/t", "h", 1, retain=False) == 0

    text = broker.poll_text()
    entries = json.loads(text)
    assert text == compact(entries)  # compact, nothing but the listed keys
    assert all(list(e) == POLL_KEYS for e in entries)
    got = [(e["topic"], e["payload"], e["qos"], e["retain"], e["client_id"]) for e in entries]
    assert got == [
        ("a/b", "q1", 1, False, "pub-1"),
        ("a/r", "keep", 0, True, "pub-1"),
        ("a/nul", "ab", 0, False, "pub-1"),
        ("will/t", "bye", 1, False, "pub-1"),
        ("host/t", "h", 1, False, "broker"),
    ]
    ids = [e["id"] for e in entries]
    assert ids == list(range(ids[0], ids[0] + 5))
    assert all(isinstance(e["timestamp"], int) and e["timestamp"] > 1_600_000_000
               for e in entries)


def test_poll_limit_rule(broker):
    for i in range(10):
        broker.publish("t", str(i))
    def payloads(limit):
        return [e["payload"] for e in broker.poll(limit)]
    assert payloads(3) == ["7", "8", "9"]
    assert payloads(9) == [str(i) for i in range(1, 10)]
    for limit in (10, 20, 0, -1):
        assert payloads(limit) == [str(i) for i in range(10)], limit


@pytest.mark.parametrize("raw", [
    b"\xff\xfe",
    b"ok\xe2\x82",          # a cut three-byte sequence at the end
    b"\xed\xa0\x80x",       # an encoded surrogate
    b"\xc0\xafz",           # an overlong "/"
    b"\xf4\x90\x80\x80",    # above U+10FFFF
    "é€𝄞".encode(),         # valid, passes through unescaped
])
def test_reports_replace_invalid_utf8_and_keep_every_entry(broker, raw):
    with RawPeer(broker.port) as p:
        p.handshake(b"id-" + raw)
        p.send(gen_publish(b"bin/" + raw, raw, retain=True))
        p.send(gen_publish("next", b"after"))
        p.send_expect(b"\xc0\x00", b"\xd0\x00")
    want = raw.decode("utf-8", "replace")
    entries = broker.poll()
    assert [(e["topic"], e["payload"], e["client_id"]) for e in entries] == [
        ("bin/" + want, want, "id-" + want), ("next", "after", "id-" + want)]
    topics = broker.topics()
    assert [(t["topic"], t["payload"], t["retained"]) for t in topics] == [
        ("bin/" + want, want, True), ("next", "after", False)]
    # Non-ASCII text, U+FFFD included, is written as it is, not as \u escapes.
    assert "\\u" not in broker.poll_text()


def test_report_escaping(broker):
    broker.publish("a/b", 'q"b\\s/e\u00e9\nx\x01y')
    text = broker.poll_text()
    assert '"topic":"a/b"' in text                      # "/" is not escaped
    assert 'q\\"b\\\\s/e\u00e9\\nx' in text             # quote, backslash, newline
    assert re.search(r"\\u0001y", text, re.IGNORECASE)  # other control bytes
    assert json.loads(text)[0]["payload"] == 'q"b\\s/e\u00e9\nx\x01y'


def test_topics_report_order(broker):
    broker.publish("h/1", "a")
    broker.publish("r/1", "old", 1, retain=True)
    broker.publish("h/1", "b")
    broker.publish("r/2", "x", 0, retain=True)
    broker.publish("r/1", "new", 0, retain=True)   # replaced: keeps its place
    broker.publish("gone", "v", 0, retain=True)
    broker.publish("gone", "", 0, retain=True)     # cleared: only history remains
    text = broker.topics_text()
    topics = json.loads(text)
    assert text == compact(topics)
    assert all(list(t) == TOPIC_KEYS for t in topics)
    got = [(t["topic"], t["retained"], t["payload"], t["qos"]) for t in topics]
    assert got == [
        ("r/2", True, "x", 0),
        ("r/1", True, "new", 0),
        ("h/1", False, "a", 0),
        ("h/1", False, "b", 0),
        ("gone", False, "v", 0),
        ("gone", False, "", 0),
    ]


def test_stats_report_counts(broker):
    port = broker.port
    text = broker.stats_text()
    stats = json.loads(text)
    assert list(stats) == STATS_KEYS
    assert text == compact(stats)
    assert (stats["status"], stats["tcp_port"], stats["ws_port"]) == ("running", port, 0)
    assert all(isinstance(stats[k], int) for k in STATS_KEYS[1:])

    with RawPeer(port) as sub, RawPeer(port) as pub:
        sub.handshake("s")
        sub.send_expect(gen_subscribe(1, [("t/#", 1)]), suback(1, [1]))
        pub.handshake("p")
        wait_until(lambda: broker.stats()["active_clients"] == 2, what="two clients")
        pub.send_expect(gen_publish("t/1", b"x", qos=1, pid=3), b"\x40\x02\x00\x03")
        sub.read_packet()
        # A PUBLISH that is ignored for being too short still counts.
        pub.send(b"\x32\x03\x00\x01t")
        pub.send_expect(b"\xc0\x00", b"\xd0\x00")
        broker.publish("t/2", "h", 0, retain=True)
        sub.read_packet()
        s = broker.stats()
        assert (s["total_received"], s["total_published"], s["retained_count"]) == (2, 1, 1)
        assert s["bytes_in"] >= len(gen_publish("t/1", b"x", qos=1)) + 2
        assert s["bytes_out"] > 0
    wait_until(lambda: broker.stats()["active_clients"] == 0, what="clients gone")
    assert broker.stats()["sessions"] == 0
