// moravane-cli: a host of the link server on the command line, built on the
// library's public interface only.
//
//   moravane-cli info
//   moravane-cli register | unregister
//   moravane-cli tree PROJECT [--json]
//   moravane-cli probe PROJECT [--source GUID|NAME] [--json]
//   moravane-cli render PROJECT --source GUID|NAME [SELECTION] [-progress pipe:N|FILE] [options]
//   moravane-cli audio PROJECT --source GUID|NAME [SELECTION] [-progress pipe:N|FILE] [options]
//
// SELECTION is --frames A:B[:STEP]|N, --start N --end M (frames, both
// included) or -ss/-t/-to times, for both commands (Selection.cpp).
//   moravane-cli send-file PATH --project PROJECT
//
// Exit codes (kExit*): 0 done, 2 wrong usage (checked before anything
// reaches the server, or a source or range the project does not have), 3 a
// failure of the link, 4 an output that cannot be written, 130/143 ended by
// SIGINT/SIGTERM, 141 a reader that went away. Files are written under a
// temporary name and renamed when complete, so that an interrupted run
// leaves only whole files; devices, FIFOs and descriptors are written in
// place and never replaced (OutputFile.h).
#include "Cli.h"

#include <CLI/CLI.hpp>

#include <contract/Limits.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace cli {

namespace limits = moravane::limits;

moravane::host::FrameRange ParseFrames(const std::string& text) {
  try {
    return moravane::host::ParseFrameRange(text);
  } catch (const moravane::host::FrameRangeError& error) {
    throw UsageError(std::string("--frames: ") + error.what());
  }
}

// A single-file output that cannot be written is refused before anything
// is rendered.
void CheckOutputPath(const std::string& path) {
  if (const std::optional<std::string> problem = OutputPathProblem(path)) throw UsageError(*problem);
}

void CheckRenderRequest(const RenderRequest& r) {
  CheckSelection(r.selection, false);
  CheckProgressRequest(r.progress, r.output.empty() ? (r.format == "png" ? "." : "-") : r.output);
  if (r.format != "png" && r.format != "y4m" && r.format != "raw" && r.format != "nut" && r.format != "mkv") {
    throw UsageError("--format is png, y4m, raw, nut or mkv");
  }
  const bool container = r.format == "nut" || r.format == "mkv";
#ifndef MORAVANE_CLI_LIBAV
  if (container) {
    throw UsageError("--format " + r.format +
                     " needs FFmpeg's libraries, which this build has not (png, y4m and raw work)");
  }
#endif
  const std::string side = std::to_string(limits::kMaxSide);
  if (r.width < 0 || r.height < 0 || r.width > limits::kMaxSide || r.height > limits::kMaxSide) {
    throw UsageError("--width and --height are 0 (the source's) to " + side);
  }
  if (r.depth != 0 && r.depth != 8 && r.depth != 16 && r.depth != 32) {
    throw UsageError("--depth is 8, 16 or 32, not " + std::to_string(r.depth));
  }
  if (r.downsample.size() > 2 || std::any_of(r.downsample.begin(), r.downsample.end(),
                                             [](int f) { return f < 1 || f > limits::kMaxDownsample; })) {
    throw UsageError("--downsample takes X or X,Y, each 1 to " + std::to_string(limits::kMaxDownsample));
  }
  if (!r.region.empty()) {
    const bool whole = std::all_of(r.region.begin(), r.region.end(), [](int v) { return v == 0; });
    if (r.region.size() != 4 || (!whole && (r.region[2] <= r.region[0] || r.region[3] <= r.region[1]))) {
      throw UsageError("--region takes LEFT,TOP,RIGHT,BOTTOM with LEFT < RIGHT and TOP < BOTTOM");
    }
    if (std::any_of(r.region.begin(), r.region.end(), [](int v) { return v < 0 || v > limits::kMaxSide; })) {
      throw UsageError("--region's coordinates are 0 to " + side);
    }
  }
  if (r.fieldOrder < 0 || r.fieldOrder > 2) throw UsageError("--field-order is 0, 1 or 2");
  if (r.rowBytes < 0) throw UsageError("--row-bytes must not be negative");
  if (r.chroma != "444" && r.chroma != "422" && r.chroma != "420") throw UsageError("--chroma is 420, 422 or 444");
  if (r.outputDepth != 8 && r.outputDepth != 10 && r.outputDepth != 12 && r.outputDepth != 16) {
    throw UsageError("--output-depth is 8, 10, 12 or 16, not " + std::to_string(r.outputDepth));
  }
  Chroma chroma;
  int bits;
  if (!r.pixFmt.empty() && !ParsePixelFormat(r.pixFmt, chroma, bits)) {
    throw UsageError("--pix-fmt is yuv420p, yuv422p or yuv444p, or one of them with p10le, p12le or p16le (" +
                     PixelFormatName(Chroma::k422, 10) + "), not '" + r.pixFmt + "'");
  }
  if (r.codec != "rawvideo" && r.codec != "ffv1") throw UsageError("--codec is rawvideo or ffv1");
  if (r.codec != "rawvideo" && !container) throw UsageError("--codec is for --format nut and mkv");
  // FFmpeg's Matroska muxer has a tag for these two raw layouts only.
  const std::string pixFmt = r.pixFmt.empty() ? PixelFormatName(r.chroma == "444"   ? Chroma::k444
                                                                : r.chroma == "422" ? Chroma::k422
                                                                                    : Chroma::k420,
                                                                r.outputDepth)
                                              : r.pixFmt;
  if (r.format == "mkv" && r.codec == "rawvideo" && pixFmt != "yuv420p" && pixFmt != "yuv422p") {
    throw UsageError("Matroska holds raw pictures as yuv420p or yuv422p only, not " + pixFmt +
                     ": add --codec ffv1 (lossless) or write --format nut");
  }
  if (!(r.audioRate >= 1 && r.audioRate <= limits::kMaxSampleRate)) {
    throw UsageError("--audio-rate is 1 to " + std::to_string(std::lround(limits::kMaxSampleRate)) +
                     " samples per second");
  }
  if (r.audioChannels < 1 || r.audioChannels > limits::kMaxChannels) {
    throw UsageError("--audio-channels is 1 to " + std::to_string(limits::kMaxChannels));
  }
  if (r.matrix != "auto" && r.matrix != "bt601" && r.matrix != "bt709") {
    throw UsageError("--matrix is auto, bt601 or bt709");
  }
  if (r.pngLevel < 0 || r.pngLevel > 9) throw UsageError("--png-level is 0 to 9");
  if (r.format == "png" && r.output == "-") throw UsageError("PNG frames go to a folder, not to the standard output");
  std::error_code error;
  if (r.format == "png" && std::filesystem::exists(r.output, error) &&
      !std::filesystem::is_directory(r.output, error)) {
    throw UsageError("PNG frames go to a folder: '" + r.output + "' is not one");
  }
  if (r.format != "png" && !r.output.empty()) CheckOutputPath(r.output);
}

