// loadgen: the project's MQTT load generator. One invocation is one run;
// it prints one JSON line on stdout and a readable table on stderr.
#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine.h"
#include "stats.h"

namespace {

using bvm::bench::load_mode;
using bvm::bench::run_config;
using bvm::bench::run_result;
using bvm::bench::scenario;
using bvm::bench::transport;

constexpr int EXIT_OK = 0;
constexpr int EXIT_CHECK_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int MAX_CONNECTIONS = 10000;

const char USAGE[] =
    "loadgen - MQTT load generator (loopback only)\n"
    "\n"
    "usage: loadgen --port N [options]\n"
    "\n"
    "Scenario\n"
    "  --scenario S         fan-in (N publishers -> 1 subscriber, one topic),\n"
    "                       fan-out (1 publisher -> M subscribers, one topic),\n"
    "                       p2p (K pairs, each on its own topic), or\n"
    "                       storm (N idle clients connect; connect rate and broker RSS)\n"
    "                       [fan-in]\n"
    "  --publishers N       fan-in publishers [100]\n"
    "  --subscribers M      fan-out subscribers [100]\n"
    "  --pairs K            p2p pairs (2K connections) [100]\n"
    "  --clients N          storm clients [1000]\n"
    "  --qos Q              0 or 1, for the PUBLISHes and the subscriptions [0]\n"
    "  --payload B          payload bytes, 16 to 1048576; a k suffix multiplies by 1024 [16]\n"
    "  --mqtt V             protocol level: 4 (3.1.1) or 5 [4]\n"
    "\n"
    "Transport\n"
    "  --host A             IPv4 loopback address (127.0.0.0/8) [127.0.0.1]\n"
    "  --port N             broker port (TCP, or the WebSocket listener)\n"
    "  --transport T        tcp, ws, or ws-deflate (WebSocket with permessage-deflate;\n"
    "                       client frames are masked, and compressed with context takeover\n"
    "                       unless the broker asks otherwise) [tcp]\n"
    "  --ws-path P          request path of the upgrade [/mqtt]\n"
    "  --deflate-level L    zlib level of the client's compressed frames, 0-9 [1]\n"
    "\n"
    "Load\n"
    "  --mode M             closed: each publisher keeps --window messages in flight end to\n"
    "                       end (throughput); open: --rate messages/s in total, whatever the\n"
    "                       broker does (latency from the time each message was due) [closed]\n"
    "  --rate R             open loop: messages per second, all publishers together [10000]\n"
    "  --window W           closed loop: messages per publisher not yet delivered to all\n"
    "                       their subscribers [32]\n"
    "  --inflight W         QoS 1: PUBLISHes per publisher not yet acknowledged [32]\n"
    "  --count N            messages per publisher at most; 0 = time bounds only [0]\n"
    "\n"
    "Time bounds (seconds)\n"
    "  --warmup S           publish before measuring [1]\n"
    "  --duration S         measurement window [5]\n"
    "  --drain S            longest wait for messages still in flight at the end [5]\n"
    "  --setup-timeout S    longest wait for all clients to be connected [30]\n"
    "  --idle S             storm: idle time before the broker's RSS is read [1]\n"
    "  --connect-concurrency N  connections being set up at once [64]\n"
    "  --keep-alive S       MQTT keep-alive; PINGREQ every S/2; 0 = off [60]\n"
    "\n"
    "Reporting\n"
    "  --broker-pid PID     read the broker's CPU time and VmRSS from /proc/PID\n"
    "  --label TEXT         copied into the JSON line (a broker name, say)\n"
    "  --topic-prefix T     topics start with T [bench/<pid>]\n"
    "  --quiet              no table on stderr, only the JSON line on stdout\n"
    "  --help               this text\n"
    "\n"
    "Every delivery is checked per publisher for order, gaps and duplicates; the\n"
    "payload carries the publisher, a sequence number and the due time. The run\n"
    "stops by itself: set-up, warm-up, duration and drain are each bounded, and a\n"
    "watchdog ends the process if they are ever overrun.\n"
    "\n"
    "Exit status: 0 run complete and every check passed; 1 a check failed or clients\n"
    "could not connect (the JSON line says why); 2 bad command line.\n";

int usage_error(const std::string& msg) {
  std::fprintf(stderr, "loadgen: %s\nTry 'loadgen --help'.\n", msg.c_str());
  return EXIT_USAGE;
}

bool parse_int(std::string_view s, long long lo, long long hi, long long& out) {
  long long v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi)
    return false;
  out = v;
  return true;
}

