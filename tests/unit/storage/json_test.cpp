// Strict JSON reading, first-member lookup, the writer's escaping, and the
// strict and lossy UTF-8 rules.
#include "storage/json.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace bvm {
namespace {

bool parses(std::string_view text) {
  rapidjson::Document doc;
  return parse_json(&doc, text.data(), text.size());
}

struct parse_case {
  const char* what;
  std::string_view text;
  bool accepted;
};

TEST(ParseJson, AcceptsStandardJsonOnly) {
  using namespace std::string_view_literals;
  const parse_case cases[] = {
      {"array", "[]"sv, true},
      {"object with white space around", " \t\r\n{\"a\":[1,2.5,-3e2,true,false,null]} \n"sv, true},
      {"scalar roots", "\"x\""sv, true},
      {"null root", "null"sv, true},
      {"non-ASCII UTF-8 and escapes", "[\"caf\xC3\xA9 \xF0\x9F\x98\x80 \\u00e9 \\/\"]"sv, true},
      {"surrogate pair escape", "[\"\\uD83D\\uDE00\"]"sv, true},
      {"escaped backslash before uDC00 text", "[\"\\\\uDC00\"]"sv, true},
      {"empty text", ""sv, false},
      {"white space only", "  "sv, false},
      {"not JSON", "users: a"sv, false},
      {"unterminated", "[{\"username\":\"a\"}"sv, false},
      {"two roots", "[] []"sv, false},
      {"trailing comma in array", "[1,]"sv, false},
      {"trailing comma in object", "{\"a\":1,}"sv, false},
      {"line comment", "[] // c"sv, false},
      {"block comment", "/* c */ []"sv, false},
      {"NaN", "[NaN]"sv, false},
      {"Infinity", "[Infinity]"sv, false},
      {"negative Infinity", "[-Infinity]"sv, false},
      {"single quotes", "['a']"sv, false},
      {"byte order mark", "\xEF\xBB\xBF[]"sv, false},
      {"stray byte order mark byte", "\xBB[]"sv, false},
      {"raw control character in string", "[\"a\x01\"]"sv, false},
      {"invalid byte in string", "[\"a\xFF\"]"sv, false},
      {"overlong in string", "[\"\xC0\xAF\"]"sv, false},
      {"encoded surrogate in string", "[\"\xED\xA0\x80\"]"sv, false},
      {"above U+10FFFF in string", "[\"\xF4\x90\x80\x80\"]"sv, false},
      {"truncated sequence in string", "[\"\xE2\x82\"]"sv, false},
      {"lone high surrogate escape", "[\"\\uD800\"]"sv, false},
      {"lone low surrogate escape", "[\"\\uDC00\"]"sv, false},
      {"lone low surrogate after a pair", "[\"\\uD83D\\uDE00\\uDE00\"]"sv, false},
      {"lone low surrogate in a key", "{\"\\udfff\":1}"sv, false},
      {"zero byte after the document", "[]\0garbage"sv, false},
      {"zero byte after white space", "[] \0"sv, false},
  };
  for (const parse_case& c : cases) {
    EXPECT_EQ(parses(c.text), c.accepted) << c.what;
  }
}

TEST(ParseJson, DeepNestingDoesNotExhaustTheStack) {
  // The recursive reader overflows an 8 MiB stack long before this depth.
  const size_t depth = 1000000;
  std::string balanced(depth, '[');
  balanced.append(depth, ']');
  EXPECT_TRUE(parses(balanced));
  EXPECT_FALSE(parses(std::string(depth, '[')));
}

TEST(ParseJson, ReadsOnlyTheGivenLength) {
  const char text[] = "[1][2]";
  rapidjson::Document doc;
  ASSERT_TRUE(parse_json(&doc, text, 3));
  ASSERT_TRUE(doc.IsArray());
  EXPECT_EQ(doc[0].GetInt(), 1);
}

TEST(FindFirstMember, FirstOfEqualKeysCounts) {
  rapidjson::Document doc;
  const std::string_view text = R"({"k":"first","k\u0000x":"nul","k":"second","kk":3})";
  ASSERT_TRUE(parse_json(&doc, text.data(), text.size()));
  const rapidjson::Value* v = find_first_member(doc, "k");
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v->GetString(), "first");
  EXPECT_EQ(find_first_member(doc, "missing"), nullptr);
  EXPECT_EQ(find_first_member(doc, ""), nullptr);
  // Not an object: no member, and no assertion inside the library.
  rapidjson::Document arr;
  ASSERT_TRUE(parse_json(&arr, "[1]", 3));
  EXPECT_EQ(find_first_member(arr, "k"), nullptr);
}

