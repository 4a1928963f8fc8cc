#include <gtest/gtest.h>

#include "host_harness.h"

namespace {

using corvel_test::HostEnvironment;

TEST(CorvelTest, Starts) {
  HostEnvironment env;
  ASSERT_TRUE(env.Start());
  auto corvel = env.LaunchCorvel({.args = {"a", "b"}});
  ASSERT_TRUE(corvel);
  JsonObject* frame = env.dart().WaitForEvent("first_frame");
  ASSERT_NE(frame, nullptr);
  for (JsonObject* e : env.dart().events()) {
    g_autoptr(JsonNode) n = json_node_init_object(json_node_alloc(), e);
    g_autofree gchar* t = json_to_string(n, FALSE);
    printf("%s\n", t);
  }
}

}  // namespace
