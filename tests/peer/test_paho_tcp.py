"""paho-mqtt (Debian's python3-paho-mqtt, 1.6 API) over TCP at MQTT 3.1.1 and 5."""
import queue
import socket
import threading
import time

import paho.mqtt.client as mqtt
import pytest

from mqttpkt import wait_until

WAIT = 5.0
LEVELS = {"v311": mqtt.MQTTv311, "v5": mqtt.MQTTv5}


class Peer:
    """A paho client on its own network thread, with bounded waits."""

    def __init__(self, port, client_id, protocol, clean=True, keepalive=30,
                 username=None, password=None, will=None):
        self.port = port
        self.protocol = protocol
        kw = {"clean_session": clean} if protocol == mqtt.MQTTv311 else {}
        self.c = mqtt.Client(client_id=client_id, protocol=protocol, **kw)
        self.clean = clean
        self.keepalive = keepalive
        if username is not None:
            self.c.username_pw_set(username, password)
        if will is not None:
            topic, payload, qos, retain = will
            self.c.will_set(topic, payload, qos, retain)
        self.c.reconnect_delay_set(60, 60)  # never retry within a test
        self.messages = queue.Queue()
        self.connack = queue.Queue()
        self.subacks = {}
        self.disconnected = threading.Event()
        self.c.on_connect = self._on_connect
        self.c.on_message = lambda c, u, m: self.messages.put(m)
        self.c.on_subscribe = self._on_subscribe
        self.c.on_disconnect = lambda c, u, rc, props=None: self.disconnected.set()

    def _on_connect(self, client, userdata, flags, rc, properties=None):
        self.connack.put((int(rc.value) if hasattr(rc, "value") else rc, flags))

    def _on_subscribe(self, client, userdata, mid, granted, properties=None):
        codes = [g.value if hasattr(g, "value") else g for g in granted]
        self.subacks.setdefault(mid, queue.Queue()).put(codes)

    def connect(self):
        """CONNECT and its CONNACK: (return or reason code, session present)."""
        kw = {} if self.protocol == mqtt.MQTTv311 else {"clean_start": self.clean}
        self.c.connect("127.0.0.1", self.port, keepalive=self.keepalive, **kw)
        self.c.loop_start()
        rc, flags = self.connack.get(timeout=WAIT)
        return rc, flags["session present"]

    def connected(self):
        rc, session_present = self.connect()
        assert rc == 0
        return self

    def subscribe(self, *filters):
        """filters: (filter, qos) pairs; returns the granted codes."""
        rc, mid = self.c.subscribe(list(filters))
        assert rc == mqtt.MQTT_ERR_SUCCESS
        # on_subscribe may run before subacks[mid] exists; both share the queue.
        return self.subacks.setdefault(mid, queue.Queue()).get(timeout=WAIT)

    def publish(self, topic, payload, qos=0, retain=False):
        info = self.c.publish(topic, payload, qos, retain)
        info.wait_for_publish(timeout=WAIT)
        assert info.is_published()

    def next_message(self, timeout=WAIT):
        return self.messages.get(timeout=timeout)

    def no_message(self, wait=0.4):
        with pytest.raises(queue.Empty):
            m = self.messages.get(timeout=wait)
            pytest.fail("unexpected message %s %r" % (m.topic, m.payload))

    def disconnect(self):
        self.c.disconnect()
        self.disconnected.wait(WAIT)
        self.c.loop_stop()

    def drop(self):
        """Ends the connection without DISCONNECT, as a crashed client would."""
        self.c.loop_stop()
        sock = self.c.socket()
        sock.shutdown(socket.SHUT_RDWR)
        sock.close()


@pytest.fixture
def peers():
    made = []

    def make(*args, **kw):
        p = Peer(*args, **kw)
        made.append(p)
        return p
    yield make
    for p in made:
        try:
            p.c.disconnect()
        except Exception:
            pass
        p.c.loop_stop()


