"""brelvane-mqttd --http: /metrics read by Prometheus's own text parser and
compared with the library's JSON reports, the JSON endpoints, the HTTP
errors, the Host guard on loopback, a port that is taken, and the stop with
a connection open. The dashboard page itself is tested in a browser
(ws/dashboard.test.mjs).
"""
import http.client
import json
import re
import socket
import subprocess
import time

import pytest
from prometheus_client.parser import text_string_to_metric_families

from mqttpkt import wait_until
from test_daemon import WAIT, Daemon, daemon_path, free_port, mosquitto_pub

DASHBOARD = re.compile(r"^brelvane-mqttd: dashboard on (http://\S+/), metrics on \S+/metrics$")

# Every figure of the two reports and where it goes: metric name and the
# factor to base units. Booleans are 0 or 1.
STATS_METRICS = {
    "active_clients": ("brelvane_clients_connected", 1),
    "total_received": ("brelvane_messages_received_total", 1),
    "total_published": ("brelvane_messages_published_by_host_total", 1),
    "bytes_in": ("brelvane_network_received_bytes_total", 1),
    "bytes_out": ("brelvane_network_sent_bytes_total", 1),
    "uptime_seconds": ("brelvane_uptime_seconds", 1),
    "retained_count": ("brelvane_retained_messages", 1),
    "sessions": ("brelvane_sessions", 1),
    "session_queued": ("brelvane_session_queued_messages", 1),
    "session_dropped": ("brelvane_session_dropped_messages_total", 1),
}
STORAGE_METRICS = {
    "active": ("brelvane_storage_active", 1),
    "persistence": ("brelvane_storage_persistence_enabled", 1),
    "log": ("brelvane_storage_log_enabled", 1),
    "log_written": ("brelvane_storage_log_records_written_total", 1),
    "log_dropped": ("brelvane_storage_log_records_dropped_total", 1),
    "log_queue": ("brelvane_storage_log_queue_records", 1),
    "snapshots": ("brelvane_storage_snapshots_total", 1),
    "last_snapshot_ms": ("brelvane_storage_last_snapshot_timestamp_seconds", 0.001),
    "write_errors": ("brelvane_storage_write_errors_total", 1),
    "loaded_retained": ("brelvane_storage_loaded_retained_messages", 1),
    "loaded_sessions": ("brelvane_storage_loaded_sessions", 1),
    "log_files": ("brelvane_storage_log_files", 1),
    "log_bytes": ("brelvane_storage_log_size_bytes", 1),
    "log_deleted": ("brelvane_storage_log_files_deleted_total", 1),
    "retention_days": ("brelvane_storage_log_retention_seconds", 86400),
    "max_total_mb": ("brelvane_storage_log_max_total_bytes", 1 << 20),
    "max_file_mb": ("brelvane_storage_log_max_file_bytes", 1 << 20),
}


@pytest.fixture
def served(tmp_path):
    """start(*args): a running daemon with --http on free ports; .http is its base URL."""
    started = []

    def start(*args, bind=None):
        for _ in range(5):
            port, http_port = free_port(), free_port()
            extra = ["--http-bind", bind] if bind else []
            d = Daemon(["--port", str(port), "--ws-port", "0", "--quiet", "--http",
                        str(http_port), *extra, *args], tmp_path)
            started.append(d)
            d.port, d.http_port = port, http_port
            try:
                d.http = DASHBOARD.match(d.out.wait(DASHBOARD)).group(1)
                return d
            except AssertionError:
                err = d.err.text()
                if d.wait_exit() != 1 or not ("Failed to bind TCP port" in err or
                                              "Address already in use" in err):
                    raise AssertionError("daemon did not start: %s" % err)
        raise AssertionError("no free ports found")

    yield start
    for d in started:
        d.kill()


def request(d, method, path, headers=None, body=None, host="127.0.0.1"):
    """(status, headers as a dict with lower-case names, body bytes)."""
    conn = http.client.HTTPConnection(host, d.http_port, timeout=WAIT)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        r = conn.getresponse()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
    finally:
        conn.close()


def get_json(d, path):
    status, headers, body = request(d, "GET", path)
    assert status == 200 and headers["content-type"].startswith("application/json"), (status, body)
    return json.loads(body)


