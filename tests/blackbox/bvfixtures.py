"""Fixtures and the per-test time bound, shared by the black-box and peer suites.

Both conftest.py files import everything from here.
"""
import signal

import pytest

from bvlib import BrokerLib

__all__ = ["pytest_runtest_call", "loader", "lib", "broker"]

# Every wait inside a test has its own timeout; this is the backstop for a
# test that hangs anyway (the alarm interrupts the main thread).
TEST_TIME_LIMIT_S = 90


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    def on_alarm(signum, frame):
        raise TimeoutError("test exceeded %d s" % TEST_TIME_LIMIT_S)

    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.alarm(TEST_TIME_LIMIT_S)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


class _Loader:
    """Loads fresh library copies into the test's temporary directory and
    stops every copy it started when the test ends."""

    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.loaded = []

    def load(self):
        lib = BrokerLib(self.tmp_path / ("lib%d" % len(self.loaded)))
        self.loaded.append(lib)
        return lib

    def start(self, lib=None, auth=None, attempts=5):
        """A running broker on a free port; retries if the port was taken
        between choosing and binding it."""
        lib = lib or self.load()
        for _ in range(attempts):
            rc = lib.start(auth=auth)
            if rc == 0:
                return lib
            if lib.last_error() != "Failed to bind TCP port":
                break
        raise AssertionError("mqtt_broker_start failed: %r" % lib.last_error())

    def stop_all(self):
        for lib in self.loaded:
            assert lib.stop() == 0
            assert lib.status() == 0
            # The mapping outlives the file; the copies would otherwise fill
            # the temporary directory (pytest keeps the last few runs).
            lib.path.unlink()


@pytest.fixture
def loader(tmp_path):
    ld = _Loader(tmp_path)
    yield ld
    ld.stop_all()


@pytest.fixture
def lib(loader):
    """A fresh, not yet started copy of the library."""
    return loader.load()


@pytest.fixture
def broker(loader):
    """A fresh copy, running without a user list on a free loopback port."""
    return loader.start()
