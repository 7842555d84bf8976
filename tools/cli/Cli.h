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
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

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

// A progress bar on stderr, drawn only when stderr is a terminal.
class Progress {
 public:
  Progress(const char* what, long total, bool quiet)
      : m_what(what), m_total(std::max(total, 1L)), m_on(!quiet && ::isatty(2) == 1) {}
  ~Progress() {
    if (m_on && m_drawn) std::fputc('\n', stderr);
  }
  void Update(long done) {
    if (!m_on) return;
    const int width = 40;
    const int filled = static_cast<int>(width * std::min(done, m_total) / m_total);
    std::fprintf(stderr, "\r%s [%.*s%*s] %ld/%ld", m_what, filled, "########################################",
                 width - filled, "", done, m_total);
    std::fflush(stderr);
    m_drawn = true;
  }

 private:
  const char* m_what;
  long m_total;
  bool m_on;
  bool m_drawn = false;
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

struct RenderRequest {
  std::string project;
  std::string source;
  std::string frames;
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
  std::string chroma = "444";
  std::string matrix = "auto";
  int pngLevel = 1;
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
  std::optional<double> seconds;
  double start = 0;
  double rate = 48000;
  int channels = 2;
  std::string encoding = "int16";
  int bufferFrames = 4800;
  bool quiet = false;
};

void CheckAudioRequest(const AudioRequest& r);

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
