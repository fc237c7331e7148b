// The user list the host passes to the start call: any text through
// auth_load, then the loaded list checked against what CONNECT relies on.
#include <cstring>
#include <string>

#include "broker/auth.h"
#include "broker/state.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace bvm;
  // The host's text is NUL-terminated; anything after a zero byte is unseen.
  std::string text(reinterpret_cast<const char*>(data), size);
  lock_guard lock(s_mutex);
  std::string error;
  bool ok = auth_load(text.c_str(), &error);
  FUZZ_CHECK(ok == error.empty());
  FUZZ_CHECK(auth_user_count() >= 0);
  if (!ok) {
    // A refused list leaves no users behind (and no authentication to skip).
    FUZZ_CHECK(auth_user_count() == 0 && s_auth_users == nullptr);
  }
  for (int32_t i = 0; i < auth_user_count(); ++i) {
    const auth_user& u = s_auth_users[i];
    FUZZ_CHECK(std::memchr(u.username, '\0', sizeof u.username) != nullptr);
    FUZZ_CHECK(std::memchr(u.password, '\0', sizeof u.password) != nullptr);
    // Every loaded user can log in with its own credentials.
    FUZZ_CHECK(auth_check(u.username, u.password));
  }
  auth_clear();
  FUZZ_CHECK(auth_user_count() == 0);
  return 0;
}
