// quiro-denoise: runs a 48 kHz mono WAV file through an Isolator.
//
//   quiro-denoise IN.wav OUT.wav [--mode denoise|voice-gate|bypass] [--scores FILE.csv]
//
// Writes the processed audio in the input's sample format and prints a short
// summary. Any problem is one line on stderr and exit status 2; outputs are
// written under a temporary name and renamed only once complete, so a failed
// run never leaves a half-written file behind.

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "isolator.h"
#include "isolator_internal.h"

namespace {

constexpr int kUsageExitStatus = 2;

struct Options {
  std::string input;
  std::string output;
  quiro::IsolatorMode mode = quiro::IsolatorMode::Denoise;
  std::string scores;  // empty: no scores file
};

struct Summary {
  long frames = 0;
  long level_gated = 0;
  long attenuated = 0;
  double score_sum = 0.0;
};

// Thrown on any problem; main prints it as one line and exits with 2.
// Temporary outputs are removed by their owners while it unwinds.
struct Failure {
  std::string message;
};

std::optional<quiro::IsolatorMode> ParseMode(std::string_view name) {
  if (name == "denoise") return quiro::IsolatorMode::Denoise;
  if (name == "voice-gate") return quiro::IsolatorMode::VoiceGate;
  if (name == "bypass") return quiro::IsolatorMode::Bypass;
  return std::nullopt;
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--mode" || arg == "--scores") {
      if (i + 1 >= argc) throw Failure{"missing value after " + std::string(arg)};
      const std::string value = argv[++i];
      if (arg == "--scores") {
        options.scores = value;
        continue;
      }
      const auto mode = ParseMode(value);
      if (!mode) throw Failure{"unknown mode '" + value + "' (denoise, voice-gate or bypass)"};
      options.mode = *mode;
    } else if (arg.starts_with("--")) {
      throw Failure{"unknown option " + std::string(arg)};
    } else if (positional == 0) {
      options.input = arg;
      ++positional;
    } else if (positional == 1) {
      options.output = arg;
      ++positional;
    } else {
      throw Failure{"unexpected argument " + std::string(arg)};
    }
  }
  if (positional == 0) throw Failure{"missing input file (IN.wav)"};
  if (positional == 1) throw Failure{"missing output file (OUT.wav)"};
  return options;
}

class SoundFile {
 public:
  SoundFile(const std::string& path, int mode, SF_INFO* info)
      : file_(sf_open(path.c_str(), mode, info)) {}
  ~SoundFile() {
    if (file_ != nullptr) sf_close(file_);
  }
  SoundFile(const SoundFile&) = delete;
  SoundFile& operator=(const SoundFile&) = delete;
  SNDFILE* get() const { return file_; }

 private:
  SNDFILE* file_;
};

void CheckInputFormat(const std::string& path, const SF_INFO& info) {
  if ((info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_WAV) {
    throw Failure{path + ": not a WAV file"};
  }
  const int subtype = info.format & SF_FORMAT_SUBMASK;
  if (subtype != SF_FORMAT_PCM_16 && subtype != SF_FORMAT_FLOAT) {
    throw Failure{path + ": samples must be 16-bit or 32-bit float"};
  }
  if (info.samplerate != static_cast<int>(quiro::kSampleRate)) {
    throw Failure{path + ": sample rate is " + std::to_string(info.samplerate) +
                  " Hz, 48000 Hz needed"};
  }
  if (info.channels != 1) {
    throw Failure{path + ": " + std::to_string(info.channels) + " channels, mono needed"};
  }
}

// A file written under a temporary name beside its final path; removed
// unless committed.
class PendingOutput {
 public:
  explicit PendingOutput(std::string path) : path_(std::move(path)), temp_(path_ + ".XXXXXX") {
    const int fd = mkstemp(temp_.data());
    if (fd < 0) throw Failure{path_ + ": cannot create: " + std::strerror(errno)};
    // mkstemp makes the file private; give it the mode a plain create would.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
  }
  ~PendingOutput() {
    if (!committed_) std::remove(temp_.c_str());
  }
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  const std::string& temp_path() const { return temp_; }
  const std::string& path() const { return path_; }

  void Commit() {
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
      throw Failure{path_ + ": cannot write: " + std::strerror(errno)};
    }
    committed_ = true;
  }

 private:
  std::string path_;
  std::string temp_;
  bool committed_ = false;
};

