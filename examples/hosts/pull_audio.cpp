// Pulls the sound of a source into a WAV file (48 kHz, stereo, 16-bit) and
// prints its level second by second, as a meter would show it.
//
//   pull_audio PROJECT SOURCE OUTPUT.wav [SECONDS]
//
// SOURCE is a name or a GUID; SECONDS from the start (default: the whole
// source; a source that ends first gives less).
//
// Exit codes: 0 written; 2 wrong usage (no such project file or source, a
// source without audio, a bad length); 3 a link error; 4 a file that cannot
// be written.
#include "HostMain.h"

#include <moravane/Host.h>
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Project.h>
#include <moravane/Server.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

using hostmain::OutputError;
using hostmain::ProjectPath;

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBytesPerSample = 2;       // 16-bit integers
constexpr LONG kFramesPerBuffer = 4800;  // 0.1 s a buffer
constexpr double kFullScale = 32767.0;   // what the server scales 1.0 to

// A WAV file of 16-bit PCM, written beside its name and renamed when
// complete, so that a failure anywhere (a lost link too) leaves nothing
// partial behind.
class WavFile {
 public:
  explicit WavFile(const std::string& path)
      : m_path(path), m_partial(path + ".partial"), m_out(m_partial, std::ios::binary | std::ios::trunc) {
    if (!m_out) throw OutputError("cannot write '" + m_path + "'");
    WriteHeader();
  }
  WavFile(const WavFile&) = delete;
  ~WavFile() {
    if (m_partial.empty()) return;
    m_out.close();
    std::remove(m_partial.c_str());
  }

  void Append(const void* data, std::size_t bytes) {
    if (bytes > 0xFFFFFFFFu - 36 - m_dataBytes)
      throw OutputError("'" + m_path + "' would pass the 4 GiB of a WAV file");
    m_out.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    m_dataBytes += static_cast<std::uint32_t>(bytes);
  }
  // The header again, now with the sizes, then the file under its name.
  void Commit() {
    m_out.seekp(0);
    WriteHeader();
    m_out.close();
    std::error_code error;
    if (m_out) std::filesystem::rename(m_partial, m_path, error);
    if (!m_out || error) throw OutputError("cannot write '" + m_path + "'" + (error ? ": " + error.message() : ""));
    m_partial.clear();
  }

 private:
  // The canonical 44 bytes, little-endian whatever the host's order.
  void WriteHeader() {
    auto put = [&](std::uint32_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) m_out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
    };
    m_out.write("RIFF", 4), put(36 + m_dataBytes, 4), m_out.write("WAVEfmt ", 8), put(16, 4);
    put(1, 2), put(kChannels, 2), put(kRate, 4), put(kRate * kChannels * kBytesPerSample, 4);
    put(kChannels * kBytesPerSample, 2), put(8 * kBytesPerSample, 2);
    m_out.write("data", 4), put(m_dataBytes, 4);
  }

  std::string m_path;
  std::string m_partial;  // empty once committed
  std::ofstream m_out;
  std::uint32_t m_dataBytes = 0;
};

// Peak and RMS of a stretch of samples, in dB below full scale.
struct Level {
  double peak = 0;
  double squares = 0;
  long long samples = 0;

  void Add(const std::int16_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      peak = std::max(peak, std::abs(static_cast<double>(data[i])));
      squares += static_cast<double>(data[i]) * data[i];
    }
    samples += static_cast<long long>(count);
  }
  double Rms() const { return samples > 0 ? std::sqrt(squares / static_cast<double>(samples)) : 0; }
  static double Db(double value) { return value > 0 ? 20 * std::log10(value / kFullScale) : -INFINITY; }
  // One line of the meter: the level up to `frames` sample frames in.
  void Print(long long frames) const {
    std::printf("%7.2f s  peak %6.1f dBFS  rms %6.1f dBFS\n", static_cast<double>(frames) / kRate, Db(peak), Db(Rms()));
  }
};

int Pull(const std::string& path, const std::string& wanted, const std::string& output, const char* secondsText) {
  const moravane::WideString absolute = ProjectPath(path);
  double seconds = INFINITY;
  if (secondsText != nullptr) {
    char* end = nullptr;
    seconds = std::strtod(secondsText, &end);
    if (end == secondsText || *end != 0 || !(seconds > 0) || !std::isfinite(seconds)) {
      throw moravane::host::RequestError("'" + std::string(secondsText) + "' is no number of seconds above 0");
    }
  }

  moravane::OrraServer orra;
  moravane::Server server = orra.CreateLink();
  moravane::Project project = server.OpenProject(absolute);
  moravane::Source source = moravane::host::FindSource(project, wanted);
  if (!source.HasAudio()) throw moravane::host::RequestError("the source '" + wanted + "' has no audio");
  seconds = std::min(seconds, source.GetDuration().ToSeconds());
  const long long wantedFrames = std::llround(seconds * kRate);

  moravane::Renderer renderer = source.GetRenderer();
  moravane::AudioRenderOptions options = renderer.CreateAudioRenderOptions();
  // The server's default is 32-bit float; encoding and sample size are set
  // together, as the server checks that they agree.
  options.SetSampleRate(kRate);
  options.SetNumChannels(kChannels);
  options.SetEncoding(0);
  options.SetBytesPerSample(kBytesPerSample);

  const std::size_t frameBytes = kChannels * kBytesPerSample;
  const ULONGLONG sectionSize = kFramesPerBuffer * frameBytes;
  const std::string sectionName = "moravane-pull-audio-" + std::to_string(::getpid());
  moravane::MemoryMappedFile section;
  section.Init(true, sectionName, sectionSize);
  const auto* samples = static_cast<const std::int16_t*>(section.GetAddress());

  WavFile wav(output);
  Level second, total;
  long long done = 0;
  {
    auto render =
        moravane::host::ScopedRender::Audio(renderer, {0, 1}, kFramesPerBuffer, options, sectionName, sectionSize);
    while (done < wantedFrames) {
      ULONGLONG written = 0;
      renderer.GetNextAudioBuffer(&written);
      if (written == 0) break;  // the source has ended
      const long long frames = std::min<long long>(static_cast<long long>(written / frameBytes), wantedFrames - done);
      wav.Append(samples, static_cast<std::size_t>(frames) * frameBytes);
      second.Add(samples, static_cast<std::size_t>(frames) * kChannels);
      total.Add(samples, static_cast<std::size_t>(frames) * kChannels);
      done += frames;
      // Buffers of 0.1 s fill whole seconds exactly at 48 kHz.
      if (done % kRate == 0) {
        second.Print(done);
        second = Level();
      }
    }
    if (second.samples > 0) second.Print(done);  // the last part of a second
    render.End();
  }
  server.CloseProject(project);

  wav.Commit();
  std::printf("wrote %s: %.3f s, %d Hz, %d channels, 16-bit; whole file: peak %.1f dBFS, rms %.1f dBFS\n",
              output.c_str(), static_cast<double>(done) / kRate, kRate, kChannels, Level::Db(total.peak),
              Level::Db(total.Rms()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "usage: pull_audio PROJECT SOURCE OUTPUT.wav [SECONDS]\n");
    return 2;
  }
  return hostmain::Run("pull_audio", [&] { return Pull(argv[1], argv[2], argv[3], argc > 4 ? argv[4] : nullptr); });
}
