// The pieces of moravane-cli that its files share: exit codes, the errors
// that end a command, interruption, the link and source helpers, the
// requests as parsed from the command line, and the commands.
#pragma once

#include "Encoders.h"

#include <moravane/Host.h>
#include <moravane/Items.h>
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/Project.h>
#include <moravane/Server.h>
#include <moravane/Source.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace CLI {
class App;
}

namespace cli {

using kelvex::utility::AsciiToUTF16;
using kelvex::utility::UTF16ToUTF8;
using moravane::WideString;

constexpr int kExitUsage = 2;
constexpr int kExitLink = 3;
constexpr int kExitOutput = 4;
constexpr int kExitReaderGone = 128 + 13;  // as a filter killed by SIGPIPE

// A request that the program refuses; nothing more reaches the server.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown by CheckInterrupted once SIGINT or SIGTERM arrived.
struct Interrupted {
  int signal;
};

// Installs the handlers of SIGINT and SIGTERM and ignores SIGPIPE.
void CatchSignals();
void CheckInterrupted();
// SIGINT or SIGTERM once either arrived, else 0.
int InterruptingSignal();

std::string Narrow(const WideString& text);
WideString AbsolutePath(const std::string& path);
std::string Json(const std::string& text);

// Where -progress writes ffmpeg's key=value blocks: "pipe:N" (descriptor
// N) or a file, appended to; empty: nowhere. -stats_period sets how often.
struct ProgressRequest {
  std::string target;
  std::string period = "0.5";  // seconds, as -stats_period takes them
};

// Checks a ProgressRequest before anything is rendered: the target's form
// and path, the period, and that the blocks do not land in `output` when it
// is the standard output too.
void CheckProgressRequest(const ProgressRequest& request, const std::string& output);

// What a command reports as it goes: a bar on stderr when stderr is a
// terminal (on one line, cleared at the end), and the -progress blocks.
// Units are frames (video) or sample frames (audio); `secondsPerUnit` turns
// them into the output's time.
class Progress {
 public:
  Progress(const char* what, long total, double secondsPerUnit, bool videoFrames, const ProgressRequest& request,
           bool quiet);
  ~Progress();  // clears the bar; a run that ends early still writes progress=end
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Update(long done);
  void Finish();  // the last block, progress=end; the bar cleared

 private:
  void Block(bool last);
  void Bar();
  void ClearBar();

