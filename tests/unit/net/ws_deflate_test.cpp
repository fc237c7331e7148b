// Outbound permessage-deflate through the shared, reset stream: every packet
// must come out byte for byte as from a freshly initialised stream, whatever
// was compressed before it, into a fresh or a reused buffer, and after a
// failure half-way through a packet.
#include "net/ws_deflate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/byte_buf.h"

namespace bvm {
namespace {

using bytes = std::vector<uint8_t>;

struct payload {
  const char* name;
  bytes data;
};

std::vector<payload> payloads() {
  uint32_t x = 2463534242u;
  bytes noise(200 * 1024);
  for (auto& b : noise) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  bytes kib(1024);
  for (size_t i = 0; i < kib.size(); ++i)
    kib[i] = static_cast<uint8_t>("{\"t\":21.5,\"id\":7}"[i % 17]);
  std::string line = "sensor/42 temperature=21.5 humidity=40 ";
  bytes repeated;
  for (int i = 0; i < 3000; ++i) repeated.insert(repeated.end(), line.begin(), line.end());
  return {
      {"empty", {}},
      {"one byte", {0x42}},
      {"16 bytes",
       bytes{'h', 'e', 'l', 'l', 'o', ' ', 'm', 'q', 't', 't', ' ', 'w', 'o', 'r', 'l', 'd'}},
      {"1 KiB", kib},
      {"incompressible 200 KiB", noise},
      {"repeated text", repeated},
  };
}

// What a freshly initialised stream produces: the shared one is dropped
// first, so this call creates it anew.
bytes fresh(const bytes& p, size_t headroom) {
  ws_deflate_release();
  byte_buf out;
  EXPECT_TRUE(ws_deflate_packet(p.data(), p.size(), headroom, &out));
  EXPECT_GE(out.size(), headroom);
  return bytes(out.data() + headroom, out.data() + out.size());
}

bytes compressed(const byte_buf& out, size_t headroom) {
  return bytes(out.data() + headroom, out.data() + out.size());
}

TEST(WsDeflate, ResetStreamMatchesAFreshOneInAnyOrder) {
  std::vector<payload> table = payloads();
  for (size_t headroom : {size_t{0}, size_t{10}}) {
    std::vector<bytes> want;
    for (const payload& p : table) want.push_back(fresh(p.data, headroom));
    // Forward, backward and a big packet between small ones: whatever the
    // stream held before, the output does not change. One reused buffer
    // against a fresh one per packet.
    std::vector<size_t> order;
    for (size_t i = 0; i < table.size(); ++i) order.push_back(i);
    for (size_t i = table.size(); i-- > 0;) order.push_back(i);
    for (size_t i = 0; i < table.size(); ++i) order.insert(order.end(), {4, i, i});
    byte_buf reused;
    for (size_t i : order) {
      ASSERT_TRUE(ws_deflate_packet(table[i].data.data(), table[i].data.size(), headroom, &reused));
      EXPECT_EQ(compressed(reused, headroom), want[i])
          << table[i].name << ", headroom " << headroom;
      byte_buf own;
      ASSERT_TRUE(ws_deflate_packet(table[i].data.data(), table[i].data.size(), headroom, &own));
      EXPECT_EQ(compressed(own, headroom), want[i]) << table[i].name << ", headroom " << headroom;
    }
  }
}

TEST(WsDeflate, FailureHalfWayLeavesTheStreamClean) {
  std::vector<payload> table = payloads();
  const bytes& big = table[4].data;
  const bytes& small = table[2].data;
  bytes want = fresh(small, 0);
  // The stream exists; the big packet's buffer grows over several 16 KiB
  // steps and the second growth fails, with input still inside zlib.
  byte_buf out;
  test_fail_nth_alloc(2);
  EXPECT_FALSE(ws_deflate_packet(big.data(), big.size(), 0, &out));
  test_fail_nth_alloc(0);
  byte_buf next;
  ASSERT_TRUE(ws_deflate_packet(small.data(), small.size(), 0, &next));
  EXPECT_EQ(compressed(next, 0), want);
  // Without memory for the stream itself the packet is refused, and the
  // next one gets a stream again.
  ws_deflate_release();
  test_fail_nth_alloc(1);
  EXPECT_FALSE(ws_deflate_packet(small.data(), small.size(), 0, &next));
  test_fail_nth_alloc(0);
  ASSERT_TRUE(ws_deflate_packet(small.data(), small.size(), 0, &next));
  EXPECT_EQ(compressed(next, 0), want);
}

}  // namespace
}  // namespace bvm
