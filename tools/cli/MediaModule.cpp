// The program's side of NUT and Matroska: loading the module that holds
// FFmpeg's libraries (Media.cpp), and the sound rendered for a stream.
#include "Media.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace cli {

namespace {

// The folder this program was started from.
std::string ProgramFolder() {
  std::vector<char> path(4096);
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length <= 0) return ".";
  std::string program(path.data(), static_cast<std::size_t>(length));
  const std::size_t slash = program.rfind('/');
  return slash == std::string::npos ? "." : program.substr(0, slash);
}

struct Module {
  OpenMediaWriterFunction open = nullptr;
  std::string problem;  // why it is not there, when `open` is null
};

// Beside the program in the build tree; in the library folder once
// installed (MORAVANE_CLI_MEDIA_FROM_BIN: that folder, relative to the
// program's). Loaded once: the module is never unloaded.
Module Load() {
  const std::string folder = ProgramFolder();
  std::vector<std::string> candidates{folder + "/" + kMediaModule};
#ifdef MORAVANE_CLI_MEDIA_FROM_BIN
  candidates.push_back(folder + "/" MORAVANE_CLI_MEDIA_FROM_BIN "/" + kMediaModule);
#endif
  std::string problems;
  for (const std::string& path : candidates) {
    if (::access(path.c_str(), F_OK) != 0) continue;
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      problems += std::string("; ") + ::dlerror();
      continue;
    }
    const auto* version = static_cast<const char*>(::dlsym(handle, kMediaVersionSymbol));
    auto* open = reinterpret_cast<OpenMediaWriterFunction>(::dlsym(handle, kMediaOpenSymbol));
    if (version == nullptr || open == nullptr || std::strcmp(version, MORAVANE_CLI_VERSION) != 0) {
      problems += "; " + path + " is not of this moravane-cli (" MORAVANE_CLI_VERSION ")";
      ::dlclose(handle);
      continue;
    }
    return Module{open, {}};
  }
  if (problems.empty()) {
    problems = "; looked for it in " + folder;
#ifdef MORAVANE_CLI_MEDIA_FROM_BIN
    problems += " and " + folder + "/" MORAVANE_CLI_MEDIA_FROM_BIN;
#endif
  }
  return Module{nullptr, std::string("NUT and Matroska need ") + kMediaModule + problems};
}

const Module& TheModule() {
  static const Module module = Load();
  return module;
}

}  // namespace

void LoadMediaModule() { TheModule(); }

std::unique_ptr<MediaWriter> OpenMediaWriter(OutputFile& out, const MediaFormat& format) {
  const Module& module = TheModule();
  if (module.open == nullptr) throw OutputError(module.problem);
  return std::unique_ptr<MediaWriter>(module.open(out, format));
}

// --- sound -----------------------------------------------------------------

AudioTrack::AudioTrack(moravane::Source& source, long firstFrame, int rateNumerator, int rateDenominator,
                       int sampleRate, int channels)
    : m_renderer(source.GetRenderer()),
      m_options(m_renderer.CreateAudioRenderOptions()),
      m_name(SectionName("audio")),
      m_rateNumerator(rateNumerator),
      m_rateDenominator(rateDenominator),
      m_sampleRate(sampleRate),
      m_channels(channels) {
  m_options.SetSampleRate(sampleRate);
  m_options.SetNumChannels(channels);
  m_options.SetEncoding(0);
  m_options.SetBytesPerSample(2);
  const long long bufferFrames = sampleRate;  // a second (Media.h says why)
  const ULONGLONG sectionSize = static_cast<ULONGLONG>(bufferFrames) * channels * 2;
  m_section.Init(true, m_name, sectionSize);
  // From the first frame's time, exactly.
  m_render.emplace(
      moravane::host::ScopedRender::Audio(m_renderer, FrameStart(firstFrame, rateNumerator, rateDenominator),
                                          static_cast<LONG>(bufferFrames), m_options, m_name, sectionSize));
}

long long AudioTrack::Due(long frames) const {
  // The samples that start before the end of the frames' time, rounded.
  return (frames * m_sampleRate * m_rateDenominator + m_rateNumerator / 2) / m_rateNumerator;
}

void AudioTrack::RenderThrough(long frames) {
  const std::size_t frameSamples = static_cast<std::size_t>(m_channels);
  while (!m_ended && m_rendered < Due(frames)) {
    ULONGLONG written = 0;
    m_renderer.GetNextAudioBuffer(&written);
    const auto* data = static_cast<const std::int16_t*>(m_section.GetAddress());
    const std::size_t got = static_cast<std::size_t>(written) / 2 / frameSamples;
    m_incoming.insert(m_incoming.end(), data, data + got * frameSamples);
    m_rendered += static_cast<long long>(got);
    m_ended = got == 0;
  }
}

void AudioTrack::Collect() {
  // What was handed over goes when a buffer comes, not once a frame.
  if (m_incoming.empty()) return;
  m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(m_next));
  m_next = 0;
  m_pending.insert(m_pending.end(), m_incoming.begin(), m_incoming.end());
  m_incoming.clear();
}

void AudioTrack::Through(long frames, MediaWriter& writer) {
  const long long due = Due(frames);
  const std::size_t wanted = static_cast<std::size_t>(due - m_done) * static_cast<std::size_t>(m_channels);
  // Short only where the source's audio has ended: silence keeps the
  // pictures' length.
  if (m_pending.size() - m_next < wanted) m_pending.resize(m_next + wanted, 0);
  writer.WriteAudio(m_pending.data() + m_next, static_cast<std::size_t>(due - m_done));
  m_next += wanted;
  m_done = due;
}

void AudioTrack::End() {
  if (m_render) m_render->End();
}

}  // namespace cli
