#include "ptt_sound.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ptt_sound_internal.h"
#include "support/pulse_daemon.h"
#include "support/wav_file.h"

namespace {

using corvel_test::FmtBody;
using corvel_test::MonitorRecorder;
using corvel_test::Pcm16;
using corvel_test::PcmWav;
using corvel_test::PulseDaemon;
using corvel_test::RiffWave;
using corvel_test::Sine;
using corvel_test::WriteBytes;
using ptt_sound::Cue;
using namespace std::chrono_literals;

constexpr double kOnHz = 800.0;
constexpr double kOffHz = 500.0;
constexpr auto kToneTimeout = 5s;
// How long the recording is watched for a cue that must not sound: well past
// the 100 ms a cue lasts and the tens of milliseconds it takes to start.
constexpr size_t kQuietWindows = 40;

// Collects the messages logged through GLib, from any thread.
class LogCapture {
 public:
  static LogCapture& Get() {
    static LogCapture capture;
    return capture;
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

  // Waits until a line starting with `prefix` is logged; false after the
  // timeout.
  bool WaitForLine(const std::string& prefix, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return logged_.wait_for(lock, timeout, [&] {
      for (const std::string& line : lines_) {
        if (line.starts_with(prefix)) return true;
      }
      return false;
    });
  }

 private:
  LogCapture() { g_log_set_default_handler(&LogCapture::Handle, this); }

  // Called by GLib for every log line without a handler of its own.
  static void Handle(const gchar* domain, GLogLevelFlags level, const gchar* message,
                     gpointer data) {
    auto* self = static_cast<LogCapture*>(data);
    {
      std::lock_guard lock(self->mutex_);
      if (domain == nullptr && (level & G_LOG_LEVEL_MESSAGE)) self->lines_.emplace_back(message);
    }
    self->logged_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable logged_;
  std::vector<std::string> lines_;
};

// The tone as the module must synthesize it, computed here independently.
std::vector<uint8_t> ExpectedTone(double hz) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 4410; ++i) {
    const double envelope = std::min({1.0, i / 200.0, (4410 - i) / 200.0});
    double value = std::sin(i / 44100.0 * (hz * 2 * M_PI)) * envelope * 0.2 * 32767;
    value = std::clamp(value, -32768.0, 32767.0);
    const auto sample = static_cast<uint16_t>(static_cast<int16_t>(std::trunc(value)));
    bytes.push_back(static_cast<uint8_t>(sample & 0xff));
    bytes.push_back(static_cast<uint8_t>(sample >> 8));
  }
  return bytes;
}

int16_t SampleAt(const Cue& cue, size_t index) {
  return static_cast<int16_t>(cue.pcm[2 * index] | cue.pcm[2 * index + 1] << 8);
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// A directory of its own for the files a test writes.
class TempDirectory {
 public:
  TempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ptt-sound-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern + "/" : "";
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(PttSoundToneTest, MissingFilesBecomeTonesByteForByte) {
  struct ToneCase {
    const char* name;
    double hz;
  };
  TempDirectory empty_directory;
  for (const ToneCase& tone : {ToneCase{.name = "ptt_on.wav", .hz = kOnHz},
                               ToneCase{.name = "ptt_off.wav", .hz = kOffHz}}) {
    for (const std::string& directory : {std::string(), empty_directory.path()}) {
      SCOPED_TRACE(std::string(tone.name) + " in '" + directory + "'");
      Cue cue{.pcm = std::vector<uint8_t>(20000, 0x55), .rate = 8000, .channels = 2};
      ptt_sound::LoadCue(directory, tone.name, tone.hz, cue);
      EXPECT_EQ(cue.rate, 44100u);
      EXPECT_EQ(cue.channels, 1);
      ASSERT_EQ(cue.pcm.size(), 8820u);
      EXPECT_EQ(cue.pcm, ExpectedTone(tone.hz));
      EXPECT_EQ(SampleAt(cue, 0), 0);
      // The fade: sample 1 is a two-hundredth of the full sine, the last
      // sample's envelope is 1/200, the middle reaches the 0.2 peak.
      const double step = tone.hz * 2 * M_PI / 44100.0;
      EXPECT_EQ(SampleAt(cue, 1), static_cast<int16_t>(std::sin(step) / 200 * 0.2 * 32767));
      EXPECT_EQ(SampleAt(cue, 4409),
                static_cast<int16_t>(std::sin(4409 * step) / 200 * 0.2 * 32767));
      std::vector<int16_t> samples(4410);
      for (size_t i = 0; i < samples.size(); ++i) samples[i] = SampleAt(cue, i);
      const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
      EXPECT_NEAR(*high, 0.2 * 32767, 3);
      EXPECT_NEAR(*low, -0.2 * 32767, 3);
      EXPECT_NEAR(corvel_test::ToneAmplitude(samples.data() + 200, 4000, 44100, tone.hz), 0.2,
                  0.005);
    }
  }
}

struct WavCase {
  const char* name;
  std::string file;
  bool accepted;
  std::vector<uint8_t> pcm = {};
  uint32_t rate = 0;
  uint8_t channels = 0;
};

std::string Truncated(const std::string& file, size_t bytes_cut) {
  return file.substr(0, file.size() - bytes_cut);
}

std::string Retagged(std::string file, size_t offset, const char* tag) {
  return file.replace(offset, 4, tag);
}

std::vector<WavCase> ChunkWalkCases() {
  const std::string pcm8 = Pcm16({1, -2, 3, -4});
  const std::string mono = FmtBody(1, 1, 44100, 16);
  const std::string good = RiffWave({{.id = "fmt ", .body = mono}, {.id = "data", .body = pcm8}});
  return {
      {.name = "plain mono",
       .file = RiffWave({{.id = "fmt ", .body = mono}, {.id = "data", .body = pcm8}}),
       .accepted = true,
       .pcm = Bytes(pcm8),
       .rate = 44100,
       .channels = 1},
      {.name = "stereo 48 kHz",
       .file = RiffWave(
           {{.id = "fmt ", .body = FmtBody(1, 2, 48000, 16)}, {.id = "data", .body = pcm8}}),
       .accepted = true,
       .pcm = Bytes(pcm8),
       .rate = 48000,
       .channels = 2},
      {.name = "padding byte after an odd chunk",
       .file = RiffWave({{.id = "fmt ", .body = mono},
                         {.id = "LIST", .body = "abc"},
                         {.id = "data", .body = pcm8}}),
       .accepted = true,
       .pcm = Bytes(pcm8),
       .rate = 44100,
       .channels = 1},
      {.name = "data chunk longer than the file",
       .file = RiffWave(
           {{.id = "fmt ", .body = mono}, {.id = "data", .body = pcm8, .declared_size = 1000}}),
       .accepted = true,
       .pcm = Bytes(pcm8),
       .rate = 44100,
       .channels = 1},
      {.name = "data chunk claiming 4 GiB",
       .file = RiffWave({{.id = "fmt ", .body = mono},
                         {.id = "data", .body = pcm8, .declared_size = 0xFFFFFFFF}}),
       .accepted = true,
       .pcm = Bytes(pcm8),
       .rate = 44100,
       .channels = 1},
      {.name = "data before fmt",
       .file = RiffWave({{.id = "data", .body = pcm8}, {.id = "fmt ", .body = mono}}),
       .accepted = true,
       .pcm = Bytes(pcm8),
       .rate = 44100,
       .channels = 1},
      {.name = "later fmt replaces an 8-bit one",
       .file = RiffWave({{.id = "fmt ", .body = FmtBody(1, 1, 8000, 8)},
                         {.id = "data", .body = pcm8},
                         {.id = "fmt ", .body = FmtBody(1, 1, 22050, 16)}}),
       .accepted = true,
       .pcm = Bytes(pcm8),
       .rate = 22050,
       .channels = 1},
      {.name = "later 8-bit fmt replaces a good one",
       .file = RiffWave({{.id = "fmt ", .body = mono},
                         {.id = "data", .body = pcm8},
                         {.id = "fmt ", .body = FmtBody(1, 1, 8000, 8)}}),
       .accepted = false},
      {.name = "later data replaces earlier",
       .file = RiffWave({{.id = "fmt ", .body = mono},
                         {.id = "data", .body = Pcm16({9, 9, 9})},
                         {.id = "data", .body = pcm8}}),
       .accepted = true,
       .pcm = Bytes(pcm8),
       .rate = 44100,
       .channels = 1},
      {.name = "torn last frame dropped",
       .file = RiffWave({{.id = "fmt ", .body = FmtBody(1, 2, 44100, 16)},
                         {.id = "data", .body = Pcm16({1, 2, 3}) + "x"}}),
       .accepted = true,
       .pcm = Bytes(Pcm16({1, 2})),
       .rate = 44100,
       .channels = 2},
      {.name = "empty data chunk",
       .file = RiffWave({{.id = "fmt ", .body = mono}, {.id = "data", .body = ""}}),
       .accepted = true,
       .pcm = {},
       .rate = 44100,
       .channels = 1},
      // Accepted as it stands; the stream refuses it and the cue is skipped.
      {.name = "zero rate",
       .file =
           RiffWave({{.id = "fmt ", .body = FmtBody(1, 1, 0, 16)}, {.id = "data", .body = pcm8}}),
       .accepted = true,
       .pcm = Bytes(pcm8),
       .rate = 0,
       .channels = 1},
      {.name = "32 channels",
       .file = RiffWave({{.id = "fmt ", .body = FmtBody(1, 32, 8000, 16)},
                         {.id = "data", .body = std::string(128, '\1')}}),
       .accepted = true,
       .pcm = std::vector<uint8_t>(128, 1),
       .rate = 8000,
       .channels = 32},
      {.name = "33 channels",
       .file = RiffWave(
           {{.id = "fmt ", .body = FmtBody(1, 33, 8000, 16)}, {.id = "data", .body = pcm8}}),
       .accepted = false},
      {.name = "256 channels (0 in 8 bits)",
       .file = RiffWave(
           {{.id = "fmt ", .body = FmtBody(1, 256, 8000, 16)}, {.id = "data", .body = pcm8}}),
       .accepted = false},
      {.name = "zero channels",
       .file = RiffWave(
           {{.id = "fmt ", .body = FmtBody(1, 0, 44100, 16)}, {.id = "data", .body = pcm8}}),
       .accepted = false},
      {.name = "8-bit",
       .file =
           RiffWave({{.id = "fmt ", .body = FmtBody(1, 1, 8000, 8)}, {.id = "data", .body = pcm8}}),
       .accepted = false},
      {.name = "float",
       .file = RiffWave(
           {{.id = "fmt ", .body = FmtBody(3, 1, 44100, 32)}, {.id = "data", .body = pcm8}}),
       .accepted = false},
      {.name = "fmt chunk shorter than its fields",
       .file = RiffWave({{.id = "fmt ", .body = mono.substr(0, 14)}, {.id = "data", .body = pcm8}}),
       .accepted = false},
      {.name = "file ends inside fmt",
       .file =
           Truncated(RiffWave({{.id = "data", .body = pcm8}, {.id = "fmt ", .body = mono}}), 10),
       .accepted = false},
      {.name = "no data chunk",
       .file = RiffWave({{.id = "fmt ", .body = mono}}),
       .accepted = false},
      {.name = "no fmt chunk", .file = RiffWave({{.id = "data", .body = pcm8}}), .accepted = false},
      {.name = "huge chunk before data ends the walk",
       .file = RiffWave({{.id = "fmt ", .body = mono},
                         {.id = "junk", .body = "", .declared_size = 0xFFFFFFFF},
                         {.id = "data", .body = pcm8}}),
       .accepted = false},
      {.name = "not RIFF", .file = Retagged(good, 0, "RIFX"), .accepted = false},
      {.name = "not WAVE", .file = Retagged(good, 8, "AVI "), .accepted = false},
      {.name = "19 bytes",
       .file = RiffWave({{.id = "fmt ", .body = ""}, {.id = "data", .body = ""}}).substr(0, 19),
       .accepted = false},
      {.name = "empty file", .file = "", .accepted = false},
  };
}

TEST(PttSoundLoadTest, ChunkWalk) {
  TempDirectory directory;
  Cue tone;
  ptt_sound::LoadCue("", "tone", kOnHz, tone);
  for (const WavCase& wav : ChunkWalkCases()) {
    SCOPED_TRACE(wav.name);
    ASSERT_TRUE(WriteBytes(directory.path() + "cue.wav", wav.file));
    Cue cue;
    ptt_sound::LoadCue(directory.path(), "cue.wav", kOnHz, cue);
    if (!wav.accepted) {
      EXPECT_EQ(cue.pcm, tone.pcm);
      EXPECT_EQ(cue.rate, 44100u);
      EXPECT_EQ(cue.channels, 1);
      continue;
    }
    EXPECT_EQ(cue.pcm, wav.pcm);
    EXPECT_EQ(cue.rate, wav.rate);
    EXPECT_EQ(cue.channels, wav.channels);
  }
}

TEST(PttSoundLoadTest, DirectoryInPlaceOfFileBecomesTone) {
  TempDirectory directory;
  std::filesystem::create_directory(directory.path() + "ptt_on.wav");
  Cue cue;
  ptt_sound::LoadCue(directory.path(), "ptt_on.wav", kOnHz, cue);
  EXPECT_EQ(cue.pcm, ExpectedTone(kOnHz));
}

// The debug switch is read at every line, so it works in a running program.
TEST(PttSoundLoadTest, LogsOnlyWhileDebugIsSet) {
  TempDirectory directory;
  ASSERT_TRUE(WriteBytes(directory.path() + "ptt_on.wav", PcmWav(48000, 2, {1, 2, 3, 4})));
  LogCapture& log = LogCapture::Get();
  Cue cue;

  g_unsetenv("CORVEL_PTT_DEBUG");
  log.Clear();
  ptt_sound::LoadCue(directory.path(), "ptt_on.wav", kOnHz, cue);
  ptt_sound::LoadCue(directory.path(), "ptt_off.wav", kOffHz, cue);
  EXPECT_TRUE(log.Lines().empty());

  g_setenv("CORVEL_PTT_DEBUG", "", TRUE);
  ptt_sound::LoadCue(directory.path(), "ptt_on.wav", kOnHz, cue);
  ptt_sound::LoadCue(directory.path(), "ptt_off.wav", kOffHz, cue);
  g_unsetenv("CORVEL_PTT_DEBUG");
  ptt_sound::LoadCue("", "ptt_on.wav", kOnHz, cue);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "ptt_sound: loaded ptt_on.wav (48000 Hz, 2 ch, 8 bytes)",
                             "ptt_sound: ptt_off.wav missing \u2014 using synth tone",
                         }));
}

