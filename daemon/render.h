// Text for the terminal: payloads, client ids and topics made safe and
// readable, rates and clock times.
//
// Everything printed here may come from any MQTT client, so no byte of it
// reaches the terminal unless it is printable: an escape sequence in a topic
// or payload must not be able to drive the operator's terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bvm::mqttd {

// Text payloads are cut after this many characters, binary ones after this
// many bytes.
inline constexpr size_t PAYLOAD_TEXT_CHARS = 100;
inline constexpr size_t PAYLOAD_HEX_BYTES = 16;

// True when text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF, no sequence cut short).
bool valid_utf8(std::string_view text);

// A payload on one line: printable text as it is (line breaks and tabs as
// \n, \r, \t), cut after PAYLOAD_TEXT_CHARS characters with "…(N bytes)";
// anything else as "hex" and its first PAYLOAD_HEX_BYTES bytes, with "??"
// for each run of bytes that were not UTF-8 (the broker's report replaced
// them by U+FFFD, so they are gone); "(empty)" for no bytes.
std::string render_payload(std::string_view payload);

// A client id or topic with every character that is not printable written as
// an escape (\x1b, \u202e), so it cannot move the cursor, recolour the
// terminal or reorder the line. Printable text is unchanged.
std::string render_label(std::string_view text);

// "512 B/s", "4.1 KiB/s", "2.0 MiB/s", "1.1 GiB/s".
std::string format_byte_rate(double bytes_per_second);

// "0.4 msg/s", "7 msg/s", "120 msg/s".
std::string format_message_rate(double messages_per_second);

// Local time of day, "14:03:07".
std::string format_clock(int64_t unix_seconds);

}  // namespace bvm::mqttd
