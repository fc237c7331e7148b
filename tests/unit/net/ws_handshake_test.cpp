// The WebSocket upgrade request: byte-exact 101 answers, the refusals, the
// size limit of an unfinished head, and the subprotocol and extension
// offers as browsers and libraries write them.
#include "net/ws_handshake.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace bvm {
namespace {

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// RFC 6455 section 1.3.
constexpr char SAMPLE_KEY[] = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr char SAMPLE_ACCEPT[] = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

std::string request(std::string_view extra_headers, std::string_view key = SAMPLE_KEY) {
  std::string r =
      "GET /mqtt HTTP/1.1\r\nHost: localhost:9001\r\nUpgrade: websocket\r\n"
      "Connection: Upgrade\r\nSec-WebSocket-Key: ";
  r += key;
  r += "\r\nSec-WebSocket-Version: 13\r\n";
  r += extra_headers;
  r += "\r\n";
  return r;
}

std::string response(std::string_view extra_lines, std::string_view accept = SAMPLE_ACCEPT) {
  std::string r =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: ";
  r += accept;
  r += "\r\n";
  r += extra_lines;
  r += "\r\n";
  return r;
}

ws_handshake_status parse(std::string_view text, ws_handshake_answer* a) {
  return ws_parse_handshake(bytes_of(text), text.size(), a);
}

// The full response for a request, or a marker when it was not accepted.
std::string answer_to(std::string_view text) {
  ws_handshake_answer a;
  switch (parse(text, &a)) {
    case ws_handshake_status::wait:
      return "<wait>";
    case ws_handshake_status::fail:
      return "<fail>";
    case ws_handshake_status::done:
      break;
  }
  EXPECT_EQ(a.request_len, text.size());
  return std::string(a.response, a.response_len);
}

constexpr char EXT_LINE[] = "Sec-WebSocket-Extensions: permessage-deflate\r\n";
constexpr char PROTO_LINE[] = "Sec-WebSocket-Protocol: mqtt\r\n";

TEST(WsHandshake, AnswersByteForByte) {
  struct row {
    const char* name;
    std::string headers;
    std::string lines;
  };
  const row rows[] = {
      {"plain", "", ""},
      {"protocol", "Sec-WebSocket-Protocol: mqtt\r\n", PROTO_LINE},
      // The extension line precedes the protocol line, whatever the request's order.
      {"protocol then extension",
       "Sec-WebSocket-Protocol: mqtt\r\nSec-WebSocket-Extensions: permessage-deflate\r\n",
       std::string(EXT_LINE) + PROTO_LINE},
      // Chromium's offer: the parameter is neither applied nor answered.
      {"chromium", "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n",
       EXT_LINE},
      // The node ws library's offer with the subprotocol.
      {"ws library",
       "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n"
       "Sec-WebSocket-Protocol: mqtt\r\n",
       std::string(EXT_LINE) + PROTO_LINE},
      {"other extension only", "Sec-WebSocket-Extensions: x-webkit-deflate-frame\r\n", ""},
      {"deflate after another extension",
       "Sec-WebSocket-Extensions: foo, permessage-deflate; server_no_context_takeover\r\n",
       EXT_LINE},
  };
  for (const row& r : rows) {
    EXPECT_EQ(answer_to(request(r.headers)), response(r.lines)) << r.name;
  }
}

TEST(WsHandshake, AcceptKeyOfOtherKeys) {
  // Independently computed: base64(sha1(key + GUID)).
  EXPECT_EQ(answer_to(request("", "x3JJHMbDL1EzLkh9GBhXDw==")),
            response("", "HSmrc0sMlYUkAGmm5OPpG2HaGWk="));
  // Trailing blanks belong to the key.
  EXPECT_NE(answer_to(request("", std::string(SAMPLE_KEY) + " ")), response(""));
}

TEST(WsHandshake, SubprotocolElements) {
  struct row {
    const char* value;
    bool mqtt;
  };
  // A blank before a comma belongs to the element and spoils it.
  const row rows[] = {
      {"mqtt", true},     {"mqttv3.1, mqtt", true}, {"mqttv3.1,mqtt", true},
      {" , ,mqtt", true}, {"mqttv3.1", false},      {"mqtt ,mqttv3.1", false},
      {"mqtt ", false},   {"MQTT", false},          {"mqtt5", false},
      {"", false},
  };
  for (const row& r : rows) {
    ws_handshake_answer a;
    std::string req = request(std::string("Sec-WebSocket-Protocol: ") + r.value + "\r\n");
    ASSERT_EQ(parse(req, &a), ws_handshake_status::done) << r.value;
    EXPECT_EQ(a.protocol_mqtt, r.mqtt ? 1 : 0) << "'" << r.value << "'";
  }
  // Header names are matched exactly as written.
  ws_handshake_answer a;
  ASSERT_EQ(parse(request("Sec-Websocket-Protocol: mqtt\r\n"), &a), ws_handshake_status::done);
  EXPECT_EQ(a.protocol_mqtt, 0);
}

TEST(WsHandshake, ExtensionElements) {
  struct row {
    const char* value;
    bool deflate;
  };
  const row rows[] = {
      {"permessage-deflate", true},
      {"permessage-deflate; client_max_window_bits", true},
      {"permessage-deflate;client_max_window_bits=10", true},
      {"x-webkit-deflate-frame, permessage-deflate", true},
      {"permessage-deflat", false},
      {"Permessage-deflate", false},
      {"x-webkit-deflate-frame", false},
  };
  for (const row& r : rows) {
    ws_handshake_answer a;
    std::string req = request(std::string("Sec-WebSocket-Extensions: ") + r.value + "\r\n");
    ASSERT_EQ(parse(req, &a), ws_handshake_status::done) << r.value;
    EXPECT_EQ(a.deflate, r.deflate ? 1 : 0) << r.value;
  }
}

TEST(WsHandshake, RefusedRequests) {
  const std::string ok = request("");
  struct row {
    const char* name;
    std::string text;
  };
  const row rows[] = {
      {"blank line at the start", "\r\n\r\nGET / HTTP/1.1\r\n\r\n"},
      {"blank line within the first 4 bytes", "GET\r\n\r\n"},
      {"lower-case method", "get" + ok.substr(3)},
      {"other method", "POST" + ok.substr(3)},
      {"no key", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"empty key", "GET / HTTP/1.1\r\nSec-WebSocket-Key:\r\nHost: x\r\n\r\n"},
      {"empty key at the end of the head", "GET / HTTP/1.1\r\nSec-WebSocket-Key:   \r\n\r\n"},
      {"blank before the colon", "GET / HTTP/1.1\r\nSec-WebSocket-Key : abc\r\n\r\n"},
      {"key only after the head", "GET / HTTP/1.1\r\n\r\nSec-WebSocket-Key: abc\r\n\r\n"},
      {"128-byte key", request("", std::string(128, 'k'))},
  };
  for (const row& r : rows) EXPECT_EQ(answer_to(r.text), "<fail>") << r.name;
  EXPECT_NE(answer_to(request("", std::string(127, 'k'))), "<fail>");
  EXPECT_NE(answer_to(request("", "k")), "<fail>");
}

TEST(WsHandshake, WaitsForTheBlankLineUpTo8192Bytes) {
  const std::string full = request("");
  // Every prefix of a valid request waits.
  for (size_t n = 0; n < full.size(); ++n) {
    EXPECT_EQ(answer_to(full.substr(0, n)), "<wait>") << n;
  }
  std::string head = "GET / HTTP/1.1\r\nX-Pad: ";
  head.resize(8192, 'a');
  EXPECT_EQ(answer_to(head), "<wait>");
  EXPECT_EQ(answer_to(head + "a"), "<fail>");
  // Bytes after the blank line are not part of the request.
  ws_handshake_answer a;
  std::string with_frames = full + "\x82\x80" + std::string(4, '\0');
  ASSERT_EQ(parse(with_frames, &a), ws_handshake_status::done);
  EXPECT_EQ(a.request_len, full.size());
}

TEST(WsHandshake, HeaderValueLookup) {
  auto value_of = [](std::string_view head, const char* name) -> std::string {
    const uint8_t* v = ws_header_value(bytes_of(head), head.size(), name);
    if (v == nullptr) return "<none>";
    return std::string(reinterpret_cast<const char*>(v),
                       static_cast<size_t>(bytes_of(head) + head.size() - v));
  };
  EXPECT_EQ(value_of("GET /\r\nName: \t value", "Name"), "value");
  EXPECT_EQ(value_of("GET /\r\nName:v\r\nName: w", "Name"), "v\r\nName: w");  // first match
  EXPECT_EQ(value_of("GET /\r\nname: v", "Name"), "<none>");
  EXPECT_EQ(value_of("GET /\r\nName : v", "Name"), "<none>");
  // Not tied to a line start.
  EXPECT_EQ(value_of("GET /\r\nX-Name: v", "Name"), "v");
  // The colon must leave a byte after it inside the head.
  EXPECT_EQ(value_of("GET /\r\nName:", "Name"), "<none>");
  EXPECT_EQ(value_of("GET /\r\nName: ", "Name"), "");
}

}  // namespace
}  // namespace bvm
