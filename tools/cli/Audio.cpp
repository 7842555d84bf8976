// The audio command: samples to a WAV file, a WAV stream or raw PCM.
#include "Cli.h"

#include <moravane/Host.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace cli {

int Audio(const AudioRequest& request) {
  CheckAudioRequest(request);
  const bool floats = request.encoding == "float";
  const int bytesPerSample = floats ? 4 : 2;

  Link link;
  moravane::Project project = link.server.OpenProject(AbsolutePath(request.project));
  moravane::Source source = FindSource(project, request.source);
  if (!source.HasAudio()) throw UsageError("the source '" + request.source + "' has no audio");
  const double length = source.GetDuration().ToSeconds();
  if (request.start >= length) {
    throw UsageError("--start " + std::to_string(request.start) + " is at or past the source's end (" +
                     std::to_string(length) + " s)");
  }
  const double seconds = request.seconds.value_or(length - request.start);
  moravane::Renderer renderer = source.GetRenderer();
  moravane::AudioRenderOptions options = renderer.CreateAudioRenderOptions();
  options.SetSampleRate(request.rate);
  options.SetNumChannels(request.channels);
  options.SetEncoding(floats ? 1 : 0);
  options.SetBytesPerSample(bytesPerSample);

  const std::size_t frameBytes = static_cast<std::size_t>(request.channels) * bytesPerSample;
  const ULONGLONG sectionSize = static_cast<ULONGLONG>(request.bufferFrames) * frameBytes;
  moravane::MemoryMappedFile section;
  const std::string name = SectionName("audio");
  section.Init(true, name, sectionSize);
  const auto* data = static_cast<const std::uint8_t*>(section.GetAddress());

  cli::OutputFile file(request.output);
  cli::AudioWriter writer(
      file, request.format == "raw" ? cli::AudioWriter::Container::kRaw : cli::AudioWriter::Container::kWav,
      static_cast<int>(std::lround(request.rate)), request.channels, floats);
  const long long wanted = std::llround(seconds * request.rate);
  const long long startMs = std::llround(request.start * 1000);
  moravane::host::ScopedRender render = moravane::host::ScopedRender::Audio(
      renderer, {static_cast<std::int32_t>(startMs), 1000}, request.bufferFrames, options, name, sectionSize);
  Progress progress("audio", static_cast<long>(wanted), request.quiet);
  long long done = 0;
  while (done < wanted) {
    CheckInterrupted();
    ULONGLONG written = 0;
    renderer.GetNextAudioBuffer(&written);
    if (written == 0) break;  // the source ended before the time asked for
    const long long frames = std::min<long long>(static_cast<long long>(written / frameBytes), wanted - done);
    writer.Append(data, static_cast<std::size_t>(frames) * frameBytes);
    done += frames;
    progress.Update(static_cast<long>(done));
  }
  render.End();
  writer.Close();
  file.Commit();
  link.server.CloseProject(project);
  if (!request.quiet) {
    std::fprintf(stderr, "wrote %lld sample frames (%.3f s, %d channels, %s) to %s\n", done, done / request.rate,
                 request.channels, request.encoding.c_str(), file.Name().c_str());
  }
  return 0;
}

}  // namespace cli
