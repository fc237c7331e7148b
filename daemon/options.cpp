// brelvane-mqttd's command line: parsing, checks between options, usage text.
#include "options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <climits>
#include <cstdarg>
#include <string_view>
#include <system_error>

#include "render.h"

namespace bvm::mqttd {

void print(std::FILE* to, const char* format, ...) {
  va_list args;
  va_start(args, format);
  (void)std::vfprintf(to, format, args);
  va_end(args);
}

void print_usage(std::FILE* out) {
  // One block of text per section; the program name is written out since
  // printf arguments would have to be counted by hand for every example.
  (void)std::fputs(
      "NAME\n"
      "    brelvane-mqttd - run the brelvane-mqtt broker as a standalone program\n"
      "\n"
      "SYNOPSIS\n"
      "    brelvane-mqttd [--port N] [--ws-port N] [--users FILE]\n"
      "                   [--http PORT [--http-bind ADDR]]\n"
      "                   [--storage DIR | --no-storage] [--no-persistence] [--log]\n"
      "                   [--retention-days N] [--max-total-mb N] [--max-file-mb N]\n"
      "                   [--watch] [--quiet | --status-interval N]\n"
      "    brelvane-mqttd --help | --version\n"
      "\n"
      "DESCRIPTION\n"
      "    Serves MQTT 3.1.1 and 5.0 over TCP and, unless turned off, over\n"
      "    WebSocket, on all IPv4 addresses, until it receives SIGINT (Ctrl-C)\n"
      "    or SIGTERM. Then it stops the HTTP server, closes every connection,\n"
      "    writes what storage still holds (the last log records and a final\n"
      "    snapshot) and exits.\n"
      "\n"
      "    By default the retained messages and the persistent sessions are\n"
      "    kept in the folder brelvane-data of the working directory, created\n"
      "    when missing, and loaded back at the next start.\n"
      "\n"
      "    With --http, a read-only web dashboard and Prometheus metrics are\n"
      "    served on one more port, on this machine only unless --http-bind\n"
      "    says otherwise.\n"
      "\n"
      "OPTIONS\n"
      "  MQTT listeners\n"
      "    --port N\n"
      "        TCP port for MQTT, 1-65535 (default 1883).\n"
      "            brelvane-mqttd --port 18830\n"
      "    --ws-port N\n"
      "        TCP port for MQTT over WebSocket, 1-65535, or 0 for no WebSocket\n"
      "        listener (default 9001). A port that cannot be opened is reported\n"
      "        and the broker serves TCP only.\n"
      "            brelvane-mqttd --ws-port 0\n"
      "    --users FILE\n"
      "        Accept only the users listed in FILE, a JSON array\n"
      "        [{\"username\":\"u\",\"password\":\"p\"}, ...] or an object {\"users\":[...]}.\n"
      "        An empty list [] lets every client in; an empty file is refused.\n"
      "        Without this option every client is let in.\n"
      "            brelvane-mqttd --users /etc/brelvane/users.json\n"
      "\n"
      "  HTTP dashboard and metrics\n"
      "    --http PORT\n"
      "        Serve the dashboard and the metrics over HTTP on PORT, 1-65535\n"
      "        (default: no HTTP server). A port that cannot be opened ends the\n"
      "        program at start, before the broker starts, with exit status 1.\n"
      "            brelvane-mqttd --http 8080\n"
      "    --http-bind ADDR\n"
      "        The numeric IPv4 or IPv6 address the HTTP server listens on\n"
      "        (default 127.0.0.1, this machine only); 0.0.0.0 or :: for every\n"
      "        address. The server has no authentication and shows every topic\n"
      "        and payload: open it only to a trusted network. On a loopback\n"
      "        address it answers only requests that name the host as localhost\n"
      "        or by address, so that web pages of other sites cannot read it\n"
      "        through a DNS name that points to this machine.\n"
      "            brelvane-mqttd --http 8080 --http-bind 0.0.0.0\n"
      "\n"
      "  Storage\n"
      "    --storage DIR\n"
      "        Keep storage files in DIR (default brelvane-data), a UTF-8 path of\n"
      "        at most 959 bytes; missing folders are created. A folder that\n"
      "        cannot be created or written turns storage off for this run, with\n"
      "        a warning; the broker still starts.\n"
      "            brelvane-mqttd --storage /var/lib/brelvane\n"
      "    --no-storage\n"
      "        Keep nothing on disk: retained messages and sessions last only as\n"
      "        long as the process. No folder is created.\n"
      "            brelvane-mqttd --no-storage\n"
      "    --no-persistence\n"
      "        Do not load or write the snapshots of retained messages and\n"
      "        sessions (retained.json, sessions.json). Alone, this leaves\n"
      "        nothing to store; with --log only the message log is written.\n"
      "            brelvane-mqttd --no-persistence --log\n"
      "    --log\n"
      "        Also append every routed message to a daily log file in the\n"
      "        storage folder, one JSON object per line (YYYY-MM-DD.jsonl, then\n"
      "        YYYY-MM-DD.2.jsonl and so on once a part reaches --max-file-mb).\n"
      "            brelvane-mqttd --log\n"
      "    --retention-days N\n"
      "        Delete log files older than N days; 0 keeps them regardless of\n"
      "        age (default 30).\n"
      "            brelvane-mqttd --log --retention-days 7\n"
      "    --max-total-mb N\n"
      "        Delete the oldest log files while all of them together exceed N\n"
      "        MiB; 0 for no limit (default 1024). The open file is never\n"
      "        deleted.\n"
      "            brelvane-mqttd --log --max-total-mb 200\n"
      "    --max-file-mb N\n"
      "        Continue a day's log in a new part file once the current one\n"
      "        reaches N MiB; 0 for one file per day (default 64).\n"
      "            brelvane-mqttd --log --max-file-mb 16\n"
      "\n"
      "  Output\n"
      "    --watch\n"
      "        Print every routed message as it arrives, one line each:\n"
      "            14:03:07 [sensor-7] home/kitchen/temp (qos 1, retained): 21.5\n"
      "        that is the time it was routed, the publisher's client id\n"
      "        (\"broker\" for the broker's own), the topic, the QoS offered and\n"
      "        the retain flag, then the payload. Text is shown as it is, with\n"
      "        line breaks and tabs as \\n, \\r and \\t, and cut after 100\n"
      "        characters with a \"…(N bytes)\" marker. Other payloads are shown\n"
      "        as \"hex\" and their first 16 bytes; \"??\" stands for bytes that\n"
      "        were not valid UTF-8, which the broker's message report does not\n"
      "        carry. Payloads are shown up to their first zero byte. The\n"
      "        broker keeps its last 500 messages: when more arrive between two\n"
      "        looks (every 100 ms), a line \"(N messages not shown)\" says so.\n"
      "            brelvane-mqttd --watch\n"
      "    --quiet\n"
      "        No status line.\n"
      "            brelvane-mqttd --quiet --watch\n"
      "    --status-interval N\n"
      "        Print the status line every N seconds, 1-3600 (default 5). Given\n"
      "        explicitly, the line is printed also when the output is not a\n"
      "        terminal (a log file, a service journal).\n"
      "            brelvane-mqttd --status-interval 60 >> broker.log\n"
      "\n"
      "  General\n"
      "    --help, -h\n"
      "        Print this text and exit.\n"
      "            brelvane-mqttd --help | less\n"
      "    --version\n"
      "        Print the version and exit.\n"
      "            brelvane-mqttd --version\n"
      "\n"
      "    A value may also be given as --option=VALUE. When an option is given\n"
      "    twice, the last one counts.\n"
      "\n"
      "HTTP ENDPOINTS\n"
      "    Served with --http, for GET and HEAD only (other methods get 405):\n"
      "    /\n"
      "        The dashboard, one self-contained page: the counters, a chart of\n"
      "        the message rate, the topics, the latest messages, the storage\n"
      "        status and its warning, refreshed every second.\n"
      "    /metrics\n"
      "        Every figure of the stats and storage reports in the Prometheus\n"
      "        text format: names start with brelvane_, counters end in _total,\n"
      "        sizes are in bytes and times in seconds.\n"
      "            curl -s http://127.0.0.1:8080/metrics | grep brelvane_clients\n"
      "    /api/stats, /api/topics, /api/messages, /api/storage\n"
      "        The library's own JSON reports, unchanged: the counters, the\n"
      "        topics, the latest routed messages (at most 500, oldest first;\n"
      "        ?limit=N gives only the newest N) and the storage status.\n"
      "            curl -s 'http://127.0.0.1:8080/api/messages?limit=10'\n"
      "\n"
      "STATUS LINE\n"
      "    When the output is a terminal, a line like this one (folded here)\n"
      "    appears every 5 seconds:\n"
      "        14:03:10 3 clients, in 120 msg/s (4.1 KiB/s), out 35.0 KiB/s,\n"
      "        12 retained, 4 sessions (17 queued)\n"
      "    It gives the connected clients; the messages routed per second (from\n"
      "    clients and from the broker itself) and the bytes per second clients\n"
      "    sent; the bytes per second sent to clients; the retained messages;\n"
      "    the persistent sessions and the messages waiting in their queues,\n"
      "    with \", N dropped\" once full queues have dropped any.\n"
      "\n"
      "EXAMPLES\n"
      "    brelvane-mqttd\n"
      "        MQTT on port 1883, WebSocket on 9001, state kept in ./brelvane-data.\n"
      "    brelvane-mqttd --port 18830 --ws-port 0 --no-storage --watch\n"
      "        A throw-away broker for testing that shows every message.\n"
      "    brelvane-mqttd --storage /var/lib/brelvane --log --retention-days 14\n"
      "        State and a two-week message log in /var/lib/brelvane.\n"
      "    brelvane-mqttd --http 8080 --quiet\n"
      "        The dashboard at http://127.0.0.1:8080/ and metrics for\n"
      "        Prometheus at http://127.0.0.1:8080/metrics.\n"
      "\n"
      "FILES\n"
      "    DIR/retained.json, DIR/sessions.json\n"
      "        The snapshots, each replaced as a whole. A file that cannot be\n"
      "        loaded at start is moved aside as retained.json.corrupt or\n"
      "        sessions.json.corrupt, with a warning.\n"
      "    DIR/YYYY-MM-DD.jsonl, DIR/YYYY-MM-DD.N.jsonl\n"
      "        The daily message log (--log), by local day.\n"
      "\n"
      "ENVIRONMENT\n"
      "    TZ  The local time zone: of the times in --watch lines and the\n"
      "        status line, and of the days that name the log files.\n"
      "\n"
      "SIGNALS\n"
      "    SIGINT, SIGTERM  stop the broker, write the final snapshot, exit 0.\n"
      "\n"
      "EXIT STATUS\n"
      "    0  stopped by SIGINT or SIGTERM\n"
      "    1  the broker could not start or stopped on its own, or the HTTP\n"
      "       port could not be opened\n"
      "    2  bad command line, the users file could not be read, or the\n"
      "       storage folder name was refused\n",
      out);
}

int usage_error(const std::string& message) {
  print(stderr, "%s: %s\nTry '%s --help' for more information.\n", PROGRAM, message.c_str(),
        PROGRAM);
  return EXIT_USAGE;
}

namespace {

// Parses a decimal integer in [min_value, max_value]; the whole text must be
// digits.
bool parse_int(std::string_view text, int min_value, int max_value, int& out) {
  int value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  auto [end, ec] = std::from_chars(first, last, value);
  if (text.empty() || ec != std::errc() || end != last || value < min_value || value > max_value) {
    return false;
  }
  out = value;
  return true;
}

// A numeric IPv4 or IPv6 address (an IPv6 one also in brackets), returned
// without brackets; empty when text is not one. Host names are refused:
// one may resolve to several addresses, and the server would listen on only
// the first.
std::string numeric_address(std::string_view text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
    if (text.find(':') == std::string_view::npos) return {};
  }
  const std::string address(text);
  unsigned char buf[sizeof(in6_addr)];
  if (inet_pton(AF_INET, address.c_str(), buf) == 1 ||
      inet_pton(AF_INET6, address.c_str(), buf) == 1) {
    return address;
  }
  return {};
}

bool takes_value(std::string_view arg) {
  return arg == "--port" || arg == "--ws-port" || arg == "--users" || arg == "--storage" ||
         arg == "--http" || arg == "--http-bind" || arg == "--retention-days" ||
         arg == "--max-total-mb" || arg == "--max-file-mb" || arg == "--status-interval";
}

bool is_switch(std::string_view arg) {
  return arg == "--help" || arg == "-h" || arg == "--version" || arg == "--no-storage" ||
         arg == "--no-persistence" || arg == "--log" || arg == "--watch" || arg == "--quiet";
}

// What was given explicitly, for the checks between options.
struct given_flags {
  bool storage_dir = false;
  bool http_bind = false;
  const char* storage_option = nullptr;  // the first option that needs storage
};

void apply_switch(std::string_view arg, options& opts, given_flags& given) {
  if (arg == "--help" || arg == "-h") {
    opts.show_help = true;
  } else if (arg == "--version") {
    opts.show_version = true;
  } else if (arg == "--no-storage") {
    opts.storage = false;
  } else if (arg == "--no-persistence") {
    opts.persistence = false;
    if (given.storage_option == nullptr) given.storage_option = "--no-persistence";
  } else if (arg == "--log") {
    opts.log = true;
    if (given.storage_option == nullptr) given.storage_option = "--log";
  } else if (arg == "--watch") {
    opts.watch = true;
  } else {
    opts.quiet = true;
  }
}

std::string apply_value(std::string_view arg, std::string_view value, options& opts,
                        given_flags& given) {
  const std::string shown(value);
  if (arg == "--port") {
    if (!parse_int(value, 1, 65535, opts.tcp_port)) {
      return "invalid --port '" + shown + "': expected a port from 1 to 65535";
    }
  } else if (arg == "--ws-port") {
    if (!parse_int(value, 0, 65535, opts.ws_port)) {
      return "invalid --ws-port '" + shown + "': expected a port from 1 to 65535, or 0 for none";
    }
  } else if (arg == "--http") {
    if (!parse_int(value, 1, 65535, opts.http_port)) {
      return "invalid --http '" + shown + "': expected a port from 1 to 65535";
    }
  } else if (arg == "--http-bind") {
    opts.http_bind = numeric_address(value);
    if (opts.http_bind.empty()) {
      return "invalid --http-bind '" + shown + "': expected a numeric IPv4 or IPv6 address";
    }
    given.http_bind = true;
  } else if (arg == "--users") {
    if (value.empty()) return "option '--users' needs a file name";
    opts.users_path = shown;
  } else if (arg == "--storage") {
    // The library takes an empty directory as "storage off"; say that with
    // --no-storage instead of by accident.
    if (value.empty()) return "option '--storage' needs a folder name (or use --no-storage)";
    // The storage status report, where warnings are read, cannot carry a
    // name that is not UTF-8.
    if (!valid_utf8(value)) return "the --storage folder name is not valid UTF-8";
    opts.storage_dir = shown;
    given.storage_dir = true;
  } else if (arg == "--status-interval") {
    if (!parse_int(value, 1, 3600, opts.status_interval_s)) {
      return "invalid --status-interval '" + shown + "': expected seconds from 1 to 3600";
    }
  } else {
    int* target = arg == "--retention-days" ? &opts.retention_days
                  : arg == "--max-total-mb" ? &opts.max_total_mb
                                            : &opts.max_file_mb;
    if (!parse_int(value, 0, INT_MAX, *target)) {
      return "invalid " + std::string(arg) + " '" + shown +
             "': expected a whole number from 0 (no limit) to " + std::to_string(INT_MAX);
    }
    if (given.storage_option == nullptr) {
      given.storage_option = arg == "--retention-days" ? "--retention-days"
                             : arg == "--max-total-mb" ? "--max-total-mb"
                                                       : "--max-file-mb";
    }
  }
  return {};
}

}  // namespace