// The module against a PulseAudio daemon of the test's own, whose null sink's
// monitor is recorded. The cue files live where the module looks for them:
// beside this test's executable.
class PttSoundPlayerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    daemon_ = new PulseDaemon();
    g_setenv("PULSE_SERVER", daemon_->server().c_str(), TRUE);
    g_setenv("CORVEL_PTT_DEBUG", "1", TRUE);
    LogCapture::Get();
  }

  static void TearDownTestSuite() {
    g_unsetenv("CORVEL_PTT_DEBUG");
    g_unsetenv("PULSE_SERVER");
    delete recorder_;
    recorder_ = nullptr;
    delete daemon_;
    daemon_ = nullptr;
  }

  void SetUp() override {
    // An earlier test may have left the daemon frozen or dead.
    daemon_->Resume();
    if (recorder_ == nullptr) {
      ASSERT_NO_FATAL_FAILURE(RestartDaemon());
    }
    start_ = recorder_->windows();
    std::filesystem::create_directories(AssetDirectory());
    RemoveCueFiles();
    LogCapture::Get().Clear();
  }

  void TearDown() override {
    ptt_sound::Shutdown();
    daemon_->Resume();
    RemoveCueFiles();
    // Let what was still on its way to the recorder arrive within this test.
    if (recorder_ != nullptr) recorder_->WaitForWindows(recorder_->windows() + 5, kToneTimeout);
  }

  // A fresh daemon on the same socket, recorded from now on. The recorder is
  // kept across tests: starting one on an idle sink takes a couple of seconds.
  static void RestartDaemon() {
    delete recorder_;
    recorder_ = nullptr;
    std::string error;
    ASSERT_TRUE(daemon_->Start(&error)) << error;
    auto recorder = std::make_unique<MonitorRecorder>(daemon_->server(), daemon_->monitor_source());
    ASSERT_TRUE(recorder->Start(&error)) << error;
    recorder_ = recorder.release();
  }

  static std::string AssetDirectory() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string() +
           "/data/flutter_assets/assets/sounds/";
  }

  static void WriteCue(const char* name, const std::string& bytes) {
    ASSERT_TRUE(WriteBytes(AssetDirectory() + name, bytes));
  }

  static void RemoveCueFiles() {
    std::filesystem::remove(AssetDirectory() + "ptt_on.wav");
    std::filesystem::remove(AssetDirectory() + "ptt_off.wav");
  }

  // Plays a cue and waits until its tone is heard; the window it starts in.
  static std::optional<size_t> PlayAndHear(bool on, double hz) {
    const size_t from = recorder_->windows();
    ptt_sound::Play(on);
    return recorder_->WaitForTone(hz, kToneTimeout, from);
  }

  // Requests the cue again and again (the queue may be full) until its tone
  // is heard at or after `from_window`.
  static std::optional<size_t> KeepPlayingUntilHeard(bool on, double hz, size_t from_window) {
    const auto deadline = MonitorRecorder::Clock::now() + kToneTimeout;
    while (MonitorRecorder::Clock::now() < deadline) {
      ptt_sound::Play(on);
      if (auto heard = recorder_->WaitForTone(hz, 20ms, from_window)) return heard;
    }
    return std::nullopt;
  }

  // Windows from `from_window` on, after watching the recording for
  // `windows` of them, in which `hz` was audible.
  static size_t AudibleInNext(double hz, size_t from_window, size_t windows) {
    EXPECT_TRUE(recorder_->WaitForWindows(from_window + windows, kToneTimeout));
    return AudibleSince(hz, from_window);
  }

  static size_t AudibleSince(double hz, size_t from_window) {
    const std::vector<bool> windows = recorder_->Audible(hz, from_window);
    return static_cast<size_t>(std::count(windows.begin(), windows.end(), true));
  }

  static inline PulseDaemon* daemon_ = nullptr;
  static inline MonitorRecorder* recorder_ = nullptr;
  // The first window recorded in this test.
  size_t start_ = 0;
};

