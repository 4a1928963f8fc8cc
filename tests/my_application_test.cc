// The application object outside a running session: dispose must be harmless in every state.
#include "my_application.h"

#include <gtest/gtest.h>

namespace {

TEST(MyApplicationTest, DisposeOfUnregisteredApplicationIsHarmlessTwice) {
  MyApplication* app = my_application_new();
  ASSERT_TRUE(MY_IS_APPLICATION(app));
  EXPECT_STREQ(g_get_prgname(), "corvel");
  g_autofree gchar* id = nullptr;
  g_object_get(app, "application-id", &id, nullptr);
  EXPECT_TRUE(g_str_has_suffix(id, ".corvel")) << id;
  g_object_run_dispose(G_OBJECT(app));
  g_object_run_dispose(G_OBJECT(app));
  g_object_unref(app);
}

}  // namespace