bool parse_seconds(std::string_view s, double lo, double hi, double& out) {
  std::string t(s);
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(t.c_str(), &end);
  if (t.empty() || errno != 0 || end != t.c_str() + t.size() || !std::isfinite(v) || v < lo ||
      v > hi) {
    return false;
  }
  out = v;
  return true;
}

bool is_loopback(const std::string& host) {
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
  return (ntohl(a.s_addr) >> 24) == 127;
}

// Fills cfg from argv; returns an empty text or what is wrong.
std::string parse(int argc, char** argv, run_config& cfg, bool& help, bool& quiet) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view val;
    if (arg == "--help" || arg == "-h") {
      help = true;
      continue;
    }
    if (arg == "--quiet") {
      quiet = true;
      continue;
    }
    if (!arg.starts_with("--")) return "unexpected argument '" + std::string(arg) + "'";
    if (auto eq = arg.find('='); eq != std::string_view::npos) {
      val = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    } else {
      if (i + 1 >= argc) return "option '" + std::string(arg) + "' needs a value";
      val = argv[++i];
    }
    std::string bad = "invalid value '" + std::string(val) + "' for " + std::string(arg);
    long long n = 0;
    double d = 0;
    if (arg == "--scenario") {
      if (val == "fan-in") {
        cfg.kind = scenario::fan_in;
      } else if (val == "fan-out") {
        cfg.kind = scenario::fan_out;
      } else if (val == "p2p") {
        cfg.kind = scenario::p2p;
      } else if (val == "storm") {
        cfg.kind = scenario::storm;
      } else {
        return bad;
      }
    } else if (arg == "--transport") {
      if (val == "tcp") {
        cfg.via = transport::tcp;
      } else if (val == "ws") {
        cfg.via = transport::ws;
      } else if (val == "ws-deflate") {
        cfg.via = transport::wsd;
      } else {
        return bad;
      }
    } else if (arg == "--mode") {
      if (val == "closed") {
        cfg.mode = load_mode::closed;
      } else if (val == "open") {
        cfg.mode = load_mode::open;
      } else {
        return bad;
      }
    } else if (arg == "--host") {
      cfg.host = val;
      if (!is_loopback(cfg.host)) return "--host must be an IPv4 loopback address (127.x.x.x)";
    } else if (arg == "--port") {
      if (!parse_int(val, 1, 65535, n)) return bad;
      cfg.port = static_cast<int>(n);
    } else if (arg == "--ws-path") {
      if (val.empty() || val[0] != '/' || val.find_first_of(" \r\n") != std::string_view::npos) {
        return bad;
      }
      cfg.ws_path = val;
    } else if (arg == "--publishers" || arg == "--subscribers" || arg == "--pairs" ||
               arg == "--clients") {
      if (!parse_int(val, 1, MAX_CONNECTIONS, n)) return bad;
      int v = static_cast<int>(n);
      if (arg == "--publishers") cfg.publishers = v;
      if (arg == "--subscribers") cfg.subscribers = v;
      if (arg == "--pairs") cfg.pairs = v;
      if (arg == "--clients") cfg.clients = v;
    } else if (arg == "--qos") {
      if (!parse_int(val, 0, 1, n)) return bad;
      cfg.qos = static_cast<int>(n);
    } else if (arg == "--payload") {
      std::string_view digits = val;
      long long mult = 1;
      if (!digits.empty() && (digits.back() == 'k' || digits.back() == 'K')) {
        mult = 1024;
        digits.remove_suffix(1);
      }
      if (!parse_int(digits, 1, 1048576, n) || n * mult < 16 || n * mult > 1048576) return bad;
      cfg.payload = static_cast<size_t>(n * mult);
    } else if (arg == "--mqtt") {
      if (val != "4" && val != "5") return bad;
      cfg.level = val == "4" ? 4 : 5;
    } else if (arg == "--rate") {
      if (!parse_seconds(val, 1, 1e8, d)) return bad;
      cfg.rate = d;
    } else if (arg == "--window" || arg == "--inflight") {
      if (!parse_int(val, 1, 60000, n)) return bad;
      (arg == "--window" ? cfg.window : cfg.inflight) = static_cast<int>(n);
    } else if (arg == "--count") {
      if (!parse_int(val, 0, 4000000000LL, n)) return bad;
      cfg.count = static_cast<uint64_t>(n);
    } else if (arg == "--warmup") {
      if (!parse_seconds(val, 0, 600, d)) return bad;
      cfg.warmup_s = d;
    } else if (arg == "--duration") {
      if (!parse_seconds(val, 0.1, 3600, d)) return bad;
      cfg.duration_s = d;
    } else if (arg == "--drain") {
      if (!parse_seconds(val, 0, 600, d)) return bad;
      cfg.drain_s = d;
    } else if (arg == "--setup-timeout") {
      if (!parse_seconds(val, 0.1, 600, d)) return bad;
      cfg.setup_timeout_s = d;
    } else if (arg == "--idle") {
      if (!parse_seconds(val, 0, 600, d)) return bad;
      cfg.storm_idle_s = d;
    } else if (arg == "--connect-concurrency") {
      if (!parse_int(val, 1, MAX_CONNECTIONS, n)) return bad;
      cfg.connect_concurrency = static_cast<int>(n);
    } else if (arg == "--keep-alive") {
      if (!parse_int(val, 0, 65535, n)) return bad;
      cfg.keep_alive = static_cast<int>(n);
    } else if (arg == "--deflate-level") {
      if (!parse_int(val, 0, 9, n)) return bad;
      cfg.deflate_level = static_cast<int>(n);
    } else if (arg == "--broker-pid") {
      if (!parse_int(val, 1, 4194304, n)) return bad;
      cfg.broker_pid = static_cast<int>(n);
    } else if (arg == "--label") {
      cfg.label = val;
    } else if (arg == "--topic-prefix") {
      if (val.empty() || val.find_first_of("+#") != std::string_view::npos) return bad;
      cfg.topic_prefix = val;
    } else {
      return "unknown option '" + std::string(arg) + "'";
    }
  }
  if (cfg.kind == scenario::p2p && cfg.pairs * 2 > MAX_CONNECTIONS) {
    return "--pairs: at most " + std::to_string(MAX_CONNECTIONS / 2);
  }
  if (cfg.kind == scenario::fan_in && cfg.publishers + 1 > MAX_CONNECTIONS)
    return "--publishers: too many";
  if (cfg.kind == scenario::fan_out && cfg.subscribers + 1 > MAX_CONNECTIONS) {
    return "--subscribers: too many";
  }
  return {};
}