TEST_F(PttSoundPlayerTest, OnAndOffCuesAreAudible) {
  ptt_sound::Init();
  const std::optional<size_t> on = PlayAndHear(true, kOnHz);
  ASSERT_TRUE(on) << "800 Hz on cue never heard";
  // About 100 ms of 800 Hz, then quiet; no 500 Hz at all.
  const size_t on_windows = AudibleInNext(kOnHz, *on, kQuietWindows);
  EXPECT_GE(on_windows, 6u);
  EXPECT_LE(on_windows, 12u);
  EXPECT_EQ(AudibleSince(kOffHz, start_), 0u);

  const std::optional<size_t> off = PlayAndHear(false, kOffHz);
  ASSERT_TRUE(off) << "500 Hz off cue never heard";
  const size_t off_windows = AudibleInNext(kOffHz, *off, kQuietWindows);
  EXPECT_GE(off_windows, 6u);
  EXPECT_LE(off_windows, 12u);
  EXPECT_EQ(AudibleSince(kOnHz, *off), 0u);
}

TEST_F(PttSoundPlayerTest, SuppliedWavFilesAreTheCues) {
  // 300 ms at other pitches, so a synthesized tone could not pass for them.
  WriteCue("ptt_on.wav", PcmWav(44100, 1, Sine(1200, 44100, 1, 0.3, 0.3)));
  WriteCue("ptt_off.wav", PcmWav(44100, 1, Sine(300, 44100, 1, 0.3, 0.3)));
  ptt_sound::Init();
  const std::optional<size_t> on = PlayAndHear(true, 1200);
  ASSERT_TRUE(on);
  EXPECT_GE(AudibleInNext(1200, *on, kQuietWindows), 20u);
  EXPECT_TRUE(PlayAndHear(false, 300));
  EXPECT_EQ(AudibleSince(kOnHz, start_), 0u);
  EXPECT_EQ(AudibleSince(kOffHz, start_), 0u);
}

