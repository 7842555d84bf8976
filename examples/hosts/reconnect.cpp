// Plays frames of a source at its frame rate, as a preview does, and carries
// on when the link server goes away: a call fails with a LinkError, the
// host makes sure the link is gone (ShouldReconnect()), drops everything
// that hung on the old link, links again (activation starts a new server)
// and resumes at the frame that failed.
//
//   reconnect PROJECT SOURCE [FRAMES]
//
// SOURCE is a name or a GUID; FRAMES as moravane-cli reads them (default
// "0:48"). Prints one line per frame (its number, time and a checksum of its
// pixels) and one for every loss of the link and every new link.
//
// Exit codes: 0 every frame played; 2 wrong usage (no such project file,
// source or frames); 3 a link error that linking again does not cure.
#include "HostMain.h"

#include <moravane/Host.h>
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Project.h>
#include <moravane/Server.h>

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

using hostmain::ProjectPath;

namespace {

// A server that fails this often during one run is not coming back well:
// one that dies on a certain frame would otherwise be restarted for ever.
constexpr int kMaxLosses = 3;
// Attempts to link again after a loss, 0.2 s more apart each time: while a
// server dies, activation may still meet what it left behind.
constexpr int kLinkAttempts = 5;

// Everything that hangs on one link. After a loss the whole of it goes:
// its handles then drop their references on a dead link and its render's
// end fails, both quietly. Members end in reverse: the render first, the
// section after it, the link last.
struct Session {
  moravane::OrraServer orra;
  moravane::Server server;
  moravane::Project project;
  moravane::Source source;
  moravane::Renderer renderer;
  moravane::VideoRenderOptions options;
  moravane::host::FrameLayout layout;
  moravane::MemoryMappedFile section;
  std::optional<moravane::host::ScopedRender> render;
};

// Links, opens the project, finds the source and starts a render into a
// section of this process. A failure part way leaves nothing behind: what
// was made so far goes with the half-made session.
std::unique_ptr<Session> Connect(const moravane::WideString& path, const std::string& wanted) {
  auto s = std::make_unique<Session>();
  s->server = s->orra.CreateLink();
  s->project = s->server.OpenProject(path);
  s->source = moravane::host::FindSource(s->project, wanted);
  if (!s->source.HasVideo()) throw moravane::host::RequestError("the source '" + wanted + "' has no video");
  s->renderer = s->source.GetRenderer();
  s->options = s->renderer.CreateVideoRenderOptions();
  // The server's defaults (BGRA, the source's depth) are kept: a preview
  // hands the rows to its display as they are.
  s->layout = moravane::host::FrameLayoutOf(s->options, s->source.GetFrameSize());
  const std::string sectionName = "moravane-reconnect-" + std::to_string(::getpid());
  s->section.Init(true, sectionName, s->layout.frameBytes);
  s->render.emplace(moravane::host::ScopedRender::Video(s->renderer, s->options, sectionName, s->layout.frameBytes));
  return s;
}

std::unique_ptr<Session> Relink(const moravane::WideString& path, const std::string& wanted) {
  for (int attempt = 1;; ++attempt) {
    try {
      std::unique_ptr<Session> session = Connect(path, wanted);
      std::printf("linked again (attempt %d), server version %ld\n", attempt,
                  static_cast<long>(session->server.GetVersion()));
      return session;
    } catch (moravane::LinkError& error) {
      if (attempt == kLinkAttempts) throw;
      std::printf("link attempt %d failed (0x%08X), trying again\n", attempt, static_cast<unsigned>(error.GetError()));
      std::this_thread::sleep_for(std::chrono::milliseconds(200 * attempt));
    }
  }
}

// Whether the link is gone. ShouldReconnect() says so of a call made after
// the server died; the call in flight when it died fails with
// RPC_S_CALL_FAILED (0x800706BE) instead, which also ends calls for other
// reasons. The next call tells: through a dead link it fails at once, with
// ShouldReconnect() true, without waiting for anything.
bool LinkLost(moravane::LinkError& error, moravane::Server& server) {
  if (error.ShouldReconnect()) return true;
  try {
    server.GetVersion();
    return false;  // the link is there: the failure was the call's own
  } catch (moravane::LinkError& probe) {
    return probe.ShouldReconnect();
  }
}

// FNV-1a over the frame's bytes: equal pictures, equal sums.
std::uint32_t Checksum(const void* data, ULONGLONG bytes) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::uint32_t sum = 2166136261u;
  for (ULONGLONG i = 0; i < bytes; ++i) sum = (sum ^ p[i]) * 16777619u;
  return sum;
}

int Play(const std::string& projectPath, const std::string& wanted, const std::string& frames) {
  const moravane::WideString path = ProjectPath(projectPath);
  const moravane::host::FrameRange range = moravane::host::ParseFrameRange(frames);

  // The first link is made once: a failure here is no lost link but a
  // server that cannot be reached at all, and is final.
  std::unique_ptr<Session> session = Connect(path, wanted);
  const moravane::host::SourceFacts facts = moravane::host::ProbeSource(session->source);
  const moravane::host::FrameSpan span = moravane::host::ResolveFrameRange(range, facts.frames);
  // Frame n starts at n / rate seconds, n * denominator / numerator: the
  // link carries that as two 32-bit numbers.
  if (static_cast<long long>(span.end - 1) * facts.rate.second > INT_MAX) {
    throw moravane::host::RequestError("frame " + std::to_string(span.end - 1) + " is too far for the link");
  }
  const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(static_cast<double>(facts.rate.second) / facts.rate.first));

  int losses = 0;
  auto due = std::chrono::steady_clock::now();
  for (long n = span.first; n < span.end;) {
    if (!session) {
      session = Relink(path, wanted);          // throws when the server does not come back
      due = std::chrono::steady_clock::now();  // play on from here, no catching up
    }
    try {
      const long long ticks = static_cast<long long>(n) * facts.rate.second;
      ULONGLONG written = 0;
      session->renderer.RenderVideo({static_cast<std::int32_t>(ticks), facts.rate.first}, &written);
      std::printf("frame %ld  %.3f s  %dx%d  checksum %08x\n", n, static_cast<double>(ticks) / facts.rate.first,
                  session->layout.width, session->layout.height, Checksum(session->section.GetAddress(), written));
      std::fflush(stdout);
      n += span.step;
      std::this_thread::sleep_until(due += period);
    } catch (moravane::LinkError& error) {
      // Any other failure (a refused option, a project file gone) would
      // only fail again on a new link.
      if (!LinkLost(error, session->server) || ++losses > kMaxLosses) throw;
      std::printf("link lost at frame %ld (0x%08X): linking again\n", n, static_cast<unsigned>(error.GetError()));
      session.reset();
    }
  }
  session->render->End();
  session->server.CloseProject(session->project);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: reconnect PROJECT SOURCE [FRAMES]\n");
    return 2;
  }
  return hostmain::Run("reconnect", [&] { return Play(argv[1], argv[2], argc > 3 ? argv[3] : "0:48"); });
}