int connection_count(const run_config& cfg) {
  switch (cfg.kind) {
    case scenario::fan_in:
      return cfg.publishers + 1;
    case scenario::fan_out:
      return cfg.subscribers + 1;
    case scenario::p2p:
      return 2 * cfg.pairs;
    case scenario::storm:
      return cfg.clients;
  }
  return 0;
}

// Raises the descriptor limit to what the run needs, within the hard limit.
bool ensure_descriptors(int needed) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return true;
  auto want = static_cast<rlim_t>(needed + 64);
  if (rl.rlim_cur >= want) return true;
  if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want) return false;
  rl.rlim_cur = want;
  return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

std::string shape(const run_config& cfg) {
  switch (cfg.kind) {
    case scenario::fan_in:
      return std::to_string(cfg.publishers) + "->1";
    case scenario::fan_out:
      return "1->" + std::to_string(cfg.subscribers);
    case scenario::p2p:
      return std::to_string(cfg.pairs) + " pairs";
    case scenario::storm:
      return std::to_string(cfg.clients) + " clients";
  }
  return {};
}

std::string num(double v, int decimals = 0) {
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

std::string us(uint64_t ns) { return num(static_cast<double>(ns) / 1000.0, 1); }

void print_json(const run_config& cfg, const run_result& r) {
  std::string j = "{\"tool\":\"loadgen\"";
  auto kv = [&](const char* k, const std::string& v) {
    j += ",\"";
    j += k;
    j += "\":";
    j += v;
  };
  auto s = [](const std::string& t) { return bvm::bench::json_quote(t); };
  auto u = [](uint64_t v) { return std::to_string(v); };
  auto f = [](double v, int d) {
    if (v < 0) return std::string("null");
    return num(v, d);
  };
  kv("label", s(cfg.label));
  kv("scenario", s(bvm::bench::scenario_name(cfg.kind)));
  kv("shape", s(shape(cfg)));
  kv("transport", s(bvm::bench::transport_name(cfg.via)));
  kv("mqtt", std::to_string(cfg.level));
  kv("port", std::to_string(cfg.port));
  kv("ok", r.ok ? "true" : "false");
  kv("error", s(r.error));
  kv("connections", std::to_string(r.connections));
  kv("connect_failures", std::to_string(r.connect_failures));
  if (cfg.kind == scenario::storm) {
    kv("clients", std::to_string(cfg.clients));
    kv("connected", std::to_string(r.storm_connected));
    kv("connect_rate", f(r.connect_rate, 1));
    kv("connect_p50_ms", f(r.connect_p50_ms, 3));
    kv("connect_p99_ms", f(r.connect_p99_ms, 3));
    kv("connect_max_ms", f(r.connect_max_ms, 3));
    kv("rss_before_kib", r.rss_before_kib < 0 ? "null" : std::to_string(r.rss_before_kib));
    kv("rss_after_kib", r.rss_after_kib < 0 ? "null" : std::to_string(r.rss_after_kib));
    kv("rss_per_client_bytes", r.rss_after_kib < 0 || r.rss_before_kib < 0 || r.storm_connected == 0
                                   ? "null"
                                   : num(r.rss_per_client_bytes, 0));
  } else {
    kv("publishers", std::to_string(cfg.kind == scenario::fan_in ? cfg.publishers
                                    : cfg.kind == scenario::p2p  ? cfg.pairs
                                                                 : 1));
    kv("subscribers", std::to_string(cfg.kind == scenario::fan_out ? cfg.subscribers
                                     : cfg.kind == scenario::p2p   ? cfg.pairs
                                                                   : 1));
    kv("qos", std::to_string(cfg.qos));
    kv("payload", std::to_string(cfg.payload));
    kv("mode", s(cfg.mode == load_mode::closed ? "closed" : "open"));
    kv("rate", cfg.mode == load_mode::open ? num(cfg.rate, 0) : "null");
    kv("window", std::to_string(cfg.window));
    kv("inflight", std::to_string(cfg.inflight));
    kv("measured_s", num(r.measured_s, 3));
    kv("msgs_per_s", num(r.deliver_rate, 1));
    kv("pub_per_s", num(r.pub_rate, 1));
    kv("mib_per_s", num(r.mib_per_s, 3));
    kv("lat_p50_us", us(r.lat_p50_ns));
    kv("lat_p99_us", us(r.lat_p99_ns));
    kv("lat_p999_us", us(r.lat_p999_ns));
    kv("lat_max_us", us(r.lat_max_ns));
    kv("sent", u(r.sent));
    kv("expected", u(r.expected));
    kv("received", u(r.received));
    kv("lost", u(r.lost));
    kv("duplicates", u(r.duplicates));
    kv("reordered", u(r.reordered));
    kv("gaps", u(r.gaps));
    kv("misrouted", u(r.foreign));
    kv("malformed", u(r.malformed));
    kv("unacked", u(r.unacked));
    kv("stray_acks", u(r.bad_acks));
    kv("dup_flags", u(r.dup_flags));
    kv("disconnects", u(r.disconnects));
    kv("broker_cpu_pct", f(r.broker_cpu_pct, 1));
    kv("broker_cpu_us_per_msg", f(r.broker_cpu_us_per_msg, 3));
    kv("loadgen_cpu_pct", f(r.loadgen_cpu_pct, 1));
    kv("broker_rss_kib", r.broker_rss_kib < 0 ? "null" : std::to_string(r.broker_rss_kib));
  }
  j += "}\n";
  std::fputs(j.c_str(), stdout);
  std::fflush(stdout);
}

void print_table(const run_config& cfg, const run_result& r) {
  std::string title = std::string(bvm::bench::scenario_name(cfg.kind)) + " " + shape(cfg) + ", " +
                      bvm::bench::transport_name(cfg.via);
  if (cfg.kind != scenario::storm) {
    title +=
        ", QoS " + std::to_string(cfg.qos) + ", " + std::to_string(cfg.payload) + " B, " +
        (cfg.mode == load_mode::closed ? "closed loop (window " + std::to_string(cfg.window) + ")"
                                       : "open loop at " + num(cfg.rate) + " msgs/s");
  }
  if (!cfg.label.empty()) title = cfg.label + ": " + title;
  std::fprintf(stderr, "%s\n", title.c_str());
  auto row = [](const char* k, const std::string& v) {
    std::fprintf(stderr, "  %-22s %s\n", k, v.c_str());
  };
  row("result", r.ok ? "ok" : "FAILED: " + r.error);
  if (cfg.kind == scenario::storm) {
    row("connected", std::to_string(r.storm_connected) + " of " + std::to_string(cfg.clients));
    row("connect rate", num(r.connect_rate) + " /s");
    row("connect p50/p99/max", num(r.connect_p50_ms, 2) + " / " + num(r.connect_p99_ms, 2) + " / " +
                                   num(r.connect_max_ms, 2) + " ms");
    if (r.rss_after_kib >= 0) {
      row("broker RSS",
          std::to_string(r.rss_before_kib) + " -> " + std::to_string(r.rss_after_kib) + " KiB");
      row("RSS per idle client", num(r.rss_per_client_bytes) + " B");
    }
    return;
  }
  row("deliveries/s", num(r.deliver_rate));
  row("published/s", num(r.pub_rate));
  row("payload MiB/s", num(r.mib_per_s, 2));
  row("latency p50/p99/p99.9", us(r.lat_p50_ns) + " / " + us(r.lat_p99_ns) + " / " +
                                   us(r.lat_p999_ns) + " us (max " + us(r.lat_max_ns) + ")");
  row("sent/expected/received", std::to_string(r.sent) + " / " + std::to_string(r.expected) +
                                    " / " + std::to_string(r.received));
  row("lost/dup/reordered", std::to_string(r.lost) + " / " + std::to_string(r.duplicates) + " / " +
                                std::to_string(r.reordered));
  if (r.broker_cpu_pct >= 0) {
    row("broker CPU",
        num(r.broker_cpu_pct, 1) + " % (" + num(r.broker_cpu_us_per_msg, 2) + " us per delivery)");
  }
  if (r.loadgen_cpu_pct >= 0) row("loadgen CPU", num(r.loadgen_cpu_pct, 1) + " %");
  if (r.broker_rss_kib >= 0) row("broker RSS", std::to_string(r.broker_rss_kib) + " KiB");
  row("window", num(r.measured_s, 2) + " s");
}

}  // namespace

int main(int argc, char** argv) {
  run_config cfg;
  bool help = false;
  bool quiet = false;
  bool port_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--port" || a.starts_with("--port=")) port_given = true;
  }
  if (std::string err = parse(argc, argv, cfg, help, quiet); !err.empty()) return usage_error(err);
  if (help) {
    std::fputs(USAGE, stdout);
    return EXIT_OK;
  }
  if (!port_given) return usage_error("--port is required");
  if (!ensure_descriptors(connection_count(cfg))) {
    return usage_error("the descriptor limit (ulimit -n) is below the " +
                       std::to_string(connection_count(cfg)) + " connections of this run");
  }
  std::signal(SIGPIPE, SIG_IGN);
  // Watchdog: every phase is bounded, but should one ever overrun (a bug),
  // the process still ends on its own.
  double bound =
      cfg.setup_timeout_s + cfg.warmup_s + cfg.duration_s + cfg.drain_s + cfg.storm_idle_s + 30;
  alarm(static_cast<unsigned>(bound));
  run_result r = bvm::bench::run(cfg);
  alarm(0);
  print_json(cfg, r);
  if (!quiet) print_table(cfg, r);
  return r.ok ? EXIT_OK : EXIT_CHECK_FAILED;
}