TEST_F(PttSoundPlayerTest, NewerRequestCutsTheCueBeingWritten) {
  WriteCue("ptt_on.wav", PcmWav(44100, 1, Sine(kOnHz, 44100, 1, 2.0, 0.2)));
  ptt_sound::Init();
  ASSERT_TRUE(PlayAndHear(true, kOnHz));
  const std::optional<size_t> off = PlayAndHear(false, kOffHz);
  ASSERT_TRUE(off);
  // The rest of the two-second (200-window) on cue is neither written nor
  // played: it stops where the off cue starts.
  EXPECT_LT(AudibleSince(kOnHz, start_), 50u);
  EXPECT_EQ(AudibleInNext(kOnHz, *off + 2, kQuietWindows), 0u);
}

// With the server frozen the worker hangs in its first connection, so the
// requests pile up. Of off, on, off, on, off only the first four wait; each
// waiting request cuts the one before it before its first chunk, so the
// fourth (on) is the one heard and the dropped fifth (off) never is.
TEST_F(PttSoundPlayerTest, AtMostFourRequestsWait) {
  daemon_->Pause();
  ptt_sound::Init();
  for (bool on : {false, true, false, true, false}) ptt_sound::Play(on);
  daemon_->Resume();
  const std::optional<size_t> on = recorder_->WaitForTone(kOnHz, kToneTimeout, start_);
  ASSERT_TRUE(on);
  EXPECT_EQ(AudibleInNext(kOffHz, start_, *on - start_ + kQuietWindows), 0u);
}

