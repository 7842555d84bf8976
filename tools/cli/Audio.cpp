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
  // The same selection as render's (Selection.cpp): frame numbers are
  // times at the source's frame rate.
  const SelectedSpan span = SelectAudio(request.selection, source.GetDuration(), RateFraction(source.GetFrameRate()));
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
  const long long wanted = std::llround(span.durationSeconds * request.rate);
  moravane::host::ScopedRender render =
      moravane::host::ScopedRender::Audio(renderer, span.start, request.bufferFrames, options, name, sectionSize);
  Progress progress("audio", static_cast<long>(wanted), 1 / request.rate, false, request.progress, request.quiet);
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
  progress.Finish();
  link.server.CloseProject(project);
  if (!request.quiet) {
    std::fprintf(stderr, "wrote %lld sample frames (%.3f s, %d channels, %s) to %s\n", done, done / request.rate,
                 request.channels, request.encoding.c_str(), file.Name().c_str());
  }
  return 0;
}

}  // namespace cli
