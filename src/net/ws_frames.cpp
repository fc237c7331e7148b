#include "net/ws_frames.h"

#include "net/client.h"

namespace bvm {

void ws_service(mqtt_client* c) noexcept {
  // The WebSocket transport is not served yet: such connections are closed.
  c->closing = 1;
}

void ws_send_packet(mqtt_client*, const uint8_t*, size_t) noexcept {}

void ws_inflate_free(ws_inflate_stream*) noexcept {}

}  // namespace bvm
