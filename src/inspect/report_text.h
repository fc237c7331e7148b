// How the host reports write texts: up to the first NUL, and with every
// invalid UTF-8 sequence shown as U+FFFD, so one binary payload, topic or
// client identifier never blanks a whole report.
#pragma once

#include <cstring>

#include "storage/json.h"

namespace bvm {

inline void write_report_text(json_writer& w, const char* text) {
  write_lossy_string(w, text, std::strlen(text));
}

}  // namespace bvm