std::string parse_options(int argc, char** argv, options& opts) {
  given_flags given;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view value;
    bool has_value = false;
    if (arg.starts_with("--")) {
      if (auto eq = arg.find('='); eq != std::string_view::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        has_value = true;
      }
    }

    if (is_switch(arg)) {
      if (has_value) return "option '" + std::string(arg) + "' takes no value";
      apply_switch(arg, opts, given);
      continue;
    }
    if (!takes_value(arg)) {
      if (arg.starts_with("-")) return "unknown option '" + std::string(argv[i]) + "'";
      return "unexpected argument '" + std::string(arg) + "'";
    }
    if (!has_value) {
      if (i + 1 >= argc) return "option '" + std::string(arg) + "' needs a value";
      value = argv[++i];
    }
    if (std::string error = apply_value(arg, value, opts, given); !error.empty()) return error;
  }

  if (opts.ws_port != 0 && opts.ws_port == opts.tcp_port) {
    return "--port and --ws-port are both " + std::to_string(opts.tcp_port) + "; they must differ";
  }
  if (opts.http_port != 0 && (opts.http_port == opts.tcp_port || opts.http_port == opts.ws_port)) {
    return std::string("--http and ") + (opts.http_port == opts.tcp_port ? "--port" : "--ws-port") +
           " are both " + std::to_string(opts.http_port) + "; they must differ";
  }
  if (given.http_bind && opts.http_port == 0) return "--http-bind has no effect without --http";
  if (!opts.storage) {
    if (given.storage_dir) return "--storage and --no-storage exclude each other";
    if (given.storage_option != nullptr) {
      return std::string(given.storage_option) + " has no effect with --no-storage";
    }
  }
  if (opts.quiet && opts.status_interval_s != 0) {
    return "--quiet and --status-interval exclude each other";
  }
  return {};
}

}  // namespace bvm::mqttd
