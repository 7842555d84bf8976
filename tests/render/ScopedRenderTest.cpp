// The render of moravane/Host.h that ends itself: the hosts end their
// renders only through it, and a render left running when an error passes
// would keep the server's renderer refusing every later start.
#include <moravane/Host.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Server.h>

#include <LinkServer.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include <unistd.h>

namespace {

// The reference server's object in this process, seen as a Server.
struct InProcessServer : moravane::Server {
  InProcessServer() : moravane::Server(Root()) {}
  static comsupport::CComPtr<IUnknown> Root() { return comsupport::CComPtr<IUnknown>(linkserver::CreateLinkServer()); }
};

TEST(ScopedRender, EndsWhenAnErrorPassesSoThatTheRendererStartsAgain) {
  InProcessServer server;
  moravane::Project project = server.OpenProject(kelvex::utility::AsciiToUTF16(MORAVANE_DEMO_PROJECT));
  const std::string section = "moravane-scoped-render-" + std::to_string(::getpid());
  constexpr ULONGLONG kSize = 1 << 22;
  moravane::MemoryMappedFile memory;
  memory.Init(true, section, kSize);
  using Start = std::function<moravane::host::ScopedRender(moravane::Renderer&)>;
  const struct {
    const char* source;
    Start start;
  } rows[] = {
      {"Colour bars",
       [&](moravane::Renderer& renderer) {
         moravane::VideoRenderOptions options = renderer.CreateVideoRenderOptions();
         options.SetBounds(64, 36);
         return moravane::host::ScopedRender::Video(renderer, options, section, kSize);
       }},
      {"Tone",
       [&](moravane::Renderer& renderer) {
         moravane::AudioRenderOptions options = renderer.CreateAudioRenderOptions();
         return moravane::host::ScopedRender::Audio(renderer, {0, 1}, 480, options, section, kSize);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.source);
    moravane::Renderer renderer = moravane::host::FindSource(project, row.source).GetRenderer();
    EXPECT_THROW(
        {
          moravane::host::ScopedRender render = row.start(renderer);
          throw std::runtime_error("the encoder failed");
        },
        std::runtime_error);
    // A renderer runs one render of a kind at a time: this start is refused
    // unless the one before ended on the way out.
    moravane::host::ScopedRender again = row.start(renderer);
    EXPECT_TRUE(again.Running());
    again.End();
    EXPECT_FALSE(again.Running());
  }
  server.CloseProject(project);
}

}  // namespace
