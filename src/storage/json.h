// JSON in one place: how documents are parsed, how members are looked up, how
// output is written, and the UTF-8 rules that go with them.
//
// Reading accepts standard JSON only: no comments, trailing commas, NaN or
// Infinity, no byte order mark, and strings must be valid UTF-8. Output is
// compact; the writer escapes only '"', '\\' and control characters, so '/'
// and non-ASCII UTF-8 appear as they are, and it refuses a string that is not
// valid UTF-8 (the caller then drops the whole document), except where a
// report writes strings lossily with write_lossy_string().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace bvm {

// The parse flags every reader uses. The iterative parser accepts the same
// texts as the recursive one but keeps deep nesting off the call stack, so a
// hostile "[[[[..." cannot overflow the thread's stack.
inline constexpr unsigned JSON_PARSE_FLAGS =
    rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;

// Compact output that refuses strings that are not valid UTF-8.
using json_writer =
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                      rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>;

// Parses text[0, len) as one standard JSON document into *doc. Returns false
// unless the text is exactly one JSON value with optional white space around
// it: a byte order mark, a zero byte after the value, a string that is not
// valid UTF-8 or that holds an unpaired surrogate escape are all refused.
// On false *doc holds no usable value.
[[nodiscard]] bool parse_json(rapidjson::Document* doc, const char* text, size_t len);

// The first member of obj whose name is exactly `name`, or null when there is
// none or obj is not an object. When a key occurs twice the first one counts.
const rapidjson::Value* find_first_member(const rapidjson::Value& obj, const char* name) noexcept;

// True when bytes[0, n) is well-formed UTF-8 without a zero byte: no overlong
// forms, no surrogates (U+D800..U+DFFF), nothing above U+10FFFF, no sequence
// cut short by the end. The empty string is valid.
bool fs_valid_utf8(const uint8_t* bytes, size_t n) noexcept;

// Appends bytes[0, len) to *out as the inside of a JSON string, escaped
// exactly as json_writer escapes, when they are valid by fs_valid_utf8.
// Otherwise returns false, and what was appended is unspecified (the caller
// cuts it off). One pass checks and escapes, where fs_valid_utf8 followed
// by write_checked_string would read the text three times.
[[nodiscard]] bool append_json_text(std::string* out, const uint8_t* bytes, size_t len);

// Appends bytes[0, len) to *out, replacing each maximal invalid subsequence
// (the longest prefix of a well-formed sequence, or else one byte) by U+FFFD,
// as WHATWG decoders do. Zero bytes are valid and copied.
void append_utf8_lossy(std::string* out, const char* bytes, size_t len);

// Writes bytes[0, len) as a JSON string value, each maximal invalid UTF-8
// subsequence shown as U+FFFD, so a binary payload never makes the writer
// refuse the document.
void write_lossy_string(json_writer& w, const char* bytes, size_t len);

// Writes bytes[0, len) as a JSON string value after checking it is valid
// UTF-8 (zero bytes allowed, written as \u0000); false, with nothing written,
// when it is not. Use this rather than json_writer::String for byte ranges
// that are not NUL-terminated: the writer's own check reads past the end of
// a multi-byte sequence cut short by `len`.
[[nodiscard]] bool write_checked_string(json_writer& w, const char* bytes, size_t len);

}  // namespace bvm
