// dispatch_to_subscribers over 1000 connected clients, through the
// subscription index (built at the first dispatches) unless noted.
//
// The records are live (a valid descriptor, not closing) so the fan-out
// walks, matches and encodes exactly as it does for real clients. In the
// "cpu" variants the records are marked as having a broken socket, which
// makes client_write return before any system call: the figure is the
// broker's own work. In the "send" variant the peers are drained outside
// the timed region, so each
// delivery pays its real send() as in the network loop. Every record has a
// TCP connection over loopback (the broker's end non-blocking, with
// TCP_NODELAY, as accepted by the loop), so the send costs what it costs
// in production.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/text.h"
#include "broker/state.h"
#include "mqtt/route.h"
#include "mqtt/route_index.h"
#include "mqtt/subscription.h"
#include "net/client.h"
#include "os/socket.h"

namespace bvm {
namespace {

constexpr int CLIENTS = 1000;

enum class layout {
  fan_out,      // every client subscribed to the topic
  p2p,          // client i subscribed to bench/p2p/i only; one matches
  ten_filters,  // ten wildcard filters each, none matching
};

// A connected loopback TCP pair: [0] the broker's end, [1] the peer's.
bool tcp_pair(int listener, const sockaddr_in& at, int fds[2]) {
  int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (peer < 0) return false;
  if (connect(peer, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    ::close(peer);
    return false;
  }
  int mine = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (mine < 0) {
    ::close(peer);
    return false;
  }
  int one = 1;
  setsockopt(mine, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fcntl(peer, F_SETFL, O_NONBLOCK);
  fds[0] = mine;
  fds[1] = peer;
  return true;
}

struct client_set {
  std::vector<mqtt_client*> clients;
  std::vector<int> peers;  // the other ends, for the send variant
  int listener = -1;
  sockaddr_in at{};

  bool listen_loopback() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return false;
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = 0;
    socklen_t len = sizeof at;
    return bind(listener, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 &&
           listen(listener, 1024) == 0 &&
           getsockname(listener, reinterpret_cast<sockaddr*>(&at), &len) == 0;
  }

  bool add_subscription(mqtt_client* c, const std::string& filter, int qos) {
    subscription* s = try_new<subscription>();
    if (s == nullptr) return false;
    copy_text(s->filter, filter.c_str());
    s->qos = qos;
    s->next = c->subs;
    c->subs = s;
    return true;
  }

  bool build(layout how, int qos, bool real_send) REQUIRES(s_mutex) {
    if (!listen_loopback()) return false;
    for (int i = 0; i < CLIENTS; ++i) {
      int fds[2];
      if (!tcp_pair(listener, at, fds)) return false;
      mqtt_client* c = try_new<mqtt_client>();
      if (c == nullptr) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
      }
      c->sock = os::unique_fd(fds[0]);
      peers.push_back(fds[1]);
      c->connected = 1;
      c->protocol_level = 4;
      c->out_broken = real_send ? 0 : 1;
      std::string id = "bench-" + std::to_string(i);
      copy_text(c->client_id, id.c_str());
      bool ok = true;
      switch (how) {
        case layout::fan_out:
          ok = add_subscription(c, "bench/fan-out", qos);
          break;
        case layout::p2p:
          ok = add_subscription(c, "bench/p2p/" + std::to_string(i), qos);
          break;
        case layout::ten_filters:
          for (int k = 0; k < 10 && ok; ++k) {
            ok = add_subscription(c, "site/" + std::to_string(i) + "/+/sensor-" + std::to_string(k),
                                  qos);
          }
          break;
      }
      clients.push_back(c);
      client_list_insert(c);
      if (!ok) return false;
    }
    return true;
  }

  void drain_peers() {
    static uint8_t sink[65536];
    for (int fd : peers) {
      while (::recv(fd, sink, sizeof sink, 0) > 0) {
      }
    }
  }

  void tear_down() REQUIRES(s_mutex) {
    for (mqtt_client* c : clients) {
      client_list_unlink(c);
      destroy(c);
    }
    clients.clear();
    for (int fd : peers) ::close(fd);
    peers.clear();
    if (listener >= 0) ::close(listener);
    listener = -1;
  }
};

// Args: layout, QoS, real send.
void BM_dispatch_1000(benchmark::State& state) {
  auto how = static_cast<layout>(state.range(0));
  int qos = static_cast<int>(state.range(1));
  bool real_send = state.range(2) != 0;
  const char* topic = how == layout::fan_out ? "bench/fan-out"
                      : how == layout::p2p   ? "bench/p2p/500"
                                             : "site/500/room/sensor-x";
  static constexpr uint8_t PAYLOAD[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                          '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  lock_guard lock(s_mutex);
  client_set set;
  if (s_clients != nullptr) {
    state.SkipWithError("clients left over from another benchmark");
    return;
  }
  if (!set.build(how, qos, real_send)) {
    set.tear_down();
    state.SkipWithError("could not create 1000 clients (descriptor limit?)");
    return;
  }
  // The peers are drained every 64 dispatches: often enough that no socket
  // fills up, seldom enough that pausing the clock costs nothing visible.
  unsigned n = 0;
  for (auto _ : state) {
    dispatch_to_subscribers(topic, PAYLOAD, sizeof PAYLOAD, qos, 0);
    if (real_send && (++n & 63) == 0) {
      state.PauseTiming();
      set.drain_peers();
      state.ResumeTiming();
    }
  }
  int closing = 0;
  for (mqtt_client* c : set.clients) closing += c->closing;
  set.tear_down();
  if (closing > 0) state.SkipWithError("clients were closed during the run");
  static constexpr const char* NAMES[] = {"fan_out", "p2p", "ten_filters"};
  state.SetLabel(std::string(NAMES[state.range(0)]) + (real_send ? "+send" : " cpu"));
  state.SetItemsProcessed(state.iterations() * (how == layout::fan_out ? CLIENTS : 1));
}
BENCHMARK(BM_dispatch_1000)
    ->ArgNames({"layout", "qos", "send"})
    ->Args({0, 0, 0})
    ->Args({0, 1, 0})
    ->Args({1, 0, 0})
    ->Args({2, 0, 0})
    ->Args({0, 0, 1})
    ->Args({1, 0, 1});

// A dispatch right after a change to the lists (the p2p layout, no send):
// with rebuild 0 the plain walk over every list, with rebuild 1 the index
// rebuilt from 1000 lists and then consulted. Their ratio is what the
// number of walks before a rebuild (route_index.cpp) is weighed against.
void BM_dispatch_after_change(benchmark::State& state) {
  bool rebuild = state.range(0) != 0;
  static constexpr uint8_t PAYLOAD[16] = {};
  lock_guard lock(s_mutex);
  client_set set;
  if (s_clients != nullptr || !set.build(layout::p2p, 0, false)) {
    set.tear_down();
    state.SkipWithError("could not create 1000 clients");
    return;
  }
  test_route_rebuild_after(rebuild ? 1 : 0);
  for (auto _ : state) {
    routing_changed();
    dispatch_to_subscribers("bench/p2p/500", PAYLOAD, sizeof PAYLOAD, 0, 0);
  }
  test_route_rebuild_after(4);
  set.tear_down();
  state.SetLabel(rebuild ? "rebuild+lookup" : "plain walk");
}
BENCHMARK(BM_dispatch_after_change)->ArgName("rebuild")->Arg(0)->Arg(1);

}  // namespace
}  // namespace bvm