void CheckAudioRequest(const AudioRequest& r) {
  CheckSelection(r.selection, true);
  CheckProgressRequest(r.progress, r.output);
  if (!(r.rate >= 1 && r.rate <= limits::kMaxSampleRate)) {
    throw UsageError("--rate is 1 to " + std::to_string(std::lround(limits::kMaxSampleRate)) + " samples per second");
  }
  if (r.channels < 1 || r.channels > limits::kMaxChannels) {
    throw UsageError("--channels is 1 to " + std::to_string(limits::kMaxChannels));
  }
  if (r.encoding != "int16" && r.encoding != "float") throw UsageError("--encoding is int16 or float");
  if (r.format != "wav" && r.format != "raw") throw UsageError("--format is wav or raw");
  if (r.bufferFrames < 1 || r.bufferFrames > 10000000) throw UsageError("--buffer is 1 to 10000000 sample frames");
  CheckOutputPath(r.output);
}

}  // namespace cli

namespace {

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0    done\n"
    "  2    wrong usage: a bad option, or a source or frame range the project does not have\n"
    "  3    a failure of the link or the server (the message carries the code and the server's text)\n"
    "  4    an output file that cannot be written\n"
    "  130  ended by SIGINT, 143 by SIGTERM (nothing partial is left behind)\n"
    "  141  the reader of the output went away (a closed pipe, as with | head); nothing is said\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace cli;
  CLI::App app{"moravane-cli: use projects of the link server from the command line"};
  // At most one command here, and its absence checked after parsing: an
  // unknown option is then named as such rather than as a missing command.
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", MORAVANE_CLI_VERSION);
  app.footer(kExitCodes);
  bool quiet = false;
  app.add_flag("-q,--quiet", quiet, "No progress bar and no summary");
  // The selection and the progress options, the same for render and audio.
  auto addSelection = [](CLI::App* command, Selection& selection, ProgressRequest& progress) {
    command->add_option("-f,--frames", selection.frames,
                        "A:B frames A up to B (excluded), A:B:STEP every STEP-th (render), A: to the end, N one "
                        "frame; negative numbers count from the end: -1 the last frame, -10: the last ten");
    command->add_option("--start", selection.start, "First frame, a frame number (default 0)");
    command->add_option("--end", selection.end, "Last frame, included (default: the source's last)");
    command->add_option("--ss", selection.ss, "-ss TIME: start time, seconds (12.5) or [HH:]MM:SS[.mmm]");
    command->add_option("-t,--seconds", selection.length, "Length, seconds or [HH:]MM:SS[.mmm]");
    command->add_option("--to", selection.to, "-to TIME: end time, excluded");
    command->add_option(
        "--progress", progress.target,
        "-progress pipe:N|FILE: ffmpeg's key=value progress blocks to descriptor N or appended to FILE");
    command->add_option("--stats-period", progress.period,
                        "-stats_period TIME: seconds between progress blocks (default 0.5)");
  };
  auto subcommand = [&](const char* name, const char* description) {
    CLI::App* command = app.add_subcommand(name, description);
    command->fallthrough();  // global flags after the command too
    return command;
  };

