// quiro-denoise run as a person would run it, on WAV files made here.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct ToolRun {
  int exit_status;
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

class QuiroDenoiseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quiro-denoise-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes `samples` (unit scale) as a WAV file with the given layout.
  fs::path WriteWav(const std::string& name, const std::vector<float>& samples, int rate = 48000,
                    int channels = 1, int subtype = SF_FORMAT_PCM_16) {
    const fs::path path = dir_ / name;
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | subtype;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    sf_writef_float(file, samples.data(), samples.size() / channels);
    sf_close(file);
    return path;
  }

  ToolRun Run(const std::string& arguments) {
    const fs::path out = dir_ / "stdout.txt";
    const fs::path err = dir_ / "stderr.txt";
    const std::string command = std::string(QUIRO_DENOISE_PATH) + " " + arguments + " >" +
                                out.string() + " 2>" + err.string();
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
  }

  // Everything in the directory but the captured streams.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename();
      if (name != "stdout.txt" && name != "stderr.txt") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

// A loud tone, a silent stretch, and a partial last frame.
std::vector<float> TestSignal(std::size_t length) {
  std::vector<float> samples(length, 0.0f);
  for (std::size_t i = 0; i < length / 2; ++i) {
    samples[i] = 0.3f * std::sin(2.0 * M_PI * 200.0 * i / 48000.0);
  }
  return samples;
}

TEST_F(QuiroDenoiseTest, ProblemsGiveOneLineAndStatusTwoAndNoOutput) {
  const std::string mono = WriteWav("mono.wav", TestSignal(4800)).string();
  const std::string stereo = WriteWav("stereo.wav", TestSignal(9600), 48000, 2).string();
  const std::string slow = WriteWav("slow.wav", TestSignal(4410), 44100).string();
  const std::string pcm24 =
      WriteWav("pcm24.wav", TestSignal(4800), 48000, 1, SF_FORMAT_PCM_24).string();
  std::ofstream(dir_ / "garbage.wav") << "not a sound file at all";
  const std::string out = (dir_ / "out.wav").string();
  const std::vector<std::string> inputs_only = Listing();

  struct Case {
    std::string arguments;
    std::string expected_in_message;
  };
  const Case cases[] = {
      {"", "missing input file"},
      {mono, "missing output file"},
      {mono + " " + out + " --mode", "missing value after --mode"},
      {mono + " " + out + " --mode loud", "unknown mode 'loud'"},
      {mono + " " + out + " --scores", "missing value after --scores"},
      {mono + " " + out + " --fast", "unknown option --fast"},
      {mono + " " + out + " extra.wav", "unexpected argument extra.wav"},
      {(dir_ / "absent.wav").string() + " " + out, "absent.wav"},
      {(dir_ / "garbage.wav").string() + " " + out, "garbage.wav"},
      {stereo + " " + out, "2 channels, mono needed"},
      {slow + " " + out, "sample rate is 44100 Hz, 48000 Hz needed"},
      {pcm24 + " " + out, "16-bit or 32-bit float"},
      {mono + " " + (dir_ / "no-such-dir" / "out.wav").string(), "cannot create"},
      {mono + " " + out + " --scores " + (dir_ / "no-such-dir" / "s.csv").string(),
       "cannot create"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const ToolRun run = Run(c.arguments);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err.rfind("quiro-denoise: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.expected_in_message), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(Listing(), inputs_only);
  }
}

struct FormatCase {
  const char* name;
  int subtype;
  const char* mode;
};

TEST_F(QuiroDenoiseTest, WritesInputLengthAndFormatWithScores) {
  const FormatCase cases[] = {
      {"16-bit denoise", SF_FORMAT_PCM_16, "denoise"},
      {"float voice gate", SF_FORMAT_FLOAT, "voice-gate"},
      {"16-bit bypass", SF_FORMAT_PCM_16, "bypass"},
  };
  constexpr std::size_t kLength = 48000 + 123;  // 100 frames and a partial one
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path in = WriteWav("in.wav", TestSignal(kLength), 48000, 1, c.subtype);
    const fs::path out = dir_ / "out.wav";
    const fs::path scores = dir_ / "scores.csv";
    const ToolRun run = Run(in.string() + " " + out.string() + " --mode " + c.mode + " --scores " +
                            scores.string());
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("frames: 101"), std::string::npos) << run.out;
    // The silent second half: 30 held frames pass, the remaining 20 are gated.
    EXPECT_NE(run.out.find("level-gated: 19.8%"), std::string::npos) << run.out;

    SF_INFO info{};
    SNDFILE* file = sf_open(out.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> processed(info.frames);
    sf_readf_float(file, processed.data(), info.frames);
    sf_close(file);
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(kLength));
    EXPECT_EQ(info.format, SF_FORMAT_WAV | c.subtype);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 1);

    const std::string csv = ReadFile(scores);
    EXPECT_EQ(csv.rfind("frame,time_s,score_db,outcome\n", 0), 0u);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 102);
    EXPECT_NE(csv.find("100,1.00,-30.000,level-gated\n"), std::string::npos);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"in.wav", "out.wav", "scores.csv"}));
  }
}

}  // namespace
