// libFuzzer entry for the server behind the link. An input is a project
// file's text, optionally followed by a NUL and a binary tail:
//   u16 length, that many bytes of a still image ("image.png" beside the
//   project), then a run of operations of 17 bytes: an operation code and
//   four 32-bit values, applied to the first source of the project through
//   the server's own objects (render options, renders into sections, audio,
//   the frame cache's budgets).
// Any text must either parse or fail with a ProjectFormatError naming a line
// inside it; a parsed model must write out and read back to the same text.
// Every call must answer with an HRESULT, and every object and BSTR be gone
// at the end.
#include "LinkServer.h"
#include "ProjectFormat.h"

#include <platformdebug.h>

#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string_view>
#include <vector>

using namespace moravane;

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
  }
}

std::filesystem::path g_folder;
std::vector<std::uint8_t> g_frame(8 << 20), g_audio(1 << 20);
std::shared_ptr<linkserver::InProcessSections> g_sections;

struct Objects {
  IServer2* server = nullptr;
  IRenderer2* renderer = nullptr;
  IVideoRenderOptions2* video = nullptr;
  IAudioRenderOptions2* audio = nullptr;
};

// One table of what an operation does: code % size picks the row.
using Operation = std::function<HRESULT(Objects&, const LONG*, BSTR*)>;
const std::vector<Operation>& Operations() {
  static const BSTR frame = SysAllocString(u"frame"), audio = SysAllocString(u"audio");
  static const std::vector<Operation> table = {
      [](Objects& o, const LONG* v, BSTR* e) { return o.video->SetLowQuality(v[0], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.video->SetPreMultiply(v[0], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.video->SetFieldOrder(v[0], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.video->SetRegionOfInterest(v[0], v[1], v[2], v[3], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.video->SetBitDepth(v[0], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.video->SetChannelOrder(v[0], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.video->SetTimeStep(v[0], v[1], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.video->SetBounds(v[0], v[1], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.video->SetRowBytes(v[0], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.video->SetDownsampleFactor(v[0], v[1], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.video->SetRenderGuideLayers(v[0], e); },
      [](Objects& o, const LONG*, BSTR* e) {
        ULONGLONG bytes = 0;
        return o.video->GetMaxMemoryRequiredForFrame(&bytes, e);
      },
      [](Objects& o, const LONG* v, BSTR* e) { return o.audio->SetSampleRate(v[0] / double(v[1] | 1), e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.audio->SetNumChannels(v[0], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.audio->SetEncoding(v[0], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.audio->SetBytesPerSample(v[0], e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.server->SetIdleTimeMemoryUsage(ULONG(v[0]), e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.server->SetTemporaryMemoryUsage(ULONG(v[0]), e); },
      [](Objects& o, const LONG*, BSTR* e) { return o.server->PurgeMemory(e); },
      [](Objects& o, const LONG* v, BSTR* e) { return o.server->CacheFinalFrame(v[0], e); },
      [](Objects& o, const LONG* v, BSTR* e) {
        return o.renderer->StartVideoRender(o.video, frame, ULONG(v[0]) % (g_frame.size() + 1), e);
      },
      [](Objects& o, const LONG* v, BSTR* e) {
        ULONGLONG value = 0;
        return o.renderer->RenderVideo(v[0], v[1], &value, e);
      },
      [](Objects& o, const LONG*, BSTR* e) { return o.renderer->EndVideoRender(e); },
      [](Objects& o, const LONG* v, BSTR* e) {
        return o.renderer->StartAudioRender(v[0], v[1], v[2], o.audio, audio, ULONG(v[3]) % (g_audio.size() + 1), e);
      },
      [](Objects& o, const LONG*, BSTR* e) {
        ULONGLONG value = 0;
        return o.renderer->GetNextAudioBuffer(&value, e);
      },
      [](Objects& o, const LONG*, BSTR* e) { return o.renderer->EndAudioRender(e); },
  };
  return table;
}

template <class I>
I* As(IUnknown* object) {
  I* typed = nullptr;
  if (object != nullptr) object->QueryInterface(comsupport::InterfaceTraits<I>::Id(), reinterpret_cast<void**>(&typed));
  return typed;
}

// Opens the project through the server and runs the operations on its
// first source (found by walking the model the parser made).
void Serve(const linkserver::ProjectModel& model, std::string_view text, const std::uint8_t* tail, std::size_t size) {
  if (text.find_first_of("/\\") != std::string_view::npos) return;  // no files outside the scratch folder
  const linkserver::Node* source = nullptr;
  std::function<void(const linkserver::Node&)> find = [&](const linkserver::Node& node) {
    if (source == nullptr && node.kind == linkserver::NodeKind::kSource) source = &node;
    for (const auto& child : node.children) find(*child);
  };
  find(*model.root);
  if (source == nullptr) return;
  std::ofstream(g_folder / "p.orraproj", std::ios::binary).write(text.data(), std::streamsize(text.size()));
  std::size_t image = size >= 2 ? std::min<std::size_t>(tail[0] | tail[1] << 8, size - 2) : 0;
  std::ofstream(g_folder / "image.png", std::ios::binary).write(reinterpret_cast<const char*>(tail + 2), image);
  tail += image + 2;
  size -= std::min(size, image + 2);

  const std::int64_t bstrs = platformdebug::LiveBstrCount();
  {
    Objects o;
    o.server = linkserver::CreateLinkServer(g_sections);
    BSTR path = SysAllocString(reinterpret_cast<const OLECHAR*>((g_folder / "p.orraproj").u16string().c_str()));
    BSTR error = nullptr;
    IUnknown *project = nullptr, *found = nullptr, *renderer = nullptr, *video = nullptr, *audio = nullptr;
    GUID id = source->id;
    IProject2* typedProject = nullptr;
    ISource2* typedSource = nullptr;
    if (SUCCEEDED(o.server->OpenProject(path, &project, &error)) && (typedProject = As<IProject2>(project)) &&
        SUCCEEDED(typedProject->GetSource(&id, &found, &error)) && (typedSource = As<ISource2>(found)) &&
        SUCCEEDED(typedSource->GetRenderer(&renderer, &error)) && (o.renderer = As<IRenderer2>(renderer)) &&
        SUCCEEDED(o.renderer->CreateVideoRenderOptions(&video, &error)) &&
        SUCCEEDED(o.renderer->CreateAudioRenderOptions(&audio, &error))) {
      o.video = As<IVideoRenderOptions2>(video);
      o.audio = As<IAudioRenderOptions2>(audio);
      for (; size >= 17; tail += 17, size -= 17) {
        LONG values[4];
        std::memcpy(values, tail + 1, sizeof values);
        SysFreeString(error);
        error = nullptr;
        Operations()[tail[0] % Operations().size()](o, values, &error);
      }
    }
    SysFreeString(error);
    SysFreeString(path);
    for (IUnknown* object : {static_cast<IUnknown*>(o.video), static_cast<IUnknown*>(o.audio), video, audio,
                             static_cast<IUnknown*>(o.renderer), renderer, static_cast<IUnknown*>(typedSource), found,
                             static_cast<IUnknown*>(typedProject), project, static_cast<IUnknown*>(o.server)}) {
      if (object != nullptr) object->Release();
    }
  }
  Check(linkserver::LiveObjectCount() == 0, "every server object released");
  Check(platformdebug::LiveBstrCount() == bstrs, "every BSTR freed");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/project-fuzz-XXXXXX";
  Check(::mkdtemp(folder) != nullptr, "scratch folder");
  g_folder = folder;
  std::atexit([] { std::filesystem::remove_all(g_folder); });
  g_sections = std::make_shared<linkserver::InProcessSections>();
  g_sections->Register(u"frame", g_frame.data(), g_frame.size());
  g_sections->Register(u"audio", g_audio.data(), g_audio.size());
  Operations();  // its section names live as long as the process
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t end = std::find(data, data + size, 0) - data;
  const std::string_view text(reinterpret_cast<const char*>(data), end);
  linkserver::ParseOptions options;
  options.readImages = false;  // files are opened only by the server, in the scratch folder
  try {
    const linkserver::ProjectModel model = linkserver::ParseProject(text, options);
    const std::string written = linkserver::WriteProject(model);
    const linkserver::ProjectModel again = linkserver::ParseProject(written, options);
    Check(linkserver::WriteProject(again) == written, "a written model reads back the same");
    if (end < size) Serve(model, text, data + end + 1, size - end - 1);
  } catch (const linkserver::ProjectFormatError& error) {
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n';
    Check(error.Line() >= 1 && std::size_t(error.Line()) <= lines, "errors name a line of the input");
  }
  return 0;
}
