// Global push-to-talk, mute and deafen keys.
//
// The Dart side binds keys over the "corvel/ptt_hook" method channel; a
// reader thread watches the kernel's input devices, so the keys work whichever
// window has the focus. Push-to-talk edges reach the native gate straight from
// that thread; every edge then hops to the main loop for the Dart side.
#ifndef RUNNER_PTT_KEYBOARD_HOOK_H_
#define RUNNER_PTT_KEYBOARD_HOOK_H_

#include <flutter_linux/flutter_linux.h>

namespace ptt_hook {

// Opens the channel on `messenger` and starts the cue player. Main thread;
// does nothing while the channel exists.
void Init(FlBinaryMessenger* messenger);

// Stops the key monitor, drops the channel and stops the cue player. Main
// thread; safe to call without Init and more than once.
void Shutdown();

}  // namespace ptt_hook

#endif  // RUNNER_PTT_KEYBOARD_HOOK_H_
