#include "wav_file.h"

#include <cmath>
#include <fstream>

namespace corvel_test {
namespace {

void AppendLe(std::string& bytes, uint32_t value, int width) {
  for (int i = 0; i < width; ++i) bytes.push_back(static_cast<char>(value >> (8 * i) & 0xff));
}

}  // namespace

std::string RiffWave(const std::vector<WavChunk>& chunks) {
  std::string body = "WAVE";
  for (const WavChunk& chunk : chunks) {
    body += chunk.id;
    AppendLe(body, chunk.declared_size.value_or(static_cast<uint32_t>(chunk.body.size())), 4);
    body += chunk.body;
    if (chunk.body.size() % 2 == 1) body.push_back('\0');
  }
  std::string file = "RIFF";
  AppendLe(file, static_cast<uint32_t>(body.size()), 4);
  return file + body;
}

std::string FmtBody(uint16_t format_tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  const uint16_t block_align = static_cast<uint16_t>(channels * bits / 8);
  std::string body;
  AppendLe(body, format_tag, 2);
  AppendLe(body, channels, 2);
  AppendLe(body, rate, 4);
  AppendLe(body, rate * block_align, 4);
  AppendLe(body, block_align, 2);
  AppendLe(body, bits, 2);
  return body;
}

std::string Pcm16(const std::vector<int16_t>& samples) {
  std::string bytes;
  for (int16_t sample : samples) AppendLe(bytes, static_cast<uint16_t>(sample), 2);
  return bytes;
}

std::vector<int16_t> Sine(double hz, uint32_t rate, uint16_t channels, double seconds,
                          double amplitude) {
  const auto frames = static_cast<size_t>(seconds * rate);
  std::vector<int16_t> samples;
  samples.reserve(frames * channels);
  for (size_t i = 0; i < frames; ++i) {
    const double value = amplitude * 32767.0 * std::sin(2.0 * M_PI * hz * i / rate);
    samples.insert(samples.end(), channels, static_cast<int16_t>(value));
  }
  return samples;
}

std::string PcmWav(uint32_t rate, uint16_t channels, const std::vector<int16_t>& samples) {
  return RiffWave({{.id = "fmt ", .body = FmtBody(1, channels, rate, 16)},
                   {.id = "data", .body = Pcm16(samples)}});
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file.flush());
}

}  // namespace corvel_test
