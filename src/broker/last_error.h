// The last-error text shared by every exported call.
//
// Writers format under a lock of their own, so concurrent writers (host
// threads, the network thread, the storage writer) never tear or overrun the
// text. mqtt_last_error() hands the host a copy taken under that lock, so a
// host thread never reads a text that another thread is rewriting.
#pragma once

namespace bvm {

// Sets the last error to text, cut to 1023 bytes.
void set_last_error(const char* text) noexcept;
// Empties the last error (only the start call does this).
void clear_last_error() noexcept;
// A copy of the text for mqtt_last_error(), owned by the calling thread and
// valid until that thread's next call.
const char* last_error_buffer() noexcept;

}  // namespace bvm
