// Strict JSON reading, first-member lookup, and the UTF-8 checks and lossy
// conversion shared by the reports, log lines and snapshots.
#include "storage/json.h"

#include <limits>

#include <rapidjson/memorystream.h>

namespace bvm {
namespace {

// Length of the well-formed UTF-8 sequence at p[0, n), n >= 1, or 0 when
// there is none; then *bad is the length of the maximal invalid subpart: the
// lead byte plus the continuation bytes that still fitted some well-formed
// sequence (at least 1). The second byte's range is narrowed for E0, ED, F0
// and F4, which excludes overlong forms, surrogates and code points above
// U+10FFFF.
size_t utf8_sequence(const uint8_t* p, size_t n, size_t* bad) noexcept {
  const uint8_t b = p[0];
  if (b < 0x80) return 1;
  size_t need = 0;
  uint8_t lo = 0x80;
  uint8_t hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    *bad = 1;
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (k >= n || p[k] < lo || p[k] > hi) {
      *bad = k;
      return 0;
    }
    lo = 0x80;
    hi = 0xBF;
  }
  return need + 1;
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the "\uXXXX" escape whose 'u' is at text[i], or -1.
long escape_unit(const char* text, size_t len, size_t i) noexcept {
  if (i + 4 >= len) return -1;
  long v = 0;
  for (size_t k = 1; k <= 4; ++k) {
    int h = hex_value(text[i + k]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

// The reader rejects a high surrogate escape that is not followed by a low
// one, but turns a lone low surrogate escape ("\uDC00") into the bytes
// ED B0 80, which are not UTF-8. Runs on a text that has already parsed:
// there a backslash occurs only inside strings and always starts an escape,
// so a scan from escape to escape sees every "\u" exactly once.
bool has_lone_low_surrogate(const char* text, size_t len) noexcept {
  bool after_high = false;  // the previous escape was a high surrogate
  for (size_t i = 0; i + 1 < len; ++i) {
    if (text[i] != '\\') continue;
    ++i;
    long unit = text[i] == 'u' ? escape_unit(text, len, i) : -1;
    if (unit >= 0xDC00 && unit <= 0xDFFF && !after_high) return true;
    after_high = unit >= 0xD800 && unit <= 0xDBFF;
    if (text[i] == 'u') i += 4;
  }
  return false;
}

}  // namespace

bool parse_json(rapidjson::Document* doc, const char* text, size_t len) {
  // A plain MemoryStream, not Document::Parse(str, len): that one wraps the
  // text in a stream that silently drops each of the bytes EF, BB and BF at
  // the start, so it would accept a byte order mark (or a stray BB).
  rapidjson::MemoryStream stream(text, len);
  doc->ParseStream<JSON_PARSE_FLAGS, rapidjson::UTF8<>>(stream);
  if (doc->HasParseError()) return false;
  // The stream shows its end as a zero byte, so the reader also stops at a
  // zero byte inside the text and calls the document complete; what follows
  // it must not be ignored.
  if (stream.Tell() != len) return false;
  return !has_lone_low_surrogate(text, len);
}

const rapidjson::Value* find_first_member(const rapidjson::Value& obj, const char* name) noexcept {
  if (!obj.IsObject()) return nullptr;
  // FindMember walks the members from the first and stops at the first equal
  // name (length and bytes), so of two equal keys the first counts.
  auto it = obj.FindMember(name);
  return it == obj.MemberEnd() ? nullptr : &it->value;
}

bool fs_valid_utf8(const uint8_t* bytes, size_t n) noexcept {
  size_t i = 0;
  while (i < n) {
    if (bytes[i] == 0) return false;
    size_t bad = 0;
    size_t k = utf8_sequence(bytes + i, n - i, &bad);
    if (k == 0) return false;
    i += k;
  }
  return true;
}

bool append_json_text(std::string* out, const uint8_t* bytes, size_t len) {
  // Runs of bytes that need no escape are appended whole.
  static constexpr char HEX[] = "0123456789ABCDEF";
  size_t run = 0;
  size_t i = 0;
  while (i < len) {
    uint8_t b = bytes[i];
    if (b >= 0x20 && b != '"' && b != '\\') {
      if (b < 0x80) {
        ++i;
        continue;
      }
      size_t bad = 0;
      size_t k = utf8_sequence(bytes + i, len - i, &bad);
      if (k == 0) return false;
      i += k;
      continue;
    }
    if (b == 0) return false;
    out->append(reinterpret_cast<const char*>(bytes + run), i - run);
    char esc[6] = {'\\', static_cast<char>(b), 0, 0, 0, 0};
    size_t n = 2;
    switch (b) {
      case '"':
      case '\\':
        break;
      case '\b':
        esc[1] = 'b';
        break;
      case '\t':
        esc[1] = 't';
        break;
      case '\n':
        esc[1] = 'n';
        break;
      case '\f':
        esc[1] = 'f';
        break;
      case '\r':
        esc[1] = 'r';
        break;
      default:
        esc[1] = 'u';
        esc[2] = '0';
        esc[3] = '0';
        esc[4] = HEX[b >> 4];
        esc[5] = HEX[b & 15];
        n = 6;
        break;
    }
    out->append(esc, n);
    ++i;
    run = i;
  }
  out->append(reinterpret_cast<const char*>(bytes + run), len - run);
  return true;
}

void append_utf8_lossy(std::string* out, const char* bytes, size_t len) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes);
  out->reserve(out->size() + len);
  size_t i = 0;
  while (i < len) {
    size_t bad = 0;
    size_t k = utf8_sequence(p + i, len - i, &bad);
    if (k > 0) {
      out->append(bytes + i, k);
      i += k;
    } else {
      out->append("\xEF\xBF\xBD", 3);
      i += bad;
    }
  }
}

void write_lossy_string(json_writer& w, const char* bytes, size_t len) {
  // A JSON string's length is a rapidjson::SizeType; each input byte becomes
  // at most three output bytes. Past that (far beyond any message the broker
  // accepts) the text is cut, and a sequence cut there shows as U+FFFD.
  constexpr size_t MAX_INPUT = std::numeric_limits<rapidjson::SizeType>::max() / 3;
  std::string text;
  append_utf8_lossy(&text, bytes, len < MAX_INPUT ? len : MAX_INPUT);
  w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

bool write_checked_string(json_writer& w, const char* bytes, size_t len) {
  if (len > std::numeric_limits<rapidjson::SizeType>::max()) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < len;) {
    size_t bad = 0;
    size_t k = utf8_sequence(p + i, len - i, &bad);
    if (k == 0) return false;
    i += k;
  }
  return w.String(bytes, static_cast<rapidjson::SizeType>(len));
}

}  // namespace bvm