def scrape(d):
    """The families of /metrics, by sample name: {name: [(labels, value)]}."""
    status, headers, body = request(d, "GET", "/metrics")
    assert status == 200
    assert headers["content-type"].startswith("text/plain; version=0.0.4")
    samples = {}
    for family in text_string_to_metric_families(body.decode("utf-8")):
        assert family.documentation, "no HELP for " + family.name
        assert family.type in ("counter", "gauge"), family.name
        for s in family.samples:
            assert s.name.startswith("brelvane_")
            # The parser strips _total from a counter's family name.
            assert (family.type == "counter") == s.name.endswith("_total"), s.name
            samples.setdefault(s.name, []).append((s.labels, s.value))
    return samples


def settled(d):
    """stats, storage and metrics from a moment when nothing changed but the uptime."""
    for _ in range(50):
        stats, storage = get_json(d, "/api/stats"), get_json(d, "/api/storage")
        metrics = scrape(d)
        stats2, storage2 = get_json(d, "/api/stats"), get_json(d, "/api/storage")
        if storage == storage2 and {**stats, "uptime_seconds": 0} == \
                {**stats2, "uptime_seconds": 0}:
            return stats, stats2, storage, metrics
        time.sleep(0.05)
    raise AssertionError("the reports never settled")


def test_metrics_carry_every_figure_of_the_json_reports(served, tmp_path):
    # A folder name with every character the label format escapes.
    store = tmp_path / 'we"ird\\folder\nname'
    d = served("--storage", str(store), "--log")
    for i in range(5):
        assert mosquitto_pub(d.port, "-q", "1", "-t", "sensors/%d" % i, "-m", "v%d" % i,
                             *(["-r"] if i % 2 else [])).returncode == 0
    wait_until(lambda: get_json(d, "/api/stats")["total_received"] == 5 and
               get_json(d, "/api/stats")["active_clients"] == 0 and
               get_json(d, "/api/storage")["log_written"] == 5, what="the publishes counted")

    stats, stats_after, storage, m = settled(d)
    assert (stats["total_received"], stats["retained_count"]) == (5, 2)
    for key, (name, scale) in STATS_METRICS.items():
        if key == "uptime_seconds":
            assert stats["uptime_seconds"] <= m[name][0][1] <= stats_after["uptime_seconds"]
        else:
            assert m[name] == [({}, stats[key] * scale)], key
    for key, (name, scale) in STORAGE_METRICS.items():
        assert m[name] == [({}, pytest.approx(int(storage[key]) * scale))], key
    assert storage["log_written"] == 5 and storage["snapshots"] >= 1
    assert m["brelvane_broker_running"] == [({}, 1)]
    assert sorted(m["brelvane_listener_port"], key=lambda s: s[0]["transport"]) == \
        [({"transport": "tcp"}, d.port), ({"transport": "websocket"}, 0)]
    version = subprocess.run([daemon_path(), "--version"], capture_output=True, text=True)
    assert m["brelvane_build_info"] == [({"version": version.stdout.split()[1]}, 1)]
    assert m["brelvane_storage_info"] == [({"dir": str(store), "log_file": storage["log_file"]}, 1)]
    assert m["brelvane_storage_warning_present"] == [({}, 0)]
    # Nothing left out: the two reports' figures, the info series and the above.
    assert len(m) == len(STATS_METRICS) + len(STORAGE_METRICS) + 5


def test_json_endpoints_are_the_library_reports(served):
    d = served("--no-storage")
    for i in range(3):
        assert mosquitto_pub(d.port, "-t", "api/%d" % i, "-m", "payload %d" % i).returncode == 0
    wait_until(lambda: len(get_json(d, "/api/messages")) == 3, what="three messages")
    messages = get_json(d, "/api/messages")
    assert [m["topic"] for m in messages] == ["api/0", "api/1", "api/2"]
    assert get_json(d, "/api/messages?limit=2") == messages[1:]
    assert get_json(d, "/api/messages?limit=0") == messages
    assert {t["topic"]: t["payload"] for t in get_json(d, "/api/topics")} == \
        {"api/%d" % i: "payload %d" % i for i in range(3)}
    assert get_json(d, "/api/stats")["tcp_port"] == d.port
    assert get_json(d, "/api/storage")["active"] is False
    for bad in ("-1", "501", "x", ""):
        status, _, body = request(d, "GET", "/api/messages?limit=" + bad)
        assert status == 400 and b"limit" in body, bad


