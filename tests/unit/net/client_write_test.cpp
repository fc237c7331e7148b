// The send path on a client record over a real loopback connection whose
// peer does not read: what a batch (one loop iteration) queues leaves in
// order at the flush, and the 8 MiB bound cuts a client off on the same
// packet with and without batching, counting only what the socket refused.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "base/alloc.h"
#include "broker/state.h"
#include "net/client.h"
#include "net/ws_frames.h"
#include "os/socket.h"

namespace bvm {
namespace {

using bytes = std::vector<uint8_t>;

// A broker-side client record and the peer's blocking socket, whose receive
// buffer is shrunk (as is the record's send buffer) so that the kernel takes
// little before refusing.
class ClientWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    os::listen_result l = os::tcp_listen(0, 4);
    ASSERT_TRUE(l.fd.valid());
    peer_ = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(peer_, 0);
    int small = 4096;
    ::setsockopt(peer_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(os::local_port(l.fd.get())));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(peer_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    c_ = client_create(os::tcp_accept(l.fd.get()), false);
    ASSERT_NE(c_, nullptr);
    ASSERT_TRUE(c_->sock.valid());
    // A fixed send buffer: autotuning would let the kernel take megabytes.
    ::setsockopt(c_->sock.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  }
  void TearDown() override {
    destroy(c_);
    c_ = nullptr;
    if (peer_ >= 0) ::close(peer_);
    peer_ = -1;
  }
  // Reads exactly n bytes (blocking).
  bytes read_n(size_t n) {
    bytes out(n);
    size_t got = 0;
    while (got < n) {
      ssize_t r = ::recv(peer_, out.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
  }
  // True when nothing can be read right now.
  bool nothing_readable() {
    uint8_t b;
    return ::recv(peer_, &b, 1, MSG_DONTWAIT) < 0;
  }

  lock_guard lock_{s_mutex};
  mqtt_client* c_ = nullptr;
  int peer_ = -1;
};

TEST_F(ClientWrite, BatchLeavesInOrderAtTheFlush) {
  c_->is_websocket = 1;
  const bytes a{0x30, 0x03, 0x00, 0x01, 'a'};
  const bytes b{0xD0, 0x00};
  client_batch_begin();
  ASSERT_TRUE(client_write(c_, a.data(), a.size()));
  ws_send_packet(c_, b.data(), b.size());
  ws_send_packet(c_, nullptr, 0);
  EXPECT_TRUE(nothing_readable());
  EXPECT_EQ(c_->out_queued, 1);
  client_flush(c_);
  client_batch_end();
  EXPECT_EQ(c_->pending_output(), 0u);
  EXPECT_EQ(read_n(11), (bytes{0x30, 0x03, 0x00, 0x01, 'a', 0x82, 0x02, 0xD0, 0x00, 0x82, 0x00}));
  EXPECT_EQ(c_->closing, 0);
}

// Packets of 2 MiB to a peer that reads nothing: whatever the kernel takes
// (far less than one packet here), four fit under the bound and the fifth
// cuts the client off, batched or not.
TEST_F(ClientWrite, BoundCutsOffAtTheSamePacketWithOrWithoutBatch) {
  for (bool batch : {false, true}) {
    SCOPED_TRACE(batch ? "batched" : "direct");
    TearDown();
    SetUp();
    bytes packet(size_t{2} << 20, 0x5A);
    if (batch) client_batch_begin();
    int taken = 0;
    while (taken < 10 && client_write(c_, packet.data(), packet.size())) ++taken;
    if (batch) client_batch_end();
    EXPECT_EQ(taken, 4);
    EXPECT_EQ(c_->closing, 1);
    EXPECT_LE(c_->pending_output(), MAX_PENDING_OUTPUT);
    EXPECT_GT(c_->pending_output(), MAX_PENDING_OUTPUT - packet.size());
  }
}

// A packet above the bound is taken when nothing is pending. In a batch,
// queued bytes the socket would have taken at once do not count as pending.
TEST_F(ClientWrite, OversizedPacketBehindQueuedBytesIsTaken) {
  const bytes small{0xD0, 0x00};
  bytes big(MAX_PENDING_OUTPUT + 1024, 0x11);
  client_batch_begin();
  ASSERT_TRUE(client_write(c_, small.data(), small.size()));
  EXPECT_TRUE(client_write(c_, big.data(), big.size()));
  client_flush(c_);  // the end of the iteration
  client_batch_end();
  EXPECT_EQ(c_->closing, 0);
  EXPECT_EQ(read_n(2 + 16), (bytes{0xD0, 0x00, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                   0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11}));
}

}  // namespace
}  // namespace bvm