TEST_F(PttSoundPlayerTest, PlayOutsideInitAndShutdownDoesNothing) {
  ptt_sound::Play(true);
  ptt_sound::Shutdown();
  ptt_sound::Init();
  // A request made before Init was dropped, not kept for later.
  EXPECT_EQ(AudibleInNext(kOnHz, start_, kQuietWindows), 0u);
  ASSERT_TRUE(PlayAndHear(false, kOffHz));

  ptt_sound::Shutdown();
  ptt_sound::Shutdown();
  const size_t stopped = recorder_->windows();
  ptt_sound::Play(true);
  EXPECT_EQ(AudibleInNext(kOnHz, stopped, kQuietWindows), 0u);

  // Started again, the module plays as before.
  ptt_sound::Init();
  EXPECT_TRUE(PlayAndHear(true, kOnHz));
}

TEST_F(PttSoundPlayerTest, CueOfAnotherFormatReopensTheStream) {
  // Written to a stream of the other format, either cue would come out at
  // the wrong pitch.
  WriteCue("ptt_on.wav", PcmWav(48000, 2, Sine(kOnHz, 48000, 2, 0.2, 0.2)));
  ptt_sound::Init();
  EXPECT_TRUE(PlayAndHear(true, kOnHz));
  EXPECT_TRUE(PlayAndHear(false, kOffHz));
  EXPECT_TRUE(PlayAndHear(true, kOnHz));
}

