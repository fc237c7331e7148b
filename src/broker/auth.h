// The user list that authenticates connecting clients.
//
// The host passes the list as JSON to the start call: an array of
// {"username":"...","password":"..."} objects, or an object whose "users"
// member is such an array. The list is replaced at every start and kept after
// a stop. An empty list means no authentication: every client is accepted.
#pragma once

#include <cstdint>
#include <string>

#include "broker/state.h"

namespace bvm {

struct auth_user {
  char username[128];  // NUL-terminated, at most 127 bytes
  char password[128];  // NUL-terminated, at most 127 bytes; empty when none was given
};

// The entries in the order of the JSON array; null when the list is empty.
extern auth_user* s_auth_users GUARDED_BY(s_mutex) PT_GUARDED_BY(s_mutex);
// The number of entries at the front of s_auth_users.
extern int32_t s_auth_user_count GUARDED_BY(s_mutex);

// Replaces the list with the one in auth_json (a NUL-terminated text; null or
// empty gives an empty list). Returns false with the refusal message in
// *error when the text is not JSON, has neither accepted shape, holds no
// valid user or cannot be stored; the list is then empty. An empty user array
// loads an empty list and returns true.
[[nodiscard]] bool auth_load(const char* auth_json, std::string* error) REQUIRES(s_mutex);

// Frees the list; afterwards it is empty.
void auth_clear() noexcept REQUIRES(s_mutex);

int32_t auth_user_count() noexcept REQUIRES(s_mutex);

// The credential check of CONNECT. Both texts are NUL-terminated (null counts
// as empty) and are compared cut to their first 127 bytes, as they are
// stored. Accepted when the list is empty, or when some entry has exactly this
// user name and this password (byte for byte).
bool auth_check(const char* username, const char* password) noexcept REQUIRES(s_mutex);

}  // namespace bvm
