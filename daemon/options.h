// brelvane-mqttd's command line: the settings it gathers and the usage text.
#pragma once

#include <cstdio>
#include <string>

namespace bvm::mqttd {

inline constexpr const char* PROGRAM = "brelvane-mqttd";
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_START_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

inline constexpr const char* DEFAULT_STORAGE_DIR = "brelvane-data";
inline constexpr int DEFAULT_STATUS_INTERVAL_S = 5;
inline constexpr const char* DEFAULT_HTTP_BIND = "127.0.0.1";

struct options {
  int tcp_port = 1883;
  int ws_port = 9001;      // 0: no WebSocket listener
  std::string users_path;  // empty: no user list, every client is let in

  int http_port = 0;  // 0: no HTTP server
  std::string http_bind = DEFAULT_HTTP_BIND;

  bool storage = true;  // false: --no-storage
  std::string storage_dir = DEFAULT_STORAGE_DIR;
  bool persistence = true;
  bool log = false;
  // -1 keeps the library's own value; 0 means no limit.
  int retention_days = -1;
  int max_total_mb = -1;
  int max_file_mb = -1;

  bool quiet = false;
  // 0: not given. The status line then appears only on a terminal, every
  // DEFAULT_STATUS_INTERVAL_S seconds; given, it also appears on a pipe.
  int status_interval_s = 0;
  bool watch = false;

  bool show_help = false;
  bool show_version = false;
};

// Fills opts from argv. Returns an empty text on success, else what is wrong.
std::string parse_options(int argc, char** argv, options& opts);

void print_usage(std::FILE* out);

// Reports a command-line fault the way the usage text describes; returns
// EXIT_USAGE.
int usage_error(const std::string& message);

// Writes formatted text; a failed write to a closed terminal or pipe is not
// worth acting on.
[[gnu::format(printf, 2, 3)]] void print(std::FILE* to, const char* format, ...);

}  // namespace bvm::mqttd
