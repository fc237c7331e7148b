// Path joining and the storage warning, shared by every storage file.
#include <cstring>
#include <string>

#include "base/text.h"
#include "broker/last_error.h"
#include "os/file.h"
#include "storage/fs_state.h"

namespace bvm {
namespace {

constexpr size_t WARNING_MAX = 511;

// Length of text[0, len) without a UTF-8 sequence that the cut at len left
// incomplete, so a shortened warning stays valid UTF-8 when its parts were.
size_t utf8_safe_cut(const char* text, size_t len) noexcept {
  size_t lead = len;
  size_t back = 0;
  while (lead > 0 && back < 4) {
    --lead;
    ++back;
    auto b = static_cast<uint8_t>(text[lead]);
    if ((b & 0xC0) != 0x80) {
      size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
      return need > back ? lead : len;
    }
  }
  return len;
}

}  // namespace

void fs_join(char* out, size_t size, const char* name) noexcept {
  if (size == 0) return;
  size_t dir_len = std::strlen(s_fs_dir);
  bool ends_with_separator = dir_len > 0 && os::is_path_separator(s_fs_dir[dir_len - 1]);
  size_t n = 0;
  auto put = [&](const char* s) {
    for (; *s != '\0' && n + 1 < size; ++s) out[n++] = *s;
  };
  put(s_fs_dir);
  if (!ends_with_separator) put("/");
  put(name);
  out[n] = '\0';
}

void fs_set_warning(const char* format, const char* text) noexcept {
  char warning[WARNING_MAX + 1];
  size_t n = 0;
  bool cut = false;
  auto put = [&](const char* s, size_t len) {
    for (size_t i = 0; i < len; ++i) {
      if (n == WARNING_MAX) {
        cut = true;
        return;
      }
      warning[n++] = s[i];
    }
  };
  if (text == nullptr) text = "";
  bool substituted = false;
  for (const char* p = format; *p != '\0' && !cut; ++p) {
    if (p[0] == '%' && p[1] == 's' && !substituted) {
      put(text, std::strlen(text));
      substituted = true;
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      put("%", 1);
      ++p;
    } else {
      put(p, 1);
    }
  }
  if (cut) n = utf8_safe_cut(warning, n);
  warning[n] = '\0';
  {
    lock_guard lock(s_fs_qmutex);
    copy_text(s_fs_warning, warning);
  }
  set_last_error(warning);
}

}  // namespace bvm
