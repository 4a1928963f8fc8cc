#include "generated_plugin_registrant.h"

#include <audioplayers_linux/audioplayers_linux_plugin.h>
#include <desktop_drop/desktop_drop_plugin.h>
#include <desktop_webview_window/desktop_webview_window_plugin.h>
#include <emoji_picker_flutter/emoji_picker_flutter_plugin.h>
#include <file_selector_linux/file_selector_plugin.h>
#include <flutter_secure_storage_linux/flutter_secure_storage_linux_plugin.h>
#include <flutter_timezone/flutter_timezone_plugin.h>
#include <flutter_webrtc/flutter_web_r_t_c_plugin.h>
#include <gtk/gtk_plugin.h>
#include <hotkey_manager_linux/hotkey_manager_linux_plugin.h>
#include <livekit_client/live_kit_plugin.h>
#include <media_kit_video/media_kit_video_plugin.h>
#include <pasteboard/pasteboard_plugin.h>
#include <screen_retriever_linux/screen_retriever_linux_plugin.h>
#include <tray_manager/tray_manager_plugin.h>
#include <url_launcher_linux/url_launcher_plugin.h>
#include <window_manager/window_manager_plugin.h>
#include <window_to_front/window_to_front_plugin.h>

// Sentry's Flutter plugin has no native side on Linux: its registrar is requested like the
// others and nothing is registered on it.
extern "C" void sentry_flutter_plugin_register_with_registrar(FlPluginRegistrar*) {}

namespace {

struct PluginEntry {
  const char* name;
  void (*register_with_registrar)(FlPluginRegistrar*);
};

// In registration order.
constexpr PluginEntry kPlugins[] = {
    {"AudioplayersLinuxPlugin", audioplayers_linux_plugin_register_with_registrar},
    {"DesktopDropPlugin", desktop_drop_plugin_register_with_registrar},
    {"DesktopWebviewWindowPlugin", desktop_webview_window_plugin_register_with_registrar},
    {"EmojiPickerFlutterPlugin", emoji_picker_flutter_plugin_register_with_registrar},
    {"FileSelectorPlugin", file_selector_plugin_register_with_registrar},
    {"FlutterSecureStorageLinuxPlugin",
     flutter_secure_storage_linux_plugin_register_with_registrar},
    {"FlutterTimezonePlugin", flutter_timezone_plugin_register_with_registrar},
    {"FlutterWebRTCPlugin", flutter_web_r_t_c_plugin_register_with_registrar},
    {"GtkPlugin", gtk_plugin_register_with_registrar},
    {"HotkeyManagerLinuxPlugin", hotkey_manager_linux_plugin_register_with_registrar},
    {"LiveKitPlugin", live_kit_plugin_register_with_registrar},
    {"PasteboardPlugin", pasteboard_plugin_register_with_registrar},
    {"ScreenRetrieverLinuxPlugin", screen_retriever_linux_plugin_register_with_registrar},
    {"SentryFlutterPlugin", sentry_flutter_plugin_register_with_registrar},
    {"TrayManagerPlugin", tray_manager_plugin_register_with_registrar},
    {"UrlLauncherPlugin", url_launcher_plugin_register_with_registrar},
    {"MediaKitVideoPlugin", media_kit_video_plugin_register_with_registrar},
    {"WindowManagerPlugin", window_manager_plugin_register_with_registrar},
    {"WindowToFrontPlugin", window_to_front_plugin_register_with_registrar},
};

}  // namespace

void fl_register_plugins(FlPluginRegistry* registry) {
  // The registrars are kept until every plugin is registered, then released together.
  g_autoptr(GPtrArray) registrars = g_ptr_array_new_with_free_func(g_object_unref);
  for (const PluginEntry& plugin : kPlugins) {
    FlPluginRegistrar* registrar =
        fl_plugin_registry_get_registrar_for_plugin(registry, plugin.name);
    g_ptr_array_add(registrars, registrar);
    plugin.register_with_registrar(registrar);
  }
}
