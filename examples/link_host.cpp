// A host of the link: it makes the reference link server available under
// the link server's class identifier (here in this process, registered as a
// local server the way the Orra application registers itself), then works
// only through the library's public classes: link, open a project, walk its
// items, pick a source, render one frame into a named section and read it.
//
// Usage: link_host [DIRECTORY]  (where the project file is written; default
// the current directory). Prints what it saw; exit 0 on success, 1 with the
// LinkError's code and text (or the missing source) otherwise.
#include <moravane/Host.h>
#include <moravane/Items.h>
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Server.h>
#include <moravane/Source.h>

#include <LinkServer.h>
#include <kelvex/Strings.h>
#include <contract/LinkServer.h>

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

const char* const kBarsId = "{6B1F2C3D-0000-4000-8000-000000000003}";

const char* const kProject = R"(orra-project 1
project "Host demo" {6B1F2C3D-0000-4000-8000-000000000001}
bin "Footage" {6B1F2C3D-0000-4000-8000-000000000002}
  source "Bars" {6B1F2C3D-0000-4000-8000-000000000003}
    duration 300 30
    size 1920 1080
    rate 30
    depth 8
    video bars
  end
  item "Notes" {6B1F2C3D-0000-4000-8000-000000000004}
end
source "Orange" {6B1F2C3D-0000-4000-8000-000000000005}
  duration 10 1
  size 320 240
  rate 25
  video solid 255 128 0
end
)";

std::string Narrow(const moravane::WideString& text) { return kelvex::utility::UTF16ToUTF8(text); }

int Run(const std::string& directory) {
  const std::string path = directory + "/host-demo.orraproj";
  std::ofstream(path) << kProject;

  moravane::OrraServer orra;
  moravane::Server server = orra.CreateLink();
  std::printf("linked: server version %d\n", static_cast<int>(server.GetVersion()));

  moravane::Project project = server.OpenProject(kelvex::utility::AsciiToUTF16(path));
  std::printf("project: %s\n", Narrow(project.GetName()).c_str());
  moravane::host::Walk(project.GetRootItem(), 1, [](moravane::Item& item, int depth) {
    std::printf("%*s%s %s type %d\n", depth * 2, "", Narrow(item.GetName()).c_str(), item.GetID().ToString().c_str(),
                static_cast<int>(item.GetType()));
  });
  moravane::Source source = moravane::host::FindSource(project, kBarsId);
  const auto frame = source.GetFrameSize();
  std::printf("source: %ldx%ld\n", static_cast<long>(frame.Width()), static_cast<long>(frame.Height()));

  moravane::Renderer renderer = source.GetRenderer();
  moravane::VideoRenderOptions options = renderer.CreateVideoRenderOptions();
  options.SetBounds(64, 36);
  const moravane::host::FrameLayout layout = moravane::host::FrameLayoutOf(options, frame);

  // The host creates the section; the server opens it by name and writes
  // the frame straight into it. The render ends also when a frame fails.
  const std::string sectionName = "moravane-link-host-" + std::to_string(::GetCurrentProcessId());
  moravane::MemoryMappedFile section;
  section.Init(true, sectionName, layout.frameBytes);
  auto render = moravane::host::ScopedRender::Video(renderer, options, sectionName, layout.frameBytes);
  ULONGLONG written = 0;
  renderer.RenderVideo(kelvex::time::RatioTime(1, 30), &written);
  render.End();

  const auto* pixels = static_cast<const std::uint8_t*>(section.GetAddress());
  std::uint32_t checksum = 2166136261u;  // FNV-1a over the frame
  for (ULONGLONG i = 0; i < written; ++i) checksum = (checksum ^ pixels[i]) * 16777619u;
  std::printf("rendered frame: %dx%d, %llu bytes, first pixel BGRA %u %u %u %u, checksum %08x\n", layout.width,
              layout.height, static_cast<unsigned long long>(written), pixels[0], pixels[1], pixels[2], pixels[3],
              checksum);

  server.CloseProject(project);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The reference server, offered as the link server for the lifetime of
  // the host.
  DWORD cookie = 0;
  HRESULT hr = ::CoRegisterClassObject(moravane::CLSID_OrraLinkServer, linkserver::CreateLinkServerFactory(),
                                       CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  if (FAILED(hr)) {
    std::printf("cannot register the link server: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  int status = 1;
  try {
    status = Run(argc > 1 ? argv[1] : ".");
  } catch (const moravane::LinkError& error) {
    std::printf("LinkError 0x%08X: %s\n", static_cast<unsigned>(error.GetError()),
                Narrow(error.GetErrorString()).c_str());
  } catch (const moravane::host::RequestError& error) {
    std::printf("%s\n", error.what());
  }
  ::CoRevokeClassObject(cookie);
  return status;
}
