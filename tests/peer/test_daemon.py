"""brelvane-mqttd as its users run it: the command line, storage in a folder,
stopping on a signal, the message watch and the status line.

BV_DAEMON names the binary (default: the release build). Every daemon runs in
the test's temporary folder, on a free port, without a WebSocket listener;
real clients are mosquitto_pub/mosquitto_sub and the raw peer of mqttpkt.
"""
import base64
import json
import os
import pty
import re
import signal
import socket
import subprocess
import shutil
import threading
import time
from pathlib import Path

import pytest

from mqttpkt import RawPeer, gen_publish, wait_until

ROOT = Path(__file__).resolve().parents[2]
WAIT = 10.0
BANNER = re.compile(r"^brelvane-mqttd \d+\.\d+\.\d+: MQTT on tcp://0\.0\.0\.0:\d+$")
STATUS = re.compile(
    r"^\d\d:\d\d:\d\d \d+ clients?, in \d+(\.\d)? msg/s \(\d+(\.\d)? (B|KiB|MiB)/s\), "
    r"out \d+(\.\d)? (B|KiB|MiB)/s, \d+ retained, \d+ sessions? \(\d+ queued(, \d+ dropped)?\)$")
WATCHED = re.compile(r"^\d\d:\d\d:\d\d \[(.*?)\] (.*) \(qos (\d)(, retained)?\): (.*)$")
GAP = re.compile(r"^\((\d+) messages? not shown\)$")


def daemon_path():
    """$BV_DAEMON (relative to the repository), else the release build."""
    path = ROOT / os.environ.get("BV_DAEMON", "build/release/daemon/brelvane-mqttd")
    if not path.exists():
        pytest.fail("no daemon at %s: build it or set BV_DAEMON" % path)
    return str(path)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Lines:
    """The lines of one output stream, collected by a thread."""

    def __init__(self):
        self.lines = []
        self.cond = threading.Condition()
        self.closed = False

    def feed(self, read_chunk):
        pending = b""
        while True:
            try:
                chunk = read_chunk()
            except OSError:  # a pty master reports EIO once the child has gone
                chunk = b""
            if not chunk:
                break
            pending += chunk
            *complete, pending = pending.split(b"\n")
            with self.cond:
                self.lines += [c.rstrip(b"\r").decode("utf-8", "replace") for c in complete]
                self.cond.notify_all()
        with self.cond:
            if pending:
                self.lines.append(pending.decode("utf-8", "replace"))
            self.closed = True
            self.cond.notify_all()

    def wait(self, pattern, timeout=WAIT, count=1):
        """The first `count` lines matching pattern (a regex or a substring)."""
        match = pattern.search if hasattr(pattern, "search") else (lambda s: pattern in s)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                found = [line for line in self.lines if match(line)]
                if len(found) >= count:
                    return found[:count] if count > 1 else found[0]
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    raise AssertionError("no line matching %r in %r" % (pattern, self.lines))
                self.cond.wait(left)

    def text(self):
        with self.cond:
            return "\n".join(self.lines)


