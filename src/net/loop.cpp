// broker_worker: accept, receive, cut packets, sweep keep-alives, free closed
// clients and write pending output, in one loop with a 50 ms bound.
//
// Lock: s_mutex is taken for the keep-alive sweep and held to the end of the
// iteration, so every packet handler, fan-out and teardown runs under it. It
// is not held during the readiness wait or the accept.
#include "net/loop.h"

#include <atomic>
#include <cstring>

#include "base/alloc.h"
#include "base/no_destructor.h"
#include "mqtt/codec.h"
#include "net/client.h"
#include "net/ws_frames.h"
#include "os/clock.h"
#include "os/poller.h"
#include "os/socket.h"
#include "os/thread.h"

namespace bvm {
namespace {

constexpr int WAIT_MS = 50;
constexpr int PAUSE_AFTER_FAILED_WAIT_MS = 10;
constexpr int MAX_CLIENTS = 1020;
constexpr size_t RECV_SIZE = 8192;
constexpr int MAX_EVENTS = 1024;

struct network {
  os::poller poller;
  os::unique_fd tcp_listener;
  os::unique_fd ws_listener;
  os::worker_thread thread;
};

network& net() {
  static no_destructor<network> n;
  return *n;
}

// Poller tags for the two listeners; client events carry the record itself.
char g_tcp_tag;
char g_ws_tag;
constinit std::atomic<int> g_fail_next_wait{0};
constinit std::atomic<int> g_ws_port_bound{-1};

void accept_one(int listen_fd, bool websocket) EXCLUDES(s_mutex) {
  os::unique_fd fd = os::tcp_accept(listen_fd);
  if (!fd) return;
  int count;
  {
    lock_guard lock(s_mutex);
    count = client_count();
  }
  // Over the limit: closed at once, nothing sent.
  if (count >= MAX_CLIENTS) return;
  os::set_nodelay(fd.get());
  mqtt_client* c = client_create(std::move(fd), websocket);
  if (c == nullptr) return;
  c->last_activity = os::mono_millis();
  if (!net().poller.add(c->sock.get(), os::POLL_IN, c)) {
    destroy(c);
    return;
  }
  c->poll_interest = os::POLL_IN;
  lock_guard lock(s_mutex);
  client_list_insert(c);
}

// Registers what each client should be woken for: input while it is open and
// not closing, output while it has some pending. Returns true when a client
// has complete input left over from the last iteration, which must not wait.
bool update_interest() REQUIRES(s_mutex) {
  bool resume_pending = false;
  for (mqtt_client* c = s_clients; c != nullptr; c = c->next) {
    if (!c->sock.valid()) continue;
    if (c->resume != 0 && c->closing == 0) resume_pending = true;
    uint32_t want = 0;
    if (c->closing == 0) want |= os::POLL_IN;
    if (c->pending_output() > 0 && c->out_broken == 0) want |= os::POLL_OUT;
    if (want != c->poll_interest) {
      net().poller.modify(c->sock.get(), want, c);
      c->poll_interest = want;
    }
  }
  return resume_pending;
}

// A busy loop runs thousands of iterations a second; the sweep walks every
// client, so it runs at most once per SWEEP_EVERY_MS. A limit of 1.5 s or
// more is then met a few milliseconds late at most.
constexpr int64_t SWEEP_EVERY_MS = 5;
constinit int64_t g_last_sweep_ms = 0;

void sweep_keep_alive() REQUIRES(s_mutex) {
  int64_t now = os::mono_millis();
  // A clock that went backwards (a test seam) never holds the sweep off.
  if (now >= g_last_sweep_ms && now - g_last_sweep_ms < SWEEP_EVERY_MS) return;
  g_last_sweep_ms = now;
  for (mqtt_client* c = s_clients; c != nullptr; c = c->next) {
    if (c->closing != 0 || c->keep_alive <= 0 || c->last_activity == 0) continue;
    // One and a half times the keep-alive, measured in milliseconds: whole
    // seconds would let a second boundary turn 1.1 s of silence into 2 s and
    // drop a client that pings on time.
    int64_t limit_ms = static_cast<int64_t>(c->keep_alive) * 1500;
    if (now - c->last_activity > limit_ms) c->closing = 1;
  }
}

// Inbound growth: up to twice what is needed, never past IN_BUF_LIMIT; a
// client whose unconsumed bytes would pass the limit is closed.
void append_input(mqtt_client* c, const uint8_t* bytes, size_t n) REQUIRES(s_mutex) {
  size_t need = c->in_buf.size() + n;
  if (need > c->in_buf.capacity()) {
    size_t cap = need * 2 < IN_BUF_LIMIT ? need * 2 : IN_BUF_LIMIT;
    if (cap < need || !c->in_buf.reserve_exact(cap)) {
      c->closing = 1;
      return;
    }
  }
  c->in_buf.append_within_capacity(bytes, n);
}

void service_client(mqtt_client* c, uint8_t* scratch) REQUIRES(s_mutex) {
  if (c->ready_in != 0) {
    long n = os::recv_some(c->sock.get(), scratch, RECV_SIZE);
    if (n == os::IO_WOULD_BLOCK) {
      if (c->resume == 0) return;
    } else if (n <= 0) {
      c->closing = 1;
      return;
    } else {
      s_bytes_in += n;
      c->last_activity = os::mono_millis();
      if (c->closing == 0) append_input(c, scratch, static_cast<size_t>(n));
    }
  }
  if (c->is_websocket != 0) {
    ws_service(c);
    return;
  }
  cut_packets(c, &c->in_buf);
}

void free_closing_clients() REQUIRES(s_mutex) {
  mqtt_client** link = &s_clients;
  while (*link != nullptr) {
    mqtt_client* c = *link;
    if (c->closing != 0) {
      *link = c->next;
      c->next = nullptr;
      free_client(c);
    } else {
      link = &c->next;
    }
  }
}

void broker_worker() {
  network& n = net();
  os::poll_event events[MAX_EVENTS];
  static thread_local uint8_t scratch[RECV_SIZE];
  while (broker_running()) {
    bool resume_pending;
    {
      lock_guard lock(s_mutex);
      resume_pending = update_interest();
    }
    int count = n.poller.wait(events, MAX_EVENTS, resume_pending ? 0 : WAIT_MS);
    if (g_fail_next_wait.exchange(0, std::memory_order_relaxed) != 0) count = -1;
    if (!broker_running()) break;
    if (count < 0) {
      os::sleep_millis(PAUSE_AFTER_FAILED_WAIT_MS);
      continue;
    }
    bool tcp_ready = false;
    bool ws_ready = false;
    for (int i = 0; i < count; ++i) {
      if (events[i].tag == &g_tcp_tag) tcp_ready = true;
      if (events[i].tag == &g_ws_tag) ws_ready = true;
    }
    if (tcp_ready) accept_one(n.tcp_listener.get(), false);
    if (ws_ready) accept_one(n.ws_listener.get(), true);

    lock_guard lock(s_mutex);
    sweep_keep_alive();
    client_batch_begin();
    // No client is freed between the wait and here (only this thread frees
    // clients), so the records the events point to are still alive.
    for (int i = 0; i < count; ++i) {
      if (events[i].tag == &g_tcp_tag || events[i].tag == &g_ws_tag) continue;
      auto* c = static_cast<mqtt_client*>(events[i].tag);
      if (events[i].events & os::POLL_IN) c->ready_in = 1;
      if (events[i].events & os::POLL_OUT) c->ready_out = 1;
    }
    // Newest first. Handlers may unlink and free *other* clients (take-over),
    // so the successor is read only after the client has been serviced.
    for (mqtt_client* c = s_clients; c != nullptr;) {
      if (c->sock.valid() && (c->ready_in != 0 || c->resume != 0)) service_client(c, scratch);
      c->ready_in = 0;
      c = c->next;
    }
    // Closing clients write their queued output as they are freed; wills
    // they publish are queued for the others like any packet.
    free_closing_clients();
    // One write per client for everything queued in this iteration, and the
    // backlog of the writable ones.
    for (mqtt_client* c = s_clients; c != nullptr; c = c->next) {
      if ((c->ready_out != 0 || c->out_queued != 0) && c->sock.valid()) client_flush(c);
      c->ready_out = 0;
    }
    client_batch_end();
  }
}

}  // namespace

network_start_error network_start(int32_t tcp_port, int32_t ws_port) noexcept {
  network& n = net();
  os::listen_result tcp = os::tcp_listen(static_cast<uint16_t>(tcp_port & 0xFFFF), 128);
  switch (tcp.error) {
    case os::listen_error::socket_failed:
      return network_start_error::tcp_socket;
    case os::listen_error::bind_failed:
      return network_start_error::tcp_bind;
    case os::listen_error::listen_failed:
      return network_start_error::tcp_listen;
    case os::listen_error::none:
      break;
  }
  os::unique_fd ws;
  if (ws_port > 0) {
    // Any failure here leaves the broker without a WebSocket listener.
    os::listen_result r = os::tcp_listen(static_cast<uint16_t>(ws_port & 0xFFFF), 64);
    ws = std::move(r.fd);
  }
  if (!n.poller.open() || !n.poller.add(tcp.fd.get(), os::POLL_IN, &g_tcp_tag) ||
      (ws.valid() && !n.poller.add(ws.get(), os::POLL_IN, &g_ws_tag))) {
    n.poller.close();
    return network_start_error::thread;
  }
  g_ws_port_bound.store(ws.valid() ? os::local_port(ws.get()) : -1, std::memory_order_relaxed);
  n.tcp_listener = std::move(tcp.fd);
  n.ws_listener = std::move(ws);
  s_broker_running.store(1, std::memory_order_relaxed);
  if (!n.thread.start(broker_worker)) {
    s_broker_running.store(0, std::memory_order_relaxed);
    n.tcp_listener.reset();
    n.ws_listener.reset();
    n.poller.close();
    g_ws_port_bound.store(-1, std::memory_order_relaxed);
    return network_start_error::thread;
  }
  return network_start_error::none;
}

void network_begin_stop() noexcept {
  network& n = net();
  // Shut down, but close only after the thread has ended: a descriptor
  // number freed under a running loop could be reused by the host.
  os::shutdown_both(n.tcp_listener.get());
  os::shutdown_both(n.ws_listener.get());
  for (mqtt_client* c = s_clients; c != nullptr; c = c->next) {
    c->closing = 1;
    c->will_flag = 0;  // a broker stop never publishes wills
    if (c->sock.valid()) os::shutdown_both(c->sock.get());
  }
  n.poller.wake();
}

void network_wait_stopped() noexcept {
  network& n = net();
  if (!n.thread.started()) return;
  // The loop notices the stop within one wait; should it take longer than
  // the 2 s the design allows, keep waiting: freeing the clients under a
  // running loop is never an option.
  n.thread.wait_for(2000);
  n.thread.join();
  {
    lock_guard lock(s_mutex);
    ws_release_scratch();
  }
  n.tcp_listener.reset();
  n.ws_listener.reset();
  n.poller.close();
  g_ws_port_bound.store(-1, std::memory_order_relaxed);
}

void loop_wake() noexcept {
  if (broker_running()) net().poller.wake();
}

int network_ws_listener_port() noexcept { return g_ws_port_bound.load(std::memory_order_relaxed); }

void test_fail_next_wait() noexcept { g_fail_next_wait.store(1, std::memory_order_relaxed); }

}  // namespace bvm
