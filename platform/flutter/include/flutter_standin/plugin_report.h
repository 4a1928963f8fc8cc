// Lets the plugin stand-ins tell the Dart-side driver that their register function ran, and with
// which registrar, so tests can check what the host handed to each plugin.
#ifndef PLATFORM_FLUTTER_INCLUDE_FLUTTER_STANDIN_PLUGIN_REPORT_H_
#define PLATFORM_FLUTTER_INCLUDE_FLUTTER_STANDIN_PLUGIN_REPORT_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

// Sends {"event":"plugin_registered","plugin":PLUGIN,"registrar":NAME} to the driver, NAME being
// the plugin name the registrar was requested for.
void flutter_standin_report_plugin_registered(FlPluginRegistrar* registrar, const char* plugin);

G_END_DECLS

#endif  // PLATFORM_FLUTTER_INCLUDE_FLUTTER_STANDIN_PLUGIN_REPORT_H_