@pytest.fixture(params=list(LEVELS))
def level(request):
    return LEVELS[request.param]


@pytest.mark.parametrize("user, password, accepted", [
    ("alice", "secret", True),
    ("alice", "wrong", False),
    ("mallory", "secret", False),
    (None, None, False),
])
def test_credentials(loader, peers, level, user, password, accepted):
    lib = loader.start(auth=[{"username": "alice", "password": "secret"}])
    p = peers(lib.port, "cred", level, username=user, password=password,
              will=("cred/will", "w", 0, False))
    rc, session_present = p.connect()
    if accepted:
        assert rc == 0
        p.subscribe(("cred/t", 1))
        p.publish("cred/t", b"in", 1)
        assert p.next_message().payload == b"in"
    else:
        # 3.1.1: "not authorised"; 5: "bad user name or password".
        assert rc == (134 if level == mqtt.MQTTv5 else 5)
        assert session_present == 0
        assert p.disconnected.wait(WAIT), "the broker kept the refused connection"
        assert lib.poll_text() == "[]"  # nothing routed, no will


def test_qos_round_trips(broker, peers, level):
    sub = peers(broker.port, "sub", level).connected()
    assert sub.subscribe(("rt/0", 0), ("rt/1", 1)) == [0, 1]
    pub = peers(broker.port, "pub", level).connected()
    sent = [("rt/0", 0), ("rt/0", 1), ("rt/1", 0), ("rt/1", 1)]
    for i, (topic, qos) in enumerate(sent):
        pub.publish(topic, b"m%d" % i, qos)
    got = [sub.next_message() for _ in sent]
    # Delivered at the lower of the published and the granted QoS, RETAIN clear.
    assert [(m.topic, m.payload, m.qos, m.retain) for m in got] == [
        ("rt/0", b"m0", 0, 0), ("rt/0", b"m1", 0, 0), ("rt/1", b"m2", 0, 0), ("rt/1", b"m3", 1, 0)]
    assert broker.stats()["total_received"] == 4


def test_wildcard_subscriptions(broker, peers, level):
    filters = ["sport/+/score", "sport/#", "+/+", "#", "$SYS/#"]
    subs = {}
    for i, f in enumerate(filters):
        subs[f] = peers(broker.port, "w%d" % i, level).connected()
        assert subs[f].subscribe((f, 1)) == [1]
    pub = peers(broker.port, "wpub", level).connected()
    topics = ["sport/tennis/score", "sport/tennis/player/score", "sport", "a/b", "$SYS/load"]
    for t in topics:
        pub.publish(t, t.encode(), 1)
    expected = {
        "sport/+/score": ["sport/tennis/score"],
        "sport/#": ["sport/tennis/score", "sport/tennis/player/score", "sport"],
        "+/+": ["a/b"],
        "#": ["sport/tennis/score", "sport/tennis/player/score", "sport", "a/b"],
        "$SYS/#": ["$SYS/load"],
    }
    for f, want in expected.items():
        got = [subs[f].next_message().topic for _ in want]
        assert got == want, f
        subs[f].no_message(0.1)


def test_retained_message_on_subscribe(broker, peers, level):
    pub = peers(broker.port, "rpub", level).connected()
    pub.publish("ret/a", b"client-retained", 1, retain=True)
    broker.publish("ret/b", "host-retained", 0, retain=True)
    pub.publish("ret/c", b"", 1, retain=True)  # an empty retained message stores nothing

    sub = peers(broker.port, "rsub", level).connected()
    assert sub.subscribe(("ret/#", 1)) == [1]
    got = sorted((m.topic, m.payload, m.qos, m.retain) for m in
                 (sub.next_message(), sub.next_message()))
    assert got == [("ret/a", b"client-retained", 1, 1), ("ret/b", b"host-retained", 0, 1)]
    sub.no_message(0.2)
    # A live copy of a client's retained publication carries RETAIN 0.
    pub.publish("ret/a", b"again", 1, retain=True)
    m = sub.next_message()
    assert (m.topic, m.payload, m.retain) == ("ret/a", b"again", 0)


