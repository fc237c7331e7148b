// Module-wide broker state. It lives as long as the loaded library: the
// counters, the ports and everything the other subsystems keep (retained
// store, sessions, history, user list) survive a stop and a new start; only
// the clients end with a stop.
//
// Lock order: the lifecycle lock (whole starts and stops) -> s_fs_iomutex ->
// s_mutex -> s_fs_qmutex; never the reverse.
// The last-error text and the shared WebSocket deflate stream each have a
// lock of their own, taken last and alone.
#pragma once

#include <atomic>
#include <cstdint>

#include "broker/sync.h"

namespace bvm {

struct mqtt_client;

// The broker lock: guards every item of broker state below and the state of
// the MQTT engine, sessions and history.
extern constinit mutex s_mutex;

// --- guarded by s_mutex -----------------------------------------------------
extern mqtt_client* s_clients GUARDED_BY(s_mutex);     // newest connection first
extern int64_t s_bytes_in GUARDED_BY(s_mutex);         // every byte a receive returned
extern int64_t s_bytes_out GUARDED_BY(s_mutex);        // bytes actually written to sockets
extern int64_t s_total_received GUARDED_BY(s_mutex);   // PUBLISH packets, refused ones too
extern int64_t s_total_published GUARDED_BY(s_mutex);  // accepted mqtt_publish calls
extern int32_t s_tcp_port GUARDED_BY(s_mutex);         // 1883 until the first start
extern int32_t s_ws_port GUARDED_BY(s_mutex);          // as passed to the last start; 9001 before
extern int64_t s_start_time GUARDED_BY(s_mutex);       // wall-clock seconds of the last start

// --- relaxed atomics, read without a lock -----------------------------------
extern constinit std::atomic<int> s_broker_running;

inline bool broker_running() noexcept {
  return s_broker_running.load(std::memory_order_relaxed) != 0;
}

}  // namespace bvm
