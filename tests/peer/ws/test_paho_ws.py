"""paho-mqtt's WebSocket transport (Debian's python3-paho-mqtt, 1.6 API)
against the broker daemon (BV_DAEMON): subscribe and publish at QoS 0 and 1,
payloads from 10 bytes to 200 KiB, both directions. Every wait is bounded.

paho offers no permessage-deflate and writes the header name as
"Sec-Websocket-Protocol", which the broker matches case-sensitively, so the
upgrade is answered without a protocol line; paho does not need one."""
import os
import queue
import signal
import socket
import subprocess
import threading
from pathlib import Path

import paho.mqtt.client as mqtt
import pytest

WAIT = 10.0
ROOT = Path(__file__).resolve().parents[3]
SIZES = [10, 1000, 70 * 1024, 200 * 1024]


def daemon_path():
    if os.environ.get("BV_DAEMON"):
        return os.environ["BV_DAEMON"]
    for build in ("release", "dev"):
        candidate = ROOT / "build" / build / "daemon" / "brelvane-mqttd"
        if candidate.exists():
            return str(candidate)
    pytest.fail("no broker daemon: build it or set BV_DAEMON")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def daemon():
    port, ws_port = free_port(), free_port()
    proc = subprocess.Popen([daemon_path(), "--port", str(port), "--ws-port", str(ws_port), "--no-storage"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        # The daemon prints one line once it listens.
        line = _readline(proc, WAIT)
        assert "ws://" in line, f"daemon did not start: {line!r}"
        yield port, ws_port
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            code = proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            code = proc.wait()
        assert code == 0


def _readline(proc, timeout):
    result = queue.Queue()
    threading.Thread(target=lambda: result.put(proc.stdout.readline()), daemon=True).start()
    try:
        return result.get(timeout=timeout)
    except queue.Empty:
        return ""


class Peer:
    def __init__(self, client_id, port, transport):
        self.c = mqtt.Client(client_id=client_id, protocol=mqtt.MQTTv311, transport=transport)
        if transport == "websockets":
            self.c.ws_set_options(path="/mqtt")
        self.c.reconnect_delay_set(60, 60)
        self.messages = queue.Queue()
        self.connack = queue.Queue()
        self.subacks = queue.Queue()
        self.published = queue.Queue()
        self.c.on_connect = lambda c, u, flags, rc: self.connack.put(rc)
        self.c.on_message = lambda c, u, m: self.messages.put((m.topic, m.payload, m.qos))
        self.c.on_subscribe = lambda c, u, mid, granted: self.subacks.put(granted)
        self.c.on_publish = lambda c, u, mid: self.published.put(mid)
        self.c.connect("127.0.0.1", port, keepalive=30)
        self.c.loop_start()
        assert self.connack.get(timeout=WAIT) == 0

    def subscribe(self, topic, qos):
        self.c.subscribe(topic, qos)
        assert self.subacks.get(timeout=WAIT) == (qos,)

    def publish(self, topic, payload, qos):
        info = self.c.publish(topic, payload, qos)
        info.wait_for_publish(timeout=WAIT)
        assert info.is_published()

    def next_message(self):
        return self.messages.get(timeout=WAIT)

    def close(self):
        self.c.disconnect()
        self.c.loop_stop()


def payload_of(size, seed):
    return bytes((i * 31 + seed) % 251 for i in range(size))


def test_paho_websocket_round_trips(daemon):
    port, ws_port = daemon
    ws_sub = Peer("paho-ws-sub", ws_port, "websockets")
    ws_pub = Peer("paho-ws-pub", ws_port, "websockets")
    tcp = Peer("paho-tcp", port, "tcp")
    try:
        ws_sub.subscribe("paho/ws/#", 1)
        tcp.subscribe("paho/ws/#", 1)
        ws_pub.subscribe("paho/back/#", 1)
        for qos in (0, 1):
            for size in SIZES:
                payload = payload_of(size, size + qos)
                topic = f"paho/ws/q{qos}/s{size}"
                ws_pub.publish(topic, payload, qos)
                for peer in (ws_sub, tcp):
                    assert peer.next_message() == (topic, payload, qos)
                back = f"paho/back/q{qos}/s{size}"
                tcp.publish(back, payload, qos)
                assert ws_pub.next_message() == (back, payload, qos)
    finally:
        for peer in (ws_sub, ws_pub, tcp):
            peer.close()