@pytest.mark.parametrize("will_retain", [False, True])
def test_will_on_abrupt_close(broker, peers, level, will_retain):
    watcher = peers(broker.port, "watcher", level).connected()
    assert watcher.subscribe(("will/#", 1)) == [1]
    doomed = peers(broker.port, "doomed", level, will=("will/doomed", b"gone", 1, will_retain))
    doomed.connected()
    doomed.drop()
    m = watcher.next_message()
    assert (m.topic, m.payload, m.qos, m.retain) == ("will/doomed", b"gone", 1, 0)
    assert [e["client_id"] for e in broker.poll()] == ["doomed"]
    assert broker.stats()["retained_count"] == (1 if will_retain else 0)

    # A clean DISCONNECT disarms the will.
    polite = peers(broker.port, "polite", level, will=("will/polite", b"x", 1, False))
    polite.connected()
    polite.disconnect()
    watcher.no_message(0.3)


@pytest.mark.parametrize("keepalive", [
    1,
    2,
])
def test_keepalive_pings_keep_the_connection(broker, peers, level, keepalive):
    p = peers(broker.port, "pinger", level, keepalive=keepalive).connected()
    wait_until(lambda: broker.stats()["active_clients"] == 1, what="client counted")
    bytes_in = broker.stats()["bytes_in"]
    time.sleep(3.2)
    # paho closes its side itself when a PINGRESP is missing, so staying
    # connected means the pings were answered.
    assert not p.disconnected.is_set()
    assert broker.stats()["active_clients"] == 1
    pings = {1: 2, 2: 1}[keepalive]  # at least, in 3.2 s
    assert broker.stats()["bytes_in"] - bytes_in >= 2 * pings
    assert p.subscribe(("ka/t", 0)) == [0]
    broker.publish("ka/t", "alive")
    assert p.next_message().payload == b"alive"


def test_persistent_session_at_311_delivers_what_was_missed(broker, peers):
    first = peers(broker.port, "durable", mqtt.MQTTv311, clean=False)
    assert first.connect() == (0, 0)
    assert first.subscribe(("sess/#", 1)) == [1]
    first.disconnect()

    pub = peers(broker.port, "spub", mqtt.MQTTv311).connected()
    pub.publish("sess/q1", b"while-away", 1)
    pub.publish("sess/q0", b"qos0-not-kept", 0)
    broker.publish("sess/host", "from-host", 1)
    wait_until(lambda: broker.stats()["session_queued"] == 2, what="two queued messages")

    again = peers(broker.port, "durable", mqtt.MQTTv311, clean=False)
    assert again.connect() == (0, 1)
    got = [again.next_message() for _ in range(2)]
    assert [(m.topic, m.payload, m.qos) for m in got] == [
        ("sess/q1", b"while-away", 1), ("sess/host", b"from-host", 1)]
    again.no_message(0.2)
    # paho acknowledged both: the queue is empty, the subscription stays.
    wait_until(lambda: broker.stats()["session_queued"] == 0, what="acknowledged")
    again.disconnect()

    third = peers(broker.port, "durable", mqtt.MQTTv311, clean=False)
    assert third.connect() == (0, 1)
    third.no_message(0.3)
    broker.publish("sess/live", "live", 1)
    assert third.next_message().payload == b"live"
    assert broker.stats()["sessions"] == 1


def test_level5_never_resumes_a_session(broker, peers):
    first = peers(broker.port, "durable5", mqtt.MQTTv5, clean=False)
    assert first.connect() == (0, 0)
    assert first.subscribe(("sess/#", 1)) == [1]
    first.disconnect()
    broker.publish("sess/q1", "while-away", 1)
    again = peers(broker.port, "durable5", mqtt.MQTTv5, clean=False)
    assert again.connect() == (0, 0)
    again.no_message(0.4)
    assert broker.stats()["sessions"] == 0