  CLI::App* info = subcommand("info", "Server version, memory figures and project extension");
  CLI::App* registration = subcommand("register", "Register the link server beside this program for this user");
  CLI::App* unregistration = subcommand("unregister", "Remove the link server's registration for this user");

  std::string treeProject;
  bool treeJson = false;
  CLI::App* tree = subcommand("tree", "The item tree of a project: GUIDs, kinds and names");
  tree->add_option("PROJECT", treeProject, "Project file")->required();
  tree->add_flag("--json", treeJson, "As JSON (see docs/cli.md)");

  std::string probeProject, probeSource;
  bool probeJson = false;
  CLI::App* probe =
      subcommand("probe", "Duration, frames, rate, size, aspect and depth of a source, or of every source");
  probe->add_option("PROJECT", probeProject, "Project file")->required();
  probe->add_option("-s,--source", probeSource, "Source GUID or name (default: list every source)");
  probe->add_flag("--json", probeJson, "As JSON (see docs/cli.md)");

  RenderRequest render;
  CLI::App* renderCommand = subcommand(
      "render", "Render video frames to PNG files, a YUV4MPEG2 stream, raw frames, or NUT or Matroska with the sound");
  renderCommand->add_option("PROJECT", render.project, "Project file")->required();
  renderCommand->add_option("-s,--source", render.source, "Source GUID or name")->required();
  addSelection(renderCommand, render.selection, render.progress);
  renderCommand->add_option("--format", render.format,
                            "png (default), y4m, raw (RGBA as rendered), nut or mkv (with the sound)");
  renderCommand->add_option("-o,--output", render.output,
                            "png: folder (default .); y4m, raw, nut, mkv: file or - (default -)");
  renderCommand->add_option("--prefix", render.prefix, "File name prefix of PNG frames (default frame-)");
  renderCommand->add_option("--width", render.width, "Render width (0: the source's)");
  renderCommand->add_option("--height", render.height, "Render height (0: the source's)");
  renderCommand->add_option("--depth", render.depth, "Bits per channel: 8, 16 or 32 (default: the source's)");
  renderCommand->add_option("--downsample", render.downsample, "X or X,Y")->delimiter(',');
  renderCommand->add_option("--region", render.region, "Region of interest LEFT,TOP,RIGHT,BOTTOM")->delimiter(',');
  renderCommand->add_option("--field-order", render.fieldOrder, "0 progressive, 1 upper first, 2 lower first");
  renderCommand->add_option("--row-bytes", render.rowBytes, "Bytes from row to row (0: tight)");
  renderCommand->add_flag("--low-quality", render.lowQuality, "Nearest pixel instead of averaging");
  renderCommand->add_flag("--guides", render.guides, "Draw the safe-area guides");
  renderCommand->add_flag("--premultiply", render.premultiply, "Colour multiplied by alpha");
  renderCommand->add_option("--section-size", render.sectionSize, "Bytes of the shared section (default: one frame)");
  CLI::Option* pixFmt =
      renderCommand->add_option("--pix-fmt,--pix_fmt", render.pixFmt,
                                "y4m, nut, mkv: ffmpeg's name, yuv420p (default), yuv422p, yuv444p, each also with "
                                "p10le, p12le or p16le (yuv422p10le)");
  // One way or the other: a pixel format named twice could say two things.
  pixFmt->excludes(renderCommand->add_option("--chroma", render.chroma, "y4m, nut, mkv: 420 (default), 422 or 444"));
  pixFmt->excludes(renderCommand->add_option("--output-depth", render.outputDepth,
                                             "y4m, nut, mkv: bits per sample, 8 (default), 10, 12 or 16"));
  renderCommand->add_option("--matrix", render.matrix,
                            "y4m, nut, mkv: auto (default: bt709 from 1280x720 on, bt601 below), bt601 or bt709");
  renderCommand->add_option("--codec", render.codec, "nut, mkv: rawvideo (default) or ffv1 (lossless, smaller)");
  renderCommand->add_flag("--no-audio,--an", render.noAudio, "nut, mkv: leave the source's sound out");
  renderCommand->add_option("--audio-rate", render.audioRate, "nut, mkv: sample rate of the sound (default 48000)");
  renderCommand->add_option("--audio-channels", render.audioChannels, "nut, mkv: channels of the sound (default 2)");
  renderCommand->add_option("--png-level", render.pngLevel,
                            "PNG compression, 0 (none) to 9 (smallest); 1, fast, by default");

