// tools/run, which `./x run` execs: the bundle on a private Xvfb and bus when there is no display.
#include <gtest/gtest.h>
#include <signal.h>

#include "corvel_e2e.h"
#include "host_harness.h"

namespace {

using corvel_test::ChildProcess;
using corvel_test::DartDriver;
using corvel_test::TempDir;

TEST(RunScriptE2eTest, StartsCorvelHeadlessWithItsArguments) {
  TempDir dir;
  DartDriver driver;
  g_autoptr(GError) error = nullptr;
  ASSERT_TRUE(driver.Listen(dir.Child("dart.sock"), &error)) << error->message;
  auto run = ChildProcess::Spawn(
      {.argv = {CORVEL_SOURCE_DIR "/tools/run", "--from-run", "x"},
       .environment = {"PATH=" + std::string(g_getenv("PATH")), "HOME=" + dir.path(),
                       "FLUTTER_STANDIN_DART_SOCKET=" + dir.Child("dart.sock")},
       .stderr_path = dir.Child("run.stderr")},
      &error);
  ASSERT_TRUE(run) << error->message;
  JsonObject* started = driver.WaitForEvent("started");
  ASSERT_NE(started, nullptr);
  EXPECT_EQ(corvel_test::StringListMember(started, "args"),
            (std::vector<std::string>{"--from-run", "x"}));
  EXPECT_NE(driver.WaitForEvent("first_frame"), nullptr);

  run->Signal(SIGTERM);
  EXPECT_TRUE(run->WaitForExit().has_value());
  EXPECT_TRUE(corvel_test::HasNoLoggedProblems(run->Stderr()));
}

}  // namespace
