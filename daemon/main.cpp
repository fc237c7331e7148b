// brelvane-mqttd: the broker as a standalone program.
//
// A host like any other: it uses only the public C API of the shared library.
// All of the project's signal handling lives here, since the library never
// touches the host's signals. SIGINT and SIGTERM are blocked before the
// broker starts, so the library's threads inherit the mask and only the main
// thread's sigtimedwait() loop ever sees them.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>

#include "brelvane_mqtt.h"

namespace {

constexpr const char* PROGRAM = "brelvane-mqttd";
constexpr int EXIT_OK = 0;
constexpr int EXIT_START_FAILED = 1;
constexpr int EXIT_USAGE = 2;
// How long one wait for a signal lasts; the loop does its periodic work
// between waits.
constexpr long TICK_SECONDS = 1;

// Writes formatted text; a failed write to a closed terminal or pipe is not
// worth acting on.
[[gnu::format(printf, 2, 3)]] void print(std::FILE* to, const char* format, ...) {
  va_list args;
  va_start(args, format);
  (void)std::vfprintf(to, format, args);
  va_end(args);
}

struct options {
  int tcp_port = 1883;
  int ws_port = 9001;      // 0: no WebSocket listener
  std::string users_path;  // empty: no user list, every client is let in
  bool show_help = false;
  bool show_version = false;
};

void print_usage(std::FILE* out) {
  print(out,
        "NAME\n"
        "    %s - run the brelvane-mqtt broker as a standalone program\n"
        "\n"
        "SYNOPSIS\n"
        "    %s [--port N] [--ws-port N] [--users FILE]\n"
        "    %s --help | --version\n"
        "\n"
        "DESCRIPTION\n"
        "    Serves MQTT 3.1.1 and 5.0 over TCP and, unless turned off, over\n"
        "    WebSocket, on all IPv4 addresses, until it receives SIGINT (Ctrl-C)\n"
        "    or SIGTERM. Then it closes every connection and exits.\n"
        "\n"
        "OPTIONS\n"
        "    --port N       TCP port for MQTT, 1-65535 (default 1883).\n"
        "    --ws-port N    TCP port for MQTT over WebSocket, 1-65535, or 0 for\n"
        "                   no WebSocket listener (default 9001).\n"
        "    --users FILE   Accept only the users listed in FILE, a JSON array\n"
        "                   [{\"username\":\"u\",\"password\":\"p\"}, ...] or an object\n"
        "                   {\"users\":[...]}. An empty list lets every client in.\n"
        "                   Without this option every client is let in.\n"
        "    --help         Print this text and exit.\n"
        "    --version      Print the version and exit.\n"
        "\n"
        "    A value may also be given as --option=VALUE.\n"
        "\n"
        "EXAMPLES\n"
        "    %s\n"
        "        MQTT on port 1883 and MQTT over WebSocket on port 9001.\n"
        "    %s --port 18830 --ws-port 0\n"
        "        MQTT on port 18830 only.\n"
        "    %s --users /etc/brelvane/users.json\n"
        "        Only the listed users may connect.\n"
        "\n"
        "EXIT STATUS\n"
        "    0  stopped by SIGINT or SIGTERM\n"
        "    1  the broker could not start, or stopped on its own\n"
        "    2  bad command line, or the users file could not be read\n",
        PROGRAM, PROGRAM, PROGRAM, PROGRAM, PROGRAM, PROGRAM);
}

// Reports a command-line fault the way the usage text describes.
int usage_error(const std::string& message) {
  print(stderr, "%s: %s\nTry '%s --help' for more information.\n", PROGRAM, message.c_str(),
        PROGRAM);
  return EXIT_USAGE;
}

// Parses a decimal port in [min_port, 65535]; the whole text must be digits.
bool parse_port(std::string_view text, int min_port, int& port) {
  int value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  auto [end, ec] = std::from_chars(first, last, value);
  if (text.empty() || ec != std::errc() || end != last || value < min_port || value > 65535) {
    return false;
  }
  port = value;
  return true;
}

// Fills opts from argv. Returns an empty text on success, else what is wrong.
std::string parse_options(int argc, char** argv, options& opts) {
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

    if (arg == "--help" || arg == "-h" || arg == "--version") {
      if (has_value) return "option '" + std::string(arg) + "' takes no value";
      if (arg == "--version") {
        opts.show_version = true;
      } else {
        opts.show_help = true;
      }
      continue;
    }

    if (arg != "--port" && arg != "--ws-port" && arg != "--users") {
      if (arg.starts_with("-")) return "unknown option '" + std::string(argv[i]) + "'";
      return "unexpected argument '" + std::string(arg) + "'";
    }
    if (!has_value) {
      if (i + 1 >= argc) return "option '" + std::string(arg) + "' needs a value";
      value = argv[++i];
    }

    if (arg == "--port") {
      if (!parse_port(value, 1, opts.tcp_port)) {
        return "invalid --port '" + std::string(value) + "': expected a port from 1 to 65535";
      }
    } else if (arg == "--ws-port") {
      if (!parse_port(value, 0, opts.ws_port)) {
        return "invalid --ws-port '" + std::string(value) +
               "': expected a port from 1 to 65535, or 0 for none";
      }
    } else {
      if (value.empty()) return "option '--users' needs a file name";
      opts.users_path = value;
    }
  }
  if (opts.ws_port != 0 && opts.ws_port == opts.tcp_port) {
    return "--port and --ws-port are both " + std::to_string(opts.tcp_port) + "; they must differ";
  }
  return {};
}

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

  if (mqtt_broker_start(opts.tcp_port, ws_port,
                        opts.users_path.empty() ? nullptr : users.c_str()) != 0) {
    print(stderr, "%s: the broker could not start on port %d: %s\n", PROGRAM, opts.tcp_port,
          mqtt_last_error());
    return EXIT_START_FAILED;
  }
  if (ws_port > 0) {
    print(stdout, "%s %s: MQTT on tcp://0.0.0.0:%d, ws://0.0.0.0:%d\n", PROGRAM, mqtt_version(),
          opts.tcp_port, ws_port);
  } else {
    print(stdout, "%s %s: MQTT on tcp://0.0.0.0:%d\n", PROGRAM, mqtt_version(), opts.tcp_port);
  }
  // A start that succeeds begins with an empty last error, so any text here
  // is a warning the start left (from storage, say).
  if (const char* warning = mqtt_last_error(); warning != nullptr && warning[0] != '\0') {
    print(stderr, "%s: warning: %s\n", PROGRAM, warning);
  }
  (void)std::fflush(stdout);

  int status = EXIT_OK;
  int received = 0;
  const timespec tick{TICK_SECONDS, 0};
  while (received == 0) {
    int sig = sigtimedwait(&stop_signals, nullptr, &tick);
    if (sig > 0) {
      received = sig;
    } else if (errno != EAGAIN && errno != EINTR) {
      print(stderr, "%s: waiting for signals failed: %s\n", PROGRAM,
            std::generic_category().message(errno).c_str());
      status = EXIT_START_FAILED;
      break;
    } else if (mqtt_broker_status() == 0) {
      print(stderr, "%s: the broker stopped on its own: %s\n", PROGRAM, mqtt_last_error());
      status = EXIT_START_FAILED;
      break;
    }
  }

  mqtt_broker_stop();
  if (received != 0) {
    print(stdout, "%s: stopped on %s, goodbye\n", PROGRAM, signal_name(received));
  } else {
    print(stdout, "%s: stopped, goodbye\n", PROGRAM);
  }
  (void)std::fflush(stdout);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
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
