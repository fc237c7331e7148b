"""Lifecycle seen from outside: one loaded copy is one broker, its state
outlives a stop, and a stop publishes no wills."""
import socket

import pytest

from bvlib import STATS_KEYS, free_port
from mqttpkt import RawPeer, gen_publish, gen_subscribe, suback, wait_until


def test_two_loaded_copies_keep_separate_state(loader):
    a = loader.start(auth=[{"username": "u", "password": "p"}])
    b = loader.start()

    assert a.publish("shared/t", "from-a", 0, retain=True) == 0
    assert [m["payload"] for m in a.poll()] == ["from-a"]
    assert b.poll_text() == "[]"
    assert b.topics_text() == "[]"
    assert b.stats()["total_published"] == 0
    assert b.stats()["retained_count"] == 0

    # A subscriber of b sees nothing of what a routes, and b needs no
    # credentials although a has a user list.
    with RawPeer(b.port) as sub_b, RawPeer(a.port) as pub_a:
        sub_b.handshake("sub-b")
        sub_b.send_expect(gen_subscribe(1, [("#", 0)]), suback(1, [0]))
        pub_a.handshake("pub-a", username="u", password="p")
        pub_a.send(gen_publish("shared/t", b"live", qos=1, pid=7))
        pub_a.expect(b"\x40\x02\x00\x07")
        sub_b.expect_silence(0.3)
        assert b.stats()["total_received"] == 0
        assert a.stats()["total_received"] == 1

    # Stopping one copy leaves the other running.
    assert a.stop() == 0
    assert a.status() == 0 and b.status() == 1
    with RawPeer(b.port) as p:
        p.handshake("still-here")


def test_defaults_before_first_start_and_double_start(lib):
    assert lib.version() == "1.4.2"
    assert lib.status() == 0
    assert lib.last_error() == ""
    stats = lib.stats()
    assert list(stats) == STATS_KEYS
    assert (stats["status"], stats["tcp_port"], stats["ws_port"], stats["uptime_seconds"]) == \
        ("stopped", 1883, 9001, 0)
    assert lib.stop() == 0  # stopping a stopped broker does nothing

    port = free_port()
    assert lib.start(port) == 0, lib.last_error()
    other = free_port()
    # A second start reports success, changes nothing and names the reason;
    # its (invalid) user list is not even read.
    assert lib.start(other, auth="not json") == 0
    assert lib.last_error() == "Broker is already running"
    assert lib.stats()["tcp_port"] == port
    with RawPeer(port) as p:
        p.handshake("anon")  # still no user list in force
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", other), timeout=1).close()


def test_state_survives_stop_and_restart(loader):
    lib = loader.start()
    port = lib.port
    with RawPeer(port) as p:
        p.handshake("pub")
        p.send_expect(gen_publish("keep/me", b"r1", qos=1, pid=1, retain=True), b"\x40\x02\x00\x01")
    lib.publish("plain", "h1")
    before = lib.stats()
    assert lib.stop() == 0
    after_stop = lib.stats()
    assert after_stop["status"] == "stopped" and after_stop["uptime_seconds"] == 0
    for key in ("total_published", "total_received", "bytes_in", "bytes_out", "retained_count"):
        assert after_stop[key] == before[key], key

    assert lib.start(port) == 0, lib.last_error()
    assert lib.last_error() == ""
    assert [m["payload"] for m in lib.poll()] == ["r1", "h1"]
    with RawPeer(port) as p:
        p.handshake("sub")
        p.send(gen_subscribe(2, [("keep/#", 1)]))
        p.expect(suback(2, [1]))
        b0, body = p.read_packet()
        # Retained copy: QoS 1, RETAIN set, any identifier, then the payload.
        assert b0 == 0x33 and body[:9] == b"\x00\x07keep/me" and body[11:] == b"r1"


@pytest.mark.parametrize("level", [4, 5])
def test_stop_with_clients_connected_publishes_no_will(loader, level):
    lib = loader.start()
    peer = RawPeer(lib.port)
    peer.handshake("w", level=level, will=("will/t", b"gone", 0, True))
    wait_until(lambda: lib.stats()["active_clients"] == 1, what="client counted")
    assert lib.stop() == 0
    peer.expect_closed()
    peer.close()
    assert lib.poll_text() == "[]"
    assert lib.stats()["retained_count"] == 0


def test_host_publish_works_before_the_first_start(loader):
    lib = loader.load()
    assert lib.publish("", "x") == -1
    assert lib.last_error() == "Invalid topic name"
    assert lib.publish("pre/t", "early", 1, retain=True) == 0
    assert lib.publish("pre/empty", None) == 0  # NULL payload: an empty message
    assert [(e["topic"], e["payload"], e["client_id"]) for e in lib.poll()] == [
        ("pre/t", "early", "broker"), ("pre/empty", "", "broker")]
    loader.start(lib)
    with RawPeer(lib.port) as p:
        p.handshake("late")
        p.send(gen_subscribe(1, [("pre/#", 0)]))
        p.expect(suback(1, [0]))
        # The retained copy at the granted QoS 0: RETAIN set, no identifier.
        p.expect(b"\x31\x0c\x00\x05pre/tearly")
