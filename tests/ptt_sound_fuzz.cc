// libFuzzer entry: any file content through the cue loader. A loaded cue is
// either the tone or an accepted WAV whose samples fit the stream and came
// from the file.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "ptt_sound_internal.h"

namespace {

const std::string& FuzzDirectory() {
  static const std::string directory = [] {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/ptt-sound-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    return pattern + "/";
  }();
  return directory;
}

void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, file) != size) abort();
  fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& directory = FuzzDirectory();
  WriteInput(directory + "cue.wav", data, size);
  ptt_sound::Cue cue;
  ptt_sound::LoadCue(directory, "cue.wav", 800.0, cue);
  const bool is_tone = cue.rate == 44100 && cue.channels == 1 && cue.pcm.size() == 8820;
  const bool fits = cue.channels >= 1 && cue.channels <= ptt_sound::kMaxCueChannels &&
                    cue.pcm.size() % (cue.channels * 2u) == 0 && cue.pcm.size() <= size;
  if (!is_tone && !fits) abort();
  return 0;
}
