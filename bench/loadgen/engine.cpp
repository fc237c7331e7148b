// The run: every client on one epoll set in one thread.
//
// A run sets all its clients up (TCP connect, WebSocket upgrade, CONNECT,
// SUBSCRIBE), then publishes for warm-up plus duration, then waits a bounded
// time for what is still in flight, then disconnects. Each payload starts
// with the publisher's number, its sequence number and the time it was meant
// to be sent, so every delivery is checked for order, gaps and duplicates
// per publisher, and its latency is known.
//
// Closed loop: a publisher keeps at most `window` messages that have not yet
// reached all their subscribers (and, at QoS 1, at most `inflight` without a
// PUBACK); the run measures how fast the broker turns that window over.
// Open loop: messages are due at a fixed total rate whatever the broker
// does, and latency counts from the time a message was due, so a broker that
// falls behind shows it in the tail instead of slowing the load down.
#include "engine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "stats.h"
#include "wire.h"

namespace bvm::bench {

const char* scenario_name(scenario s) {
  switch (s) {
    case scenario::fan_in:
      return "fan-in";
    case scenario::fan_out:
      return "fan-out";
    case scenario::p2p:
      return "p2p";
    case scenario::storm:
      return "storm";
  }
  return "?";
}

const char* transport_name(transport t) {
  switch (t) {
    case transport::tcp:
      return "tcp";
    case transport::ws:
      return "ws";
    case transport::wsd:
      return "ws-deflate";
  }
  return "?";
}

namespace {

constexpr uint64_t NS = 1000000000ull;
constexpr size_t PAYLOAD_HEADER = 16;  // publisher (4), sequence (4), due time (8)
constexpr size_t RECV_CHUNK = 256 * 1024;
constexpr int RECV_ROUNDS = 4;  // reads per readiness event, for fairness between clients
constexpr size_t OUT_HIGH_WATER = 256 * 1024;  // a publisher waits while this much is unsent
constexpr int MAX_EVENTS = 1024;
constexpr uint16_t SUBSCRIBE_ID = 1;

enum class phase : uint8_t { waiting, connecting, upgrading, connack, suback, ready, closed };

struct conn {
  int fd = -1;
  phase ph = phase::waiting;
  int pub = -1;  // index into publishers, or -1
  int sub = -1;  // index into subscribers, or -1
  std::string client_id;
  bytes in;  // raw bytes not yet consumed (TCP: MQTT; WebSocket: handshake or frames)
  size_t in_off = 0;
  bytes mq;  // WebSocket: MQTT bytes unwrapped from frames, not yet consumed
  size_t mq_off = 0;
  bytes msg;  // WebSocket: a fragmented message being reassembled
  bool msg_compressed = false;
  bool in_message = false;
  bytes out;
  size_t out_off = 0;
  bool flush_listed = false;
  uint32_t interest = 0;
  bool deflate = false;
  bool reset_each = false;  // client_no_context_takeover was asked for
  std::unique_ptr<ws_deflate> z;
  std::string ws_key;
  uint64_t t_begin = 0;
  uint64_t t_ready = 0;
  bool was_ready = false;
};

struct publisher {
  int conn = -1;
  uint32_t id = 0;
  std::string topic;
  uint32_t subs_per_msg = 1;
  uint32_t sent = 0;
  uint32_t acked = 0;                // QoS 1: every sequence below is acknowledged
  uint32_t completed = 0;            // every sequence below reached all its subscribers
  std::vector<uint8_t> ack_flags;    // ring over [acked, sent)
  std::vector<uint32_t> deliveries;  // ring over [completed, sent)
  std::deque<uint64_t> backlog;      // open loop: due times not yet sent
  bool dirty = false;
  bytes payload;
};

struct subscriber {
  int conn = -1;
  std::string filter;
  uint32_t first_pub = 0;
  uint32_t num_pubs = 0;
  std::vector<uint32_t> next_seq;  // per publisher it hears
};

class runner {
 public:
  runner(const run_config& cfg, run_result& res) : cfg_(cfg), res_(res) {}
  ~runner() {
    for (conn& c : conns_) {
      if (c.fd >= 0) ::close(c.fd);
    }
    if (ep_ >= 0) ::close(ep_);
  }
  runner(const runner&) = delete;
  runner& operator=(const runner&) = delete;

  void run() {
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    if (ep_ < 0) {
      res_.error = "epoll_create1 failed";
      return;
    }
    scratch_.resize(RECV_CHUNK);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(cfg_.port));
    if (inet_pton(AF_INET, cfg_.host.c_str(), &a.sin_addr) != 1) {
      res_.error = "bad host address";
      return;
    }
    addr_ = a;
    prefix_ = cfg_.topic_prefix.empty() ? "bench/" + std::to_string(getpid()) : cfg_.topic_prefix;
    if (cfg_.kind == scenario::storm) {
      run_storm();
    } else {
      run_traffic();
    }
  }

 private:
  // --- set-up ----------------------------------------------------------------

  int add_conn(const std::string& client_id) {
    conns_.emplace_back();
    conns_.back().client_id = client_id;
    return static_cast<int>(conns_.size()) - 1;
  }