std::string written(void (*body)(json_writer&)) {
  rapidjson::StringBuffer buf;
  json_writer w(buf);
  body(w);
  return std::string(buf.GetString(), buf.GetSize());
}

TEST(JsonWriter, EscapesOnlyQuoteBackslashAndControls) {
  const std::string out = written([](json_writer& w) {
    w.StartObject();
    w.Key("t");
    const char text[] = "a/b \"q\" \\ \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 \x7F\n\t\x01\x1F";
    w.String(text, sizeof text - 1);
    w.Key("z");
    w.String("x\0y", 3);
    w.EndObject();
  });
  EXPECT_EQ(
      out,
      "{\"t\":\"a/b \\\"q\\\" \\\\ \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 \x7F\\n\\t\\u0001\\u001F\","
      "\"z\":\"x\\u0000y\"}");
}

TEST(JsonWriter, RefusesInvalidUtf8) {
  rapidjson::StringBuffer buf;
  json_writer w(buf);
  w.StartArray();
  EXPECT_FALSE(w.String("\xFF\xFE", 2));
}

TEST(WriteCheckedString, RefusesSequenceCutByLength) {
  // The bytes after len complete the sequence; the writer's own check would
  // read them and write U+20AC.
  const char euro[] = "\xE2\x82\xAC";
  rapidjson::StringBuffer buf;
  json_writer w(buf);
  w.StartArray();
  EXPECT_FALSE(write_checked_string(w, euro, 2));
  EXPECT_TRUE(write_checked_string(w, euro, 3));
  EXPECT_TRUE(write_checked_string(w, "a\0b", 3));
  EXPECT_FALSE(write_checked_string(w, "\xED\xA0\x80", 3));
  w.EndArray();
  EXPECT_STREQ(buf.GetString(), "[\"\xE2\x82\xAC\",\"a\\u0000b\"]");
}

TEST(WriteLossyString, BinaryPayloadKeepsTheDocument) {
  const std::string out = written([](json_writer& w) {
    w.StartArray();
    write_lossy_string(w, "ok\xFF\xFE/\xE2\x82", 7);
    write_lossy_string(w, "\xE2\x82\xAC", 2);  // cut by the length, not by the text
    write_lossy_string(w, "", 0);
    w.EndArray();
  });
  EXPECT_EQ(out, "[\"ok\xEF\xBF\xBD\xEF\xBF\xBD/\xEF\xBF\xBD\",\"\xEF\xBF\xBD\",\"\"]");
}

// The log's own escaper must write what json_writer writes, and accept
// exactly what fs_valid_utf8 accepts. Differential over every single byte,
// every byte pair, and random strings biased towards awkward bytes.
TEST(AppendJsonText, MatchesTheWriterAndTheStrictCheck) {
  auto check = [](const std::string& bytes) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    std::string mine = "<";
    bool ok = append_json_text(&mine, p, bytes.size());
    ASSERT_EQ(ok, fs_valid_utf8(p, bytes.size())) << testing::PrintToString(bytes);
    if (!ok) return;
    rapidjson::StringBuffer buf;
    json_writer w(buf);
    ASSERT_TRUE(write_checked_string(w, bytes.data(), bytes.size()));
    std::string theirs(buf.GetString(), buf.GetSize());
    ASSERT_EQ(mine, "<" + theirs.substr(1, theirs.size() - 2)) << testing::PrintToString(bytes);
  };
  for (int a = 0; a < 256; ++a) {
    for (int b = -1; b < 256; ++b) {
      std::string s(1, static_cast<char>(a));
      if (b >= 0) s += static_cast<char>(b);
      check(s);
    }
  }
  const char awkward[] = {'"',    '\\',   '/',    'a',    '\x01', '\x1F', '\x7F', '\n',
                          '\xC3', '\xA9', '\xE2', '\x82', '\xAC', '\xF0', '\x9F', '\x98',
                          '\x80', '\xED', '\xA0', '\xF4', '\x8F', '\xBF', '\xFF', '\0'};
  uint32_t seed = 12345;
  for (int n = 0; n < 20000; ++n) {
    std::string s;
    auto len = static_cast<size_t>(n % 17);
    for (size_t i = 0; i < len; ++i) {
      seed = seed * 1103515245u + 12345u;
      s += awkward[(seed >> 16) % sizeof awkward];
    }
    check(s);
  }
}

struct utf8_case {
  const char* what;
  std::string_view bytes;
  bool valid;              // fs_valid_utf8
  std::string_view lossy;  // append_utf8_lossy
};

