// Loading the user list from JSON and the credential check of CONNECT.
#include "broker/auth.h"

#include <gtest/gtest.h>

#include <string>

#include "base/alloc.h"

namespace bvm {
namespace {

constexpr const char* NOT_JSON =
    "auth_json is not valid JSON; refusing to start an unauthenticated broker";
constexpr const char* BAD_SHAPE =
    "auth_json must be an array of users or {\"users\":[...]}; refusing to start an "
    "unauthenticated broker";
constexpr const char* NO_MEMORY = "out of memory while loading auth_json";
constexpr const char* NO_USERS =
    "auth_json contains no valid users (each needs a \"username\"); refusing to start an "
    "unauthenticated broker";

// Each test runs in a process of its own, but a test may load several lists.
class Auth : public ::testing::Test {
 protected:
  void TearDown() override {
    lock_guard lock(s_mutex);
    auth_clear();
  }
  static bool load(const std::string& json, std::string* error) {
    lock_guard lock(s_mutex);
    return auth_load(json.c_str(), error);
  }
  static void load_ok(const std::string& json) {
    std::string error;
    ASSERT_TRUE(load(json, &error)) << error;
  }
  static bool check(const char* user, const char* pass) {
    lock_guard lock(s_mutex);
    return auth_check(user, pass);
  }
  static int32_t count() {
    lock_guard lock(s_mutex);
    return auth_user_count();
  }
};

struct load_case {
  const char* json;
  const char* refusal;  // null when the list loads
  int32_t users;        // entries after loading
};

TEST_F(Auth, LoadsAcceptedShapesAndRefusesTheRest) {
  const load_case cases[] = {
      {"[]", nullptr, 0},
      {R"({"users":[]})", nullptr, 0},
      {R"( [ {"username":"a","password":"p"} ] )", nullptr, 1},
      {R"({"other":1,"users":[{"username":"a"},{"username":"b"}],"more":{}})", nullptr, 2},
      {R"([{"username":"a"},5,"x",null,[],{},{"password":"p"},{"username":3},{"username":"b"}])",
       nullptr, 2},
      {R"({"users":{"username":"a"}})", BAD_SHAPE, 0},
      {R"({"users":"a"})", BAD_SHAPE, 0},
      {R"({"Users":[{"username":"a"}]})", BAD_SHAPE, 0},
      {R"({"users":5,"users":[{"username":"a"}]})", BAD_SHAPE, 0},
      {R"("users")", BAD_SHAPE, 0},
      {"{}", BAD_SHAPE, 0},
      {"null", BAD_SHAPE, 0},
      {"42", BAD_SHAPE, 0},
      {"true", BAD_SHAPE, 0},
      {"not json", NOT_JSON, 0},
      {R"([{"username":"a"},])", NOT_JSON, 0},
      {R"([{"username":"a",}])", NOT_JSON, 0},
      {R"(// users
          [{"username":"a"}])",
       NOT_JSON, 0},
      {R"([{"username":"a"}] /* c */)", NOT_JSON, 0},
      {"\xEF\xBB\xBF[{\"username\":\"a\"}]", NOT_JSON, 0},
      {"[{\"username\":\"a\xFF\"}]", NOT_JSON, 0},
      {"[{\"username\":\"\xC0\xAF\"}]", NOT_JSON, 0},
      {R"([{"username":"\udc00"}])", NOT_JSON, 0},
      {R"([{"username":NaN}])", NOT_JSON, 0},
      {R"([{"username":"a"}][])", NOT_JSON, 0},
      {R"([{"name":"a"},7])", NO_USERS, 0},
      {R"({"users":[{},{"username":null},{"username":["a"]}]})", NO_USERS, 0},
  };
  for (const load_case& c : cases) {
    // A refusal must also drop the list an earlier start left behind.
    load_ok(R"([{"username":"previous"}])");
    std::string error = "untouched";
    const bool ok = load(c.json, &error);
    EXPECT_EQ(ok, c.refusal == nullptr) << c.json;
    if (c.refusal != nullptr) {
      EXPECT_EQ(error, c.refusal) << c.json;
    }
    EXPECT_EQ(count(), c.users) << c.json;
    lock_guard lock(s_mutex);
    EXPECT_EQ(s_auth_users == nullptr, c.users == 0) << c.json;
  }
}

TEST_F(Auth, EmptyListAcceptsEveryone) {
  for (const char* json : {"", "[]", R"({"users":[]})"}) {
    load_ok(json);
    EXPECT_TRUE(check("", "")) << json;
    EXPECT_TRUE(check("anyone", "anything")) << json;
    EXPECT_TRUE(check(nullptr, nullptr)) << json;
  }
}

TEST_F(Auth, UserWithoutPasswordMatchesOnlyAnEmptyPassword) {
  // A password that is not a string counts as none.
  for (const char* json : {R"([{"username":"a"}])", R"([{"username":"a","password":42}])",
                           R"([{"username":"a","password":null}])"}) {
    load_ok(json);
    EXPECT_TRUE(check("a", "")) << json;
    EXPECT_TRUE(check("a", nullptr)) << json;
    EXPECT_FALSE(check("a", "x")) << json;
    EXPECT_FALSE(check("b", "")) << json;
    EXPECT_FALSE(check("", "")) << json;
  }
}

TEST_F(Auth, ComparesExactBytesOfBothFields) {
  load_ok(R"([{"username":"alice","password":"s3cret"},{"username":"bob","password":"pw"}])");
  EXPECT_TRUE(check("alice", "s3cret"));
  EXPECT_TRUE(check("bob", "pw"));
  EXPECT_FALSE(check("alice", "pw"));  // another entry's password
  EXPECT_FALSE(check("Alice", "s3cret"));
  EXPECT_FALSE(check("alice", "S3cret"));
  EXPECT_FALSE(check("alice", "s3cre"));
  EXPECT_FALSE(check("alice", "s3crets"));
  EXPECT_FALSE(check("alic", "s3cret"));
  EXPECT_FALSE(check("", ""));
}

TEST_F(Auth, FirstOfDuplicateKeysCounts) {
  load_ok(R"([{"username":"first","password":"p1","username":"second","password":"p2"}])");
  EXPECT_TRUE(check("first", "p1"));
  EXPECT_FALSE(check("second", "p2"));
  EXPECT_FALSE(check("first", "p2"));
  // A first "username" that is not a string makes the entry invalid, even
  // when a later one is a string.
  std::string error;
  EXPECT_FALSE(load(R"([{"username":1,"username":"a"}])", &error));
  EXPECT_EQ(error, NO_USERS);
}

TEST_F(Auth, SameUserWithTwoPasswordsAcceptsEither) {
  load_ok(R"({"users":[{"username":"u","password":"one"},{"username":"u","password":"two"}]})");
  EXPECT_EQ(count(), 2);
  EXPECT_TRUE(check("u", "one"));
  EXPECT_TRUE(check("u", "two"));
  EXPECT_FALSE(check("u", "three"));
}

TEST_F(Auth, EmptyUserNameMatchesAbsentCredentials) {
  load_ok(R"([{"username":""},{"username":"x","password":"y"}])");
  EXPECT_TRUE(check("", ""));
  EXPECT_TRUE(check(nullptr, nullptr));
  EXPECT_FALSE(check("", "y"));
  EXPECT_TRUE(check("x", "y"));
}

TEST_F(Auth, LongNamesAndPasswordsAreCutTo127Bytes) {
  const std::string name(200, 'n');
  const std::string pass = std::string(127, 'p') + "TAIL";
  load_ok(R"([{"username":")" + name + R"(","password":")" + pass + R"("}])");
  {
    lock_guard lock(s_mutex);
    ASSERT_EQ(s_auth_user_count, 1);
    EXPECT_EQ(std::string(s_auth_users[0].username), name.substr(0, 127));
    EXPECT_EQ(std::string(s_auth_users[0].password), pass.substr(0, 127));
  }
  // The CONNECT fields are cut the same way, so any text with the same first
  // 127 bytes matches.
  EXPECT_TRUE(check(name.substr(0, 127).c_str(), pass.substr(0, 127).c_str()));
  EXPECT_TRUE(check(name.c_str(), pass.c_str()));
  EXPECT_TRUE(check((name.substr(0, 127) + "other").c_str(), (pass.substr(0, 127) + "x").c_str()));
  EXPECT_FALSE(check(name.substr(0, 126).c_str(), pass.substr(0, 127).c_str()));
  EXPECT_FALSE(check(name.substr(0, 127).c_str(), pass.substr(0, 126).c_str()));
}

TEST_F(Auth, NameWithZeroByteEndsAtIt) {
  load_ok(R"([{"username":"ab\u0000cd","password":"\u0000secret"}])");
  EXPECT_TRUE(check("ab", ""));
  EXPECT_FALSE(check("ab", "secret"));
  EXPECT_FALSE(check("abcd", ""));
}

TEST_F(Auth, NonAsciiNamesCompareBytewise) {
  load_ok("[{\"username\":\"j\xC3\xBCrgen\",\"password\":\"\\u00fc/\"}]");
  EXPECT_TRUE(check("j\xC3\xBCrgen", "\xC3\xBC/"));
  EXPECT_FALSE(check("jurgen", "\xC3\xBC/"));
}

TEST_F(Auth, OutOfMemoryRefusesAndLeavesTheListEmpty) {
  load_ok(R"([{"username":"previous"}])");
  test_fail_nth_alloc(1);
  std::string error;
  EXPECT_FALSE(load(R"([{"username":"a","password":"b"}])", &error));
  test_fail_nth_alloc(0);
  EXPECT_EQ(error, NO_MEMORY);
  EXPECT_EQ(count(), 0);
  EXPECT_TRUE(check("anyone", ""));
  // The next load works again.
  load_ok(R"([{"username":"a","password":"b"}])");
  EXPECT_FALSE(check("anyone", ""));
  EXPECT_TRUE(check("a", "b"));
}

TEST_F(Auth, ClearEmptiesTheList) {
  load_ok(R"([{"username":"a"}])");
  EXPECT_FALSE(check("b", ""));
  {
    lock_guard lock(s_mutex);
    auth_clear();
    auth_clear();  // twice is harmless
    EXPECT_EQ(s_auth_users, nullptr);
  }
  EXPECT_EQ(count(), 0);
  EXPECT_TRUE(check("b", ""));
}

}  // namespace
}  // namespace bvm