@pytest.mark.parametrize("method, path, status", [
    ("GET", "/nowhere", 404),
    ("GET", "/metrics/", 404),
    ("GET", "/index.html", 404),
    ("POST", "/metrics", 405),
    ("PUT", "/api/stats", 405),
    ("DELETE", "/", 405),
    ("PATCH", "/dashboard.js", 405),
    ("OPTIONS", "/api/topics", 405),
    ("POST", "/nowhere", 404),
])
def test_http_errors(served, method, path, status):
    d = served("--no-storage")
    got, headers, body = request(d, method, path, body=b"x" * 100 if method != "GET" else None)
    assert got == status
    assert headers["content-type"].startswith("text/plain")
    assert body
    if status == 405:
        assert headers["allow"] == "GET, HEAD"
    # Every answer forbids scripts from anywhere but the server itself.
    assert "script-src 'self'" in headers["content-security-policy"]
    assert headers["x-content-type-options"] == "nosniff"


def test_head_and_the_dashboard_files(served):
    d = served("--no-storage")
    for path, kind in [("/", "text/html"), ("/dashboard.js", "text/javascript"),
                       ("/dashboard.css", "text/css"), ("/metrics", "text/plain"),
                       ("/api/stats", "application/json")]:
        status, headers, body = request(d, "GET", path)
        assert status == 200 and headers["content-type"].startswith(kind), path
        status, head_headers, head_body = request(d, "HEAD", path)
        assert (status, head_body) == (200, b""), path
        assert head_headers["content-type"] == headers["content-type"]
    page = request(d, "GET", "/")[2].decode()
    # Self-contained: nothing is fetched from another origin.
    assert not re.search(r"""(src|href)=["']?(https?:)?//""", page)
    assert '<script src="/dashboard.js"' in page


@pytest.mark.parametrize("bind, host, allowed", [
    (None, "localhost:{port}", True),
    (None, "127.0.0.1:{port}", True),
    (None, "app.localhost:{port}", True),
    (None, "LOCALHOST", True),
    (None, "evil.example:{port}", False),
    (None, "127.0.0.1.evil.example", False),
    (None, "localhost.evil.example:{port}", False),
    ("0.0.0.0", "broker.example:{port}", True),
])
def test_loopback_server_answers_only_for_local_host_names(served, bind, host, allowed):
    d = served("--no-storage", bind=bind)
    status, _, _ = request(d, "GET", "/api/stats", headers={"Host": host.format(port=d.http_port)})
    assert status == (200 if allowed else 403)


def test_ipv6_loopback(served):
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
    except OSError:
        pytest.skip("no IPv6 loopback here")
    d = served("--no-storage", bind="::1")
    assert d.http == "http://[::1]:%d/" % d.http_port
    status, _, body = request(d, "GET", "/api/stats", host="::1",
                              headers={"Host": "[::1]:%d" % d.http_port})
    assert status == 200 and json.loads(body)["status"] == "running"


def test_a_taken_http_port_ends_the_start_before_the_broker_runs(served, tmp_path):
    first = served("--no-storage")
    # Another brelvane-mqttd on the same HTTP port: the library's default
    # socket options would let both listen and share the connections.
    second = Daemon(["--port", str(free_port()), "--ws-port", "0", "--http",
                     str(first.http_port)], tmp_path)
    assert second.wait_exit() == 1
    assert second.out.text() == ""
    assert "cannot serve HTTP on 127.0.0.1:%d: Address already in use" % first.http_port \
        in second.err.text()
    assert not (tmp_path / "brelvane-data").exists()  # storage was never started

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        third = Daemon(["--port", str(free_port()), "--ws-port", "0", "--no-storage",
                        "--http", str(port)], tmp_path)
        assert third.wait_exit() == 1
    assert "Address already in use" in third.err.text()
    # The first one was not disturbed.
    assert request(first, "GET", "/api/stats")[0] == 200


def test_signal_stops_the_http_server_with_a_connection_open(served):
    d = served("--no-storage")
    conn = http.client.HTTPConnection("127.0.0.1", d.http_port, timeout=WAIT)
    conn.request("GET", "/api/stats")
    assert conn.getresponse().read()  # the connection is kept alive, idle
    idle = socket.create_connection(("127.0.0.1", d.http_port))  # sends nothing
    assert d.stop() == 0
    assert "stopped on SIGTERM" in d.out.text()
    assert d.err.text() == ""
    conn.close()
    idle.close()
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", d.http_port), timeout=1).close()
