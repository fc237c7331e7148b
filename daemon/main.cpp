// brelvane-mqttd: the broker as a standalone program.
//
// A host like any other: it uses only the public C API of the shared library.
// All of the project's signal handling lives here, since the library never
// touches the host's signals. SIGINT and SIGTERM are blocked before the
// broker starts, so the library's threads inherit the mask and only the main
// thread's sigtimedwait() loop ever sees them. Between waits the loop prints
// what is new: watched messages, the status line, storage warnings.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <system_error>

#include "brelvane_mqtt.h"
#include "http.h"
#include "monitor.h"
#include "options.h"

namespace bvm::mqttd {
namespace {

// How long one wait for a signal lasts; the loop does its periodic work
// between waits. The watch looks often, since the broker keeps only its
// newest 500 messages.
constexpr std::chrono::milliseconds WATCH_TICK{100};
constexpr std::chrono::milliseconds TICK{250};

// Reads the whole file into text. Returns an empty text on success, else why
// it could not be read.
std::string read_text_file(const std::string& path, std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::generic_category().message(errno);
  text.clear();
  char chunk[65536];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
  // A directory opens fine on Linux; the read is what fails (EISDIR).
  const int read_errno = std::ferror(file) != 0 ? errno : 0;
  if (std::fclose(file) != 0 && read_errno == 0) {
    return std::generic_category().message(errno);
  }
  if (read_errno != 0) return std::generic_category().message(read_errno);
  // The list travels as a C string; a NUL would silently cut it short.
  if (text.find('\0') != std::string::npos) return "the file contains a NUL byte";
  return {};
}

// True when text holds nothing but JSON white space.
bool is_blank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// Tells whether the broker could open a listener on port, by binding it for
// a moment. Returns an empty text when it could, else why not. The library
// goes on without a WebSocket listener it cannot open and says nothing, so
// this is how the program learns it before announcing the port.
std::string listen_port_problem(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};  // no verdict; let the broker try
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  std::string why;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    why = std::generic_category().message(errno);
  }
  close(fd);
  return why;
}

const char* signal_name(int sig) {
  switch (sig) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    default:
      return "a signal";
  }
}

// Hands the storage options to the library; they must be set while the
// broker is stopped. Returns an empty text, or the library's refusal.
std::string configure_storage(const options& opts) {
  if (!opts.storage) {
    if (mqtt_set_storage_dir(nullptr) != 0) return mqtt_last_error();
    return {};
  }
  if (mqtt_set_storage_dir(opts.storage_dir.c_str()) != 0 ||
      mqtt_set_persistence_enabled(opts.persistence ? 1 : 0) != 0) {
    return mqtt_last_error();
  }
  (void)mqtt_set_log_enabled(opts.log ? 1 : 0);
  (void)mqtt_set_log_limits(opts.retention_days, opts.max_total_mb, opts.max_file_mb);
  return {};
}

timespec to_timespec(std::chrono::milliseconds d) {
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
  return timespec{static_cast<time_t>(s.count()),
                  static_cast<long>(std::chrono::nanoseconds(d - s).count())};
}

