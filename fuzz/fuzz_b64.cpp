// Base64 against a reference written the plain way (whole groups of four
// characters, then the short tail), plus the encoder: every output
// NUL-terminated within its buffer, a prefix of the full encoding cut at a
// group boundary, and decoding the full encoding gives the bytes back.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/base64.h"
#include "fuzz_support.h"

namespace {

constexpr std::string_view ALPHABET =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The text up to its first "=" must be all alphabet; each group of four
// gives three bytes, a tail of two or three characters one or two bytes, a
// tail of one character nothing.
std::optional<std::vector<uint8_t>> reference_decode(std::string_view text) {
  text = text.substr(0, text.find('='));
  std::vector<uint32_t> values;
  for (char ch : text) {
    size_t v = ALPHABET.find(ch);
    if (v == std::string_view::npos) return std::nullopt;
    values.push_back(static_cast<uint32_t>(v));
  }
  std::vector<uint8_t> out;
  size_t i = 0;
  for (; i + 4 <= values.size(); i += 4) {
    uint32_t g = values[i] << 18 | values[i + 1] << 12 | values[i + 2] << 6 | values[i + 3];
    out.push_back(static_cast<uint8_t>(g >> 16));
    out.push_back(static_cast<uint8_t>(g >> 8));
    out.push_back(static_cast<uint8_t>(g));
  }
  size_t tail = values.size() - i;
  if (tail >= 2) {
    uint32_t g = values[i] << 18 | values[i + 1] << 12 | (tail == 3 ? values[i + 2] << 6 : 0);
    out.push_back(static_cast<uint8_t>(g >> 16));
    if (tail == 3) out.push_back(static_cast<uint8_t>(g >> 8));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace bvm;
  // Decoding sees a C text: the input up to its first zero byte.
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<uint8_t> decoded{0xEE};
  bool ok = fs_b64_decode(text.c_str(), &decoded);
  auto expected = reference_decode(std::string_view(text.c_str()));
  FUZZ_CHECK(ok == expected.has_value());
  if (ok) {
    FUZZ_CHECK(decoded == *expected);
  } else {
    FUZZ_CHECK(decoded.size() == 1 && decoded[0] == 0xEE);  // untouched
  }

  // The encoder on the raw input, into buffers of every size up to the full one.
  std::string full = bv_base64_string(data, size);
  FUZZ_CHECK(full.size() == (size + 2) / 3 * 4);
  std::vector<uint8_t> back;
  FUZZ_CHECK(fs_b64_decode(full.c_str(), &back));
  FUZZ_CHECK(back == std::vector<uint8_t>(data, data + size));
  const size_t sizes[] = {0, 1, 4, 5, 8, 9, full.size(), full.size() + 1};
  for (size_t out_size : sizes) {
    std::vector<char> out(out_size + 1, '\x7F');  // one canary byte after
    bv_base64_encode(data, size, out.data(), out_size);
    FUZZ_CHECK(out[out_size] == '\x7F');
    if (out_size == 0) continue;
    size_t len = strnlen(out.data(), out_size);
    FUZZ_CHECK(len < out_size);
    FUZZ_CHECK(len % 4 == 0);
    FUZZ_CHECK(full.compare(0, len, out.data(), len) == 0);
    // Cut only when the next group and its NUL would not fit.
    if (len < full.size()) FUZZ_CHECK(len + 4 >= out_size);
  }
  return 0;
}