class Daemon:
    def __init__(self, args, cwd, tty=False):
        self.args = args
        self.out, self.err = Lines(), Lines()
        self.raw_out = bytearray()
        self.master = None
        if tty:
            self.master, slave = pty.openpty()
            master = self.master
            self.proc = subprocess.Popen([daemon_path(), *args], cwd=cwd, stdin=subprocess.DEVNULL,
                                         stdout=slave, stderr=subprocess.PIPE)
            os.close(slave)
            read_out = self._keep(lambda: os.read(master, 65536))
        else:
            self.proc = subprocess.Popen([daemon_path(), *args], cwd=cwd, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            read_out = self._keep(lambda: self.proc.stdout.read1(65536))
        read_err = lambda: self.proc.stderr.read1(65536)  # noqa: E731
        self.threads = [threading.Thread(target=self.out.feed, args=(read_out,), daemon=True),
                        threading.Thread(target=self.err.feed, args=(read_err,), daemon=True)]
        for t in self.threads:
            t.start()

    def _keep(self, read):
        def reader():
            chunk = read()
            self.raw_out += chunk
            return chunk
        return reader

    def wait_exit(self, timeout=WAIT):
        code = self.proc.wait(timeout=timeout)
        for t in self.threads:
            t.join(timeout)
        if self.master is not None:
            os.close(self.master)
            self.master = None
        return code

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.wait_exit()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.kill()
        self.wait_exit()


@pytest.fixture
def daemons(tmp_path):
    """start(*args, tty=False, cwd=tmp_path): a running daemon on a free port."""
    started = []

    def start(*args, tty=False, cwd=None):
        for _ in range(5):
            port = free_port()
            d = Daemon(["--port", str(port), "--ws-port", "0", *args], cwd or tmp_path, tty)
            started.append(d)
            d.port = port
            try:
                d.out.wait(BANNER)
                return d
            except AssertionError:
                if d.wait_exit() != 1 or "Failed to bind TCP port" not in d.err.text():
                    raise AssertionError("daemon did not start: %s" % d.err.text())
        raise AssertionError("no free port found")

    yield start
    for d in started:
        d.kill()


def run_once(*args, cwd):
    """Runs the daemon to completion (for command lines that end at once)."""
    return subprocess.run([daemon_path(), *args], cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=WAIT)


def mosquitto_pub(port, *args):
    return subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(port), *args],
                          capture_output=True, text=True, timeout=WAIT)


# ---- command line ------------------------------------------------------------------------

FLAGS = ["--port", "--ws-port", "--users", "--http", "--http-bind", "--storage", "--no-storage", "--no-persistence",
         "--log", "--retention-days", "--max-total-mb", "--max-file-mb", "--watch", "--quiet",
         "--status-interval", "--help", "--version"]


def test_help_shows_every_flag_with_an_example_and_version(tmp_path):
    r = run_once("--help", cwd=tmp_path)
    assert r.returncode == 0 and r.stderr == ""
    for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "HTTP ENDPOINTS", "EXAMPLES",
                    "FILES", "ENVIRONMENT", "EXIT STATUS"):
        assert re.search("^%s$" % section, r.stdout, re.M), section
    examples = [line for line in r.stdout.splitlines()
                if line.lstrip().startswith("brelvane-mqttd ")]
    for flag in FLAGS:
        assert any(re.search(r"%s\b(?!-)" % flag, e) for e in examples), "no example for " + flag
    # Each flag is named in the synopsis, and bench/compare finds --no-storage.
    synopsis = r.stdout.split("\nSYNOPSIS\n")[1].split("\n\n")[0]
    for flag in FLAGS:
        assert re.search(r"%s\b(?!-)" % flag, synopsis), "not in the synopsis: " + flag
    for path in ("/metrics", "/api/stats", "/api/topics", "/api/messages", "/api/storage"):
        assert path in r.stdout
    assert run_once("-h", cwd=tmp_path).stdout == r.stdout

    v = run_once("--version", cwd=tmp_path)
    assert v.returncode == 0 and re.fullmatch(r"brelvane-mqttd \d+\.\d+\.\d+\n", v.stdout)
    assert list(tmp_path.iterdir()) == []  # neither one started a broker


