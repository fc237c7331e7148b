#include "net/client.h"

#include <cstring>

#include "base/alloc.h"
#include "mqtt/route.h"
#include "mqtt/subscription.h"
#include "net/loop.h"
#include "net/ws_frames.h"
#include "session/session.h"

namespace bvm {

mqtt_client::~mqtt_client() {
  subscription_free_all(&subs);
  ws_inflate_free(ws_inflate);
}

mqtt_client* client_create(os::unique_fd sock, bool websocket) noexcept {
  mqtt_client* c = try_new<mqtt_client>();
  if (c == nullptr) return nullptr;
  if (!c->in_buf.reserve_exact(IN_BUF_INITIAL)) {
    destroy(c);
    return nullptr;
  }
  c->sock = std::move(sock);
  c->is_websocket = websocket ? 1 : 0;
  return c;
}

void client_list_insert(mqtt_client* c) noexcept {
  c->next = s_clients;
  s_clients = c;
  routing_changed();
}

void client_list_unlink(mqtt_client* c) noexcept {
  for (mqtt_client** link = &s_clients; *link != nullptr; link = &(*link)->next) {
    if (*link == c) {
      *link = c->next;
      c->next = nullptr;
      routing_changed();
      return;
    }
  }
}

int client_count() noexcept {
  int n = 0;
  for (mqtt_client* c = s_clients; c != nullptr; c = c->next) ++n;
  return n;
}

void free_client(mqtt_client* c) noexcept {
  if (c == nullptr) return;
  routing_changed();  // the caller has unlinked c, perhaps without client_list_unlink
  if (c->sock.valid()) {
    // Last chance for a reply queued just before the close (a refusing
    // CONNACK, a DISCONNECT): write what the socket takes, without waiting.
    client_flush(c);
    os::shutdown_both(c->sock.get());
    c->sock.reset();
  }
  if (c->will_flag != 0 && c->will_topic[0] != '\0') {
    route_message(c->will_topic, c->will_payload.data(), c->will_payload.size(), c->will_qos,
                  c->will_retain != 0, false, c->client_id);
  }
  c->will_payload.reset();
  session_detach(c);
  destroy(c);
}

namespace {

// Set by the network thread for the span of one loop iteration.
constinit bool g_batching GUARDED_BY(s_mutex) = false;

// After a complete write a buffer this large is freed rather than kept: one
// burst must not hold its memory for the life of the connection.
constexpr size_t OUT_BUF_KEPT = size_t{256} * 1024;

// Appends both pieces, or nothing when memory is short.
bool append_parts(byte_buf* b, const uint8_t* head, size_t head_len, const uint8_t* body,
                  size_t body_len) noexcept {
  size_t need = b->size() + head_len + body_len;
  if (need > b->capacity()) {
    size_t want = b->capacity() * 2;
    if (want < need) want = need;
    if (!b->reserve_exact(want)) return false;
  }
  b->append_within_capacity(head, head_len);
  b->append_within_capacity(body, body_len);
  return true;
}

}  // namespace

void client_batch_begin() noexcept { g_batching = true; }

void client_batch_end() noexcept { g_batching = false; }

void client_flush(mqtt_client* c) noexcept {
  if (!c->sock.valid() || c->out_broken != 0) return;
  c->out_queued = 0;
  while (c->pending_output() > 0) {
    long n = os::send_some(c->sock.get(), c->out_buf.data() + c->out_off, c->pending_output());
    if (n == 0) break;  // the socket is full; the loop resumes when it is writable
    if (n < 0) {
      // The receive path finds the dead peer; nothing more goes out.
      c->out_broken = 1;
      c->out_buf.reset();
      c->out_off = 0;
      return;
    }
    c->out_off += static_cast<size_t>(n);
    s_bytes_out += n;
  }
  if (c->pending_output() == 0) {
    if (c->out_buf.capacity() > OUT_BUF_KEPT) {
      c->out_buf.reset();
    } else {
      c->out_buf.clear();
    }
    c->out_off = 0;
  } else if (c->out_off >= c->out_buf.size() / 2) {
    c->out_buf.consume_front(c->out_off);
    c->out_off = 0;
  }
}

bool client_write(mqtt_client* c, const uint8_t* bytes, size_t len) noexcept {
  return client_write_parts(c, nullptr, 0, bytes, len);
}

bool client_write_parts(mqtt_client* c, const uint8_t* head, size_t head_len, const uint8_t* body,
                        size_t body_len) noexcept {
  if (c == nullptr || !c->sock.valid()) return false;
  size_t len = head_len + body_len;
  if (len == 0 || c->out_broken != 0) return false;
  size_t pending = c->pending_output();
  // The bound applies to output that piles up behind earlier packets. A
  // single packet larger than the bound (a big host message) is still taken
  // when nothing is pending, or such a message could never be delivered and
  // would end every subscriber's connection, at every resume of a session.
  if (pending > 0 && len > MAX_PENDING_OUTPUT - pending && c->out_queued != 0) {
    // Batched bytes count only once the socket has refused them, as they
    // would have been written at once without the batch.
    client_flush(c);
    if (c->out_broken != 0) return false;
    pending = c->pending_output();
  }
  if (pending > 0 && len > MAX_PENDING_OUTPUT - pending) {
    // A peer this far behind is treated as a broken connection: it is closed
    // and its will published, rather than letting it hold memory or the loop.
    if (c->closing == 0) {
      c->closing = 1;
      if (!g_batching) loop_wake();
    }
    return false;
  }
  if (g_batching) {
    if (!append_parts(&c->out_buf, head, head_len, body, body_len)) {
      // The packet cannot be dropped from the middle of the stream.
      c->closing = 1;
      return false;
    }
    c->out_queued = 1;
    return true;
  }
  if (pending == 0 && head_len > 0) {
    // Both pieces in one system call: queue them, then write.
    if (!append_parts(&c->out_buf, head, head_len, body, body_len)) {
      c->closing = 1;
      loop_wake();
      return false;
    }
    client_flush(c);
    if (c->out_broken != 0) return false;
    if (c->pending_output() > 0) loop_wake();
    return true;
  }
  size_t offset = 0;
  if (pending == 0) {
    long n = os::send_some(c->sock.get(), body, len);
    if (n < 0) {
      c->out_broken = 1;
      return false;
    }
    offset = static_cast<size_t>(n);
    s_bytes_out += n;
    if (offset == len) return true;
  }
  if (!append_parts(&c->out_buf, head, head_len, body + offset, body_len - offset)) {
    // No memory for the rest of the packet: the stream would be cut mid-packet,
    // so the connection cannot continue.
    c->closing = 1;
    loop_wake();
    return false;
  }
  if (pending == 0) loop_wake();
  return true;
}

void client_send_packet(mqtt_client* c, const uint8_t* bytes, size_t len) noexcept {
  if (c == nullptr || !c->sock.valid()) return;
  if (c->is_websocket != 0) {
    ws_send_packet(c, bytes, len);
    return;
  }
  client_write(c, bytes, len);
}

}  // namespace bvm
