// The application shell end to end: the bundle under a private Xvfb and session bus.
#include <gtest/gtest.h>
#include <signal.h>

#include "corvel_e2e.h"
#include "host_harness.h"
#include "x_probe.h"

namespace {

using corvel_test::EnvironmentOptions;
using corvel_test::HasNoLoggedProblems;
using corvel_test::HostEnvironment;
using corvel_test::LaunchOptions;
using corvel_test::StringListMember;
using corvel_test::XProbe;

constexpr char kProgram[] = "corvel";

// corvel running with its window on screen.
struct ShownCorvel {
  HostEnvironment env;
  std::unique_ptr<corvel_test::ChildProcess> corvel;
  std::unique_ptr<XProbe> probe;
  corvel_test::XWindow window = 0;
};

void StartAndWaitForWindow(ShownCorvel* shown, const EnvironmentOptions& env_options = {},
                           const LaunchOptions& launch_options = {}) {
  ASSERT_TRUE(shown->env.Start(env_options));
  shown->corvel = shown->env.LaunchCorvel(launch_options);
  ASSERT_TRUE(shown->corvel);
  shown->probe = std::make_unique<XProbe>(shown->env.display());
  ASSERT_TRUE(shown->probe->connected());
  std::optional<corvel_test::XWindow> window =
      corvel_test::WaitForViewableMainWindow(*shown->probe, kProgram);
  ASSERT_TRUE(window);
  shown->window = *window;
}

TEST(MyApplicationE2eTest, DartEntryPointGetsEveryArgumentAfterTheProgramName) {
  struct Case {
    const char* label;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {.label = "none", .args = {}},
      {.label = "several", .args = {"a", "b", "two words"}},
      // The host interprets no option itself, GApplication's included.
      {.label = "options", .args = {"--help", "--gapplication-service", "-v"}},
  };
  HostEnvironment env;
  ASSERT_TRUE(env.Start());
  size_t launch = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto corvel = env.LaunchCorvel({.args = c.args});
    ASSERT_TRUE(corvel);
    JsonObject* started = env.dart().WaitForEvent("started", launch++);
    ASSERT_NE(started, nullptr);
    EXPECT_EQ(StringListMember(started, "args"), c.args);
    // Ends this instance before the next launch, which would otherwise only re-present it.
    corvel->Signal(SIGTERM);
    corvel->WaitForExit();
    EXPECT_TRUE(HasNoLoggedProblems(corvel->Stderr()));
  }
}

TEST(MyApplicationE2eTest, WindowAppearsOnlyAfterTheFirstFrame) {
  HostEnvironment env;
  ASSERT_TRUE(env.Start());
  auto corvel = env.LaunchCorvel();
  ASSERT_TRUE(corvel);
  JsonObject* frame = env.dart().WaitForEvent("first_frame");
  ASSERT_NE(frame, nullptr);
  EXPECT_FALSE(json_object_get_boolean_member_with_default(frame, "window_mapped", TRUE));
  XProbe probe(env.display());
  ASSERT_TRUE(probe.connected());
  EXPECT_TRUE(corvel_test::WaitForViewableMainWindow(probe, kProgram));
}

TEST(MyApplicationE2eTest, TitleStyleFollowsTheWindowManager) {
  struct Case {
    const char* window_manager;  // Empty: none.
    bool header_bar;
  };
  const Case cases[] = {
      {.window_manager = "", .header_bar = false},
      {.window_manager = "Xfwm4", .header_bar = false},
      {.window_manager = "GNOME Shell", .header_bar = true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.window_manager);
    ShownCorvel shown;
    ASSERT_NO_FATAL_FAILURE(
        StartAndWaitForWindow(&shown, {.window_manager_name = c.window_manager}));
    XProbe& probe = *shown.probe;
    EXPECT_EQ(probe.TextProperty(shown.window, "_NET_WM_NAME"), "Corvel");
    // A header bar means GTK draws the title bar itself and asks for no decorations.
    std::optional<long> decorations = probe.MotifDecorations(shown.window);
    if (c.header_bar) {
      EXPECT_EQ(decorations, 0);
    } else {
      EXPECT_FALSE(decorations.has_value());
      // Without client-side decorations the window is exactly the default size.
      EXPECT_EQ(probe.Size(shown.window), (std::pair<int, int>{1280, 720}));
    }
  }
}

