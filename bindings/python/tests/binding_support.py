"""Helpers of the binding's tests: each test loads its own copy of the library.

The broker's state (retained messages, history, counters, storage settings)
lives as long as the library stays loaded, so every test copies the .so to
a private path; the loader treats each copy as a separate object.
"""
import os
import shutil
import socket
import sys
from pathlib import Path

import pytest

BINDING_DIR = Path(__file__).resolve().parents[1]
REPO_ROOT = BINDING_DIR.parents[1]
sys.path.insert(0, str(BINDING_DIR))

import brelvane_mqtt  # noqa: E402


def built_library():
    """$BV_LIB, else the release build, else the dev build."""
    env = os.environ.get("BV_LIB")
    if env:
        return Path(env)
    for preset in ("release", "dev"):
        p = REPO_ROOT / "build" / preset / "libbrelvane-mqtt.so"
        if p.exists():
            return p
    pytest.fail("no libbrelvane-mqtt.so under build/release or build/dev; set BV_LIB")


def free_port():
    with socket.socket() as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


class Copies:
    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.loaded = []

    def path(self, name="libbrelvane-mqtt.so"):
        """A private copy of the built library, not yet loaded."""
        d = self.tmp_path / ("lib%d" % len(self.loaded))
        d.mkdir()
        dst = d / name
        shutil.copyfile(built_library(), dst)
        self.loaded.append(None)
        return dst

    def load(self):
        lib = brelvane_mqtt.Library(self.path())
        self.loaded[-1] = lib
        return lib

    def start(self, lib=None, **kwargs):
        """A started Broker on a free port; retries if another process took
        the port between choosing and binding it."""
        lib = lib or self.load()
        for attempt in range(5):
            broker = brelvane_mqtt.Broker(free_port(), library=lib, **kwargs)
            try:
                return broker.start()
            except brelvane_mqtt.BrokerError as e:
                if e.text != "Failed to bind TCP port" or attempt == 4:
                    raise
