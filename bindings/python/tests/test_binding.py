"""The Python binding against the real library: typed results, errors with
the library's text, storage settings, library lookup and thread safety."""
import json
import os
import re
import socket
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import brelvane_mqtt
from brelvane_mqtt import Broker, BrokerError, Library, LibraryNotFoundError, Message

from binding_support import BINDING_DIR, REPO_ROOT, free_port


def test_versions_agree(lib):
    cmake = (REPO_ROOT / "CMakeLists.txt").read_text()
    project = re.search(r"project\(brelvane-mqtt VERSION ([0-9.]+)", cmake).group(1)
    pyproject = re.search(r'^version = "([^"]+)"', (BINDING_DIR / "pyproject.toml").read_text(),
                          re.M).group(1)
    assert lib.version() == project == pyproject == brelvane_mqtt.__version__


def test_broker_serves_publishes_and_reports(copies):
    lib = copies.load()
    with copies.start(lib) as broker:
        assert lib.running and broker.running
        # The port really listens: an MQTT 3.1.1 CONNECT gets its CONNACK.
        with socket.create_connection(("127.0.0.1", broker.tcp_port), timeout=10) as s:
            s.sendall(bytes.fromhex("100c00044d5154540402003c0000"))
            assert s.recv(4) == bytes.fromhex("20020000")
        broker.publish("home/kitchen/temperature", "21.5", qos=1, retain=True)
        broker.publish("caf\u00e9/\u00fc", b"\xffraw")  # bytes, not UTF-8
        broker.publish("home/door", None)
        messages = broker.poll_messages()
        stats = broker.stats()
        topics = broker.topics()

    assert not lib.running
    assert messages == [
        Message(messages[0].id, "home/kitchen/temperature", "21.5", 1, True, "broker",
                messages[0].timestamp),
        Message(messages[1].id, "caf\u00e9/\u00fc", "\ufffdraw", 0, False, "broker",
                messages[1].timestamp),
        Message(messages[2].id, "home/door", "", 0, False, "broker", messages[2].timestamp),
    ]
    assert messages[0].id < messages[1].id < messages[2].id
    assert isinstance(messages[0].timestamp, int) and messages[0].timestamp > 1_600_000_000
    assert [m.topic for m in lib.poll_messages(limit=1)] == ["home/door"]
    assert stats.status == "running" and stats.tcp_port == broker.tcp_port
    assert (stats.total_published, stats.retained_count) == (3, 1)
    assert [(t.topic, t.retained) for t in topics] == [
        ("home/kitchen/temperature", True), ("caf\u00e9/\u00fc", False), ("home/door", False)]
    # What outlives a stop stays readable; the raw texts parse to the same.
    assert lib.stats().status == "stopped"
    assert len(lib.poll_messages()) == 3
    assert json.loads(lib.stats_json())["total_published"] == 3


def test_failed_calls_raise_with_the_library_text(copies, tmp_path):
    lib = copies.load()
    with pytest.raises(BrokerError) as e:
        lib.publish("", "x")
    assert (e.value.call, e.value.text) == ("mqtt_publish", "Invalid topic name")
    with pytest.raises(BrokerError, match="storage is not active"):
        lib.storage_flush()
    with pytest.raises(BrokerError, match="no valid users"):
        lib.start(free_port(), 0, users='[{"name":"x"}]')
    assert not lib.running

    broker = copies.start(lib, users={"alice": "secret"})
    for call, args in [(lib.set_storage_dir, (str(tmp_path),)),
                       (lib.set_persistence_enabled, (False,)),
                       (lib.reset_state, ())]:
        with pytest.raises(BrokerError, match="stop the broker first|while"):
            call(*args)
    # A second start leaves the running broker alone.
    with pytest.raises(BrokerError, match="already running"):
        Broker(free_port(), library=lib).start()
    with pytest.raises(BrokerError, match="already running"):
        lib.start(free_port())
    assert lib.running and lib.stats().tcp_port == broker.tcp_port
    broker.stop()

    # A port that is taken: the start fails and the broker stays stopped.
    with socket.socket() as taken:
        taken.bind(("0.0.0.0", 0))
        taken.listen()
        with pytest.raises(BrokerError) as e:
            lib.start(taken.getsockname()[1])
    assert e.value.text == "Failed to bind TCP port"
    assert not lib.running