@pytest.mark.parametrize("args, message", [
    (["--bogus"], "unknown option '--bogus'"),
    (["extra"], "unexpected argument 'extra'"),
    (["--port"], "option '--port' needs a value"),
    (["--port", "0"], "invalid --port '0'"),
    (["--port", "70000"], "invalid --port '70000'"),
    (["--ws-port", "x"], "invalid --ws-port 'x'"),
    (["--port=1900", "--ws-port=1900"], "they must differ"),
    (["--watch=yes"], "option '--watch' takes no value"),
    (["--storage", ""], "option '--storage' needs a folder name"),
    (["--storage", b"bad\xffname"], "not valid UTF-8"),
    (["--storage", "d", "--no-storage"], "--storage and --no-storage exclude each other"),
    (["--no-storage", "--log"], "--log has no effect with --no-storage"),
    (["--retention-days", "3", "--no-storage"], "--retention-days has no effect with --no-storage"),
    (["--retention-days", "-1"], "invalid --retention-days '-1'"),
    (["--max-total-mb", "1e3"], "invalid --max-total-mb '1e3'"),
    (["--max-file-mb", "99999999999"], "invalid --max-file-mb '99999999999'"),
    (["--status-interval", "0"], "invalid --status-interval '0'"),
    (["--quiet", "--status-interval", "2"], "--quiet and --status-interval exclude each other"),
    (["--http", "0"], "invalid --http '0'"),
    (["--http", "http"], "invalid --http 'http'"),
    (["--http", "1883"], "--http and --port are both 1883; they must differ"),
    (["--http", "9001"], "--http and --ws-port are both 9001; they must differ"),
    (["--http-bind", "0.0.0.0"], "--http-bind has no effect without --http"),
    (["--http", "8080", "--http-bind", "localhost"], "invalid --http-bind 'localhost'"),
    (["--http", "8080", "--http-bind", "[1.2.3.4]"], "invalid --http-bind '[1.2.3.4]'"),
    (["--http", "8080", "--http-bind", "1.2.3"], "invalid --http-bind '1.2.3'"),
])
def test_bad_command_line_exits_2_before_anything_starts(tmp_path, args, message):
    r = run_once(*args, cwd=tmp_path)
    assert r.returncode == 2
    assert r.stdout == ""
    assert message in r.stderr
    assert "Try 'brelvane-mqttd --help'" in r.stderr
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("setup, args, message", [
    # The library's own refusal of the folder setting.
    (None, ["--storage", "d" * 960], "mqtt_set_storage_dir: path too long"),
    (None, ["--users", "missing.json"], "cannot read users file 'missing.json'"),
    # An empty file must not open a broker that was meant to be closed.
    ("", ["--users", "users.json"], "users file 'users.json' is empty"),
])
def test_unusable_settings_exit_2(tmp_path, setup, args, message):
    if setup is not None:
        (tmp_path / "users.json").write_text(setup)
    r = run_once("--port", str(free_port()), "--ws-port", "0", *args, cwd=tmp_path)
    assert (r.returncode, r.stdout) == (2, "")
    assert message in r.stderr
    assert not (tmp_path / "brelvane-data").exists()


def test_start_failures_exit_1_with_the_library_message(tmp_path):
    with socket.socket() as taken:
        taken.bind(("0.0.0.0", 0))
        taken.listen()
        port = taken.getsockname()[1]
        r = run_once("--port", str(port), "--ws-port", "0", "--no-storage", cwd=tmp_path)
    assert r.returncode == 1
    assert "could not start on port %d: Failed to bind TCP port" % port in r.stderr

    (tmp_path / "users.json").write_text('[{"username":')
    r = run_once("--port", str(free_port()), "--ws-port", "0", "--no-storage",
                 "--users", "users.json", cwd=tmp_path)
    assert r.returncode == 1
    assert "auth_json is not valid JSON" in r.stderr


def test_users_file_admits_only_listed_users(daemons, tmp_path):
    (tmp_path / "users.json").write_text('{"users":[{"username":"alice","password":"s3cret"}]}')
    d = daemons("--no-storage", "--users", "users.json")
    assert mosquitto_pub(d.port, "-u", "alice", "-P", "s3cret", "-t", "t", "-m", "x") \
        .returncode == 0
    assert mosquitto_pub(d.port, "-u", "alice", "-P", "wrong", "-t", "t", "-m", "x").returncode != 0
    assert mosquitto_pub(d.port, "-t", "t", "-m", "x").returncode != 0
    assert d.stop() == 0


# ---- storage -----------------------------------------------------------------------------

@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_signal_stop_writes_the_snapshot_and_a_restart_loads_it(daemons, tmp_path, sig):
    store = tmp_path.resolve() / "nested" / "state"  # parents are created
    d = daemons("--storage", str(store))
    assert f"storage in '{store}' (snapshots on, message log off); loaded 0 retained messages" \
        in d.out.wait("storage in")
    assert mosquitto_pub(d.port, "-r", "-q", "1", "-t", "keep/this", "-m", "kept value") \
        .returncode == 0
    assert d.stop(sig) == 0
    assert f"state saved in '{store}'" in d.out.text()
    assert "stopped on %s" % sig.name in d.out.text()

    retained = json.loads((store / "retained.json").read_text())
    assert [(m["topic"], base64.b64decode(m["payload_b64"])) for m in retained["retained"]] == \
        [("keep/this", b"kept value")]
    assert (store / "sessions.json").exists()
    assert not list(store.glob("*.tmp"))

    d = daemons("--storage", str(store))
    d.out.wait("loaded 1 retained message and 0 sessions")
    sub = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(d.port), "-t", "keep/this",
                          "-C", "1", "-W", "5"], capture_output=True, text=True, timeout=WAIT)
    assert sub.stdout == "kept value\n"
    assert d.stop() == 0


