// Parts of my_application that the host's tests reach directly.
#ifndef RUNNER_MY_APPLICATION_INTERNAL_H_
#define RUNNER_MY_APPLICATION_INTERNAL_H_

#include <flutter_linux/flutter_linux.h>

// Handler of the "corvel/activity" channel.
void activity_method_call_cb(FlMethodChannel* channel, FlMethodCall* method_call,
                             gpointer user_data);

// Makes the activity handler scan `dir` instead of "/proc"; null restores "/proc". For tests,
// which build fixture process directories.
void activity_set_proc_dir_for_testing(const char* dir);

#endif  // RUNNER_MY_APPLICATION_INTERNAL_H_
