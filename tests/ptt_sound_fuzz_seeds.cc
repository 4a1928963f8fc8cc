// Writes the seed corpus of the cue loader's fuzz target into a directory.

#include <cstdio>
#include <string>
#include <vector>

#include "support/wav_file.h"

using corvel_test::FmtBody;
using corvel_test::Pcm16;
using corvel_test::RiffWave;
using corvel_test::Sine;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string pcm = Pcm16(Sine(800, 8000, 1, 0.004, 0.2));
  const std::vector<std::string> seeds = {
      corvel_test::PcmWav(44100, 1, Sine(800, 44100, 1, 0.002, 0.2)),
      corvel_test::PcmWav(48000, 2, Sine(500, 48000, 2, 0.002, 0.2)),
      RiffWave({{.id = "LIST", .body = "odd"},
                {.id = "data", .body = pcm},
                {.id = "fmt ", .body = FmtBody(1, 1, 8000, 16)}}),
      RiffWave({{.id = "fmt ", .body = FmtBody(1, 1, 8000, 16)},
                {.id = "data", .body = pcm, .declared_size = 0xFFFFFFF0}}),
      RiffWave({{.id = "fmt ", .body = FmtBody(3, 1, 8000, 32)}, {.id = "data", .body = pcm}}),
      RiffWave({{.id = "fmt ", .body = FmtBody(1, 1, 8000, 8)}, {.id = "data", .body = pcm}}),
  };
  for (size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(argv[1]) + "/seed" + std::to_string(i) + ".wav";
    if (!corvel_test::WriteBytes(path, seeds[i])) {
      std::perror(path.c_str());
      return 1;
    }
  }
  return 0;
}