@pytest.mark.parametrize("args, note, files", [
    ([], "storage in '{cwd}/brelvane-data' (snapshots on, message log off)",
     {"brelvane-data/retained.json", "brelvane-data/sessions.json"}),
    (["--no-storage"], "storage off", set()),
    # Nothing left to store: the library then creates nothing either.
    (["--no-persistence"], "storage off (--no-persistence without --log leaves nothing to store)",
     set()),
    (["--no-persistence", "--log", "--max-file-mb", "0"],
     "storage in '{cwd}/brelvane-data' (snapshots off, message log on)",
     {"brelvane-data/DAY.jsonl"}),
])
def test_storage_folder_follows_the_flags(daemons, tmp_path, args, note, files):
    d = daemons(*args)
    assert note.format(cwd=tmp_path.resolve()) in d.out.wait("storage")
    assert mosquitto_pub(d.port, "-t", "logged/topic", "-m", "payload one").returncode == 0
    assert d.stop() == 0
    found = {str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.is_file()}
    assert {re.sub(r"\d{4}-\d\d-\d\d", "DAY", f) for f in found} == files
    for log in tmp_path.rglob("*.jsonl"):
        (line,) = log.read_text().splitlines()
        assert json.loads(line)["payload"] == "payload one"


def test_storage_warnings_are_printed_once_as_they_appear(daemons, tmp_path):
    # At start: storage is refused, the broker still serves.
    (tmp_path / "afile").write_text("")
    d = daemons("--storage", "afile/sub")
    d.err.wait("warning: storage disabled: cannot create directory 'afile/sub'")
    assert mosquitto_pub(d.port, "-t", "t", "-m", "x").returncode == 0
    assert d.stop() == 0
    assert d.err.text().count("cannot create directory") == 1
    assert "state saved" not in d.out.text()

    # While running: the folder disappears, snapshots fail and are retried;
    # the warning shows once, and the state is written once the folder is back.
    d = daemons("--storage", "data")
    shutil.rmtree(tmp_path / "data")
    for n in range(3):
        assert mosquitto_pub(d.port, "-r", "-t", "r", "-m", "v%d" % n).returncode == 0
        time.sleep(0.4)
    d.err.wait("warning: storage: state snapshot write failed (data); will retry")
    (tmp_path / "data").mkdir()
    assert d.stop() == 0
    assert d.err.text().count("snapshot write failed") == 1
    assert "state saved in" in d.out.text()
    retained = json.loads((tmp_path / "data" / "retained.json").read_text())
    assert base64.b64decode(retained["retained"][0]["payload_b64"]) == b"v2"


# ---- watch -------------------------------------------------------------------------------

def watched(d, count):
    """The first `count` watch lines, split into their fields."""
    lines = d.out.wait(WATCHED, count=count)
    return [WATCHED.match(line).groups() for line in (lines if count > 1 else [lines])]


LONG = "x" * 300
# (client id, topic, payload, qos, retain) -> (client, topic, payload) as printed
WATCH_CASES = [
    (("sensor-7", "home/kitchen/temp", b"21.5", 1, True),
     ("sensor-7", "home/kitchen/temp", "21.5")),
    (("c", "multi", b"line1\nline2\ttab\r", 0, False), ("c", "multi", r"line1\nline2\ttab\r")),
    (("c", "uni", "héllo ✓ 日本".encode(), 0, False), ("c", "uni", "héllo ✓ 日本")),
    (("c", "long", LONG.encode(), 0, False), ("c", "long", "x" * 100 + "…(300 bytes)")),
    (("c", "empty", b"", 0, False), ("c", "empty", "(empty)")),
    # The report cuts a payload at its first zero byte.
    (("c", "nul", b"abc\x00def", 0, False), ("c", "nul", "abc")),
    (("c", "ctl", b"\x1b[31mred\x07", 0, False), ("c", "ctl", "hex 1b 5b 33 31 6d 72 65 64 07")),
    # Bytes that are not UTF-8 arrive as U+FFFD: shown as ??, their values lost.
    (("c", "bin", b"\xff\xfe\x01abc", 0, False), ("c", "bin", "hex ?? ?? 01 61 62 63")),
    (("c", "binlong", bytes(range(1, 40)), 0, False),
     ("c", "binlong", "hex " + " ".join("%02x" % b for b in range(1, 17)) + " …(39 bytes)")),
    # Client ids and topics come from anyone: no terminal control gets through.
    (("evil\x1b[2J", "top\x1b]0;x\x07ic\u202e", b"ok", 0, False),
     (r"evil\x1b[2J", r"top\x1b]0;x\x07ic\u202e", "ok")),
]


