#include "ServerFixture.h"

#include "PngImage.h"
#include "ServerError.h"

#include <kelvex/Guid.h>
#include <platformdebug.h>

#include <fstream>
#include <stdlib.h>

namespace refserver_test {

const char kRootGuid[] = "{00000000-0000-4000-8000-000000000001}";
const char kBinGuid[] = "{00000000-0000-4000-8000-000000000002}";
const char kBarsGuid[] = "{00000000-0000-4000-8000-000000000003}";
const char kFramesGuid[] = "{00000000-0000-4000-8000-000000000004}";
const char kSolidGuid[] = "{00000000-0000-4000-8000-000000000005}";
const char kToneGuid[] = "{00000000-0000-4000-8000-000000000006}";
const char kChirpGuid[] = "{00000000-0000-4000-8000-000000000007}";
const char kQuietGuid[] = "{00000000-0000-4000-8000-000000000008}";
const char kNoteGuid[] = "{00000000-0000-4000-8000-000000000009}";

const char kSampleProject[] = R"(orra-project 1
# Every kind of thing a project holds.
project "Sample" {00000000-0000-4000-8000-000000000001}
bin "Footage" {00000000-0000-4000-8000-000000000002}
  source "Bars" {00000000-0000-4000-8000-000000000003}
    duration 10 1
    aspect 1 1
    size 140 60
    rate 25
    video bars
  end
  source "Frames" {00000000-0000-4000-8000-000000000004}
    duration 300 30
    size 160 120
    rate 30
    depth 16
    stamp 1000
    video framenumber
  end
end
source "Solid" {00000000-0000-4000-8000-000000000005}
  duration 5 1
  aspect 10 11
  size 8 4
  rate 25
  video solid 255 128 0 128
end
source "Tone" {00000000-0000-4000-8000-000000000006}
  duration 2 1
  rate 25
  audio sine 440
end
source "Chirp" {00000000-0000-4000-8000-000000000007}
  duration 2 1
  rate 25
  audio chirp 200 2200
end
source "Quiet" {00000000-0000-4000-8000-000000000008}
  duration 1 1
  size 16 16
  rate 25
  video bars
  audio silence
end
item "Notes" {00000000-0000-4000-8000-000000000009}
)";

Outcome Call(const std::function<HRESULT(BSTR*)>& call) {
  BSTR text = nullptr;
  Outcome outcome;
  outcome.hr = call(&text);
  outcome.textReturned = text != nullptr;
  outcome.text = linkserver::FromBstr(text);
  SysFreeString(text);
  return outcome;
}

std::string Text(BSTR text) { return linkserver::FromBstr(text); }

GUID ParseGuid(const char* text) { return kelvex::utility::Guid(text).GetGUID(); }

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "refserver-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

std::filesystem::path TempFolder::Write(const std::string& name, const std::string& text) const {
  const std::filesystem::path path = m_path / name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::vector<std::uint8_t> TestImagePixels(int width, int height) {
  std::vector<std::uint8_t> rgba(std::size_t(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &rgba[(std::size_t(y) * width + x) * 4];
      p[0] = static_cast<std::uint8_t>(x * 37 + y * 11);
      p[1] = static_cast<std::uint8_t>(x * 5 + y * 53);
      p[2] = static_cast<std::uint8_t>((x ^ y) * 29);
      p[3] = static_cast<std::uint8_t>(255 - ((x + y) % 4) * 40);
    }
  }
  return rgba;
}

std::filesystem::path WriteTestImage(const std::filesystem::path& path, int width, int height) {
  linkserver::PngImage image;
  image.width = width;
  image.height = height;
  image.rgba = TestImagePixels(width, height);
  linkserver::WritePng(path, image);
  return path;
}

void ServerTest::SetUp() {
  m_objectsBefore = linkserver::LiveObjectCount();
  m_bstrsBefore = platformdebug::LiveBstrCount();
  m_sections = std::make_shared<linkserver::InProcessSections>();
  m_server.Attach(linkserver::CreateLinkServer(m_sections));
}

void ServerTest::TearDown() {
  m_server.Release();
  EXPECT_EQ(linkserver::LiveObjectCount(), m_objectsBefore) << "server objects still alive";
  EXPECT_EQ(platformdebug::LiveBstrCount(), m_bstrsBefore) << "BSTRs leaked";
}

CComPtr<IProject2> ServerTest::Open(const std::filesystem::path& path) {
  IUnknown* project = nullptr;
  const std::u16string wide = linkserver::ToUtf16(path.string());
  BSTR bstrPath = SysAllocString(wide.c_str());
  EXPECT_CALL_OK(m_server->OpenProject(bstrPath, &project, errorText));
  SysFreeString(bstrPath);
  return Take<IProject2>(project);
}

CComPtr<ISource2> ServerTest::SourceOf(IProject2* project, const char* guid) {
  GUID id = ParseGuid(guid);
  IUnknown* source = nullptr;
  EXPECT_CALL_OK(project->GetSource(&id, &source, errorText));
  return Take<ISource2>(source);
}

CComPtr<IRenderer2> ServerTest::RendererOf(ISource2* source) {
  IUnknown* renderer = nullptr;
  EXPECT_CALL_OK(source->GetRenderer(&renderer, errorText));
  return Take<IRenderer2>(renderer);
}

CComPtr<IVideoRenderOptions2> ServerTest::VideoOptionsOf(IRenderer2* renderer) {
  IUnknown* options = nullptr;
  EXPECT_CALL_OK(renderer->CreateVideoRenderOptions(&options, errorText));
  return Take<IVideoRenderOptions2>(options);
}

CComPtr<IAudioRenderOptions2> ServerTest::AudioOptionsOf(IRenderer2* renderer) {
  IUnknown* options = nullptr;
  EXPECT_CALL_OK(renderer->CreateAudioRenderOptions(&options, errorText));
  return Take<IAudioRenderOptions2>(options);
}

std::vector<std::uint8_t>& ServerTest::Section(const std::u16string& name, std::size_t bytes, std::uint8_t fill) {
  m_buffers.push_back(std::make_unique<std::vector<std::uint8_t>>(bytes, fill));
  m_sections->Register(name, m_buffers.back()->data(), bytes);
  return *m_buffers.back();
}

std::vector<std::uint8_t> ServerTest::RenderOne(IRenderer2* renderer, IVideoRenderOptions2* options, LONG value,
                                                LONG scale, std::uint8_t fill) {
  ULONGLONG bytes = 0;
  EXPECT_CALL_OK(options->GetMaxMemoryRequiredForFrame(&bytes, errorText));
  std::vector<std::uint8_t>& section = Section(u"frame", bytes, fill);
  BSTR name = SysAllocString(u"frame");
  EXPECT_CALL_OK(renderer->StartVideoRender(options, name, bytes, errorText));
  SysFreeString(name);
  ULONGLONG written = 0;
  EXPECT_CALL_OK(renderer->RenderVideo(value, scale, &written, errorText));
  EXPECT_EQ(written, bytes);
  EXPECT_CALL_OK(renderer->EndVideoRender(errorText));
  return section;
}

}  // namespace refserver_test
