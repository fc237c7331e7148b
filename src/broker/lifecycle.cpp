// The control calls: start, stop, status, version.
//
// Start and stop serialise on s_mutex. The start holds it throughout; the
// stop holds it in two phases and never while it waits for the network
// thread, which takes s_mutex in every iteration.
#include <string>

#include "brelvane_mqtt.h"
#include "broker/auth.h"
#include "broker/last_error.h"
#include "broker/state.h"
#include "net/client.h"
#include "net/loop.h"
#include "os/clock.h"
#include "storage/storage.h"

namespace bvm {
namespace {

const char* network_error_text(network_start_error e) {
  switch (e) {
    case network_start_error::tcp_socket:
      return "Failed to create TCP socket";
    case network_start_error::tcp_bind:
      return "Failed to bind TCP port";
    case network_start_error::tcp_listen:
      return "Failed to listen on TCP port";
    case network_start_error::thread:
      return "Failed to create worker thread";
    case network_start_error::none:
      break;
  }
  return "";
}

// Serialises whole starts and stops. A stop releases s_mutex while it waits
// for the threads, and a start from another thread must not slip in there
// and create new threads before the old ones have been joined.
constinit mutex g_lifecycle_mutex;

int broker_start(int tcp_port, int ws_port, const char* auth_json) {
  lock_guard whole(g_lifecycle_mutex);
  std::string error;
  {
    lock_guard lock(s_mutex);
    if (broker_running()) {
      error = "Broker is already running";
    } else {
      clear_last_error();
      // The socket layer needs no start-up on this platform.
      s_ws_port = ws_port;
      s_tcp_port = tcp_port < 1 ? 1883 : tcp_port;
      auth_clear();
      if (auth_json != nullptr && auth_json[0] != '\0' && !auth_load(auth_json, &error)) {
        // error holds the refusal
      } else {
        storage_startup();
        network_start_error e = network_start(s_tcp_port, s_ws_port);
        if (e != network_start_error::none) {
          error = network_error_text(e);
        } else {
          s_start_time = os::wall_seconds();
          storage_start_writer();
          return 0;
        }
      }
    }
  }
  // The message is written after the lock has been released.
  set_last_error(error.c_str());
  return error == "Broker is already running" ? 0 : -1;
}

int broker_stop() {
  lock_guard whole(g_lifecycle_mutex);
  {
    lock_guard lock(s_mutex);
    if (!broker_running()) return 0;
    s_broker_running.store(0, std::memory_order_relaxed);
    network_begin_stop();
  }
  network_wait_stopped();
  {
    lock_guard lock(s_mutex);
    while (s_clients != nullptr) {
      mqtt_client* c = s_clients;
      s_clients = c->next;
      c->next = nullptr;
      c->will_flag = 0;
      free_client(c);
    }
  }
  storage_shutdown();
  return 0;
}

}  // namespace
}  // namespace bvm

extern "C" {

BV_EXPORT int mqtt_broker_start(int tcp_port, int ws_port, const char* auth_json) {
  try {
    return bvm::broker_start(tcp_port, ws_port, auth_json);
  } catch (...) {
    bvm::set_last_error("out of memory while starting the broker");
    return -1;
  }
}

BV_EXPORT int mqtt_broker_stop(void) {
  try {
    return bvm::broker_stop();
  } catch (...) {
    return 0;
  }
}

BV_EXPORT int mqtt_broker_status(void) { return bvm::broker_running() ? 1 : 0; }

BV_EXPORT const char* mqtt_version(void) { return BV_VERSION_TEXT; }

}  // extern "C"