  const char* m_what;
  long m_total;
  double m_secondsPerUnit;
  bool m_videoFrames;
  bool m_bar;
  int m_fd = -1;       // where the blocks go, or -1
  bool m_own = false;  // a file this object opened
  double m_period = 0.5;
  long m_done = 0;
  bool m_finished = false;
  bool m_drawn = false;
  std::chrono::steady_clock::time_point m_begin, m_lastBlock, m_lastBar;
};

// A section name of this process, so that concurrent hosts never share one.
inline std::string SectionName(const std::string& use) {
  return "moravane-cli-" + std::to_string(::getpid()) + "-" + use;
}

struct Link {
  moravane::OrraServer factory;
  moravane::Server server;
  Link() : server(factory.CreateLink()) {}
};

// Sources are found by GUID or name in the tree; a miss is wrong usage.
using moravane::host::FindSource;
using moravane::host::Walk;

// Rates, counts and the description of a source are the header's, shared
// with the Python package so that both say the same.
using moravane::host::FfmpegRawInput;
using moravane::host::FrameCount;
using moravane::host::RateFraction;

// A description as one line of JSON, numbers written so that they read
// back as the same doubles.
std::string JsonObject(const std::vector<moravane::host::Field>& fields);

// What render and audio take of a source, as written on the command line
// (Selection.cpp); each part is absent unless given. Frames are selected by
// --frames, or --start and --end (inclusive), or by time with -ss, -t, -to.
struct Selection {
  std::optional<std::string> frames;  // --frames A:B[:STEP]
  std::optional<std::string> start;   // --start N
  std::optional<std::string> end;     // --end M, included
  std::optional<std::string> ss;      // -ss TIME
  std::optional<std::string> length;  // -t TIME, --seconds
  std::optional<std::string> to;      // -to TIME
};

// A selection resolved in a source: frames first, first + step, ... before
// end, starting at `start` (as the server takes a time; startSeconds the
// same as a number) and covering durationSeconds, the time from the first
// frame's start to the end of the selection. For audio selected by time,
// first and end are the frames that start in it.
// Frame n's start, n / rate seconds, as the server takes a time: n·den /
// num exactly. A frame too far for 32 bits is wrong usage.
inline kelvex::time::RatioTime FrameStart(long n, int rateNumerator, int rateDenominator) {
  const long long ticks = static_cast<long long>(n) * rateDenominator;
  if (ticks > 0x7FFFFFFF) throw UsageError("frame " + std::to_string(n) + " is too far for a 32-bit time");
  return {static_cast<std::int32_t>(ticks), rateNumerator};
}

struct SelectedSpan {
  long first = 0;
  long end = 0;
  long step = 1;
  kelvex::time::RatioTime start{0, 1};
  double startSeconds = 0;
  double durationSeconds = 0;
};

// Reads the selection and refuses contradictions (UsageError naming the
// options), before the source is known.
void CheckSelection(const Selection& selection, bool audio);
// The frames of a source of `duration` at `rate` frames per second (a
// fraction) that the selection names: a frame is in a time selection when
// its start n / rate, rounded to the microsecond, lies in [ss, to). A
// selection that reaches past the source or holds nothing is wrong usage.
SelectedSpan SelectFrames(const Selection& selection, const kelvex::time::RatioTime& duration,
                          std::pair<int, int> rate);
// The time span of audio the selection names; frame numbers are times at
// the source's frame rate.
SelectedSpan SelectAudio(const Selection& selection, const kelvex::time::RatioTime& duration, std::pair<int, int> rate);
// A time as -ss, -t and -to take it: seconds (12.5), MM:SS[.mmm] or
// HH:MM:SS[.mmm], in microseconds; anything else is wrong usage naming `option`.
long long ParseTime(const std::string& text, const char* option);

struct RenderRequest {
  std::string project;
  std::string source;
  Selection selection;
  std::string format = "png";
  std::string output;
  std::string prefix = "frame-";
  int width = 0;
  int height = 0;
  int depth = 0;
  std::vector<int> downsample;
  std::vector<int> region;
  int fieldOrder = 0;
  int rowBytes = 0;
  bool lowQuality = false;
  bool guides = false;
  bool premultiply = false;
  unsigned long long sectionSize = 0;
  // YCbCr outputs (y4m, nut, mkv): --pix-fmt, or --chroma and
  // --output-depth; 4:2:0 8-bit, what every player plays, by default.
  std::string pixFmt;
  std::string chroma = "420";
  int outputDepth = 8;
  std::string matrix = "auto";
  // nut, mkv: the video codec and the source's sound in the same stream.
  std::string codec = "rawvideo";
  bool noAudio = false;
  double audioRate = 48000;
  int audioChannels = 2;
  int pngLevel = 1;
  ProgressRequest progress;
  bool quiet = false;
};

// --frames, read as the header reads every frame range (the Python
// package's too); text it cannot read is wrong usage that names the option.
moravane::host::FrameRange ParseFrames(const std::string& text);
void CheckRenderRequest(const RenderRequest& r);

struct AudioRequest {
  std::string project;
  std::string source;
  std::string output = "audio.wav";
  std::string format = "wav";
  Selection selection;
  double rate = moravane::host::kDefaultSampleRate;
  int channels = moravane::host::kDefaultChannels;
  std::string encoding = "int16";
  int bufferFrames = 4800;
  ProgressRequest progress;
  bool quiet = false;
};

void CheckAudioRequest(const AudioRequest& r);

// The words of the command line (argv after the program's name) with
// ffmpeg's options of several letters after one dash (-ss, -to, -progress,
// -stats_period) renamed to the long options that `app` defines for them;
// an option's value is never touched, so "--prefix -ss" and "--frames -10:"
// stay as they are (Arguments.cpp).
std::vector<std::string> FfmpegArguments(const CLI::App& app, int argc, char** argv);
// The first word that names no option or command of `app`, as a message,
// with the nearest known name when one is close ("did you mean '--frames'?").
std::optional<std::string> UnknownWord(const CLI::App& app, const std::vector<std::string>& words);

// The commands; each returns its exit code or throws.
int Info();
int Tree(const std::string& path, bool json);
int Probe(const std::string& path, const std::string& wanted, bool json);
int SendFile(const std::string& path, const std::string& projectPath);
int Register(bool remove);
int Render(const RenderRequest& request);
int Audio(const AudioRequest& request);

// A link error on stderr, with the code's text and advice when there is some.
void PrintLinkError(const moravane::LinkError& error);

}  // namespace cli
