// Loading the user list from the host's JSON and checking credentials.
#include "broker/auth.h"

#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/text.h"
#include "storage/json.h"

namespace bvm {

auth_user* s_auth_users = nullptr;
int32_t s_auth_user_count = 0;

namespace {

constexpr const char* REFUSE_NOT_JSON =
    "auth_json is not valid JSON; refusing to start an unauthenticated broker";
constexpr const char* REFUSE_SHAPE =
    "auth_json must be an array of users or {\"users\":[...]}; refusing to start an "
    "unauthenticated broker";
constexpr const char* REFUSE_NO_MEMORY = "out of memory while loading auth_json";
constexpr const char* REFUSE_NO_USERS =
    "auth_json contains no valid users (each needs a \"username\"); refusing to start an "
    "unauthenticated broker";

// The user array of the document: the root when it is an array, else the
// first "users" member of a non-empty root object when that is an array.
const rapidjson::Value* find_user_array(const rapidjson::Value& root) noexcept {
  if (root.IsArray()) return &root;
  if (!root.IsObject() || root.ObjectEmpty()) return nullptr;
  const rapidjson::Value* users = find_first_member(root, "users");
  return users != nullptr && users->IsArray() ? users : nullptr;
}

// Fills *entry from one element of the user array; false when the element
// is not a user (not an object, empty, or without a string "username").
bool read_user(const rapidjson::Value& element, auth_user* entry) noexcept {
  if (!element.IsObject() || element.ObjectEmpty()) return false;
  const rapidjson::Value* name = find_first_member(element, "username");
  if (name == nullptr || !name->IsString()) return false;
  // copy_text stops at a zero byte inside the string, as the NUL-terminated
  // comparison at CONNECT would.
  copy_text(entry->username, name->GetString(), name->GetStringLength());
  const rapidjson::Value* password = find_first_member(element, "password");
  if (password != nullptr && password->IsString()) {
    copy_text(entry->password, password->GetString(), password->GetStringLength());
  }
  return true;
}

}  // namespace

void auth_clear() noexcept {
  std::free(s_auth_users);
  s_auth_users = nullptr;
  s_auth_user_count = 0;
}

int32_t auth_user_count() noexcept { return s_auth_user_count; }

bool auth_load(const char* auth_json, std::string* error) {
  auth_clear();
  if (auth_json == nullptr || auth_json[0] == '\0') return true;

  rapidjson::Document doc;
  if (!parse_json(&doc, auth_json, std::strlen(auth_json))) {
    *error = REFUSE_NOT_JSON;
    return false;
  }
  const rapidjson::Value* users = find_user_array(doc);
  if (users == nullptr) {
    *error = REFUSE_SHAPE;
    return false;
  }
  const rapidjson::SizeType n = users->Size();
  if (n == 0) return true;  // an empty list: no authentication

  auth_user* list = nullptr;
  if (n <= static_cast<rapidjson::SizeType>(INT32_MAX) && !alloc_should_fail()) {
    list = static_cast<auth_user*>(std::calloc(n, sizeof(auth_user)));
  }
  if (list == nullptr) {
    *error = REFUSE_NO_MEMORY;
    return false;
  }
  int32_t count = 0;
  for (const rapidjson::Value& element : users->GetArray()) {
    if (read_user(element, &list[count])) ++count;
  }
  if (count == 0) {
    std::free(list);
    *error = REFUSE_NO_USERS;
    return false;
  }
  s_auth_users = list;
  s_auth_user_count = count;
  return true;
}

bool auth_check(const char* username, const char* password) noexcept {
  if (s_auth_user_count == 0) return true;
  char name[sizeof(auth_user::username)];
  char pass[sizeof(auth_user::password)];
  copy_text(name, username);
  copy_text(pass, password);
  for (int32_t i = 0; i < s_auth_user_count; ++i) {
    const auth_user& u = s_auth_users[i];
    if (std::strcmp(u.username, name) == 0 && std::strcmp(u.password, pass) == 0) return true;
  }
  return false;
}

}  // namespace bvm
