// The HTTP side of brelvane-mqttd (--http): the dashboard page, the
// Prometheus metrics and the library's JSON reports, read-only, on one port.
#pragma once

#include <memory>
#include <string>

namespace bvm::mqttd {

class http_service {
 public:
  http_service();
  ~http_service();
  http_service(const http_service&) = delete;
  http_service& operator=(const http_service&) = delete;

  // Listens on address:port (a numeric address). Returns an empty text, or
  // why the port cannot be opened. Connections wait in the backlog until
  // start().
  std::string open(const std::string& address, int port);

  // Serves on a thread of its own (and the HTTP library's worker threads),
  // which inherit the caller's signal mask. False when the thread could not
  // be created.
  bool start();

  // Stops accepting, lets the requests in progress finish (an idle
  // kept-alive connection is closed within a second, a stalled request
  // within five) and joins every thread. Safe to call more than once, and
  // without a start.
  void stop();

  // "127.0.0.1:8080", "[::1]:8080".
  std::string endpoint() const;
  // "http://127.0.0.1:8080/".
  std::string url() const;

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

}  // namespace bvm::mqttd