@pytest.mark.parametrize("call, error", [
    (lambda lib: lib.publish("a\0b", "x"), ValueError),
    (lambda lib: lib.publish("a", "x\0y"), ValueError),
    (lambda lib: lib.publish("a", b"x\0"), ValueError),
    (lambda lib: lib.publish("a", "x", qos=3), ValueError),
    (lambda lib: lib.publish("a", "x", qos=-1), ValueError),
    (lambda lib: lib.start("1883"), TypeError),
    (lambda lib: lib.start(2**31), ValueError),
    (lambda lib: lib.set_log_limits(retention_days=-5), ValueError),
    (lambda lib: lib.set_storage_dir("dir\0x"), ValueError),
])
def test_arguments_the_c_call_would_cut_are_refused(lib, call, error):
    with pytest.raises(error):
        call(lib)
    assert lib.poll_messages() == [] and not lib.running


def test_storage_settings_and_restart_from_snapshot(copies, tmp_path):
    data = tmp_path / "data"
    first = copies.load()
    first.set_log_limits(retention_days=7)
    with copies.start(first, storage_dir=data, persistence=True, log=True) as broker:
        broker.publish("plant/state", "running", qos=1, retain=True)
        broker.storage_flush()
        status = broker.storage_status()
    assert status.active and status.dir == str(data) and status.log
    assert status.log_written >= 1 and status.snapshots >= 1
    assert (status.retention_days, status.max_total_mb) == (7, 1024)

    # A fresh library (a new process, as far as the broker knows) loads the
    # retained message from the snapshot.
    second = copies.load()
    with copies.start(second, storage_dir=data):
        assert second.storage_status().loaded_retained == 1
        assert [(t.topic, t.payload) for t in second.topics()] == [("plant/state", "running")]
    second.set_storage_dir(None)
    assert second.storage_status().dir == ""


def test_library_lookup(copies, monkeypatch, tmp_path):
    path = copies.path()
    monkeypatch.setenv(brelvane_mqtt.ENV_LIBRARY, str(path))
    assert Library().path == str(path)
    monkeypatch.setenv(brelvane_mqtt.ENV_LIBRARY, str(tmp_path / "missing.so"))
    with pytest.raises(LibraryNotFoundError, match=brelvane_mqtt.ENV_LIBRARY):
        Library()
    with pytest.raises(LibraryNotFoundError, match="nowhere.so"):
        Library(tmp_path / "nowhere.so")

    # The loader's search, as an installed runtime package offers it: only
    # the SONAME file, found through LD_LIBRARY_PATH.
    soname = copies.path("libbrelvane-mqtt.so.1")
    env = dict(os.environ, LD_LIBRARY_PATH=str(soname.parent),
               PYTHONPATH=str(BINDING_DIR))
    env.pop(brelvane_mqtt.ENV_LIBRARY)
    out = subprocess.run(
        [sys.executable, "-c",
         "import brelvane_mqtt as b; l = b.default_library(); print(l.path, l.version())"],
        env=env, capture_output=True, text=True, timeout=60, check=True).stdout.split()
    assert out == ["libbrelvane-mqtt.so.1", brelvane_mqtt.__version__]


def test_reports_from_many_threads(copies):
    lib = copies.load()
    # Long texts, so that each new report replaces a large buffer.
    for i in range(500):
        lib.publish("load/%d" % i, "x" * 200)
    errors = []

    def reader(seed):
        try:
            for i in range(100):
                # Each limit gives a text of another size, so a call that
                # replaced the buffer under another thread's copy shows.
                limit = 1 + (seed * 97 + i * 31) % 500
                assert len(lib.poll_messages(limit)) == limit
                assert lib.stats().total_published == 500
        except Exception as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=reader, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == [] and not any(t.is_alive() for t in threads)
