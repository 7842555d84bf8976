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

#include <comsupport/ComPtr.h>
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
#include <utility>
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

using comsupport::CComPtr;

template <class I>
CComPtr<I> As(IUnknown* object) {
  return comsupport::CComQIPtr<I>(object);
}

// Out-values that the operations do not look at, freed at once.
struct Discard {
  BSTR text = nullptr, error = nullptr;
  CComPtr<IUnknown> object;
  LONG a = 0, b = 0;
  ULONGLONG big = 0;
  double rate = 0;
  GUID id{};
  ~Discard() {
    SysFreeString(text);
    SysFreeString(error);
  }
};

struct Objects {
  CComPtr<IServer2> server;
  CComPtr<IProject2> project;
  CComPtr<ISource2> source;
  CComPtr<IRenderer2> renderer;
  CComPtr<IVideoRenderOptions2> video;
  CComPtr<IAudioRenderOptions2> audio;
  CComPtr<IUnknown> item;  // where the walk through the project's items is
  void Walk(CComPtr<IUnknown> next) {
    if (next != nullptr) item = std::move(next);
  }
};

BSTR g_path, g_newPath;

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
      [](Objects& o, const LONG*, BSTR* e) {
        CComPtr<IUnknown> root;
        const HRESULT hr = o.project->GetRootItem(&root, e);
        return o.Walk(std::move(root)), hr;
      },
      [](Objects& o, const LONG* v, BSTR* e) {
        CComPtr<IUnknown> next;
        HRESULT hr = E_NOINTERFACE;
        if (v[0] & 1) {  // down to the first child
          if (const auto container = As<IContainer2>(o.item)) hr = container->GetFirstItem(&next, e);
        } else if (const auto item = As<IItem2>(o.item)) {  // on to the next sibling, through the parent
          Discard parent;
          hr = item->GetParentItem(&parent.object, e);
          if (const auto container = As<IContainer2>(parent.object)) {
            SysFreeString(*e);
            *e = nullptr;
            hr = container->GetNextItem(v[1] & 1 ? o.item.p : parent.object.p, &next, e);
          }
        }
        return o.Walk(std::move(next)), hr;
      },
      [](Objects& o, const LONG*, BSTR* e) {
        const auto item = As<IItem2>(o.item);
        if (item == nullptr) return E_NOINTERFACE;
        Discard d1, d2, d3;
        item->GetName(&d1.text, e), item->GetID(&d2.id, &d2.text), item->GetType(&d3.a, &d3.text);
        return S_OK;
      },
      [](Objects& o, const LONG* v, BSTR* e) {
        Discard d[10];
        o.source->GetDuration(&d[0].a, &d[0].b, e), o.source->GetPixelAspectRatio(&d[1].a, &d[1].b, &d[1].text);
        o.source->GetFrameSize(&d[2].a, &d[2].b, &d[2].text), o.source->GetFrameRate(&d[3].rate, &d[3].text);
        o.source->GetBitDepth(&d[4].a, &d[4].text), o.source->GetTimeStamp(&d[5].a, &d[5].text);
        o.source->HasAudio(&d[6].a, &d[6].text), o.source->HasVideo(&d[7].a, &d[7].text);
        o.project->GetName(&d[8].text, &d[8].error), o.project->GetPath(&d[9].text, &d[9].error);
        return o.source->IsNewerThan(v[0], &d[5].b, &d[5].error);
      },
      [](Objects& o, const LONG*, BSTR* e) {
        Discard d[4];
        o.server->GetVersion(&d[0].a, e), o.server->GetMinimumMemoryRequirements(&d[1].big, &d[1].text);
        o.server->GetCurrentMemoryUsage(&d[2].big, &d[2].text);
        return o.server->GetProjectExtension(&d[3].text, &d[3].error);
      },
      [](Objects& o, const LONG* v, BSTR* e) {  // the same project again, showing a source by a fuzzed id
        Discard project, source;
        GUID id;
        std::memcpy(&id, v, sizeof id);
        return o.server->OpenProjectShowSource(g_path, v[0] & 1 ? &id : nullptr, &project.object, &source.object, e);
      },
      [](Objects& o, const LONG* v, BSTR* e) {  // closing the open project, or another object
        return o.server->CloseProject(v[0] & 1 ? static_cast<IUnknown*>(o.project.p) : o.source.p, e);
      },
      [](Objects& o, const LONG* v, BSTR* e) {
        std::filesystem::remove(g_folder / "new.orraproj");
        Discard project, source;
        return o.server->CreateSource(g_newPath, v[0], v[1], v[2] & 0xFF, v[2] >> 8 & 0xFF, v[3] & 0xFFFF, v[3] >> 16,
                                      v[0] / double(v[1] | 1), &project.object, &source.object, e);
      },
  };
  return table;
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
    BSTR error = nullptr;
    CComPtr<IUnknown> project, found, renderer, video, audio;
    GUID id = source->id;
    if (SUCCEEDED(o.server->OpenProject(g_path, &project, &error)) && (o.project = As<IProject2>(project)) &&
        SUCCEEDED(o.project->GetSource(&id, &found, &error)) && (o.source = As<ISource2>(found)) &&
        SUCCEEDED(o.source->GetRenderer(&renderer, &error)) && (o.renderer = As<IRenderer2>(renderer)) &&
        SUCCEEDED(o.renderer->CreateVideoRenderOptions(&video, &error)) &&
        SUCCEEDED(o.renderer->CreateAudioRenderOptions(&audio, &error))) {
      o.video = As<IVideoRenderOptions2>(video);
      o.audio = As<IAudioRenderOptions2>(audio);
      // At most 64 operations: a run of large renders must stay well within
      // the time-out of one input.
      for (int count = 0; size >= 17 && count < 64; tail += 17, size -= 17, ++count) {
        LONG values[4];
        std::memcpy(values, tail + 1, sizeof values);
        SysFreeString(error);
        error = nullptr;
        Operations()[tail[0] % Operations().size()](o, values, &error);
      }
    }
    SysFreeString(error);
  }  // every object goes with its owner
  Check(linkserver::LiveObjectCount() == 0, "every server object released");
  Check(platformdebug::LiveBstrCount() == bstrs, "every BSTR freed");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/project-fuzz-XXXXXX";
  Check(::mkdtemp(folder) != nullptr, "scratch folder");
  g_folder = folder;
  g_path = SysAllocString(reinterpret_cast<const OLECHAR*>((g_folder / "p.orraproj").u16string().c_str()));
  g_newPath = SysAllocString(reinterpret_cast<const OLECHAR*>((g_folder / "new.orraproj").u16string().c_str()));
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
