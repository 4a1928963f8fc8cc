#ifndef RUNNER_GENERATED_PLUGIN_REGISTRANT_H_
#define RUNNER_GENERATED_PLUGIN_REGISTRANT_H_

#include <flutter_linux/flutter_linux.h>

// Registers every plugin the Dart application uses with the view's registry, once.
void fl_register_plugins(FlPluginRegistry* registry);

#endif  // RUNNER_GENERATED_PLUGIN_REGISTRANT_H_
