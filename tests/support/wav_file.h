#ifndef TESTS_SUPPORT_WAV_FILE_H_
#define TESTS_SUPPORT_WAV_FILE_H_

// Builds RIFF/WAVE files byte by byte, well-formed or not, for tests and seed
// corpora.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvel_test {

struct WavChunk {
  std::string id;  // four characters
  std::string body;
  // The size written in the chunk header; the body's length when unset.
  std::optional<uint32_t> declared_size = std::nullopt;
};

// "RIFF", size, "WAVE" and the chunks, each body followed by a padding byte
// when its length is odd.
std::string RiffWave(const std::vector<WavChunk>& chunks);

// The 16 bytes of a "fmt " body.
std::string FmtBody(uint16_t format_tag, uint16_t channels, uint32_t rate, uint16_t bits);

// Signed 16-bit little-endian samples.
std::string Pcm16(const std::vector<int16_t>& samples);

// A sine of `hz` at `amplitude` (fraction of full scale) lasting `seconds`,
// the same in every channel.
std::vector<int16_t> Sine(double hz, uint32_t rate, uint16_t channels, double seconds,
                          double amplitude);

// A complete 16-bit PCM WAV file holding `samples`.
std::string PcmWav(uint32_t rate, uint16_t channels, const std::vector<int16_t>& samples);

// Writes `bytes` to `path`, replacing it; false on failure.
bool WriteBytes(const std::string& path, const std::string& bytes);

}  // namespace corvel_test

#endif  // TESTS_SUPPORT_WAV_FILE_H_