// Runs the broker until SIGINT or SIGTERM. Returns the exit status.
int run(const options& opts) {
  std::string users;
  if (!opts.users_path.empty()) {
    if (std::string why = read_text_file(opts.users_path, users); !why.empty()) {
      print(stderr, "%s: cannot read users file '%s': %s\n", PROGRAM, opts.users_path.c_str(),
            why.c_str());
      return EXIT_USAGE;
    }
    // The library takes empty text as "no user list" and lets everyone in;
    // an empty file (truncated, say) must not open a broker that was meant
    // to be closed. An explicit [] still does.
    if (is_blank(users)) {
      print(stderr, "%s: users file '%s' is empty; write [] to let every client in\n", PROGRAM,
            opts.users_path.c_str());
      return EXIT_USAGE;
    }
  }

  if (std::string why = configure_storage(opts); !why.empty()) {
    print(stderr, "%s: cannot use storage folder '%s': %s\n", PROGRAM, opts.storage_dir.c_str(),
          why.c_str());
    return EXIT_USAGE;
  }

  // The library writes with MSG_NOSIGNAL; ignoring SIGPIPE also covers a
  // closed stdout or stderr.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);

  // Blocked before the start, so every thread the library creates inherits
  // the mask and the signals stay pending for sigtimedwait() below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  if (int rc = pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr); rc != 0) {
    print(stderr, "%s: cannot block signals: %s\n", PROGRAM,
          std::generic_category().message(rc).c_str());
    return EXIT_START_FAILED;
  }

  int ws_port = opts.ws_port;
  if (ws_port > 0) {
    if (std::string why = listen_port_problem(ws_port); !why.empty()) {
      print(stderr,
            "%s: warning: WebSocket port %d cannot be opened (%s); serving MQTT over TCP only\n",
            PROGRAM, ws_port, why.c_str());
      ws_port = 0;
    }
  }

  // Opened before the broker starts, so that a port in use ends the program
  // before storage loads or writes anything. Its threads start after the
  // signals were blocked, like the library's.
  http_service http;
  if (opts.http_port != 0) {
    if (std::string why = http.open(opts.http_bind, opts.http_port); !why.empty()) {
      print(stderr, "%s: cannot serve HTTP on %s: %s\n", PROGRAM, http.endpoint().c_str(),
            why.c_str());
      return EXIT_START_FAILED;
    }
  }

  if (mqtt_broker_start(opts.tcp_port, ws_port,
                        opts.users_path.empty() ? nullptr : users.c_str()) != 0) {
    print(stderr, "%s: the broker could not start on port %d: %s\n", PROGRAM, opts.tcp_port,
          mqtt_last_error());
    return EXIT_START_FAILED;
  }
  if (opts.http_port != 0 && !http.start()) {
    print(stderr, "%s: cannot start the HTTP server's thread\n", PROGRAM);
    mqtt_broker_stop();
    return EXIT_START_FAILED;
  }
  // Peers wait for this line (with "ws://" when there is a WebSocket
  // listener) before they connect, so it is always the first one.
  if (ws_port > 0) {
    print(stdout, "%s %s: MQTT on tcp://0.0.0.0:%d, ws://0.0.0.0:%d\n", PROGRAM, mqtt_version(),
          opts.tcp_port, ws_port);
  } else {
    print(stdout, "%s %s: MQTT on tcp://0.0.0.0:%d\n", PROGRAM, mqtt_version(), opts.tcp_port);
  }
  if (opts.http_port != 0) {
    print(stdout, "%s: dashboard on %s, metrics on %smetrics\n", PROGRAM, http.url().c_str(),
          http.url().c_str());
  }
  (void)std::fflush(stdout);
  // A start that succeeds begins with an empty last error, so any text here
  // is a warning the start left (from storage, say).
  const std::string start_warning = mqtt_last_error();
  if (!start_warning.empty()) print(stderr, "%s: warning: %s\n", PROGRAM, start_warning.c_str());

  storage_monitor storage;
  storage.after_start(opts, start_warning, std::chrono::steady_clock::now());
  std::optional<status_reporter> status;
  if (!opts.quiet && (opts.status_interval_s > 0 || isatty(STDOUT_FILENO) == 1)) {
    status.emplace(opts.status_interval_s > 0 ? opts.status_interval_s : DEFAULT_STATUS_INTERVAL_S,
                   std::chrono::steady_clock::now());
  }
  message_watch watch;
  if (opts.watch) watch.poll(stdout);
  (void)std::fflush(stdout);

  int exit_status = EXIT_OK;
  int received = 0;
  const timespec tick = to_timespec(opts.watch ? WATCH_TICK : TICK);
  while (received == 0) {
    int sig = sigtimedwait(&stop_signals, nullptr, &tick);
    if (sig > 0) {
      received = sig;
      break;
    }
    if (errno != EAGAIN && errno != EINTR) {
      print(stderr, "%s: waiting for signals failed: %s\n", PROGRAM,
            std::generic_category().message(errno).c_str());
      exit_status = EXIT_START_FAILED;
      break;
    }
    if (mqtt_broker_status() == 0) {
      print(stderr, "%s: the broker stopped on its own: %s\n", PROGRAM, mqtt_last_error());
      exit_status = EXIT_START_FAILED;
      break;
    }
    const auto now = std::chrono::steady_clock::now();
    if (opts.watch) watch.poll(stdout);
    storage.tick(now);
    if (status) status->tick(stdout, now);
    (void)std::fflush(stdout);
  }

  // The HTTP server ends first: its requests are answered or cut off before
  // the broker goes away, and none sees a half-stopped broker.
  http.stop();
  // The stop drains the message log and writes the final snapshot.
  storage.before_stop();
  mqtt_broker_stop();
  // Messages routed after the last look (wills of the closed connections
  // are not published by a stop).
  if (opts.watch) watch.poll(stdout);
  storage.after_stop();
  if (received != 0) {
    print(stdout, "%s: stopped on %s, goodbye\n", PROGRAM, signal_name(received));
  } else {
    print(stdout, "%s: stopped, goodbye\n", PROGRAM);
  }
  (void)std::fflush(stdout);
  return exit_status;
}

}  // namespace
}  // namespace bvm::mqttd

int main(int argc, char** argv) {
  using namespace bvm::mqttd;
  options opts;
  if (std::string error = parse_options(argc, argv, opts); !error.empty()) {
    return usage_error(error);
  }
  if (opts.show_help) {
    print_usage(stdout);
    return EXIT_OK;
  }
  if (opts.show_version) {
    print(stdout, "%s %s\n", PROGRAM, mqtt_version());
    return EXIT_OK;
  }
  return run(opts);
}
