// Plugin registration and the bundle's linking, end to end.
#include <gtest/gtest.h>

#include <set>

#include "host_harness.h"

namespace {

using corvel_test::HostEnvironment;
using corvel_test::StringMember;

const std::vector<std::string> kPluginsInOrder = {
    "AudioplayersLinuxPlugin",    "DesktopDropPlugin",   "DesktopWebviewWindowPlugin",
    "EmojiPickerFlutterPlugin",   "FileSelectorPlugin",  "FlutterSecureStorageLinuxPlugin",
    "FlutterTimezonePlugin",      "FlutterWebRTCPlugin", "GtkPlugin",
    "HotkeyManagerLinuxPlugin",   "LiveKitPlugin",       "PasteboardPlugin",
    "ScreenRetrieverLinuxPlugin", "SentryFlutterPlugin", "TrayManagerPlugin",
    "UrlLauncherPlugin",          "MediaKitVideoPlugin", "WindowManagerPlugin",
    "WindowToFrontPlugin",
};

size_t IndexOf(const std::vector<JsonObject*>& events, JsonObject* event) {
  return std::find(events.begin(), events.end(), event) - events.begin();
}

TEST(PluginRegistrationE2eTest, EachRegistrarIsRequestedOnceInTableOrder) {
  HostEnvironment env;
  ASSERT_TRUE(env.Start());
  auto corvel = env.LaunchCorvel();
  ASSERT_TRUE(corvel);
  JsonObject* frame = env.dart().WaitForEvent("first_frame");
  ASSERT_NE(frame, nullptr);

  std::vector<std::string> requested;
  for (JsonObject* event : env.dart().EventsNamed("registrar")) {
    requested.push_back(StringMember(event, "plugin"));
  }
  EXPECT_EQ(requested, kPluginsInOrder);

  // Every plugin library got the registrar of its own name; the Sentry one is the host's own
  // empty function, so it reports nothing.
  std::vector<std::string> registered;
  for (JsonObject* event : env.dart().EventsNamed("plugin_registered")) {
    EXPECT_EQ(StringMember(event, "plugin"), StringMember(event, "registrar"));
    registered.push_back(StringMember(event, "plugin"));
  }
  std::vector<std::string> expected = kPluginsInOrder;
  std::erase(expected, "SentryFlutterPlugin");
  EXPECT_EQ(registered, expected);

  // Registration runs while the engine is started and before the first frame.
  const auto& events = env.dart().events();
  EXPECT_LT(IndexOf(events, env.dart().WaitForEvent("started")),
            IndexOf(events, env.dart().EventsNamed("registrar").front()));
  EXPECT_LT(IndexOf(events, env.dart().EventsNamed("registrar").back()), IndexOf(events, frame));
}

// --as-needed would drop a library that the program links but never calls.
TEST(PluginRegistrationE2eTest, BundleProgramNeedsEveryLinkedLibraryFromItsLibDirectory) {
  std::string bundle = corvel_test::CorvelPath();
  bundle.resize(bundle.rfind('/'));
  g_autofree gchar* output = nullptr;
  g_autoptr(GError) error = nullptr;
  const gchar* argv[] = {"readelf", "-d", "--wide", nullptr, nullptr};
  std::string program = corvel_test::CorvelPath();
  argv[3] = program.c_str();
  ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH,
                           nullptr, nullptr, &output, nullptr, nullptr, &error))
      << error->message;
  std::set<std::string> needed;
  std::string runpath;
  g_auto(GStrv) lines = g_strsplit(output, "\n", -1);
  for (gchar** line = lines; *line != nullptr; ++line) {
    const char* open = strchr(*line, '[');
    const char* close = strrchr(*line, ']');
    if (open == nullptr || close == nullptr) continue;
    std::string value(open + 1, close);
    if (strstr(*line, "(NEEDED)")) needed.insert(value);
    if (strstr(*line, "(RUNPATH)")) runpath = value;
  }
  EXPECT_EQ(runpath, "$ORIGIN/lib");
  for (const char* library : {"libaudioplayers_linux_plugin.so",
                              "libdesktop_drop_plugin.so",
                              "libdesktop_webview_window_plugin.so",
                              "libemoji_picker_flutter_plugin.so",
                              "libfile_selector_linux_plugin.so",
                              "libflutter_secure_storage_linux_plugin.so",
                              "libflutter_timezone_plugin.so",
                              "libgtk_plugin.so",
                              "libhotkey_manager_linux_plugin.so",
                              "liblivekit_client_plugin.so",
                              "libpasteboard_plugin.so",
                              "libscreen_retriever_linux_plugin.so",
                              "libtray_manager_plugin.so",
                              "liburl_launcher_linux_plugin.so",
                              "libmedia_kit_video_plugin.so",
                              "libwindow_manager_plugin.so",
                              "libwindow_to_front_plugin.so",
                              "libflutter_webrtc_plugin.so",
                              "libsentry.so",
                              "libflutter_linux_gtk.so"}) {
    SCOPED_TRACE(library);
    EXPECT_TRUE(needed.count(library));
    EXPECT_TRUE(g_file_test((bundle + "/lib/" + library).c_str(), G_FILE_TEST_IS_REGULAR));
  }
  EXPECT_TRUE(g_file_test((bundle + "/data/flutter_assets").c_str(), G_FILE_TEST_IS_DIR));
}

}  // namespace
