// Picture and sound in one stream: NUT or Matroska, muxed (and FFV1
// encoded) by FFmpeg's libraries, written through an OutputFile so that
// files are still replaced whole and pipes written in place. Built only
// where those libraries are (not on Windows: MORAVANE_CLI_LIBAV).
//
// The writer lives in a module of its own (moravane-cli-media.so, from
// Media.cpp), loaded the first time a NUT or Matroska stream is opened:
// linking FFmpeg's libraries pulls in some 130 shared libraries, whose
// loading took 60 ms of every start of the program, for every command.
// The module calls back into the program (OutputFile, the colour
// conversion), whose symbols the program exports for it.
#pragma once

#include "Cli.h"

#include <moravane/MemoryMappedFile.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cli {

struct MediaFormat {
  bool matroska = false;  // else NUT
  bool ffv1 = false;      // else rawvideo
  int width = 0;
  int height = 0;
  int rateNumerator = 0;
  int rateDenominator = 1;
  int aspectNumerator = 1;
  int aspectDenominator = 1;
  char interlace = 'p';  // p progressive, t top field first, b bottom first
  PictureFormat picture;
  int sampleRate = 0;  // 0: no audio stream
  int channels = 0;    // interleaved signed 16-bit samples
};

// One stream of video frames (timestamps 0, 1, 2, ... in 1/rate) and
// audio samples (from 0, in 1/sampleRate), interleaved by the muxer.
class MediaWriter {
 public:
  virtual ~MediaWriter() = default;
  virtual void WriteVideo(const FrameView& frame) = 0;
  virtual void WriteAudio(const std::int16_t* samples, std::size_t frames) = 0;
  // Drains the encoder and writes the trailer; the caller then commits.
  virtual void Close() = 0;
};

// Loads the module (once) and opens a stream on `out`. An OutputError names
// the module and why it could not be loaded.
std::unique_ptr<MediaWriter> OpenMediaWriter(OutputFile& out, const MediaFormat& format);
// Loads the module, if it is not yet: on a thread of its own while the
// program waits for the server, so that OpenMediaWriter finds it loaded.
// What went wrong is told by OpenMediaWriter.
void LoadMediaModule();

// The module's one entry point, and the program's version it must be of:
// its calls into the program assume the layouts of this very build.
using OpenMediaWriterFunction = MediaWriter* (*)(OutputFile& out, const MediaFormat& format);
inline constexpr const char* kMediaModule = "moravane-cli-media.so";
inline constexpr const char* kMediaOpenSymbol = "moravane_cli_media_open";
inline constexpr const char* kMediaVersionSymbol = "moravane_cli_media_version";

// The source's audio for the frames rendered, from the first frame's time,
// rendered as the audio command renders it (16-bit samples into a section
// of its own, buffer by buffer) and handed to a MediaWriter.
//
// The sound renders beside the pictures, on the thread that renders the
// next frame: every remote call goes through the one communication thread,
// and a buffer of sound asked for from any other thread waited behind a
// picture's render and held the next one up. A buffer holds a second: a
// buffer a frame cost a remote call a frame, a quarter of the frame rate.
class AudioTrack {
 public:
  AudioTrack(moravane::Source& source, long firstFrame, int rateNumerator, int rateDenominator, int sampleRate,
             int channels);
  // Renders the sound through the end of the first `frames` video frames,
  // kept apart until Collect.
  void RenderThrough(long frames);
  // Takes over what RenderThrough rendered. Not while RenderThrough runs:
  // the caller calls both in turn (the render ahead's Wait between them).
  void Collect();
  // Hands over the samples that run until the end of the first `frames`
  // video frames (rendered and collected before); silence where the
  // source's audio has ended.
  void Through(long frames, MediaWriter& writer);
  void End();

 private:
  // Sample frames from the first frame's start to the end of `frames`.
  long long Due(long frames) const;
  moravane::Renderer m_renderer;
  moravane::AudioRenderOptions m_options;
  moravane::MemoryMappedFile m_section;
  std::string m_name;
  long long m_rateNumerator, m_rateDenominator, m_sampleRate;
  int m_channels;
  // RenderThrough's: sample frames rendered, the source had no more, and
  // the samples rendered since the last Collect.
  long long m_rendered = 0;
  bool m_ended = false;
  std::vector<std::int16_t> m_incoming;
  // The writer's side: sample frames handed over, and the samples rendered
  // and collected, due from m_next on.
  long long m_done = 0;
  std::vector<std::int16_t> m_pending;
  std::size_t m_next = 0;
  // After the section, so that the render ends before its section goes.
  std::optional<moravane::host::ScopedRender> m_render;
};

}  // namespace cli
