#ifndef RUNNER_PTT_SOUND_INTERNAL_H_
#define RUNNER_PTT_SOUND_INTERNAL_H_

// Internals of ptt_sound that its tests and its fuzz target reach.

#include <cstdint>
#include <string>
#include <vector>

namespace ptt_sound {

// One decoded cue sound.
struct Cue {
  // Signed 16-bit little-endian samples, channels interleaved, exactly as
  // written to the stream; always a whole number of frames.
  std::vector<uint8_t> pcm;
  uint32_t rate = 44100;
  uint8_t channels = 1;
};

// Channel counts above this do not fit a playback stream; such files are not
// accepted.
inline constexpr unsigned kMaxCueChannels = 32;

// Fills `cue` from `directory` + `name`, a 16-bit PCM WAV file, or with a
// 100 ms synthesized tone of `tone_hz` when the directory is empty or the
// file is missing, unreadable or not accepted.
void LoadCue(const std::string& directory, const char* name, double tone_hz, Cue& cue);

}  // namespace ptt_sound

#endif  // RUNNER_PTT_SOUND_INTERNAL_H_
