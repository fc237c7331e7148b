"""Debian's mosquitto_pub and mosquitto_sub against the broker, at MQTT 3.1.1 and 5."""
import queue
import shutil
import subprocess
import threading

import pytest

WAIT = 5.0

if not (shutil.which("mosquitto_pub") and shutil.which("mosquitto_sub")):
    pytest.skip("mosquitto-clients is not installed", allow_module_level=True)


@pytest.fixture(params=["mqttv311", "5"], ids=["v311", "v5"])
def version(request):
    return request.param


def common(port, version, user=None, password=None):
    args = ["-h", "127.0.0.1", "-p", str(port), "-V", version]
    if user is not None:
        args += ["-u", user, "-P", password]
    return args


def pub(port, version, *args, user=None, password=None):
    return subprocess.run(["mosquitto_pub"] + common(port, version, user, password) + list(args),
                          capture_output=True, text=True, timeout=WAIT * 2)


class Sub:
    """mosquitto_sub in the background; its stdout read line by line."""

    def __init__(self, port, version, *args, user=None, password=None):
        # Line-buffered, so "Subscribed" shows up when it happens, not at exit.
        self.proc = subprocess.Popen(
            ["stdbuf", "-oL", "mosquitto_sub", "-d"] + common(port, version, user, password)
            + list(args),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait_for(self, prefix):
        while True:
            line = self.lines.get(timeout=WAIT)
            if line.startswith(prefix):
                return line

    def finish(self):
        """Exit code and the lines that are not debug output."""
        try:
            rc = self.proc.wait(timeout=WAIT * 2)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait(timeout=WAIT)
        out = []
        while not self.lines.empty():
            line = self.lines.get()
            if not line.startswith(("Client ", "Subscribed ")):
                out.append(line)
        return rc, out


def test_command_line_round_trip(broker, version):
    sub = Sub(broker.port, version, "-t", "cli/+", "-q", "1", "-C", "1", "-W", "5",
              "-F", "%t|%p|%q|%r")
    try:
        sub.wait_for("Subscribed")
        r = pub(broker.port, version, "-t", "cli/x", "-q", "1", "-m", "hello mosquitto")
        assert r.returncode == 0, r.stderr
    finally:
        rc, out = sub.finish()
    assert rc == 0
    assert out == ["cli/x|hello mosquitto|1|0"]
    [entry] = broker.poll()
    assert (entry["topic"], entry["payload"], entry["qos"]) == ("cli/x", "hello mosquitto", 1)


def test_retained_with_r(broker, version):
    r = pub(broker.port, version, "-r", "-q", "1", "-t", "ret/t", "-m", "kept")
    assert r.returncode == 0, r.stderr
    sub = Sub(broker.port, version, "-t", "ret/#", "-q", "1", "-C", "1", "-W", "5",
              "-F", "%t|%p|%q|%r")
    rc, out = sub.finish()
    assert (rc, out) == (0, ["ret/t|kept|1|1"])
    assert [(t["topic"], t["retained"]) for t in broker.topics()] == [("ret/t", True)]

    # -r with an empty message (-n) clears it.
    r = pub(broker.port, version, "-r", "-n", "-t", "ret/t")
    assert r.returncode == 0, r.stderr
    assert broker.stats()["retained_count"] == 0


@pytest.mark.parametrize("user, password, accepted", [
    ("alice", "secret", True),
    ("alice", "nope", False),
])
def test_user_and_password(loader, version, user, password, accepted):
    lib = loader.start(auth={"users": [{"username": "alice", "password": "secret"}]})
    r = pub(lib.port, version, "-t", "auth/t", "-m", "m", user=user, password=password)
    if not accepted:
        assert r.returncode != 0
        assert ("not authorised" in r.stderr if version == "mqttv311"
                else "Bad User Name or Password" in r.stderr), r.stderr
        assert lib.poll_text() == "[]"
        return
    assert r.returncode == 0, r.stderr
    sub = Sub(lib.port, version, "-t", "auth/t", "-C", "1", "-W", "5", user=user,
              password=password)
    try:
        sub.wait_for("Subscribed")
        assert pub(lib.port, version, "-t", "auth/t", "-m", "second", user=user,
                   password=password).returncode == 0
    finally:
        rc, out = sub.finish()
    assert (rc, out) == (0, ["second"])
