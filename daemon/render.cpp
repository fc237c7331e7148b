// Text for the terminal: payloads, labels, rates and times.
#include "render.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>

namespace bvm::mqttd {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;
constexpr char32_t INVALID = 0xFFFFFFFF;

// Decodes the code point at text[i] and advances i past it. A byte that does
// not start a well-formed sequence gives INVALID and advances by one.
char32_t next_code_point(std::string_view text, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  size_t extra = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    cp = lead & 0x1Fu;
    min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    cp = lead & 0x0Fu;
    min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    cp = lead & 0x07u;
    min = 0x10000;
  } else {
    ++i;
    return INVALID;
  }
  if (text.size() - i <= extra) {
    ++i;
    return INVALID;
  }
  for (size_t k = 1; k <= extra; ++k) {
    const unsigned char c = byte(i + k);
    if ((c & 0xC0u) != 0x80u) {
      ++i;
      return INVALID;
    }
    cp = (cp << 6) | (c & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return INVALID;
  }
  i += extra + 1;
  return cp;
}

enum class kind { printable, whitespace, control, lost };

kind classify(char32_t cp) {
  if (cp == INVALID || cp == REPLACEMENT) return kind::lost;
  if (cp == '\t' || cp == '\n' || cp == '\r') return kind::whitespace;
  if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) return kind::control;
  // Characters that reorder or break the line on a terminal: the bidi
  // marks, embeddings, overrides and isolates, and the line and paragraph
  // separators.
  if (cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x2028 && cp <= 0x202E) ||
      (cp >= 0x2066 && cp <= 0x2069)) {
    return kind::control;
  }
  return kind::printable;
}

void append_escape(std::string& out, char32_t cp) {
  char buf[16];
  if (cp < 0x100) {
    (void)std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
  } else {
    (void)std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
  }
  out += buf;
}

std::string render_hex(std::string_view payload, bool lossy) {
  std::string out = "hex";
  size_t shown = 0;  // bytes (or lost runs) written so far
  size_t i = 0;
  while (i < payload.size() && shown < PAYLOAD_HEX_BYTES) {
    const size_t start = i;
    const char32_t cp = next_code_point(payload, i);
    if (classify(cp) == kind::lost) {
      out += " ??";
      ++shown;
      continue;
    }
    // The bytes of one character are shown together, even past the limit.
    for (size_t k = start; k < i; ++k) {
      char buf[4];
      (void)std::snprintf(buf, sizeof buf, " %02x", static_cast<unsigned char>(payload[k]));
      out += buf;
      ++shown;
    }
  }
  if (i < payload.size()) {
    // Where bytes were lost, the report's length is not the payload's.
    out += lossy ? " …" : " …(" + std::to_string(payload.size()) + " bytes)";
  }
  return out;
}

}  // namespace

bool valid_utf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    if (next_code_point(text, i) == INVALID) return false;
  }
  return true;
}

std::string render_payload(std::string_view payload) {
  if (payload.empty()) return "(empty)";
  bool binary = false;
  bool lossy = false;
  for (size_t i = 0; i < payload.size();) {
    switch (classify(next_code_point(payload, i))) {
      case kind::lost:
        lossy = true;
        binary = true;
        break;
      case kind::control:
        binary = true;
        break;
      case kind::printable:
      case kind::whitespace:
        break;
    }
  }
  if (binary) return render_hex(payload, lossy);

  std::string out;
  size_t chars = 0;
  size_t i = 0;
  while (i < payload.size() && chars < PAYLOAD_TEXT_CHARS) {
    const size_t start = i;
    const char32_t cp = next_code_point(payload, i);
    if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else {
      out.append(payload.substr(start, i - start));
    }
    ++chars;
  }
  if (i < payload.size()) out += "…(" + std::to_string(payload.size()) + " bytes)";
  return out;
}

std::string render_label(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    const char32_t cp = next_code_point(text, i);
    switch (classify(cp)) {
      case kind::printable:
        out.append(text.substr(start, i - start));
        break;
      case kind::lost:
        // Not from the library's reports (they carry U+FFFD already), but
        // a raw byte is never passed through.
        out += "\xEF\xBF\xBD";
        break;
      case kind::whitespace:
      case kind::control:
        append_escape(out, cp);
        break;
    }
  }
  return out;
}

std::string format_byte_rate(double bytes_per_second) {
  static constexpr const char* UNITS[] = {"KiB/s", "MiB/s", "GiB/s", "TiB/s"};
  char buf[32];
  if (!(bytes_per_second >= 0)) bytes_per_second = 0;  // also NaN
  if (bytes_per_second < 1024) {
    (void)std::snprintf(buf, sizeof buf, "%.0f B/s", bytes_per_second);
    return buf;
  }
  double value = bytes_per_second / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(UNITS)) {
    value /= 1024;
    ++unit;
  }
  (void)std::snprintf(buf, sizeof buf, "%.1f %s", value, UNITS[unit]);
  return buf;
}

std::string format_message_rate(double messages_per_second) {
  char buf[32];
  if (!(messages_per_second >= 0)) messages_per_second = 0;
  // Below ten a fraction still says something (one message every few
  // seconds); above, it is noise.
  const bool whole = messages_per_second >= 10 ||
                     std::fabs(messages_per_second - std::round(messages_per_second)) < 0.05;
  if (whole) {
    (void)std::snprintf(buf, sizeof buf, "%.0f msg/s", messages_per_second);
  } else {
    (void)std::snprintf(buf, sizeof buf, "%.1f msg/s", messages_per_second);
  }
  return buf;
}

std::string format_clock(int64_t unix_seconds) {
  const auto t = static_cast<std::time_t>(unix_seconds);
  std::tm parts{};
  char buf[16];
  if (localtime_r(&t, &parts) == nullptr ||
      std::strftime(buf, sizeof buf, "%H:%M:%S", &parts) == 0) {
    return "--:--:--";
  }
  return buf;
}

}  // namespace bvm::mqttd
