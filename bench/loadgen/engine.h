// One benchmark run: its settings, its figures, and the run itself (one
// thread, one epoll set, every client of the run on it).
#pragma once

#include <cstdint>
#include <string>

namespace bvm::bench {

enum class scenario { fan_in, fan_out, p2p, storm };
enum class transport { tcp, ws, wsd };  // wsd: WebSocket with permessage-deflate
enum class load_mode { closed, open };

struct run_config {
  scenario kind = scenario::fan_in;
  transport via = transport::tcp;
  load_mode mode = load_mode::closed;
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string ws_path = "/mqtt";
  int publishers = 100;   // fan-in
  int subscribers = 100;  // fan-out
  int pairs = 100;        // point-to-point
  int clients = 1000;     // storm
  int qos = 0;
  size_t payload = 16;
  int level = 4;  // MQTT protocol level: 4 (3.1.1) or 5
  double warmup_s = 1.0;
  double duration_s = 5.0;
  double drain_s = 5.0;           // longest wait for in-flight messages after the run
  double setup_timeout_s = 30.0;  // longest wait for all clients to be ready
  double rate = 10000;            // open loop: messages published per second, all publishers
  int window = 32;               // closed loop: messages per publisher not yet delivered everywhere
  int inflight = 32;             // QoS 1: PUBLISHes per publisher not yet acknowledged
  uint64_t count = 0;            // messages per publisher at most (0 = only the time bounds)
  int connect_concurrency = 64;  // connections being set up at once
  double storm_idle_s = 1.0;     // storm: idle time before the RSS is read
  int keep_alive = 60;
  int deflate_level = 1;     // zlib level of the client's compressed frames
  int broker_pid = 0;        // for RSS and CPU figures; 0 = none
  std::string label;         // free text copied into the JSON line
  std::string topic_prefix;  // empty: "bench/<pid>"
};

// Figures of one run. Counts cover the whole run; rates and latencies the
// measurement window only.
struct run_result {
  bool ok = false;               // ran to the end with no check failure
  std::string error;             // why not, when !ok
  double measured_s = 0;         // length of the measurement window actually run
  uint64_t sent = 0;             // PUBLISHes written by publishers
  uint64_t expected = 0;         // deliveries the sent messages call for
  uint64_t received = 0;         // deliveries seen (duplicates included)
  uint64_t window_sent = 0;      // published inside the measurement window
  uint64_t window_received = 0;  // delivered inside the measurement window
  double pub_rate = 0;           // messages/s published
  double deliver_rate = 0;       // deliveries/s
  double mib_per_s = 0;          // delivered payload MiB/s
  uint64_t lat_p50_ns = 0, lat_p99_ns = 0, lat_p999_ns = 0, lat_max_ns = 0;
  uint64_t lost = 0;         // expected but never delivered
  uint64_t duplicates = 0;   // delivered again
  uint64_t reordered = 0;    // arrived after a later message of the same publisher
  uint64_t gaps = 0;         // times a publisher's sequence jumped ahead
  uint64_t foreign = 0;      // deliveries from a publisher the subscriber should not hear
  uint64_t malformed = 0;    // undecodable packets or payloads
  uint64_t unacked = 0;      // QoS 1 PUBLISHes never acknowledged
  uint64_t bad_acks = 0;     // PUBACKs for nothing outstanding
  uint64_t dup_flags = 0;    // deliveries with the DUP flag
  uint64_t disconnects = 0;  // connections lost after setup
  int connections = 0;
  int connect_failures = 0;
  double broker_cpu_pct = -1;  // of one core, measurement window
  // Broker CPU time per delivery in the window: on a shared machine this
  // holds steadier than the rates, which depend on the CPU share granted.
  double broker_cpu_us_per_msg = -1;
  double loadgen_cpu_pct = -1;    // of one core, measurement window
  long long broker_rss_kib = -1;  // at the end of the window
  // Storm.
  int storm_connected = 0;
  double connect_rate = 0;  // connections/s from first attempt to last CONNACK
  double connect_p50_ms = 0, connect_p99_ms = 0, connect_max_ms = 0;
  long long rss_before_kib = -1;
  long long rss_after_kib = -1;
  double rss_per_client_bytes = -1;
};

run_result run(const run_config& cfg);

const char* scenario_name(scenario s);
const char* transport_name(transport t);

}  // namespace bvm::bench
