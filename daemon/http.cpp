// The HTTP side of brelvane-mqttd, on cpp-httplib: the dashboard's files,
// /metrics and the library's JSON reports, for GET and HEAD.
//
// Everything served is read-only, so the defences are about who may read:
// the server listens on loopback unless told otherwise, refuses other
// methods, and on a loopback address answers only requests whose Host names
// localhost or an address, since a page of another site that got its DNS
// name pointed at 127.0.0.1 would otherwise read every topic and payload
// through the visitor's browser. Every response forbids scripts from
// anywhere but this server and inline handlers, so that a topic or payload
// the page failed to escape could still not run as script.
#include "http.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <string_view>
#include <system_error>
#include <thread>

#include "brelvane_mqtt.h"
#include "dashboard_assets.h"
#include "metrics.h"
#include "reports.h"

namespace bvm::mqttd {
namespace {

constexpr const char* JSON_TYPE = "application/json";
constexpr const char* TEXT_TYPE = "text/plain; charset=utf-8";

// A stop waits for the requests in progress, so these bound it: an idle
// kept-alive connection is closed after KEEP_ALIVE_S, a client that sends
// or reads too slowly after IO_TIMEOUT_S.
constexpr time_t KEEP_ALIVE_S = 1;
constexpr time_t IO_TIMEOUT_S = 5;
// Nothing served takes a body.
constexpr size_t MAX_BODY = 8192;

constexpr int MAX_MESSAGES = 500;

constexpr const char* API_PATHS[] = {"/api/stats", "/api/topics", "/api/messages", "/api/storage"};

const char* content_type_of(std::string_view name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  if (name.ends_with(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

// The URL path of a dashboard file; the page itself is the root.
std::string path_of(std::string_view name) {
  return name == "index.html" ? std::string("/") : "/" + std::string(name);
}

bool is_loopback(const std::string& address) {
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

// True when a Host header names this machine in a way no other site's DNS
// name can: an address, localhost or a name under .localhost. An absent
// Host (HTTP/1.0) is fine too.
bool host_names_loopback(const std::string& host_header) {
  if (host_header.empty()) return true;
  std::string host = host_header;
  if (host.front() == '[') {
    auto end = host.find(']');
    if (end == std::string::npos) return false;
    host = host.substr(1, end - 1);
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1;
  }
  if (auto colon = host.find(':'); colon != std::string::npos) host.resize(colon);
  for (char& ch : host) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (host.ends_with('.')) host.pop_back();
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return true;
  return host == "localhost" || host.ends_with(".localhost");
}

// Why address:port cannot be listened on, found by trying it the way the
// server does; the HTTP library reports only that it failed.
std::string listen_problem(const std::string& address, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (int rc = getaddrinfo(address.c_str(), service.c_str(), &hints, &found); rc != 0) {
    return gai_strerror(rc);
  }
  std::string why = "unknown error";
  int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  if (fd < 0) {
    why = std::generic_category().message(errno);
  } else {
    int one = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 1) != 0) {
      why = std::generic_category().message(errno);
    }
    close(fd);
  }
  freeaddrinfo(found);
  return why;
}

// SO_REUSEADDR only. The library's default also sets SO_REUSEPORT, which
// lets a second program bind the same port without an error and then
// receive a share of the connections.
void socket_options(socket_t sock) {
  int one = 1;
  (void)setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

bool parse_limit(const std::string& text, int* out) {
  const char* first = text.data();
  const char* last = first + text.size();
  auto [end, ec] = std::from_chars(first, last, *out);
  return !text.empty() && ec == std::errc() && end == last && *out >= 0 && *out <= MAX_MESSAGES;
}

void reply(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", TEXT_TYPE);
}

// Gives a body to what no handler answered (unknown paths, malformed
// requests).
httplib::Server::HandlerResponse answer_error(const httplib::Request&, httplib::Response& res) {
  if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
  reply(res, res.status, res.status == 404 ? "not found" : "error " + std::to_string(res.status));
  return httplib::Server::HandlerResponse::Handled;
}

}  // namespace

struct http_service::impl {
  httplib::Server server;
  std::thread thread;
  std::atomic<bool> finished{false};
  std::string address;
  int port = 0;
  bool opened = false;

  void add_routes();
  bool known_path(const std::string& path) const;
};

bool http_service::impl::known_path(const std::string& path) const {
  if (path == "/metrics") return true;
  for (const char* p : API_PATHS) {
    if (path == p) return true;
  }
  for (size_t i = 0; i < DASHBOARD_ASSET_COUNT; ++i) {
    if (path == path_of(DASHBOARD_ASSETS[i].name)) return true;
  }
  return false;
}

void http_service::impl::add_routes() {
  for (size_t i = 0; i < DASHBOARD_ASSET_COUNT; ++i) {
    const dashboard_asset& asset = DASHBOARD_ASSETS[i];
    server.Get(path_of(asset.name), [&asset](const httplib::Request&, httplib::Response& res) {
      res.set_content(reinterpret_cast<const char*>(asset.data), asset.size,
                      content_type_of(asset.name));
    });
  }
  server.Get("/metrics", [](const httplib::Request&, httplib::Response& res) {
    std::string text;
    if (!render_metrics(stats_report(), storage_report(), mqtt_version(), &text)) {
      reply(res, 500, "the broker's stats report could not be read");
      return;
    }
    res.set_content(text, METRICS_CONTENT_TYPE);
  });
  server.Get("/api/stats", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(stats_report(), JSON_TYPE);
  });
  server.Get("/api/topics", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(topics_report(), JSON_TYPE);
  });
  server.Get("/api/messages", [](const httplib::Request& req, httplib::Response& res) {
    int limit = 0;
    if (req.has_param("limit") && !parse_limit(req.get_param_value("limit"), &limit)) {
      reply(res, 400, "limit must be a whole number from 0 (all) to 500");
      return;
    }
    res.set_content(messages_report(limit), JSON_TYPE);
  });
  server.Get("/api/storage", [](const httplib::Request&, httplib::Response& res) {
    std::string text = storage_report();
    // The library gives the empty text when it cannot build the report.
    if (text.empty()) {
      reply(res, 500, "the storage status report could not be built");
      return;
    }
    res.set_content(text, JSON_TYPE);
  });

  const bool guard_host = is_loopback(address);
  server.set_pre_routing_handler(
      [this, guard_host](const httplib::Request& req, httplib::Response& res) {
        using handled = httplib::Server::HandlerResponse;
        if (guard_host && !host_names_loopback(req.get_header_value("Host"))) {
          reply(res, 403, "this server answers only requests for localhost or an IP address");
          return handled::Handled;
        }
        if (req.method == "GET" || req.method == "HEAD") return handled::Unhandled;
        if (known_path(req.path)) {
          res.set_header("Allow", "GET, HEAD");
          reply(res, 405, "only GET and HEAD are served here");
        } else {
          reply(res, 404, "not found");
        }
        // A body the request may carry is not read: the connection ends.
        res.set_header("Connection", "close");
        return handled::Handled;
      });
  server.set_error_handler(httplib::Server::HandlerWithResponse(answer_error));
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                  std::exception_ptr) { reply(res, 500, "internal error"); });
}

