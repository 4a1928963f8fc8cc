// libFuzzer entry: any file content through the cue loader. A loaded cue is
// either the tone or an accepted WAV whose samples fit the stream and came
// from the file.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ptt_sound_internal.h"

namespace {

// The input lives in a memory file, reached by path through /proc, so that
// each run costs no disk I/O.
int InputFile() {
  static const int fd = [] {
    const int created = memfd_create("cue.wav", 0);
    if (created < 0) abort();
    return created;
  }();
  return fd;
}

void StoreInput(const uint8_t* data, size_t size) {
  if (ftruncate(InputFile(), 0) != 0) abort();
  size_t written = 0;
  while (written < size) {
    const ssize_t result = pwrite(InputFile(), data + written, size - written, written);
    if (result <= 0) abort();
    written += static_cast<size_t>(result);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StoreInput(data, size);
  ptt_sound::Cue cue;
  ptt_sound::LoadCue("/proc/self/fd/", std::to_string(InputFile()).c_str(), 800.0, cue);
  const bool is_tone = cue.rate == 44100 && cue.channels == 1 && cue.pcm.size() == 8820;
  const bool fits = cue.channels >= 1 && cue.channels <= ptt_sound::kMaxCueChannels &&
                    cue.pcm.size() % (cue.channels * 2u) == 0 && cue.pcm.size() <= size;
  if (!is_tone && !fits) abort();
  return 0;
}