def test_watch_prints_each_message_readably(daemons):
    d = daemons("--no-storage", "--watch")
    assert mosquitto_pub(d.port, "-i", "pub-tool", "-q", "1", "-t", "from/mosquitto",
                         "-m", "hello there").returncode == 0
    assert watched(d, 1) == [("pub-tool", "from/mosquitto", "1", None, "hello there")]

    for n, ((client, topic, payload, qos, retain), (s_client, s_topic, shown)) in \
            enumerate(WATCH_CASES, start=2):
        with RawPeer(d.port) as peer:
            peer.handshake(client)
            peer.send(gen_publish(topic, payload, qos=qos, retain=retain, pid=7))
            # One at a time, so that the lines come in this order.
            got = watched(d, n)[-1]
        assert got == (s_client, s_topic, str(qos), ", retained" if retain else None, shown)
    assert b"\x1b" not in d.raw_out and b"\x07" not in d.raw_out
    assert d.stop() == 0


def test_watch_says_how_many_messages_it_missed(daemons):
    total = 2000
    d = daemons("--no-storage", "--quiet", "--watch")
    with RawPeer(d.port) as peer:
        peer.handshake("burst")
        peer.send(gen_publish("burst", b"0"))
        d.out.wait(WATCHED)
        # Stopped, the daemon cannot look at the history while the burst
        # queues up; once it runs on, the network thread routes far more
        # than the 500 messages the history keeps before the next look.
        d.proc.send_signal(signal.SIGSTOP)
        blob = b"".join(gen_publish("burst", b"%d" % n) for n in range(1, total))
        sender = threading.Thread(target=peer.send, args=(blob,), daemon=True)
        sender.start()
        sender.join(1.0)
        d.proc.send_signal(signal.SIGCONT)
        sender.join(WAIT)

        def accounted():
            lines = d.out.lines[:]
            shown = [WATCHED.match(x).group(5) for x in lines if WATCHED.match(x)]
            missed = sum(int(GAP.match(x).group(1)) for x in lines if GAP.match(x))
            return (shown, missed) if len(shown) + missed == total else None

        shown, missed = wait_until(accounted, timeout=WAIT, what="every message shown or counted")
    assert missed > 0
    assert [int(p) for p in shown] == sorted(int(p) for p in shown)
    assert shown[-1] == str(total - 1)
    assert d.stop() == 0


# ---- status line -------------------------------------------------------------------------

def test_status_line_on_a_terminal_only_unless_asked(daemons):
    on_tty = daemons("--no-storage", tty=True)
    quiet_tty = daemons("--no-storage", "--quiet", tty=True)
    on_pipe = daemons("--no-storage")
    asked = daemons("--no-storage", "--status-interval", "1")
    for n in range(10):
        assert mosquitto_pub(on_tty.port, "-r", "-t", "t/%d" % n, "-m", "x").returncode == 0

    line = on_tty.out.wait(STATUS, timeout=8)  # the default interval is 5 s
    assert ", 10 retained, 0 sessions (0 queued)" in line
    assert re.search(r", in [1-9][\d.]* msg/s", line)
    asked.out.wait(STATUS, count=2, timeout=5)
    for d in (on_tty, quiet_tty, on_pipe, asked):
        assert d.stop() == 0
    assert not any(STATUS.match(x) for x in quiet_tty.out.lines + on_pipe.out.lines)