const char* OutcomeName(quiro::FrameOutcome outcome) {
  switch (outcome) {
    case quiro::FrameOutcome::LevelGated:
      return "level-gated";
    case quiro::FrameOutcome::Attenuated:
      return "attenuated";
    default:
      return "passed";
  }
}

void Tally(quiro::FrameOutcome outcome, float score, Summary* summary) {
  ++summary->frames;
  summary->level_gated += outcome == quiro::FrameOutcome::LevelGated;
  summary->attenuated += outcome == quiro::FrameOutcome::Attenuated;
  summary->score_sum += score;
}

Summary Process(const Options& options) {
  SF_INFO in_info{};
  SoundFile in(options.input, SFM_READ, &in_info);
  if (in.get() == nullptr) throw Failure{options.input + ": " + sf_strerror(nullptr)};
  CheckInputFormat(options.input, in_info);

  PendingOutput out_file(options.output);
  SF_INFO out_info{};
  out_info.samplerate = in_info.samplerate;
  out_info.channels = 1;
  out_info.format = in_info.format;
  std::optional<PendingOutput> scores_file;
  std::unique_ptr<FILE, int (*)(FILE*)> scores(nullptr, std::fclose);
  if (!options.scores.empty()) {
    scores_file.emplace(options.scores);
    scores.reset(std::fopen(scores_file->temp_path().c_str(), "w"));
    if (!scores) throw Failure{options.scores + ": cannot write"};
    std::fputs("frame,time_s,score_db,outcome\n", scores.get());
  }
  Summary summary;
  {
    SoundFile out(out_file.temp_path(), SFM_WRITE, &out_info);
    if (out.get() == nullptr) throw Failure{options.output + ": " + sf_strerror(nullptr)};
    // Samples the isolator passes untouched may lie beyond full scale;
    // clip them rather than let them wrap around in 16-bit output.
    sf_command(out.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);

    quiro::Isolator isolator(options.mode);
    std::array<float, quiro::kFrameSamples> frame;
    sf_count_t read;
    while ((read = sf_readf_float(in.get(), frame.data(), frame.size())) > 0) {
      std::fill(frame.begin() + read, frame.end(), 0.0f);  // pad the last partial frame
      const float score = isolator.process_frame(frame).score();
      const quiro::FrameOutcome outcome = quiro::IsolatorInternals::last_outcome(isolator);
      if (scores) {
        std::fprintf(scores.get(), "%ld,%.2f,%.3f,%s\n", summary.frames, summary.frames * 0.01,
                     score, OutcomeName(outcome));
      }
      Tally(outcome, score, &summary);
      if (sf_writef_float(out.get(), frame.data(), read) != read) {
        throw Failure{options.output + ": write failed: " + sf_strerror(out.get())};
      }
    }
  }
  if (scores && std::fclose(scores.release()) != 0) {
    throw Failure{options.scores + ": write failed"};
  }
  out_file.Commit();
  if (scores_file) scores_file->Commit();
  return summary;
}

void PrintSummary(const Options& options, const Summary& summary) {
  const double frames = summary.frames > 0 ? summary.frames : 1;
  std::printf("%s -> %s\n", options.input.c_str(), options.output.c_str());
  std::printf("frames: %ld (%.2f s)\n", summary.frames, summary.frames * 0.01);
  std::printf("level-gated: %.1f%%\n", 100.0 * summary.level_gated / frames);
  std::printf("attenuated by the voice gate: %.1f%%\n", 100.0 * summary.attenuated / frames);
  std::printf("mean score: %.2f dB\n", summary.score_sum / frames);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = ParseArguments(argc, argv);
    PrintSummary(options, Process(options));
    return 0;
  } catch (const Failure& failure) {
    std::fprintf(stderr, "quiro-denoise: %s\n", failure.message.c_str());
    return kUsageExitStatus;
  }
}