#define R3 "\xEF\xBF\xBD"

TEST(Utf8, StrictAndLossyAgreeOnEverySequence) {
  using namespace std::string_view_literals;
  const utf8_case cases[] = {
      {"empty", ""sv, true, ""sv},
      {"ASCII", "topic/a b"sv, true, "topic/a b"sv},
      {"zero byte", "a\0b"sv, false, "a\0b"sv},
      {"2-byte U+0080 and U+07FF", "\xC2\x80\xDF\xBF"sv, true, "\xC2\x80\xDF\xBF"sv},
      {"3-byte U+0800, U+D7FF, U+E000, U+FFFF",
       "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"sv, true,
       "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"sv},
      {"4-byte U+10000 and U+10FFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"sv, true,
       "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"sv},
      {"overlong C0 80", "\xC0\x80"sv, false, R3 R3 ""sv},
      {"overlong C0 AF", "\xC0\xAF"sv, false, R3 R3 ""sv},
      {"overlong C1 BF", "\xC1\xBF"sv, false, R3 R3 ""sv},
      {"overlong E0 80 80", "\xE0\x80\x80"sv, false, R3 R3 R3 ""sv},
      {"overlong E0 9F BF", "\xE0\x9F\xBF"sv, false, R3 R3 R3 ""sv},
      {"overlong F0 80 80", "\xF0\x80\x80"sv, false, R3 R3 R3 ""sv},
      {"overlong F0 8F BF BF", "\xF0\x8F\xBF\xBF"sv, false, R3 R3 R3 R3 ""sv},
      {"surrogate ED A0 80", "\xED\xA0\x80"sv, false, R3 R3 R3 ""sv},
      {"surrogate ED BF BF", "\xED\xBF\xBF"sv, false, R3 R3 R3 ""sv},
      {"above U+10FFFF F4 90 80 80", "\xF4\x90\x80\x80"sv, false, R3 R3 R3 R3 ""sv},
      {"lead F5", "\xF5\x80\x80\x80"sv, false, R3 R3 R3 R3 ""sv},
      {"FF FE", "\xFF\xFE"sv, false, R3 R3 ""sv},
      {"lone continuation", "a\x80z"sv, false, "a" R3 "z"sv},
      {"truncated 2-byte at end", "a\xC3"sv, false, "a" R3 ""sv},
      {"truncated 3-byte at end", "\xE2\x82"sv, false, R3 ""sv},
      {"truncated 4-byte at end", "\xF0\x9F\x98"sv, false, R3 ""sv},
      {"truncated 3-byte then ASCII", "\xE2\x82z"sv, false, R3 "z"sv},
      {"truncated 4-byte then valid 2-byte", "\xF0\x9F\xC3\xA9"sv, false, R3 "\xC3\xA9"sv},
      {"valid around invalid", "\xC3\xA9\xFF\xE2\x82\xAC"sv, false, "\xC3\xA9" R3 "\xE2\x82\xAC"sv},
  };
  for (const utf8_case& c : cases) {
    const auto* p = reinterpret_cast<const uint8_t*>(c.bytes.data());
    EXPECT_EQ(fs_valid_utf8(p, c.bytes.size()), c.valid) << c.what;
    std::string out = "<";
    append_utf8_lossy(&out, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(out, "<" + std::string(c.lossy)) << c.what;
  }
}

#undef R3

TEST(Utf8, EveryTwoByteLeadAgreesWithTheReader) {
  // Cross-check against the JSON reader's own validation for every lead
  // byte followed by every second byte (and a padding continuation).
  for (int a = 0x80; a <= 0xFF; ++a) {
    for (int b = 0; b <= 0xFF; ++b) {
      if (b == '"' || b == '\\' || b < 0x20) continue;
      const char seq[] = {static_cast<char>(a), static_cast<char>(b), '\x80', '\x80'};
      for (size_t len = 2; len <= 4; ++len) {
        std::string doc = "[\"" + std::string(seq, len) + "\"]";
        const bool strict = fs_valid_utf8(reinterpret_cast<const uint8_t*>(seq), len);
        ASSERT_EQ(strict, parses(doc)) << std::hex << a << ' ' << b << " len " << len;
        std::string lossy;
        append_utf8_lossy(&lossy, seq, len);
        ASSERT_TRUE(fs_valid_utf8(reinterpret_cast<const uint8_t*>(lossy.data()), lossy.size()));
        if (strict) {
          ASSERT_EQ(lossy, std::string(seq, len));
        }
      }
    }
  }
}

}  // namespace
}  // namespace bvm
