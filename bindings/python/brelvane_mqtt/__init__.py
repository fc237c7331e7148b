"""Python binding of brelvane-mqtt, an MQTT broker that runs inside the process.

Pure ctypes over the library's C API: nothing is compiled, the installed
shared library is loaded at run time.

    from brelvane_mqtt import Broker

    with Broker(tcp_port=1883) as broker:
        broker.publish("home/kitchen/temperature", "21.5", qos=1, retain=True)
        for message in broker.poll_messages():
            print(message.id, message.topic, message.payload)
        print(broker.stats().total_published)

The library is found, in this order, at the path given to `Library(path)`,
at the path in the environment variable BRELVANE_MQTT_LIBRARY, or by the
dynamic loader's usual search (LD_LIBRARY_PATH, the ld.so cache, /usr/lib).

One loaded library is one broker: the retained messages, persistent sessions,
message history, counters and storage settings live as long as the library
stays loaded, across stops and starts. Calls that fail raise `BrokerError`
with the library's own reason. Texts returned by the library are copied into
Python objects at once, and each report call holds a lock until it is
copied, so the objects are safe to use from several threads.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import json
import os
import threading
from dataclasses import dataclass, fields
from typing import Any, Iterable, Mapping, Optional, Sequence, Union

__all__ = [
    "Broker",
    "BrokerError",
    "Library",
    "LibraryNotFoundError",
    "Message",
    "Stats",
    "StorageStatus",
    "TopicEntry",
    "default_library",
    "ENV_LIBRARY",
]

__version__ = "1.4.2"

# The environment variable naming the library file.
ENV_LIBRARY = "BRELVANE_MQTT_LIBRARY"

# Names tried with the loader's search, the SONAME first: a runtime-only
# install has no unversioned development link.
_LOADER_NAMES = ("libbrelvane-mqtt.so.1", "libbrelvane-mqtt.so")

Text = Union[str, bytes]


class BrokerError(RuntimeError):
    """A library call failed; `text` is the library's last-error text."""

    def __init__(self, call: str, text: str) -> None:
        super().__init__("%s: %s" % (call, text or "failed"))
        self.call = call
        self.text = text


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded from any place tried."""


# ---- parsed reports ---------------------------------------------------------


def _from_json(cls, obj: Mapping[str, Any]):
    # Keys the library may add later are ignored; a missing key is an error,
    # since it means the report is not the one this binding knows.
    try:
        return cls(**{f.name: obj[f.name] for f in fields(cls)})
    except KeyError as e:
        raise BrokerError(cls.__name__, "report lacks the field %s" % e) from None


@dataclass(frozen=True)
class Message:
    """One routed message of the history (the newest 500 are kept).

    `payload` is text: bytes that are not valid UTF-8 arrive as U+FFFD and
    the history keeps a payload only up to its first zero byte."""

    id: int
    topic: str
    payload: str
    qos: int
    retain: bool
    client_id: str
    timestamp: int


@dataclass(frozen=True)
class TopicEntry:
    """One topic carrying data: retained messages first, then history topics."""

    topic: str
    retained: bool
    payload: str
    qos: int
    last_updated: int


@dataclass(frozen=True)
class Stats:
    """Counters and settings of the broker."""

    status: str
    tcp_port: int
    ws_port: int
    active_clients: int
    total_published: int
    total_received: int
    bytes_in: int
    bytes_out: int
    uptime_seconds: int
    retained_count: int
    sessions: int
    session_queued: int
    session_dropped: int


@dataclass(frozen=True)
class StorageStatus:
    """Storage settings, counters and the latest warning ("" when none)."""

    dir: str
    active: bool
    persistence: bool
    log: bool
    log_file: str
    log_written: int
    log_dropped: int
    log_queue: int
    snapshots: int
    last_snapshot_ms: int
    write_errors: int
    loaded_retained: int
    loaded_sessions: int
    log_files: int
    log_bytes: int
    log_deleted: int
    retention_days: int
    max_total_mb: int
    max_file_mb: int
    warning: str


# ---- the library ------------------------------------------------------------

_c_int = ctypes.c_int
_c_text = ctypes.c_char_p

# name -> (restype, argtypes): the seventeen calls of brelvane_mqtt.h.
_PROTOTYPES = {
    "mqtt_broker_start": (_c_int, [_c_int, _c_int, _c_text]),
    "mqtt_broker_stop": (_c_int, []),
    "mqtt_broker_status": (_c_int, []),
    "mqtt_version": (_c_text, []),
    "mqtt_last_error": (_c_text, []),
    "mqtt_publish": (_c_int, [_c_text, _c_text, _c_int, _c_int]),
    "mqtt_poll_messages_json": (_c_text, [_c_int]),
    "mqtt_get_topics_json": (_c_text, []),
    "mqtt_get_stats_json": (_c_text, []),
    "mqtt_set_storage_dir": (_c_int, [_c_text]),
    "mqtt_set_persistence_enabled": (_c_int, [_c_int]),
    "mqtt_set_log_enabled": (_c_int, [_c_int]),
    "mqtt_set_log_limits": (_c_int, [_c_int, _c_int, _c_int]),
    "mqtt_debug_set_clock_offset": (None, [ctypes.c_int64]),
    "mqtt_storage_flush": (_c_int, []),
    "mqtt_reset_state": (_c_int, []),
    "mqtt_get_storage_status_json": (_c_text, []),
}

_INT_MAX = 2**31 - 1


def _encode(name: str, value: Text) -> bytes:
    """UTF-8 bytes for a C string; a zero byte would silently cut it short."""
    data = value.encode("utf-8") if isinstance(value, str) else bytes(value)
    if b"\0" in data:
        raise ValueError("%s must not contain a zero byte" % name)
    return data


def _c_int_arg(name: str, value: int, low: int = -_INT_MAX - 1) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int" % name)
    if not low <= value <= _INT_MAX:
        raise ValueError("%s out of range: %d" % (name, value))
    return value


def _users_json(users: Union[None, str, Mapping[str, str], Iterable[Any]]) -> Optional[bytes]:
    """The user list as the library takes it. Accepts None (no list), a JSON
    text, a {username: password} mapping, or (username, password) pairs."""
    if users is None:
        return None
    if isinstance(users, (str, bytes)):
        return _encode("users", users)
    if isinstance(users, Mapping):
        pairs: Iterable[Any] = users.items()
    else:
        pairs = users
    entries = [{"username": str(u), "password": str(p)} for u, p in pairs]
    return _encode("users", json.dumps({"users": entries}))


def _candidates(path: Optional[Union[str, os.PathLike]]) -> Sequence[str]:
    if path is not None:
        return [os.fspath(path)]
    env = os.environ.get(ENV_LIBRARY)
    if env:
        return [env]
    names = list(_LOADER_NAMES)
    found = ctypes.util.find_library("brelvane-mqtt")
    if found and found not in names:
        names.append(found)
    return names


class Library:
    """One loaded copy of the shared library, with typed calls.

    `path` names the library file; without it BRELVANE_MQTT_LIBRARY, then
    the loader's search is used. Loading the same file twice gives the same
    broker (the loader shares it); a copy of the file under another path is
    a separate broker with its own state.
    """

    def __init__(self, path: Optional[Union[str, os.PathLike]] = None) -> None:
        errors = []
        self._dll = None
        for candidate in _candidates(path):
            try:
                self._dll = ctypes.CDLL(candidate, mode=os.RTLD_LOCAL)
                self.path = candidate
                break
            except OSError as e:
                errors.append("%s (%s)" % (candidate, e))
        if self._dll is None:
            raise LibraryNotFoundError(
                "brelvane-mqtt library not found; tried: %s. Pass its path or set %s."
                % ("; ".join(errors), ENV_LIBRARY))
        for name, (restype, argtypes) in _PROTOTYPES.items():
            fn = getattr(self._dll, name)
            fn.restype = restype
            fn.argtypes = argtypes
        # Each report call returns a buffer the next call of the same
        # function replaces; the lock covers the call and the copy.
        self._report_lock = threading.Lock()

    def _check(self, call: str, rc: int) -> None:
        if rc != 0:
            raise BrokerError(call, self.last_error())

    def _report(self, fn, *args) -> str:
        with self._report_lock:
            raw = fn(*args)  # c_char_p: copied into bytes here
        return (raw or b"").decode("utf-8", errors="replace")

    # ---- lifecycle ----

    def start(self, tcp_port: int = 1883, ws_port: int = 0, users=None) -> None:
        """Starts the broker (tcp_port < 1 means 1883; ws_port 0: no
        WebSocket). Raises BrokerError when it cannot start, or when it was
        already running (the running broker is left as it is)."""
        auth = _users_json(users)
        was_running = self.running
        self._check("mqtt_broker_start",
                    self._dll.mqtt_broker_start(_c_int_arg("tcp_port", tcp_port),
                                                _c_int_arg("ws_port", ws_port), auth))
        if was_running:
            raise BrokerError("mqtt_broker_start",
                              self.last_error() or "Broker is already running")

    def stop(self) -> None:
        """Stops the broker; stopping a stopped broker does nothing."""
        self._dll.mqtt_broker_stop()

    @property
    def running(self) -> bool:
        return self._dll.mqtt_broker_status() == 1

    def version(self) -> str:
        return self._dll.mqtt_version().decode()

    def last_error(self) -> str:
        """The last error or warning text (per thread, as the library keeps it)."""
        raw = self._dll.mqtt_last_error()
        return (raw or b"").decode("utf-8", errors="replace")

    # ---- publishing ----

    def publish(self, topic: Text, payload: Optional[Text] = None, qos: int = 0,
                retain: bool = False) -> None:
        """Publishes as the host (client id "broker"), running or not.

        The payload is text or bytes without zero bytes (the C call takes a
        NUL-terminated text); str is sent as UTF-8."""
        if qos not in (0, 1, 2):
            raise ValueError("qos must be 0, 1 or 2, not %r" % (qos,))
        data = None if payload is None else _encode("payload", payload)
        self._check("mqtt_publish",
                    self._dll.mqtt_publish(_encode("topic", topic), data, qos, 1 if retain else 0))

    # ---- reports ----

    def poll_messages_json(self, limit: int = 0) -> str:
        return self._report(self._dll.mqtt_poll_messages_json, _c_int_arg("limit", limit))

    def poll_messages(self, limit: int = 0) -> list[Message]:
        """The newest routed messages (at most 500, or `limit`), oldest first.
        Ids only grow: keep the last id seen to tell new messages."""
        return [_from_json(Message, m) for m in json.loads(self.poll_messages_json(limit))]

    def topics_json(self) -> str:
        return self._report(self._dll.mqtt_get_topics_json)

    def topics(self) -> list[TopicEntry]:
        return [_from_json(TopicEntry, t) for t in json.loads(self.topics_json())]

    def stats_json(self) -> str:
        return self._report(self._dll.mqtt_get_stats_json)

    def stats(self) -> Stats:
        return _from_json(Stats, json.loads(self.stats_json()))

    def storage_status_json(self) -> str:
        return self._report(self._dll.mqtt_get_storage_status_json)

    def storage_status(self) -> StorageStatus:
        return _from_json(StorageStatus, json.loads(self.storage_status_json()))

    # ---- storage ----

    def set_storage_dir(self, directory: Optional[Union[str, os.PathLike]]) -> None:
        """Sets the storage directory (None or "" turns storage off). Only
        while the broker is stopped."""
        arg = None if directory is None else _encode("directory", os.fsencode(directory))
        self._check("mqtt_set_storage_dir", self._dll.mqtt_set_storage_dir(arg))

    def set_persistence_enabled(self, enabled: bool) -> None:
        """Snapshots of retained messages and sessions; only while stopped."""
        self._check("mqtt_set_persistence_enabled",
                    self._dll.mqtt_set_persistence_enabled(1 if enabled else 0))

    def set_log_enabled(self, enabled: bool) -> None:
        """The daily message log; takes effect at once."""
        self._check("mqtt_set_log_enabled", self._dll.mqtt_set_log_enabled(1 if enabled else 0))

    def set_log_limits(self, retention_days: Optional[int] = None,
                       max_total_mb: Optional[int] = None,
                       max_file_mb: Optional[int] = None) -> None:
        """Log limits; None keeps the current value, 0 means no limit."""
        def arg(name, value):
            return -1 if value is None else _c_int_arg(name, value, low=0)

        self._check("mqtt_set_log_limits", self._dll.mqtt_set_log_limits(
            arg("retention_days", retention_days), arg("max_total_mb", max_total_mb),
            arg("max_file_mb", max_file_mb)))

    def storage_flush(self) -> None:
        """Writes queued log records and both snapshots now; raises when
        storage is not active."""
        self._check("mqtt_storage_flush", self._dll.mqtt_storage_flush())

    def reset_state(self) -> None:
        """Empties retained messages, sessions and history (files are not
        touched). Only while the broker is stopped."""
        self._check("mqtt_reset_state", self._dll.mqtt_reset_state())

    def debug_set_clock_offset(self, seconds: int) -> None:
        """Shifts the storage clock; for tests."""
        self._dll.mqtt_debug_set_clock_offset(int(seconds))


_default: Optional[Library] = None
_default_lock = threading.Lock()


def default_library() -> Library:
    """The library found by the usual search, loaded once per process."""
    global _default
    with _default_lock:
        if _default is None:
            _default = Library()
        return _default


_KEEP = object()


class Broker:
    """A running broker for the extent of a `with` block (or between
    start() and stop()).

    Storage settings given here are applied before the start (the library
    accepts them only while stopped); None leaves a setting as it is. On
    leaving the block the broker is stopped; the state that outlives a stop
    (retained messages, sessions, history, counters) stays in the library.
    """

    def __init__(self, tcp_port: int = 1883, ws_port: int = 0, users=None, *,
                 storage_dir: Any = _KEEP, persistence: Optional[bool] = None,
                 log: Optional[bool] = None, library: Optional[Library] = None) -> None:
        self.library = library if library is not None else default_library()
        self.tcp_port = tcp_port
        self.ws_port = ws_port
        self._users = users
        self._storage_dir = storage_dir
        self._persistence = persistence
        self._log = log
        self._started = False

    def start(self) -> "Broker":
        lib = self.library
        if lib.running:
            # Checked before the settings: they would fail on a running
            # broker with a less helpful reason.
            raise BrokerError("mqtt_broker_start", "Broker is already running")
        if self._storage_dir is not _KEEP:
            lib.set_storage_dir(self._storage_dir)
        if self._persistence is not None:
            lib.set_persistence_enabled(self._persistence)
        if self._log is not None:
            lib.set_log_enabled(self._log)
        lib.start(self.tcp_port, self.ws_port, self._users)
        self._started = True
        return self

    def stop(self) -> None:
        self._started = False
        self.library.stop()

    def __enter__(self) -> "Broker":
        # `with Broker(...).start() as b:` is the same as `with Broker(...)`.
        return self if self._started else self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return self.library.running

    def publish(self, topic: Text, payload: Optional[Text] = None, qos: int = 0,
                retain: bool = False) -> None:
        self.library.publish(topic, payload, qos, retain)

    def poll_messages(self, limit: int = 0) -> list[Message]:
        return self.library.poll_messages(limit)

    def topics(self) -> list[TopicEntry]:
        return self.library.topics()

    def stats(self) -> Stats:
        return self.library.stats()

    def storage_status(self) -> StorageStatus:
        return self.library.storage_status()

    def storage_flush(self) -> None:
        self.library.storage_flush()

    def last_error(self) -> str:
        return self.library.last_error()
