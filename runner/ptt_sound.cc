#include "ptt_sound.h"

#include <glib.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <pulse/timeval.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <thread>

#include "ptt_sound_internal.h"

namespace ptt_sound {

static_assert(kMaxCueChannels == PA_CHANNELS_MAX);

namespace {

constexpr size_t kMaxQueued = 4;
constexpr char kAssetSubdirectory[] = "/data/flutter_assets/assets/sounds/";

constexpr uint32_t kToneRate = 44100;
constexpr int kToneSamples = 4410;
constexpr int kToneFadeSamples = 200;
constexpr double kTonePeak = 0.2;

// Small enough that a cue starts at once, large enough to ride out a busy
// server for a moment.
constexpr pa_usec_t kTargetLengthUsec = 40 * PA_USEC_PER_MSEC;

constexpr uint64_t kRiffHeaderBytes = 12;
constexpr uint64_t kChunkHeaderBytes = 8;
constexpr uint64_t kFmtFieldsBytes = 16;
constexpr uint16_t kFormatTagPcm = 1;
constexpr uint16_t kBitsPerSample = 16;
constexpr unsigned kBytesPerSample = kBitsPerSample / 8;

Cue g_on;
Cue g_off;
std::thread g_worker;
std::condition_variable g_cv;
std::deque<bool> g_queue;
bool g_running = false;
std::mutex g_mutex;

void DebugLog(const char* format, ...) G_GNUC_PRINTF(1, 2);

void DebugLog(const char* format, ...) {
  // Looked up at every line so that debugging can be switched on and off
  // while the program runs.
  if (g_getenv("CORVEL_PTT_DEBUG") == nullptr) return;
  va_list args;
  va_start(args, format);
  g_logv(nullptr, G_LOG_LEVEL_MESSAGE, format, args);
  va_end(args);
}

std::string AssetDirectory() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return {};
  const std::string_view exe(path, static_cast<size_t>(length));
  const size_t slash = exe.rfind('/');
  const std::string directory =
      slash == std::string_view::npos ? "." : std::string(exe.substr(0, slash));
  return directory + kAssetSubdirectory;
}

uint16_t ReadLe16(std::span<const uint8_t> bytes, uint64_t offset) {
  return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

uint32_t ReadLe32(std::span<const uint8_t> bytes, uint64_t offset) {
  return static_cast<uint32_t>(ReadLe16(bytes, offset)) |
         static_cast<uint32_t>(ReadLe16(bytes, offset + 2)) << 16;
}

bool HasTag(std::span<const uint8_t> bytes, uint64_t offset, const char (&tag)[5]) {
  return std::memcmp(bytes.data() + offset, tag, 4) == 0;
}

struct WavFormat {
  uint16_t tag = 0;
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint16_t bits = 0;
};

struct WavContents {
  std::optional<WavFormat> format;
  std::optional<std::span<const uint8_t>> data;
};

// Walks the chunks of a RIFF/WAVE file. Sizes come from the file and may
// claim up to 4 GiB, so offsets are 64-bit and every read is checked against
// the bytes actually present.
WavContents WalkChunks(std::span<const uint8_t> file) {
  WavContents contents;
  const uint64_t length = file.size();
  uint64_t header = kRiffHeaderBytes;
  while (header + kChunkHeaderBytes <= length) {
    const uint64_t size = ReadLe32(file, header + 4);
    const uint64_t body = header + kChunkHeaderBytes;
    const uint64_t present = std::min(size, length - body);
    // A "fmt " chunk too short for its fields is passed over like any other
    // chunk rather than read into whatever follows it.
    if (HasTag(file, header, "fmt ") && size >= kFmtFieldsBytes && present >= kFmtFieldsBytes) {
      contents.format = WavFormat{.tag = ReadLe16(file, body),
                                  .channels = ReadLe16(file, body + 2),
                                  .rate = ReadLe32(file, body + 4),
                                  .bits = ReadLe16(file, body + 14)};
    } else if (HasTag(file, header, "data")) {
      contents.data = file.subspan(body, present);
    }
    header = body + size + (size & 1);
  }
  return contents;
}

bool IsAccepted(const WavContents& contents) {
  if (!contents.format || !contents.data) return false;
  const WavFormat& format = *contents.format;
  return format.tag == kFormatTagPcm && format.bits == kBitsPerSample && format.channels != 0 &&
         format.channels <= kMaxCueChannels;
}

// Decodes `file` into `cue` when it is an accepted WAV file; leaves `cue`
// untouched otherwise.
bool DecodeWav(std::span<const uint8_t> file, Cue& cue) {
  if (file.size() < 20 || !HasTag(file, 0, "RIFF") || !HasTag(file, 8, "WAVE")) return false;
  const WavContents contents = WalkChunks(file);
  if (!IsAccepted(contents)) return false;
  const WavFormat& format = *contents.format;
  const std::span<const uint8_t> data = *contents.data;
  // The stream takes whole frames only; a torn last frame is dropped here so
  // that it cannot fail the cue's last write.
  const size_t frame_bytes = size_t{format.channels} * kBytesPerSample;
  cue.pcm.assign(data.begin(), data.begin() + data.size() / frame_bytes * frame_bytes);
  cue.rate = format.rate;
  cue.channels = static_cast<uint8_t>(format.channels);
  return true;
}

bool LoadWav(const std::string& path, Cue& cue) {
  g_autofree gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return false;
  return DecodeWav({reinterpret_cast<const uint8_t*>(contents), length}, cue);
}

void SynthesizeTone(double tone_hz, Cue& cue) {
  cue.rate = kToneRate;
  cue.channels = 1;
  cue.pcm.assign(size_t{kToneSamples} * kBytesPerSample, 0);
  for (int i = 0; i < kToneSamples; ++i) {
    const double envelope = std::min({1.0, static_cast<double>(i) / kToneFadeSamples,
                                      static_cast<double>(kToneSamples - i) / kToneFadeSamples});
    double value = std::sin(static_cast<double>(i) / kToneRate * (tone_hz * 2.0 * M_PI)) *
                   envelope * kTonePeak * 32767.0;
    value = std::clamp(value, -32768.0, 32767.0);
    const auto sample = static_cast<uint16_t>(static_cast<int16_t>(value));
    cue.pcm[2 * i] = static_cast<uint8_t>(sample & 0xff);
    cue.pcm[2 * i + 1] = static_cast<uint8_t>(sample >> 8);
  }
}

struct StreamFormat {
  uint32_t rate = 0;
  uint8_t channels = 0;

  bool operator==(const StreamFormat&) const = default;
};

StreamFormat FormatOf(const Cue& cue) { return {.rate = cue.rate, .channels = cue.channels}; }

using Stream = std::unique_ptr<pa_simple, decltype(&pa_simple_free)>;

// Runs on the worker thread.
Stream OpenStream(StreamFormat format) {
  const pa_sample_spec spec = {
      .format = PA_SAMPLE_S16LE, .rate = format.rate, .channels = format.channels};
  // A cue file may carry a rate the server cannot take; it fails like any
  // other refused stream instead of reaching the size helpers below, which
  // assume a valid format.
  if (!pa_sample_spec_valid(&spec)) {
    DebugLog("ptt_sound: pa_simple_new failed: %s", pa_strerror(PA_ERR_INVALID));
    return {nullptr, pa_simple_free};
  }
  // The default attributes hold playback back until about two seconds are
  // buffered or the stream is drained; a 100 ms cue that is never drained
  // would stay silent. No pre-buffer starts each cue as soon as it arrives.
  const pa_buffer_attr attributes = {
      .maxlength = static_cast<uint32_t>(-1),
      .tlength = static_cast<uint32_t>(pa_usec_to_bytes(kTargetLengthUsec, &spec)),
      .prebuf = 0,
      .minreq = static_cast<uint32_t>(-1),
      .fragsize = static_cast<uint32_t>(-1)};
  int error = 0;
  pa_simple* stream = pa_simple_new(nullptr, "Corvel", PA_STREAM_PLAYBACK, nullptr, "PTT", &spec,
                                    nullptr, &attributes, &error);
  if (stream == nullptr) DebugLog("ptt_sound: pa_simple_new failed: %s", pa_strerror(error));
  return {stream, pa_simple_free};
}

size_t ChunkBytes(const Cue& cue) {
  const size_t frame_bytes = size_t{cue.channels} * kBytesPerSample;
  const size_t chunk = size_t{cue.rate / 50} * frame_bytes;
  return chunk == 0 ? frame_bytes : chunk;
}

// A newer request or the module's stop cuts the cue being written.
bool CueInterrupted() {
  std::lock_guard lock(g_mutex);
  return !g_running || !g_queue.empty();
}

// Runs on the worker thread. Returns false when a write failed, which leaves
// the stream unusable.
bool WriteCue(pa_simple* stream, const Cue& cue) {
  const size_t chunk = ChunkBytes(cue);
  for (size_t offset = 0; offset < cue.pcm.size(); offset += chunk) {
    if (CueInterrupted()) return true;
    const size_t bytes = std::min(chunk, cue.pcm.size() - offset);
    int error = 0;
    if (pa_simple_write(stream, cue.pcm.data() + offset, bytes, &error) < 0) {
      DebugLog("ptt_sound: write failed: %s — reconnecting", pa_strerror(error));
      return false;
    }
  }
  return true;
}

// Blocks until a request is waiting; empty once the module stops and the
// queue has run dry.
std::optional<bool> NextRequest() {
  std::unique_lock lock(g_mutex);
  g_cv.wait(lock, [] { return !g_queue.empty() || !g_running; });
  if (g_queue.empty()) return std::nullopt;
  const bool on = g_queue.front();
  g_queue.pop_front();
  return on;
}

void WorkerFunc() {
  StreamFormat format = FormatOf(g_on);
  Stream stream = OpenStream(format);
  while (const std::optional<bool> on = NextRequest()) {
    const Cue& cue = *on ? g_on : g_off;
    if (!stream || FormatOf(cue) != format) {
      stream.reset();
      format = FormatOf(cue);
      stream = OpenStream(format);
      if (!stream) continue;
    }
    // Flush first so a new cue cuts off the tail of the previous one. Without
    // a pre-buffer the server's play position also runs on while the stream
    // idles, and a cue written behind it would be dropped unheard.
    pa_simple_flush(stream.get(), nullptr);
    // Never drained: the server plays the buffered end while the worker waits.
    if (!WriteCue(stream.get(), cue)) stream.reset();
  }
}

}  // namespace

void LoadCue(const std::string& directory, const char* name, double tone_hz, Cue& cue) {
  if (!directory.empty() && LoadWav(directory + name, cue)) {
    DebugLog("ptt_sound: loaded %s (%u Hz, %u ch, %zu bytes)", name, cue.rate,
             static_cast<unsigned>(cue.channels), cue.pcm.size());
    return;
  }
  SynthesizeTone(tone_hz, cue);
  DebugLog("ptt_sound: %s missing — using synth tone", name);
}

void Init() {
  std::lock_guard lock(g_mutex);
  if (g_running) return;
  const std::string directory = AssetDirectory();
  LoadCue(directory, "ptt_on.wav", 800.0, g_on);
  LoadCue(directory, "ptt_off.wav", 500.0, g_off);
  g_running = true;
  g_worker = std::thread(WorkerFunc);
  DebugLog("ptt_sound: worker started");
}

void Play(bool on) {
  {
    std::lock_guard lock(g_mutex);
    if (!g_running || g_queue.size() >= kMaxQueued) return;
    g_queue.push_back(on);
  }
  g_cv.notify_one();
}

void Shutdown() {
  {
    std::lock_guard lock(g_mutex);
    if (!g_running) return;
    g_running = false;
  }
  g_cv.notify_one();
  if (g_worker.joinable()) g_worker.join();
}

}  // namespace ptt_sound
