#ifndef RUNNER_PTT_SOUND_H_
#define RUNNER_PTT_SOUND_H_

// Short audible cues when push-to-talk opens and closes, played on a worker
// thread of the module's own so that callers never wait for audio.
namespace ptt_sound {

// Loads both cues and starts the worker. Does nothing while already started.
void Init();

// Requests the on cue (true) or the off cue (false). Never waits for audio;
// dropped before Init, after Shutdown and while four requests are waiting.
// Safe to call from any thread.
void Play(bool on);

// Stops the worker and releases the stream. Safe to call more than once.
void Shutdown();

}  // namespace ptt_sound

#endif  // RUNNER_PTT_SOUND_H_