// A cue the stream refuses (here a zero sample rate) is skipped; the next cue
// opens a stream of its own format and plays.
TEST_F(PttSoundPlayerTest, RefusedFormatSkipsOnlyThatCue) {
  WriteCue("ptt_on.wav", RiffWave({{.id = "fmt ", .body = FmtBody(1, 1, 0, 16)},
                                   {.id = "data", .body = Pcm16(Sine(kOnHz, 8000, 1, 0.2, 0.2))}}));
  ptt_sound::Init();
  ptt_sound::Play(true);
  EXPECT_TRUE(PlayAndHear(false, kOffHz));
  EXPECT_EQ(AudibleSince(kOnHz, start_), 0u);
  const std::vector<std::string> lines = LogCapture::Get().Lines();
  // Once for the worker's first stream, once for the skipped cue.
  EXPECT_EQ(
      std::count(lines.begin(), lines.end(), "ptt_sound: pa_simple_new failed: Invalid argument"),
      2);
}

// The worker learns that the daemon died only when a write fails: that cue is
// lost, the next one reconnects to the new daemon and plays.
TEST_F(PttSoundPlayerTest, RestartedDaemonLosesOnlyTheFirstCue) {
  ptt_sound::Init();
  ASSERT_TRUE(PlayAndHear(true, kOnHz));

  ASSERT_NO_FATAL_FAILURE(RestartDaemon());
  const size_t restarted = recorder_->windows();
  ptt_sound::Play(false);
  ASSERT_TRUE(LogCapture::Get().WaitForLine("ptt_sound: write failed: ", kToneTimeout));
  ASSERT_TRUE(PlayAndHear(true, kOnHz));
  EXPECT_EQ(AudibleSince(kOffHz, restarted), 0u);

  std::vector<std::string> failures;
  for (const std::string& line : LogCapture::Get().Lines()) {
    if (line.starts_with("ptt_sound: write failed: ")) failures.push_back(line);
  }
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_TRUE(failures[0].ends_with(" \u2014 reconnecting")) << failures[0];
}

