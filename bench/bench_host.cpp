// bench-host: runs the broker through the public C API with chosen storage
// settings, so bench/compare can measure logging on and off whatever flags
// brelvane-mqttd offers. Stops on SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "brelvane_mqtt.h"

namespace {

const char USAGE[] =
    "usage: bench-host --port N [--ws-port N] [--storage DIR] [--log] [--no-persistence]\n"
    "  --port N          MQTT over TCP\n"
    "  --ws-port N       MQTT over WebSocket; 0 = none [0]\n"
    "  --storage DIR     storage directory (created if missing); without it storage is off\n"
    "  --log             turn the daily message log on (needs --storage)\n"
    "  --no-persistence  no snapshots of retained messages and sessions\n";

int usage(const char* why) {
  std::fprintf(stderr, "bench-host: %s\n%s", why, USAGE);
  return 2;
}

bool to_port(const char* s, int min, int& out) {
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (end == s || *end != '\0' || v < min || v > 65535) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  int ws_port = 0;
  std::string storage;
  bool log = false;
  bool persist = true;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    bool has_next = i + 1 < argc;
    if (a == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    } else if (a == "--port" && has_next) {
      if (!to_port(argv[++i], 1, port)) return usage("bad --port");
    } else if (a == "--ws-port" && has_next) {
      if (!to_port(argv[++i], 0, ws_port)) return usage("bad --ws-port");
    } else if (a == "--storage" && has_next) {
      storage = argv[++i];
    } else if (a == "--log") {
      log = true;
    } else if (a == "--no-persistence") {
      persist = false;
    } else {
      return usage("bad arguments");
    }
  }
  if (port == 0) return usage("--port is required");
  if (log && storage.empty()) return usage("--log needs --storage");

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  // Blocked before the start so the broker's threads inherit the mask.
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!storage.empty()) {
    if (mqtt_set_storage_dir(storage.c_str()) != 0 ||
        mqtt_set_persistence_enabled(persist ? 1 : 0) != 0) {
      std::fprintf(stderr, "bench-host: storage settings refused: %s\n", mqtt_last_error());
      return 1;
    }
    mqtt_set_log_enabled(log ? 1 : 0);
  }
  if (mqtt_broker_start(port, ws_port, nullptr) != 0) {
    std::fprintf(stderr, "bench-host: start failed: %s\n", mqtt_last_error());
    return 1;
  }
  std::printf("bench-host: running on %d (storage %s, log %s)\n", port,
              storage.empty() ? "off" : storage.c_str(), log ? "on" : "off");
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  mqtt_broker_stop();
  std::printf("bench-host: storage status %s\n", mqtt_get_storage_status_json());
  return 0;
}
