// Routing: the one road every message takes into the broker (a client's
// PUBLISH, a will, the host's publish): recorded, stored as retained when
// flagged, then fanned out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "broker/state.h"

namespace bvm {

// Records the message (history and storage log), stores or clears it as
// retained when `retain` is set, and dispatches it with the RETAIN bit
// `retain_to_subscribers` on every copy. `origin` is the publisher's client
// identifier ("broker" for the host).
void route_message(const char* topic, const uint8_t* payload, size_t payload_len, int qos,
                   bool retain, bool retain_to_subscribers, const char* origin) noexcept
    REQUIRES(s_mutex);

// Delivers to every live client whose first matching subscription decides
// the QoS, records QoS 1 copies in session queues, and queues the message
// for matching detached sessions.
void dispatch_to_subscribers(const char* topic, const uint8_t* payload, size_t payload_len, int qos,
                             int retain) noexcept REQUIRES(s_mutex);

}  // namespace bvm