  void build_traffic() {
    const std::string id = "lg" + std::to_string(getpid());
    int npub = 0;
    int nsub = 0;
    switch (cfg_.kind) {
      case scenario::fan_in:
        npub = cfg_.publishers;
        nsub = 1;
        break;
      case scenario::fan_out:
        npub = 1;
        nsub = cfg_.subscribers;
        break;
      case scenario::p2p:
        npub = cfg_.pairs;
        nsub = cfg_.pairs;
        break;
      case scenario::storm:
        break;
    }
    conns_.reserve(static_cast<size_t>(npub + nsub));
    subs_.resize(static_cast<size_t>(nsub));
    pubs_.resize(static_cast<size_t>(npub));
    // Subscribers first: they must be subscribed before anything is published.
    for (int i = 0; i < nsub; ++i) {
      subscriber& s = subs_[static_cast<size_t>(i)];
      s.conn = add_conn(id + "-s" + std::to_string(i));
      conns_[static_cast<size_t>(s.conn)].sub = i;
      if (cfg_.kind == scenario::fan_in) {
        s.filter = prefix_ + "/fan-in";
        s.first_pub = 0;
        s.num_pubs = static_cast<uint32_t>(npub);
      } else if (cfg_.kind == scenario::fan_out) {
        s.filter = prefix_ + "/fan-out";
        s.first_pub = 0;
        s.num_pubs = 1;
      } else {
        s.filter = prefix_ + "/p2p/" + std::to_string(i);
        s.first_pub = static_cast<uint32_t>(i);
        s.num_pubs = 1;
      }
      s.next_seq.assign(s.num_pubs, 0);
    }
    for (int i = 0; i < npub; ++i) {
      publisher& p = pubs_[static_cast<size_t>(i)];
      p.conn = add_conn(id + "-p" + std::to_string(i));
      conns_[static_cast<size_t>(p.conn)].pub = i;
      p.id = static_cast<uint32_t>(i);
      if (cfg_.kind == scenario::fan_in) {
        p.topic = prefix_ + "/fan-in";
      } else if (cfg_.kind == scenario::fan_out) {
        p.topic = prefix_ + "/fan-out";
        p.subs_per_msg = static_cast<uint32_t>(nsub);
      } else {
        p.topic = prefix_ + "/p2p/" + std::to_string(i);
      }
      p.ack_flags.assign(static_cast<size_t>(cfg_.inflight), 0);
      p.deliveries.assign(static_cast<size_t>(cfg_.window), 0);
      p.payload.resize(cfg_.payload);
      // Readable filler: a compressing transport sees text, as with most
      // real payloads, not incompressible noise.
      static constexpr char FILL[] = "{\"sensor\":\"bench\",\"value\":12.5,\"unit\":\"C\"} ";
      for (size_t k = PAYLOAD_HEADER; k < p.payload.size(); ++k) {
        p.payload[k] = static_cast<uint8_t>(FILL[k % (sizeof FILL - 1)]);
      }
    }
  }

  void start_connect(int ci) {
    conn& c = conns_[static_cast<size_t>(ci)];
    c.t_begin = now_ns();
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0) {
      fail(ci, std::string("socket: ") + std::strerror(errno));
      return;
    }
    int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int r = connect(c.fd, reinterpret_cast<const sockaddr*>(&addr_), sizeof addr_);
    if (r != 0 && errno != EINPROGRESS) {
      fail(ci, std::string("connect: ") + std::strerror(errno));
      return;
    }
    c.ph = phase::connecting;
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.u32 = static_cast<uint32_t>(ci);
    c.interest = EPOLLOUT;
    epoll_ctl(ep_, EPOLL_CTL_ADD, c.fd, &ev);
    ++opening_;
  }

  // Starts connections from the queue while fewer than the limit are being set up.
  void open_more() {
    while (open_next_ < open_queue_.size() && opening_ < cfg_.connect_concurrency) {
      start_connect(open_queue_[open_next_++]);
    }
  }

