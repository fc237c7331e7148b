// Start, stop and the control calls, through the C API.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "brelvane_mqtt.h"
#include "integration/support/test_client.h"
#include "os/thread.h"

using namespace bvt;

namespace {

// Holds a TCP port in use for the test's life.
struct port_holder {
  int fd = -1;
  int port = 0;
  port_holder() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 1);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~port_holder() { ::close(fd); }
};

}  // namespace

TEST(Lifecycle, VersionAndStatusBeforeStart) {
  EXPECT_STREQ(mqtt_version(), "1.4.2");
  EXPECT_EQ(mqtt_broker_status(), 0);
  EXPECT_STREQ(mqtt_last_error(), "");
  EXPECT_EQ(mqtt_broker_stop(), 0);  // stopping a stopped broker does nothing
}

TEST(Lifecycle, StartStopStartOnTheSamePorts) {
  int port = free_port();
  ASSERT_EQ(mqtt_broker_start(port, 0, nullptr), 0) << mqtt_last_error();
  EXPECT_EQ(mqtt_broker_status(), 1);
  {
    test_client c(port);
    c.handshake({});
  }
  EXPECT_EQ(mqtt_broker_stop(), 0);
  EXPECT_EQ(mqtt_broker_status(), 0);
  ASSERT_EQ(mqtt_broker_start(port, 0, nullptr), 0) << mqtt_last_error();
  test_client c(port);
  c.handshake({});
  EXPECT_EQ(mqtt_broker_stop(), 0);
}

TEST(Lifecycle, StartWhileRunningReturnsZeroAndChangesNothing) {
  int port = free_port();
  ASSERT_EQ(mqtt_broker_start(port, 0, nullptr), 0);
  EXPECT_EQ(mqtt_broker_start(free_port(), 0, "not json"), 0);
  EXPECT_STREQ(mqtt_last_error(), "Broker is already running");
  test_client c(port);  // still on the first port, still without users
  c.handshake({});
  mqtt_broker_stop();
}

TEST(Lifecycle, SuccessfulStartClearsTheLastError) {
  EXPECT_EQ(mqtt_publish("", "x", 0, 0), -1);
  EXPECT_STREQ(mqtt_last_error(), "Invalid topic name");
  ASSERT_EQ(mqtt_broker_start(free_port(), 0, nullptr), 0);
  EXPECT_STREQ(mqtt_last_error(), "");
  mqtt_broker_stop();
}

TEST(Lifecycle, TcpPortInUseFailsTheStart) {
  port_holder busy;
  EXPECT_EQ(mqtt_broker_start(busy.port, 0, nullptr), -1);
  EXPECT_STREQ(mqtt_last_error(), "Failed to bind TCP port");
  EXPECT_EQ(mqtt_broker_status(), 0);
  // Nothing stayed open: a start on a free port works afterwards.
  ASSERT_EQ(mqtt_broker_start(free_port(), 0, nullptr), 0);
  mqtt_broker_stop();
}

TEST(Lifecycle, WebSocketPortInUseStillStarts) {
  port_holder busy;
  int port = free_port();
  ASSERT_EQ(mqtt_broker_start(port, busy.port, nullptr), 0) << mqtt_last_error();
  test_client c(port);
  c.handshake({});
  mqtt_broker_stop();
}

TEST(Lifecycle, WorkerThreadFailureLeavesNothingOpen) {
  int port = free_port();
  bvm::os::test_fail_next_thread_start();
  EXPECT_EQ(mqtt_broker_start(port, 0, nullptr), -1);
  EXPECT_STREQ(mqtt_last_error(), "Failed to create worker thread");
  EXPECT_EQ(mqtt_broker_status(), 0);
  ASSERT_EQ(mqtt_broker_start(port, 0, nullptr), 0) << mqtt_last_error();  // the port was released
  mqtt_broker_stop();
}

TEST(Lifecycle, StopWithClientsReturnsPromptly) {
  int port = free_port();
  ASSERT_EQ(mqtt_broker_start(port, 0, nullptr), 0);
  std::vector<test_client> clients;
  for (int i = 0; i < 20; ++i) {
    clients.emplace_back(port);
    connect_opts o;
    o.client_id = "c" + std::to_string(i);
    o.will = true;
    o.will_topic = "wills";
    o.will_payload = "gone";
    clients.back().handshake(o);
  }
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(mqtt_broker_stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
  for (auto& c : clients) EXPECT_TRUE(c.closed_within(1000));
}

TEST(Lifecycle, DescriptorsAbove1024Work) {
  // The host may already hold many files; readiness must not depend on
  // descriptor values.
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_max < 2100) GTEST_SKIP() << "descriptor limit too low: " << rl.rlim_max;
  rl.rlim_cur = 2100;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
  std::vector<int> filler;
  while (true) {
    int fd = ::dup(0);
    if (fd < 0) break;
    filler.push_back(fd);
    if (fd > 1100) break;
  }
  int port = free_port();
  ASSERT_EQ(mqtt_broker_start(port, 0, nullptr), 0);
  test_client c(port);
  ASSERT_GT(c.fd(), 1024);
  c.handshake({});
  c.send_hex("C0 00");
  c.expect_hex("D0 00");
  mqtt_broker_stop();
  for (int fd : filler) ::close(fd);
}
