"""ctypes wrapper around the broker library, one fresh copy per load.

Module state (retained store, history, counters, user list) belongs to the
loaded copy of the shared object and survives mqtt_broker_stop(). To give
every test its own broker, the .so is copied to a private path and loaded
from there with RTLD_LOCAL: the dynamic loader then treats it as a different
object from every other copy in the process.
"""
import ctypes
import json
import os
import shutil
import socket
import threading
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]
LIB_NAME = "libbrelvane-mqtt.so"

STOP_TIMEOUT_S = 10.0

STATS_KEYS = [
    "status", "tcp_port", "ws_port", "active_clients", "total_published",
    "total_received", "bytes_in", "bytes_out", "uptime_seconds",
    "retained_count", "sessions", "session_queued", "session_dropped",
]
POLL_KEYS = ["id", "topic", "payload", "qos", "retain", "client_id", "timestamp"]
TOPIC_KEYS = ["topic", "retained", "payload", "qos", "last_updated"]

# name -> (restype, argtypes). Calls missing from the library under test are
# simply not bound, so the tests that do not need them still run.
_PROTOTYPES = {
    "mqtt_broker_start": (ctypes.c_int, [ctypes.c_int, ctypes.c_int, ctypes.c_char_p]),
    "mqtt_broker_stop": (ctypes.c_int, []),
    "mqtt_broker_status": (ctypes.c_int, []),
    "mqtt_version": (ctypes.c_char_p, []),
    "mqtt_last_error": (ctypes.c_char_p, []),
    "mqtt_publish": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_int]),
    "mqtt_poll_messages_json": (ctypes.c_char_p, [ctypes.c_int]),
    "mqtt_get_topics_json": (ctypes.c_char_p, []),
    "mqtt_get_stats_json": (ctypes.c_char_p, []),
    "mqtt_set_storage_dir": (ctypes.c_int, [ctypes.c_char_p]),
    "mqtt_set_persistence_enabled": (ctypes.c_int, [ctypes.c_int]),
    "mqtt_set_log_enabled": (ctypes.c_int, [ctypes.c_int]),
    "mqtt_set_log_limits": (ctypes.c_int, [ctypes.c_int, ctypes.c_int, ctypes.c_int]),
    "mqtt_debug_set_clock_offset": (None, [ctypes.c_int64]),
    "mqtt_storage_flush": (ctypes.c_int, []),
    "mqtt_reset_state": (ctypes.c_int, []),
    "mqtt_get_storage_status_json": (ctypes.c_char_p, []),
}


def library_path():
    """The library under test: $BV_LIB, else the release build, else dev."""
    env = os.environ.get("BV_LIB")
    if env:
        p = Path(env)
        return p if p.is_absolute() else REPO_ROOT / p
    for preset in ("release", "dev"):
        p = REPO_ROOT / "build" / preset / LIB_NAME
        if p.exists():
            return p
    raise FileNotFoundError(
        "no %s under build/release or build/dev; build it or set BV_LIB" % LIB_NAME)


def free_port():
    """A TCP port that was free a moment ago (bound to port 0, then closed)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def _b(text):
    if text is None or isinstance(text, bytes):
        return text
    return text.encode()


class BrokerLib:
    """One private copy of the library; its calls with Python types."""

    def __init__(self, copy_dir, source=None):
        source = Path(source) if source else library_path()
        os.makedirs(copy_dir, exist_ok=True)
        self.path = Path(copy_dir) / LIB_NAME
        # copyfile follows the symlink chain to the real object.
        shutil.copyfile(source, self.path)
        self.dll = ctypes.CDLL(str(self.path), mode=os.RTLD_LOCAL)
        for name, (restype, argtypes) in _PROTOTYPES.items():
            try:
                fn = getattr(self.dll, name)
            except AttributeError:
                continue
            fn.restype = restype
            fn.argtypes = argtypes
        self.port = None

    def has(self, name):
        try:
            getattr(self.dll, name)
            return True
        except AttributeError:
            return False

    # ---- lifecycle ----
    def start(self, port=None, ws_port=0, auth=None):
        """Starts on `port` (a free one when None); returns the call's result."""
        if port is None:
            port = free_port()
        if auth is not None and not isinstance(auth, (str, bytes)):
            auth = json.dumps(auth)
        rc = self.dll.mqtt_broker_start(port, ws_port, _b(auth))
        if rc == 0:
            self.port = port
        return rc

    def stop(self, timeout=STOP_TIMEOUT_S):
        """Calls mqtt_broker_stop on a helper thread; fails if it hangs."""
        result = []
        t = threading.Thread(target=lambda: result.append(self.dll.mqtt_broker_stop()),
                             daemon=True)
        t.start()
        t.join(timeout)
        assert not t.is_alive(), "mqtt_broker_stop did not return within %.0f s" % timeout
        return result[0]

    def status(self):
        return self.dll.mqtt_broker_status()

    def version(self):
        return self.dll.mqtt_version().decode()

    def last_error(self):
        return self.dll.mqtt_last_error().decode()

    # ---- publishing ----
    def publish(self, topic, payload, qos=0, retain=False):
        return self.dll.mqtt_publish(_b(topic), _b(payload), qos, 1 if retain else 0)

    # ---- reports: raw text and parsed ----
    def poll_text(self, limit=0):
        return self.dll.mqtt_poll_messages_json(limit).decode()

    def poll(self, limit=0):
        return json.loads(self.poll_text(limit))

    def stats_text(self):
        return self.dll.mqtt_get_stats_json().decode()

    def stats(self):
        return json.loads(self.stats_text())

    def topics_text(self):
        return self.dll.mqtt_get_topics_json().decode()

    def topics(self):
        return json.loads(self.topics_text())
