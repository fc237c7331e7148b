// Base64: RFC 4648 vectors both ways, the encoder's behaviour with short
// buffers, the decoder's acceptance rules, and a random round trip.
#include "codec/base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "base/alloc.h"

namespace bvm {
namespace {

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::vector<uint8_t> byte_vec(std::string_view s) { return {s.begin(), s.end()}; }

// RFC 4648 section 10.
constexpr std::string_view RFC_PLAIN[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
constexpr std::string_view RFC_CODED[] = {"",         "Zg==",     "Zm8=",    "Zm9v",
                                          "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};

TEST(Base64, Rfc4648VectorsBothWays) {
  for (size_t i = 0; i < std::size(RFC_PLAIN); ++i) {
    const auto plain = RFC_PLAIN[i];
    EXPECT_EQ(bv_base64_string(bytes_of(plain), plain.size()), RFC_CODED[i]);

    // Exactly 4 * ceil(len / 3) + 1 bytes hold the whole text.
    std::string exact(4 * ((plain.size() + 2) / 3) + 1, '?');
    bv_base64_encode(bytes_of(plain), plain.size(), exact.data(), exact.size());
    EXPECT_STREQ(exact.c_str(), std::string(RFC_CODED[i]).c_str()) << plain;

    std::vector<uint8_t> decoded;
    ASSERT_TRUE(fs_b64_decode(std::string(RFC_CODED[i]).c_str(), &decoded)) << RFC_CODED[i];
    EXPECT_EQ(decoded, byte_vec(plain));
  }
}

// A buffer too small for the whole text gets whole groups only, always one
// byte short of out_size or less, and nothing is written past the NUL.
TEST(Base64, ShortBufferCutsAtAGroupBoundary) {
  struct cut_case {
    std::string_view plain;
    size_t out_size;
    std::string_view expected;
  };
  const cut_case cases[] = {
      {"", 1, ""},
      {"", 64, ""},
      {"f", 4, ""},
      {"f", 5, "Zg=="},
      {"foo", 4, ""},
      {"foo", 5, "Zm9v"},
      {"foob", 8, "Zm9v"},
      {"foob", 9, "Zm9vYg=="},
      {"foobar", 1, ""},
      {"foobar", 4, ""},
      {"foobar", 5, "Zm9v"},
      {"foobar", 8, "Zm9v"},
      {"foobar", 9, "Zm9vYmFy"},
      {"foobar", 10, "Zm9vYmFy"},
  };
  for (const auto& c : cases) {
    char out[32];
    std::memset(out, '#', sizeof out);
    bv_base64_encode(bytes_of(c.plain), c.plain.size(), out, c.out_size);
    EXPECT_STREQ(out, std::string(c.expected).c_str()) << c.plain << " into " << c.out_size;
    for (size_t i = c.expected.size() + 1; i < sizeof out; ++i) {
      ASSERT_EQ(out[i], '#') << c.plain << " into " << c.out_size << ": byte " << i << " written";
    }
  }
}

TEST(Base64, ZeroSizedBufferIsNotWritten) {
  char out = '#';
  bv_base64_encode(bytes_of("foo"), 3, &out, 0);
  EXPECT_EQ(out, '#');
}

// The handshake encodes its 20-byte digest into 64 bytes.
TEST(Base64, DigestIntoHandshakeBuffer) {
  uint8_t digest[20];
  for (uint8_t i = 0; i < 20; ++i) digest[i] = static_cast<uint8_t>(0xF0 + i);
  char out[64];
  bv_base64_encode(digest, sizeof digest, out, sizeof out);
  EXPECT_EQ(std::strlen(out), 28u);
  EXPECT_EQ(out[27], '=');
  EXPECT_NE(out[26], '=');
}

TEST(Base64, DecoderAcceptsAndRefuses) {
  struct decode_case {
    std::string_view text;
    bool ok;
    std::vector<uint8_t> bytes;
  };
  const decode_case cases[] = {
      {"", true, {}},
      {"QQ==", true, {0x41}},
      {"QQ", true, {0x41}},        // pad characters are optional
      {"QQ==QUJD", true, {0x41}},  // the first "=" ends the text
      {"QQ==\n", true, {0x41}},
      {"QQ=$%&", true, {0x41}},             // garbage after "=" is ignored
      {"QUJDR", true, {0x41, 0x42, 0x43}},  // 6 leftover bits dropped
      {"Q", true, {}},
      {"=", true, {}},
      {"+/8=", true, {0xFB, 0xFF}},
      {"QQ\n", false, {}},
      {"QQ\r\n", false, {}},
      {"QQ Q=", false, {}},
      {" QQ==", false, {}},
      {"Q\tQ", false, {}},
      {"-_8=", false, {}},  // URL-safe alphabet
      {"Zm9v-", false, {}},
      {"Zm9v_", false, {}},
      {"Zm\xC3\xA9", false, {}},  // bytes above 0x7F
  };
  const std::vector<uint8_t> before{9, 9, 9};
  for (const auto& c : cases) {
    std::vector<uint8_t> out = before;
    bool ok = fs_b64_decode(std::string(c.text).c_str(), &out);
    EXPECT_EQ(ok, c.ok) << "\"" << c.text << "\"";
    // On failure the caller's vector is left as it was.
    EXPECT_EQ(out, ok ? c.bytes : before) << "\"" << c.text << "\"";
  }
}

TEST(Base64, DecoderRefusesNullArguments) {
  std::vector<uint8_t> out{1};
  EXPECT_FALSE(fs_b64_decode(nullptr, &out));
  EXPECT_EQ(out, std::vector<uint8_t>{1});
  EXPECT_FALSE(fs_b64_decode("QQ==", nullptr));
}

TEST(Base64, DecoderAllocationFailureLeavesOutputUntouched) {
  std::vector<uint8_t> out{1, 2};
  test_fail_nth_alloc(1);
  EXPECT_FALSE(fs_b64_decode("Zm9vYmFy", &out));
  test_fail_nth_alloc(0);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2}));
  ASSERT_TRUE(fs_b64_decode("Zm9vYmFy", &out));
  EXPECT_EQ(out, byte_vec("foobar"));
}

TEST(Base64, RandomBytesRoundTrip) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  for (size_t len = 0; len <= 300; ++len) {
    std::vector<uint8_t> data(len);
    for (auto& b : data) b = static_cast<uint8_t>(byte(rng));
    const std::string text = bv_base64_string(data.data(), data.size());
    ASSERT_EQ(text.size(), 4 * ((len + 2) / 3)) << len;
    std::vector<uint8_t> back;
    ASSERT_TRUE(fs_b64_decode(text.c_str(), &back)) << len;
    EXPECT_EQ(back, data) << len;
  }
}

}  // namespace
}  // namespace bvm
