// "corvel/activity" end to end, scanning the real /proc.
#include <gtest/gtest.h>

#include <algorithm>

#include "host_harness.h"

namespace {

using corvel_test::ChildProcess;
using corvel_test::HostEnvironment;

// The names in a {"success": [...]} result.
std::vector<std::string> SuccessNames(JsonObject* result) {
  std::vector<std::string> names;
  JsonNode* success = result ? json_object_get_member(result, "success") : nullptr;
  if (success == nullptr || !JSON_NODE_HOLDS_ARRAY(success)) {
    ADD_FAILURE() << "not a success with a list";
    return names;
  }
  JsonArray* array = json_node_get_array(success);
  for (guint i = 0; i < json_array_get_length(array); ++i) {
    names.push_back(json_array_get_string_element(array, i));
  }
  return names;
}

TEST(ActivityChannelE2eTest, ListsProcessesThatAreRunning) {
  HostEnvironment env;
  ASSERT_TRUE(env.Start());
  // Two processes of one program give two entries of its command name.
  std::string probe = env.dir().Child("corvelprobe");
  ASSERT_EQ(symlink("/bin/sleep", probe.c_str()), 0);
  std::vector<std::unique_ptr<ChildProcess>> probes;
  for (int i = 0; i < 2; ++i) {
    g_autoptr(GError) error = nullptr;
    probes.push_back(ChildProcess::Spawn({.argv = {probe, "600"}}, &error));
    ASSERT_TRUE(probes.back()) << error->message;
  }
  auto corvel = env.LaunchCorvel();
  ASSERT_TRUE(corvel);
  ASSERT_NE(env.dart().WaitForEvent("first_frame"), nullptr);

  std::vector<std::string> names =
      SuccessNames(env.dart().CallAndWait("corvel/activity", "getRunningProcessNames", "[1]"));
  EXPECT_EQ(std::count(names.begin(), names.end(), "corvelprobe"), 2);
  EXPECT_GE(std::count(names.begin(), names.end(), "corvel"), 1);
  for (const std::string& name : names) {
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('\n'), std::string::npos) << name;
  }

  probes.clear();
  names = SuccessNames(env.dart().CallAndWait("corvel/activity", "getRunningProcessNames"));
  EXPECT_EQ(std::count(names.begin(), names.end(), "corvelprobe"), 0);
}

TEST(ActivityChannelE2eTest, MethodNameInAnotherCaseIsNotImplemented) {
  HostEnvironment env;
  ASSERT_TRUE(env.Start());
  auto corvel = env.LaunchCorvel();
  ASSERT_TRUE(corvel);
  JsonObject* result = env.dart().CallAndWait("corvel/activity", "GetRunningProcessNames");
  ASSERT_NE(result, nullptr);
  EXPECT_TRUE(json_object_get_boolean_member_with_default(result, "not_implemented", FALSE));
}

}  // namespace