TEST_F(PttSoundPlayerTest, LogsStartAndMissingFiles) {
  ptt_sound::Init();
  EXPECT_EQ(LogCapture::Get().Lines(), (std::vector<std::string>{
                                           "ptt_sound: ptt_on.wav missing \u2014 using synth tone",
                                           "ptt_sound: ptt_off.wav missing \u2014 using synth tone",
                                           "ptt_sound: worker started",
                                       }));
}

// Requests from two threads while the worker plays; the module stays sound
// (the ThreadSanitizer build checks the locking) and keeps playing.
TEST_F(PttSoundPlayerTest, PlayFromOtherThreadsWhileTheWorkerRuns) {
  ptt_sound::Init();
  ASSERT_TRUE(PlayAndHear(true, kOnHz));
  std::vector<std::thread> callers;
  for (bool on : {true, false}) {
    callers.emplace_back([on] {
      for (int i = 0; i < 500; ++i) ptt_sound::Play(on);
    });
  }
  for (std::thread& caller : callers) caller.join();
  // The callers' last requests play first; an on cue and then an off cue
  // asked for afterwards are heard in that order.
  const size_t joined = recorder_->windows();
  const std::optional<size_t> on = KeepPlayingUntilHeard(true, kOnHz, joined);
  ASSERT_TRUE(on);
  EXPECT_TRUE(KeepPlayingUntilHeard(false, kOffHz, *on + 1));
}

}  // namespace