http_service::http_service() : impl_(std::make_unique<impl>()) {}

http_service::~http_service() { stop(); }

std::string http_service::open(const std::string& address, int port) {
  impl& s = *impl_;
  s.address = address;
  s.port = port;
  s.server.set_socket_options(socket_options);
  s.server.set_keep_alive_timeout(KEEP_ALIVE_S);
  s.server.set_read_timeout(IO_TIMEOUT_S);
  s.server.set_write_timeout(IO_TIMEOUT_S);
  s.server.set_payload_max_length(MAX_BODY);
  s.server.set_default_headers({
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"X-Frame-Options", "DENY"},
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
       "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
  });
  s.add_routes();
  if (!s.server.bind_to_port(address, port)) return listen_problem(address, port);
  s.opened = true;
  return {};
}

bool http_service::start() {
  impl& s = *impl_;
  if (!s.opened || s.thread.joinable()) return s.opened;
  try {
    s.thread = std::thread([&s] {
      (void)s.server.listen_after_bind();
      s.finished.store(true);
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void http_service::stop() {
  impl& s = *impl_;
  if (!s.opened) return;
  s.opened = false;
  // Never started: the listening socket closes with the process.
  if (!s.thread.joinable()) return;
  // The library's stop only acts once its loop has begun; called before,
  // it would be lost and the join would wait forever.
  while (!s.server.is_running() && !s.finished.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!s.finished.load()) s.server.stop();
  s.thread.join();
}

std::string http_service::endpoint() const {
  const impl& s = *impl_;
  const bool v6 = s.address.find(':') != std::string::npos;
  return (v6 ? "[" + s.address + "]" : s.address) + ":" + std::to_string(s.port);
}

std::string http_service::url() const { return "http://" + endpoint() + "/"; }

}  // namespace bvm::mqttd