  AudioRequest audio;
  CLI::App* audioCommand = subcommand("audio", "Render audio to a WAV file, a WAV stream or raw PCM");
  audioCommand->add_option("PROJECT", audio.project, "Project file")->required();
  audioCommand->add_option("-s,--source", audio.source, "Source GUID or name")->required();
  addSelection(audioCommand, audio.selection, audio.progress);
  audioCommand->add_option("-o,--output", audio.output, "File, or - for the standard output (default audio.wav)");
  audioCommand->add_option("--format", audio.format, "wav (default) or raw (interleaved samples, no header)");
  audioCommand->add_option("--rate", audio.rate, "Sample rate (default 48000)");
  audioCommand->add_option("--channels", audio.channels, "Channels (default 2)");
  audioCommand->add_option("--encoding", audio.encoding, "int16 (default, little-endian) or float");
  audioCommand->add_option("--buffer", audio.bufferFrames, "Sample frames per buffer (default 4800)");

  std::string sendPath;
  CLI::App* send = subcommand("send-file", "Hand a file to the application");
  std::string sendProject;
  send->add_option("PATH", sendPath, "File")->required();
  // The application adds a file to the project opened last on the link: one
  // must be open.
  send->add_option("-p,--project", sendProject, "Project to open first; the file goes to it")->required();

  app.name(argv[0]);
  const std::vector<std::string> words = FfmpegArguments(app, argc, argv);
  try {
    std::vector<std::string> reversed(words.rbegin(), words.rend());  // as CLI11 takes them
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    // Help and version end well; every other parse error is wrong usage,
    // and a word the program does not know is named with the nearest it does.
    if (error.get_exit_code() == 0) return app.exit(error);
    if (const std::optional<std::string> unknown = UnknownWord(app, words)) {
      std::fprintf(stderr, "moravane-cli: %s\n", unknown->c_str());
      return kExitUsage;
    }
    app.exit(error);
    return kExitUsage;
  }
  if (app.get_subcommands().empty()) {
    std::fprintf(stderr,
                 "moravane-cli: a command is required: info, register, unregister, tree, probe, render, audio "
                 "or send-file (see --help)\n");
    return kExitUsage;
  }
  render.quiet = audio.quiet = quiet;
  CatchSignals();

  try {
    if (*info) return Info();
    if (*registration) return Register(false);
    if (*unregistration) return Register(true);
    if (*tree) return Tree(treeProject, treeJson);
    if (*probe) return Probe(probeProject, probeSource, probeJson);
    if (*renderCommand) return Render(render);
    if (*audioCommand) return Audio(audio);
    if (*send) return SendFile(sendPath, sendProject);
  } catch (...) {
    // What a signal broke off (an open of a FIFO, a call) ends as the signal.
    if (const int signal = InterruptingSignal(); signal != 0) {
      std::fprintf(stderr, "moravane-cli: interrupted; partial output removed\n");
      return 128 + signal;
    }
    try {
      throw;
    } catch (const moravane::LinkError& error) {
      PrintLinkError(error);
      return kExitLink;
    } catch (const UsageError& error) {
      std::fprintf(stderr, "moravane-cli: %s\n", error.what());
      return kExitUsage;
    } catch (const moravane::host::RequestError& error) {  // no such source; a frame of another shape
      std::fprintf(stderr, "moravane-cli: %s\n", error.what());
      return kExitUsage;
    } catch (const cli::OutputError& error) {
      std::fprintf(stderr, "moravane-cli: %s\n", error.what());
      return kExitOutput;
    } catch (const ReaderGone&) {
      return kExitReaderGone;
    }
  }
  return kExitUsage;
}