TEST(MyApplicationE2eTest, SecondLaunchRepresentsTheFirstWindowAndExits) {
  ShownCorvel shown;
  ASSERT_NO_FATAL_FAILURE(StartAndWaitForWindow(&shown, {}, {.args = {"first"}}));
  HostEnvironment& env = shown.env;
  XProbe& probe = *shown.probe;
  corvel_test::XWindow window = shown.window;
  corvel_test::XWindow cover = probe.MapCoveringWindow();
  probe.Unmap(window);
  ASSERT_TRUE(corvel_test::RunUntil([&] { return !probe.IsOnScreen(window); }));

  auto second = env.LaunchCorvel({.args = {"second"}});
  ASSERT_TRUE(second);
  EXPECT_EQ(second->WaitForExit(), 0);
  EXPECT_TRUE(HasNoLoggedProblems(second->Stderr()));
  EXPECT_TRUE(corvel_test::RunUntil([&] {
    return probe.IsOnScreen(window) && probe.IsAbove(window, cover);
  })) << "the first instance's window was not presented again";

  // The first instance only re-presented its window: one engine, one registration, still
  // answering on its channel.
  EXPECT_NE(env.dart().CallAndWait("corvel/activity", "getRunningProcessNames"), nullptr);
  EXPECT_FALSE(shown.corvel->exited());
  EXPECT_TRUE(HasNoLoggedProblems(shown.corvel->Stderr()));
  EXPECT_EQ(env.dart().connections(), 1u);
  EXPECT_EQ(env.dart().EventsNamed("started").size(), 1u);
  EXPECT_EQ(env.dart().EventsNamed("registrar").size(), 19u);
  EXPECT_EQ(StringListMember(env.dart().EventsNamed("started")[0], "args"),
            std::vector<std::string>{"first"});
}

TEST(MyApplicationE2eTest, RegistrationFailureExitsWithStatusOne) {
  HostEnvironment env;
  // A bus that lets nobody own a name: the application id cannot be registered.
  ASSERT_TRUE(env.Start({.deny_bus_names = true}));
  auto corvel = env.LaunchCorvel();
  ASSERT_TRUE(corvel);
  EXPECT_EQ(corvel->WaitForExit(), 1);
  EXPECT_NE(corvel->Stderr().find("Failed to register: "), std::string::npos) << corvel->Stderr();
  EXPECT_EQ(env.dart().connections(), 0u) << "no engine may start";
}

TEST(MyApplicationE2eTest, UnreachableSessionBusRunsAsNonUniqueApplication) {
  HostEnvironment env;
  ASSERT_TRUE(env.Start());
  auto corvel = env.LaunchCorvel(
      {.env = {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + env.dir().Child("no-bus")}}});
  ASSERT_TRUE(corvel);
  EXPECT_NE(env.dart().WaitForEvent("first_frame"), nullptr);
  EXPECT_NE(env.dart().CallAndWait("corvel/activity", "getRunningProcessNames"), nullptr);
  EXPECT_FALSE(corvel->exited());
  EXPECT_TRUE(HasNoLoggedProblems(corvel->Stderr()));
}

TEST(MyApplicationE2eTest, GdkBackendSetByTheUserStands) {
  HostEnvironment env;
  ASSERT_TRUE(env.Start());
  // With the X11 backend forced over it, this would start; Wayland has no display here.
  auto corvel = env.LaunchCorvel({.env = {{"GDK_BACKEND", "wayland"}}});
  ASSERT_TRUE(corvel);
  std::optional<int> status = corvel->WaitForExit();
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(*status, 0);
  EXPECT_EQ(env.dart().connections(), 0u);
}

TEST(MyApplicationE2eTest, ClosingTheWindowEndsTheProcessCleanly) {
  ShownCorvel shown;
  ASSERT_NO_FATAL_FAILURE(StartAndWaitForWindow(&shown));
  // The host's own channel must answer up to the end.
  ASSERT_NE(shown.env.dart().CallAndWait("corvel/activity", "getRunningProcessNames"), nullptr);
  shown.probe->RequestClose(shown.window);
  EXPECT_EQ(shown.corvel->WaitForExit(), 0);
  EXPECT_TRUE(HasNoLoggedProblems(shown.corvel->Stderr()));
}

}  // namespace