  void on_connected(int ci) {
    conn& c = conns_[static_cast<size_t>(ci)];
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      fail(ci, std::string("connect: ") + std::strerror(err));
      return;
    }
    set_interest(c, EPOLLIN);
    if (cfg_.via == transport::tcp) {
      c.ph = phase::connack;
      send_connect(ci);
      return;
    }
    c.ws_key = ws_new_key();
    std::string req =
        "GET " + cfg_.ws_path + " HTTP/1.1\r\nHost: " + cfg_.host + ":" +
        std::to_string(cfg_.port) +
        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + c.ws_key +
        "\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: mqtt\r\n";
    if (cfg_.via == transport::wsd) req += "Sec-WebSocket-Extensions: permessage-deflate\r\n";
    req += "\r\n";
    append(c.out, reinterpret_cast<const uint8_t*>(req.data()), req.size());
    list_flush(ci);
    c.ph = phase::upgrading;
  }

  void send_connect(int ci) {
    conn& c = conns_[static_cast<size_t>(ci)];
    auto keep_alive = static_cast<uint16_t>(cfg_.keep_alive);
    send_packet(ci, [&](bytes& b) { encode_connect(b, c.client_id, cfg_.level, keep_alive); });
  }

  void became_ready(int ci) {
    conn& c = conns_[static_cast<size_t>(ci)];
    c.ph = phase::ready;
    c.t_ready = now_ns();
    c.was_ready = true;
    ++ready_;
    --opening_;
    if (c.pub >= 0) mark_dirty(c.pub);
  }

  // Closes a connection that failed; counted as a set-up failure or, once it
  // had been ready, as a lost connection.
  void fail(int ci, const std::string& why) {
    conn& c = conns_[static_cast<size_t>(ci)];
    if (c.ph == phase::closed) return;
    if (c.fd >= 0) {
      epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
      ::close(c.fd);
      c.fd = -1;
    }
    bool was_setting_up = c.ph != phase::ready && c.ph != phase::waiting;
    c.ph = phase::closed;
    if (c.was_ready) {
      if (!closing_all_) {
        ++res_.disconnects;
        note_error("connection lost: " + why);
      }
      --ready_;
    } else {
      ++res_.connect_failures;
      note_error("connection failed: " + why);
      if (was_setting_up) --opening_;
    }
  }

  void note_error(const std::string& why) {
    if (first_error_.empty()) first_error_ = why;
  }

  // --- output -----------------------------------------------------------------

  void set_interest(conn& c, uint32_t want) {
    if (c.fd < 0 || want == c.interest) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u32 = static_cast<uint32_t>(&c - conns_.data());
    epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
    c.interest = want;
  }

  void list_flush(int ci) {
    conn& c = conns_[static_cast<size_t>(ci)];
    if (!c.flush_listed) {
      c.flush_listed = true;
      flush_list_.push_back(ci);
    }
  }

  // Encodes a packet with `encode` and queues it, framed for WebSocket.
  template <class Encode>
  void send_packet(int ci, Encode encode) {
    conn& c = conns_[static_cast<size_t>(ci)];
    if (cfg_.via == transport::tcp) {
      encode(c.out);
    } else {
      tmp_.clear();
      encode(tmp_);
      put_frame(c, WS_OP_BINARY, tmp_.data(), tmp_.size());
    }
    list_flush(ci);
  }

  void put_frame(conn& c, uint8_t opcode, const uint8_t* p, size_t n) {
    uint8_t key[4];
    masks_.next(key);
    if (c.deflate && opcode == WS_OP_BINARY && n > 0) {
      if (!c.z->compress(p, n, c.reset_each, ztmp_)) {
        ++res_.malformed;
        return;
      }
      ws_put_frame(c.out, opcode, true, ztmp_.data(), ztmp_.size(), key);
    } else {
      ws_put_frame(c.out, opcode, false, p, n, key);
    }
  }

  void flush(int ci) {
    conn& c = conns_[static_cast<size_t>(ci)];
    c.flush_listed = false;
    if (c.fd < 0) return;
    while (c.out_off < c.out.size()) {
      ssize_t n = ::send(c.fd, c.out.data() + c.out_off, c.out.size() - c.out_off, MSG_NOSIGNAL);
      if (n > 0) {
        c.out_off += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n < 0 && errno == EINTR) continue;
      fail(ci, std::string("send: ") + std::strerror(errno));
      return;
    }
    if (c.out_off == c.out.size()) {
      c.out.clear();
      c.out_off = 0;
      if (c.ph != phase::connecting) set_interest(c, EPOLLIN);
      if (c.pub >= 0) mark_dirty(c.pub);
    } else {
      if (c.out_off > (1u << 20)) {
        c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.out_off));
        c.out_off = 0;
      }
      set_interest(c, EPOLLIN | EPOLLOUT);
    }
  }

  void flush_all() {
    // Flushing may list nothing new, but index by position: the list is
    // only appended to while handlers run.
    for (size_t i = 0; i < flush_list_.size(); ++i) flush(flush_list_[i]);
    flush_list_.clear();
  }

  // --- input ------------------------------------------------------------------

  void on_event(int ci, uint32_t events) {
    conn& c = conns_[static_cast<size_t>(ci)];
    if (c.ph == phase::closed || c.fd < 0) return;
    if (c.ph == phase::connecting) {
      if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) on_connected(ci);
      return;
    }
    if ((events & EPOLLOUT) != 0) list_flush(ci);
    if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0) read_input(ci);
  }

  void read_input(int ci) {
    for (int round = 0; round < RECV_ROUNDS; ++round) {
      conn& c = conns_[static_cast<size_t>(ci)];
      if (c.fd < 0) return;
      ssize_t n = ::recv(c.fd, scratch_.data(), scratch_.size(), 0);
      if (n > 0) {
        feed(ci, scratch_.data(), static_cast<size_t>(n));
        if (static_cast<size_t>(n) < scratch_.size()) return;
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n < 0 && errno == EINTR) continue;
      fail(ci, n == 0 ? std::string("closed by the broker")
                      : std::string("recv: ") + std::strerror(errno));
      return;
    }
  }

  // Runs `consume` over the buffered bytes of a stream plus the new ones.
  // When nothing is buffered the new bytes are consumed where they are, and
  // only an incomplete tail is copied. `consume` returns what it used.
  template <class Consume>
  void stream_feed(int ci, bytes conn::*buf, size_t conn::*off, const uint8_t* p, size_t n,
                   Consume consume) {
    conn& c = conns_[static_cast<size_t>(ci)];
    bytes& b = c.*buf;
    size_t& o = c.*off;
    if (o == b.size()) {
      b.clear();
      o = 0;
      size_t used = consume(p, n);
      conn& again = conns_[static_cast<size_t>(ci)];
      if (again.ph == phase::closed) return;
      append(again.*buf, p + used, n - used);
      return;
    }
    append(b, p, n);
    size_t used = consume(b.data() + o, b.size() - o);
    if (c.ph == phase::closed) return;
    o += used;
    if (o == b.size()) {
      b.clear();
      o = 0;
    } else if (o > 65536 && o > b.size() / 2) {
      b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(o));
      o = 0;
    }
  }

  void feed(int ci, const uint8_t* p, size_t n) {
    conn& c = conns_[static_cast<size_t>(ci)];
    if (cfg_.via == transport::tcp) {
      stream_feed(ci, &conn::in, &conn::in_off, p, n,
                  [&](const uint8_t* q, size_t m) { return consume_mqtt(ci, q, m); });
      return;
    }
    if (c.ph == phase::upgrading) {
      append(c.in, p, n);
      finish_upgrade(ci);
      return;
    }
    stream_feed(ci, &conn::in, &conn::in_off, p, n,
                [&](const uint8_t* q, size_t m) { return consume_frames(ci, q, m); });
  }

  static std::string header_value(const std::string& lower_head, const char* name) {
    std::string key = std::string("\r\n") + name + ":";
    size_t at = lower_head.find(key);
    if (at == std::string::npos) return {};
    size_t v = at + key.size();
    size_t end = lower_head.find("\r\n", v);
    std::string value = lower_head.substr(v, end - v);
    size_t first = value.find_first_not_of(" \t");
    size_t last = value.find_last_not_of(" \t");
    if (first == std::string::npos) return {};
    return value.substr(first, last - first + 1);
  }

  void finish_upgrade(int ci) {
    conn& c = conns_[static_cast<size_t>(ci)];
    std::string_view text(reinterpret_cast<const char*>(c.in.data()), c.in.size());
    size_t end = text.find("\r\n\r\n");
    if (end == std::string_view::npos) {
      if (c.in.size() > 16384) fail(ci, "no end of the HTTP response head");
      return;
    }
    std::string head(text.substr(0, end + 2));
    std::string lower = head;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (head.rfind("HTTP/1.1 101", 0) != 0) {
      fail(ci, "upgrade refused: " + head.substr(0, head.find("\r\n")));
      return;
    }
    // The accept value is Base64 and compared as sent; only the header
    // names are case-insensitive.
    std::string accept;
    size_t at = lower.find("\r\nsec-websocket-accept:");
    if (at != std::string::npos) {
      size_t v = at + 23;
      size_t e = head.find("\r\n", v);
      accept = head.substr(v, e - v);
      accept.erase(0, accept.find_first_not_of(" \t"));
      accept.erase(accept.find_last_not_of(" \t") + 1);
    }
    if (accept != ws_accept_for(c.ws_key)) {
      fail(ci, "wrong Sec-WebSocket-Accept");
      return;
    }
    std::string ext = header_value(lower, "sec-websocket-extensions");
    c.deflate = ext.find("permessage-deflate") != std::string::npos;
    c.reset_each = ext.find("client_no_context_takeover") != std::string::npos;
    if (cfg_.via == transport::wsd && !c.deflate) {
      fail(ci, "the broker did not accept permessage-deflate");
      return;
    }
    if (cfg_.via == transport::ws && c.deflate) {
      fail(ci, "the broker answered an extension that was not offered");
      return;
    }
    if (c.deflate) {
      c.z = std::make_unique<ws_deflate>(cfg_.deflate_level);
      if (!c.z->ok()) {
        fail(ci, "zlib failed to start");
        return;
      }
    }
    bytes rest(c.in.begin() + static_cast<std::ptrdiff_t>(end + 4), c.in.end());
    c.in.clear();
    c.in_off = 0;
    c.ph = phase::connack;
    send_connect(ci);
    if (!rest.empty()) feed(ci, rest.data(), rest.size());
  }

  // Consumes complete frames; returns the bytes used.
  size_t consume_frames(int ci, const uint8_t* p, size_t n) {
    size_t used_total = 0;
    while (used_total < n) {
      ws_frame_view f;
      size_t used = 0;
      cut_result r = ws_cut_frame(p + used_total, n - used_total, &f, &used);
      if (r == cut_result::incomplete) break;
      if (r == cut_result::malformed) {
        ++res_.malformed;
        fail(ci, "malformed WebSocket frame");
        return used_total;
      }
      used_total += used;
      if (!on_frame(ci, f)) return used_total;
    }
    return used_total;
  }

  // False when the connection ended.
  bool on_frame(int ci, const ws_frame_view& f) {
    conn& c = conns_[static_cast<size_t>(ci)];
    switch (f.opcode) {
      case WS_OP_BINARY:
      case WS_OP_CONTINUATION: {
        if (f.opcode == WS_OP_BINARY) {
          c.in_message = true;
          c.msg_compressed = f.rsv1;
          c.msg.clear();
        } else if (!c.in_message) {
          ++res_.malformed;
          fail(ci, "continuation frame without a message");
          return false;
        }
        if (f.fin && c.msg.empty()) {
          c.in_message = false;
          return take_message(ci, f.payload, f.len);
        }
        append(c.msg, f.payload, f.len);
        if (!f.fin) return true;
        c.in_message = false;
        bytes whole;
        whole.swap(c.msg);
        bool alive = take_message(ci, whole.data(), whole.size());
        if (alive) {
          whole.clear();
          conns_[static_cast<size_t>(ci)].msg.swap(whole);
        }
        return alive;
      }
      case WS_OP_CLOSE:
        fail(ci, "WebSocket close from the broker");
        return false;
      case WS_OP_PING: {
        put_frame(c, WS_OP_PONG, f.payload, f.len);
        list_flush(ci);
        return true;
      }
      case WS_OP_PONG:
        return true;
      default:
        ++res_.malformed;
        fail(ci, "unexpected WebSocket opcode");
        return false;
    }
  }

  // A complete data message: its (inflated) bytes continue the MQTT stream.
  bool take_message(int ci, const uint8_t* p, size_t n) {
    conn& c = conns_[static_cast<size_t>(ci)];
    if (c.msg_compressed) {
      if (!c.deflate) {
        ++res_.malformed;
        fail(ci, "compressed frame without permessage-deflate");
        return false;
      }
      ztmp_.clear();
      if (!c.z->decompress(p, n, ztmp_)) {
        ++res_.malformed;
        fail(ci, "inflate failed");
        return false;
      }
      bytes plain;
      plain.swap(ztmp_);
      stream_feed(ci, &conn::mq, &conn::mq_off, plain.data(), plain.size(),
                  [&](const uint8_t* q, size_t m) { return consume_mqtt(ci, q, m); });
      plain.swap(ztmp_);
    } else {
      stream_feed(ci, &conn::mq, &conn::mq_off, p, n,
                  [&](const uint8_t* q, size_t m) { return consume_mqtt(ci, q, m); });
    }
    return conns_[static_cast<size_t>(ci)].ph != phase::closed;
  }

  size_t consume_mqtt(int ci, const uint8_t* p, size_t n) {
    size_t used_total = 0;
    while (used_total < n) {
      mqtt_packet pk;
      size_t used = 0;
      cut_result r = mqtt_cut(p + used_total, n - used_total, &pk, &used);
      if (r == cut_result::incomplete) break;
      if (r == cut_result::malformed) {
        ++res_.malformed;
        fail(ci, "malformed MQTT packet");
        return used_total;
      }
      used_total += used;
      on_packet(ci, pk);
      if (conns_[static_cast<size_t>(ci)].ph == phase::closed) return used_total;
    }
    return used_total;
  }

  void on_packet(int ci, const mqtt_packet& pk) {
    conn& c = conns_[static_cast<size_t>(ci)];
    switch (pk.type()) {
      case 2: {  // CONNACK
        if (c.ph != phase::connack || pk.len < 2) {
          ++res_.malformed;
          fail(ci, "unexpected CONNACK");
          return;
        }
        if (pk.body[1] != 0) {
          fail(ci, "CONNACK refused with code " + std::to_string(pk.body[1]));
          return;
        }
        if (c.sub >= 0) {
          c.ph = phase::suback;
          const std::string& filter = subs_[static_cast<size_t>(c.sub)].filter;
          send_packet(ci, [&](bytes& b) {
            encode_subscribe(b, SUBSCRIBE_ID, filter, cfg_.qos, cfg_.level);
          });
        } else {
          became_ready(ci);
        }
        return;
      }
      case 9: {  // SUBACK
        size_t at = 2;
        if (cfg_.level == 5 && pk.len > 2) {
          // Skip the property section (its length is one byte for the
          // empty or short sections brokers answer here).
          at = 3 + pk.body[2];
        }
        if (c.ph != phase::suback || pk.len <= at) {
          ++res_.malformed;
          fail(ci, "unexpected SUBACK");
          return;
        }
        uint8_t code = pk.body[at];
        if (code >= 0x80) {
          fail(ci, "subscription refused");
          return;
        }
        if (code != cfg_.qos) note_error("the broker granted QoS " + std::to_string(code));
        became_ready(ci);
        return;
      }
      case 3:
        on_publish(ci, pk);
        return;
      case 4:
        on_puback(ci, pk);
        return;
      case 13:  // PINGRESP
        return;
      case 14:
        fail(ci, "DISCONNECT from the broker");
        return;
      default:
        ++res_.malformed;
        return;
    }
  }

  // --- the traffic checks -----------------------------------------------------

  void on_publish(int ci, const mqtt_packet& pk) {
    conn& c = conns_[static_cast<size_t>(ci)];
    publish_view v;
    if (!parse_publish(pk, cfg_.level, &v)) {
      ++res_.malformed;
      return;
    }
    if (v.qos == 1) {
      uint16_t id = v.packet_id;
      send_packet(ci, [&](bytes& b) { encode_puback(b, id); });
    }
    if (v.dup) ++res_.dup_flags;
    if (c.sub < 0 || v.payload_len != cfg_.payload) {
      ++res_.malformed;
      return;
    }
    uint32_t pub_id;
    uint32_t seq;
    uint64_t due;
    std::memcpy(&pub_id, v.payload, 4);
    std::memcpy(&seq, v.payload + 4, 4);
    std::memcpy(&due, v.payload + 8, 8);
    ++res_.received;
    subscriber& s = subs_[static_cast<size_t>(c.sub)];
    uint32_t idx = pub_id - s.first_pub;
    if (pub_id < s.first_pub || idx >= s.num_pubs || pub_id >= pubs_.size()) {
      ++res_.foreign;
      return;
    }
    uint32_t& expect = s.next_seq[idx];
    bool fresh = true;
    if (seq == expect) {
      ++expect;
    } else if (seq > expect) {
      ++res_.gaps;
      gap_ranges_[stream_key(c.sub, idx)].emplace_back(expect, seq);
      expect = seq + 1;
    } else if (fill_gap(stream_key(c.sub, idx), seq)) {
      ++res_.reordered;
    } else {
      ++res_.duplicates;
      fresh = false;
    }
    if (fresh) {
      ++distinct_;
      if (cfg_.mode == load_mode::closed) complete(pub_id, seq);
    }
    if (now_ >= t_measure_begin_ && now_ < t_measure_end_) {
      ++res_.window_received;
      latency_.record(now_ > due ? now_ - due : 0);
    }
  }

  static uint64_t stream_key(int sub, uint32_t idx) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(sub)) << 32) | idx;
  }

  // True when seq lay in a recorded gap of the stream (it arrived late).
  bool fill_gap(uint64_t key, uint32_t seq) {
    auto it = gap_ranges_.find(key);
    if (it == gap_ranges_.end()) return false;
    for (auto& g : it->second) {
      if (seq < g.first || seq >= g.second) continue;
      // Split [first, second) around seq.
      uint32_t hi = g.second;
      g.second = seq;
      if (seq + 1 < hi) it->second.emplace_back(seq + 1, hi);
      return true;
    }
    return false;
  }

  // One more subscriber has message seq of publisher p.
  void complete(uint32_t pub_id, uint32_t seq) {
    publisher& p = pubs_[pub_id];
    if (seq < p.completed || seq - p.completed >= p.deliveries.size()) return;
    size_t w = p.deliveries.size();
    ++p.deliveries[seq % w];
    bool moved = false;
    while (p.completed < p.sent && p.deliveries[p.completed % w] >= p.subs_per_msg) {
      p.deliveries[p.completed % w] = 0;
      ++p.completed;
      moved = true;
    }
    if (moved) mark_dirty(static_cast<int>(pub_id));
  }

  void on_puback(int ci, const mqtt_packet& pk) {
    conn& c = conns_[static_cast<size_t>(ci)];
    if (c.pub < 0 || pk.len < 2) {
      ++res_.bad_acks;
      return;
    }
    publisher& p = pubs_[static_cast<size_t>(c.pub)];
    auto id = static_cast<uint32_t>((pk.body[0] << 8) | pk.body[1]);
    if (id == 0) {
      ++res_.bad_acks;
      return;
    }
    // Identifiers are sequence % 65535 + 1; the window is far smaller than
    // 65535, so the sequence is the first one at or after `acked` with it.
    uint32_t base = p.acked;
    uint32_t delta = (id - 1 + 65535 - base % 65535) % 65535;
    uint32_t seq = base + delta;
    size_t w = p.ack_flags.size();
    if (seq >= p.sent || p.ack_flags[seq % w] != 0) {
      ++res_.bad_acks;
      return;
    }
    p.ack_flags[seq % w] = 1;
    bool moved = false;
    while (p.acked < p.sent && p.ack_flags[p.acked % w] != 0) {
      p.ack_flags[p.acked % w] = 0;
      ++p.acked;
      moved = true;
    }
    if (moved) mark_dirty(c.pub);
  }

  // --- publishing -------------------------------------------------------------

  void mark_dirty(int pi) {
    publisher& p = pubs_[static_cast<size_t>(pi)];
    if (!p.dirty) {
      p.dirty = true;
      dirty_.push_back(pi);
    }
  }

  bool window_allows(const publisher& p) const {
    if (cfg_.count > 0 && p.sent >= cfg_.count) return false;
    if (cfg_.qos > 0 && p.sent - p.acked >= static_cast<uint32_t>(cfg_.inflight)) return false;
    if (cfg_.mode == load_mode::closed &&
        p.sent - p.completed >= static_cast<uint32_t>(cfg_.window)) {
      return false;
    }
    return true;
  }

  void send_one(publisher& p, uint64_t due) {
    uint32_t seq = p.sent;
    std::memcpy(p.payload.data(), &p.id, 4);
    std::memcpy(p.payload.data() + 4, &seq, 4);
    std::memcpy(p.payload.data() + 8, &due, 8);
    auto id = static_cast<uint16_t>(seq % 65535 + 1);
    send_packet(p.conn, [&](bytes& b) {
      encode_publish(b, p.topic, cfg_.qos, id, cfg_.level, p.payload.data(), p.payload.size());
    });
    ++p.sent;
    ++res_.sent;
    if (now_ >= t_measure_begin_ && now_ < t_measure_end_) ++res_.window_sent;
  }

  void publish_step() {
    if (publishing_ && cfg_.mode == load_mode::open) {
      // Every message due by now is queued to its publisher, round robin,
      // so the publishers' schedules interleave evenly.
      auto npub = static_cast<uint64_t>(pubs_.size());
      for (;;) {
        uint64_t due =
            t_open_ + static_cast<uint64_t>(static_cast<double>(open_j_) * 1e9 / cfg_.rate);
        if (due > now_) {
          next_due_ = due;
          break;
        }
        publisher& p = pubs_[open_j_ % npub];
        if (cfg_.count == 0 || p.sent + p.backlog.size() < cfg_.count) {
          p.backlog.push_back(due);
          mark_dirty(static_cast<int>(open_j_ % npub));
        }
        ++open_j_;
      }
    }
    std::vector<int> work;
    work.swap(dirty_);
    for (int pi : work) {
      publisher& p = pubs_[static_cast<size_t>(pi)];
      p.dirty = false;
      if (!publishing_) continue;
      conn& c = conns_[static_cast<size_t>(p.conn)];
      if (c.ph != phase::ready) continue;
      while (c.out.size() - c.out_off < OUT_HIGH_WATER && window_allows(p)) {
        if (cfg_.mode == load_mode::open) {
          if (p.backlog.empty()) break;
          uint64_t due = p.backlog.front();
          p.backlog.pop_front();
          send_one(p, due);
        } else {
          send_one(p, now_);
        }
      }
    }
    work.clear();
    if (dirty_.empty()) dirty_.swap(work);
  }

  // --- the loop ---------------------------------------------------------------

  // Waits at most wait_ns for events and handles them; then publishes and
  // writes what was queued.
  void step(uint64_t wait_ns) {
    epoll_event events[MAX_EVENTS];
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(wait_ns / NS);
    ts.tv_nsec = static_cast<long>(wait_ns % NS);
    int n = epoll_pwait2(ep_, events, MAX_EVENTS, &ts, nullptr);
    now_ = now_ns();
    for (int i = 0; i < n; ++i) on_event(static_cast<int>(events[i].data.u32), events[i].events);
    flush_all();
    open_more();
    publish_step();
    flush_all();
    ping_if_due();
  }

  void ping_if_due() {
    if (cfg_.keep_alive <= 0) return;
    uint64_t every = static_cast<uint64_t>(cfg_.keep_alive) * NS / 2;
    if (now_ - last_ping_ < every) return;
    last_ping_ = now_;
    for (size_t i = 0; i < conns_.size(); ++i) {
      if (conns_[i].ph != phase::ready) continue;
      send_packet(static_cast<int>(i), [](bytes& b) { encode_pingreq(b); });
    }
    flush_all();
  }

  bool setup(uint64_t deadline) {
    for (size_t i = 0; i < conns_.size(); ++i) open_queue_.push_back(static_cast<int>(i));
    now_ = now_ns();
    last_ping_ = now_;
    open_more();
    flush_all();
    while (ready_ + res_.connect_failures < static_cast<int>(conns_.size())) {
      if (now_ >= deadline) {
        note_error("set-up timed out with " + std::to_string(ready_) + " of " +
                   std::to_string(conns_.size()) + " clients ready");
        return false;
      }
      step(std::min<uint64_t>(deadline - now_, 10000000));
    }
    return res_.connect_failures == 0;
  }

  void close_all() {
    closing_all_ = true;
    for (size_t i = 0; i < conns_.size(); ++i) {
      if (conns_[i].ph != phase::ready) continue;
      send_packet(static_cast<int>(i), [](bytes& b) { encode_disconnect(b); });
    }
    flush_all();
    for (size_t i = 0; i < conns_.size(); ++i) {
      conn& c = conns_[i];
      if (c.fd >= 0) {
        ::close(c.fd);
        c.fd = -1;
      }
      c.ph = phase::closed;
    }
  }

  bool all_delivered() const {
    if (distinct_ < expected_deliveries()) return false;
    if (cfg_.qos > 0) {
      for (const publisher& p : pubs_) {
        if (p.acked < p.sent) return false;
      }
    }
    return true;
  }

  uint64_t expected_deliveries() const {
    uint64_t n = 0;
    for (const publisher& p : pubs_) n += uint64_t{p.sent} * p.subs_per_msg;
    return n;
  }

  bool counts_done() const {
    if (cfg_.count == 0) return false;
    for (const publisher& p : pubs_) {
      if (p.sent < cfg_.count) return false;
    }
    return true;
  }

  void run_traffic() {
    build_traffic();
    uint64_t t0 = now_ns();
    res_.connections = static_cast<int>(conns_.size());
    if (!setup(t0 + static_cast<uint64_t>(cfg_.setup_timeout_s * 1e9))) {
      res_.error = first_error_.empty() ? "set-up failed" : first_error_;
      close_all();
      return;
    }
    now_ = now_ns();
    uint64_t start = now_;
    t_measure_begin_ = start + static_cast<uint64_t>(cfg_.warmup_s * 1e9);
    t_measure_end_ = t_measure_begin_ + static_cast<uint64_t>(cfg_.duration_s * 1e9);
    t_open_ = start;
    publishing_ = true;
    for (size_t i = 0; i < pubs_.size(); ++i) mark_dirty(static_cast<int>(i));
    long long cpu_b0 = -1;
    long long cpu_s0 = -1;
    bool window_open = false;
    uint64_t window_opened_at = 0;
    uint64_t window_closed_at = 0;
    double cpu_wall_ns = 0;
    long long cpu_b1 = -1;
    long long cpu_s1 = -1;
    publish_step();
    flush_all();
    while (true) {
      if (!window_open && now_ >= t_measure_begin_) {
        window_open = true;
        window_opened_at = now_;
        cpu_b0 = cfg_.broker_pid > 0 ? process_cpu_ns(cfg_.broker_pid) : -1;
        cpu_s0 = self_cpu_ns();
      }
      bool done = counts_done() && now_ >= t_measure_begin_;
      if (now_ >= t_measure_end_ || done || ready_ == 0) {
        if (done && now_ < t_measure_end_) t_measure_end_ = now_;
        break;
      }
      uint64_t until = now_ < t_measure_begin_ ? t_measure_begin_ : t_measure_end_;
      uint64_t wait = std::min<uint64_t>(until - now_, 10000000);
      if (cfg_.mode == load_mode::open && next_due_ > now_) {
        wait = std::min(wait, next_due_ - now_);
      } else if (cfg_.mode == load_mode::open) {
        wait = 0;
      }
      step(wait);
    }
    publishing_ = false;
    window_closed_at = now_;
    if (window_open) {
      cpu_b1 = cfg_.broker_pid > 0 ? process_cpu_ns(cfg_.broker_pid) : -1;
      cpu_s1 = self_cpu_ns();
      // Rates count what happened inside [begin, end); the CPU figures span
      // the moments the counters were actually read.
      res_.measured_s = static_cast<double>(t_measure_end_ - t_measure_begin_) / 1e9;
      cpu_wall_ns = static_cast<double>(window_closed_at - window_opened_at);
    }
    if (cfg_.broker_pid > 0) res_.broker_rss_kib = process_rss_kib(cfg_.broker_pid);
    // Let what is in flight arrive: the end of the run is not a loss.
    uint64_t drain_end = now_ + static_cast<uint64_t>(cfg_.drain_s * 1e9);
    while (!all_delivered() && now_ < drain_end && ready_ > 0) {
      step(std::min<uint64_t>(drain_end - now_, 10000000));
    }
    close_all();

    res_.expected = expected_deliveries();
    res_.lost = res_.expected > distinct_ ? res_.expected - distinct_ : 0;
    for (const publisher& p : pubs_) res_.unacked += cfg_.qos > 0 ? p.sent - p.acked : 0;
    if (res_.measured_s > 0) {
      res_.pub_rate = static_cast<double>(res_.window_sent) / res_.measured_s;
      res_.deliver_rate = static_cast<double>(res_.window_received) / res_.measured_s;
      res_.mib_per_s = res_.deliver_rate * static_cast<double>(cfg_.payload) / 1048576.0;
      double wall = cpu_wall_ns > 0 ? cpu_wall_ns : res_.measured_s * 1e9;
      if (cpu_b0 >= 0 && cpu_b1 >= 0) {
        res_.broker_cpu_pct = 100.0 * static_cast<double>(cpu_b1 - cpu_b0) / wall;
        if (res_.window_received > 0) {
          res_.broker_cpu_us_per_msg = static_cast<double>(cpu_b1 - cpu_b0) / 1000.0 /
                                       static_cast<double>(res_.window_received);
        }
      }
      res_.loadgen_cpu_pct = 100.0 * static_cast<double>(cpu_s1 - cpu_s0) / wall;
    }
    res_.lat_p50_ns = latency_.quantile(0.50);
    res_.lat_p99_ns = latency_.quantile(0.99);
    res_.lat_p999_ns = latency_.quantile(0.999);
    res_.lat_max_ns = latency_.max();

    std::string problems;
    auto add = [&](uint64_t n, const char* what) {
      if (n == 0) return;
      if (!problems.empty()) problems += ", ";
      problems += std::to_string(n) + " " + what;
    };
    add(res_.lost, "lost");
    add(res_.duplicates, "duplicated");
    add(res_.reordered, "out of order");
    add(res_.foreign, "misrouted");
    add(res_.malformed, "malformed");
    add(res_.unacked, "never acknowledged");
    add(res_.bad_acks, "stray PUBACKs");
    add(res_.disconnects, "connections lost");
    if (!problems.empty()) {
      res_.error = problems;
      if (!first_error_.empty()) res_.error += " (" + first_error_ + ")";
    } else if (res_.measured_s <= 0) {
      res_.error = "no measurement window (the run ended during the warm-up)";
    } else {
      res_.ok = true;
    }
  }

  // --- connection storm -------------------------------------------------------

  void run_storm() {
    const std::string id = "lg" + std::to_string(getpid());
    conns_.reserve(static_cast<size_t>(cfg_.clients));
    for (int i = 0; i < cfg_.clients; ++i) add_conn(id + "-c" + std::to_string(i));
    res_.connections = cfg_.clients;
    if (cfg_.broker_pid > 0) res_.rss_before_kib = process_rss_kib(cfg_.broker_pid);
    uint64_t t0 = now_ns();
    setup(t0 + static_cast<uint64_t>(cfg_.setup_timeout_s * 1e9));
    uint64_t last = t0;
    std::vector<uint64_t> lat;
    for (const conn& c : conns_) {
      if (!c.was_ready) continue;
      lat.push_back(c.t_ready - c.t_begin);
      last = std::max(last, c.t_ready);
    }
    res_.storm_connected = static_cast<int>(lat.size());
    if (last > t0) {
      res_.connect_rate = static_cast<double>(lat.size()) / (static_cast<double>(last - t0) / 1e9);
    }
    std::sort(lat.begin(), lat.end());
    auto pick = [&](double q) {
      if (lat.empty()) return 0.0;
      size_t i = std::min(lat.size() - 1, static_cast<size_t>(q * static_cast<double>(lat.size())));
      return static_cast<double>(lat[i]) / 1e6;
    };
    res_.connect_p50_ms = pick(0.50);
    res_.connect_p99_ms = pick(0.99);
    res_.connect_max_ms = lat.empty() ? 0 : static_cast<double>(lat.back()) / 1e6;
    // Idle: the broker settles (keeps nothing queued) before its RSS is read.
    uint64_t idle_end = now_ns() + static_cast<uint64_t>(cfg_.storm_idle_s * 1e9);
    now_ = now_ns();
    while (now_ < idle_end) step(std::min<uint64_t>(idle_end - now_, 10000000));
    if (cfg_.broker_pid > 0) {
      res_.rss_after_kib = process_rss_kib(cfg_.broker_pid);
      if (res_.rss_before_kib >= 0 && res_.rss_after_kib >= 0 && res_.storm_connected > 0) {
        res_.rss_per_client_bytes = static_cast<double>(res_.rss_after_kib - res_.rss_before_kib) *
                                    1024.0 / res_.storm_connected;
      }
      res_.broker_rss_kib = res_.rss_after_kib;
    }
    int lost_while_idle = static_cast<int>(res_.disconnects);
    close_all();
    if (res_.connect_failures > 0 || lost_while_idle > 0 || res_.storm_connected < cfg_.clients) {
      res_.error = std::to_string(cfg_.clients - res_.storm_connected) + " of " +
                   std::to_string(cfg_.clients) + " clients not connected";
      if (!first_error_.empty()) res_.error += " (" + first_error_ + ")";
    } else {
      res_.ok = true;
    }
  }

  const run_config& cfg_;
  run_result& res_;
  int ep_ = -1;
  sockaddr_in addr_{};
  std::string prefix_;
  std::vector<conn> conns_;
  std::vector<publisher> pubs_;
  std::vector<subscriber> subs_;
  std::vector<int> open_queue_;
  size_t open_next_ = 0;
  int opening_ = 0;
  int ready_ = 0;
  bool closing_all_ = false;
  std::vector<int> flush_list_;
  std::vector<int> dirty_;
  bytes scratch_;
  bytes tmp_;
  bytes ztmp_;
  mask_source masks_;
  latency_histogram latency_;
  std::unordered_map<uint64_t, std::vector<std::pair<uint32_t, uint32_t>>> gap_ranges_;
  uint64_t distinct_ = 0;
  uint64_t now_ = 0;
  uint64_t last_ping_ = 0;
  bool publishing_ = false;
  uint64_t t_measure_begin_ = UINT64_MAX;
  uint64_t t_measure_end_ = UINT64_MAX;
  uint64_t t_open_ = 0;
  uint64_t open_j_ = 0;
  uint64_t next_due_ = 0;
  std::string first_error_;
};

}  // namespace

run_result run(const run_config& cfg) {
  run_result res;
  runner r(cfg, res);
  r.run();
  return res;
}

}  // namespace bvm::bench
