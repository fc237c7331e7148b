// The network thread: one readiness loop that serves both listeners and
// every client.
#pragma once

#include <cstdint>

#include "broker/state.h"

namespace bvm {

enum class network_start_error { none, tcp_socket, tcp_bind, tcp_listen, thread };

// Opens the TCP listener (and the WebSocket listener when ws_port > 0; a
// failure there is silent) and starts the network thread. On failure
// nothing stays open. Called by the start with s_mutex held.
network_start_error network_start(int32_t tcp_port, int32_t ws_port) noexcept REQUIRES(s_mutex);

// First half of a stop, with s_mutex held: shuts the listeners and every
// client socket down and wakes the loop, which then ends.
void network_begin_stop() noexcept REQUIRES(s_mutex);

// Second half, without s_mutex: waits until the network thread has ended,
// then closes the listeners. State the thread uses is freed only after this.
void network_wait_stopped() noexcept EXCLUDES(s_mutex);

// Cuts the loop's current readiness wait short (any thread).
void loop_wake() noexcept;

// The bound port of the WebSocket listener, or -1 when there is none.
int network_ws_listener_port() noexcept;

// Test seam: makes the loop bail out of the next readiness wait as if it
// had failed, to exercise the pause-and-retry path.
void test_fail_next_wait() noexcept;

}  // namespace bvm
