#include "ServerFixture.h"

#include "PngImage.h"
#include "ServerError.h"

#include <comsupport/WideChars.h>
#include <kelvex/Guid.h>
#include <support/testserver/PlatformProbes.h>

#include <algorithm>
#include <fstream>
#include <stdlib.h>

namespace refserver_test {

#define ID(n) "{00000000-0000-4000-8000-0000000000" #n "}"
const char kRootGuid[] = ID(01), kBinGuid[] = ID(02), kBarsGuid[] = ID(03), kFramesGuid[] = ID(04),
           kSolidGuid[] = ID(05), kToneGuid[] = ID(06), kChirpGuid[] = ID(07), kQuietGuid[] = ID(08),
           kNoteGuid[] = ID(09), kStillGuid[] = ID(0A), kSmallGuid[] = ID(0B);

// Every kind of thing a project holds, one source to a line (';' ends a
// line of the file).
const std::string kSampleProject = [] {
  std::string text = "orra-project 1;# a comment;project \"Sample\" " ID(01) ";bin \"Footage\" " ID(02) ";"
                     "  source \"Bars\" " ID(03) ";duration 10 1;size 140 60;rate 25;video bars;end;"
                     "  source \"Frames\" " ID(04) ";duration 10 1;size 160 120;rate 30000/1001;depth 16;stamp 1000;"
                     "video framenumber;end;end;"
                     "source \"Solid\" " ID(05) ";duration 5 1;aspect 10 11;size 8 4;rate 25;video solid 255 128 0 128;end;"
                     "source \"Tone\" " ID(06) ";duration 2 1;rate 25;audio sine 440;end;"
                     "source \"Chirp\" " ID(07) ";duration 2 1;rate 25;audio chirp 200 2200;end;"
                     "source \"Quiet\" " ID(08) ";duration 1 1;size 16 16;rate 25;video bars;audio silence;end;"
                     "item \"Notes\" " ID(09) ";"
                     "source \"Still\" " ID(0A) ";duration 1 1;rate 25;video image \"still.png\";end;"
                     "source \"Small\" " ID(0B) ";duration 1 1;rate 25;video image \"small.png\";end;";
  std::replace(text.begin(), text.end(), ';', '\n');
  return text;
}();

Outcome Call(const std::function<HRESULT(BSTR*)>& call) {
  BSTR text = nullptr;
  Outcome outcome;
  outcome.hr = call(&text);
  outcome.textReturned = text != nullptr;
  outcome.text = linkserver::FromBstr(text);
  SysFreeString(text);
  return outcome;
}

Arg::Arg(const std::string& text) : value(SysAllocString(comsupport::AsOleChars(linkserver::ToUtf16(text).c_str()))) {}

GUID ParseGuid(const char* text) { return kelvex::utility::Guid(text).GetGUID(); }

std::filesystem::path WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::vector<std::uint8_t> TestImagePixels(int width, int height) {
  std::vector<std::uint8_t> rgba;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int v : {x * 37 + y * 11, x * 5 + y * 53, (x ^ y) * 29, 255 - ((x + y) % 4) * 40})
        rgba.push_back(static_cast<std::uint8_t>(v));
  return rgba;
}

std::filesystem::path WriteTestImage(const std::filesystem::path& path, int width, int height) {
  linkserver::WritePng(path, {std::uint32_t(width), std::uint32_t(height), TestImagePixels(width, height)});
  return path;
}

void ServerTest::SetUp() {
  m_objectsBefore = linkserver::LiveObjectCount();
  m_bstrsBefore = testprobes::LiveBstrCount();
  // A folder of this test's own: the process id and a count make it unique.
  static int made = 0;
  m_folder = std::filesystem::temp_directory_path() /
             ("refserver-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++made));
  std::filesystem::remove_all(m_folder);
  ASSERT_TRUE(std::filesystem::create_directory(m_folder));
  WriteTestImage(m_folder / "still.png", 37, 23);
  WriteTestImage(m_folder / "small.png", 9, 6);
  m_sections = std::make_shared<linkserver::InProcessSections>();
  m_server = linkserver::CreateLinkServer(m_sections);
  m_path = WriteFile(m_folder / "sample.orraproj", kSampleProject);
  m_project = Made<IProject2>([&](IUnknown** o, BSTR* e) { return m_server->OpenProject(Arg(m_path.string()), o, e); });
}

void ServerTest::TearDown() {
  m_project.Release();
  m_server.Release();
  EXPECT_EQ(linkserver::LiveObjectCount(), m_objectsBefore) << "server objects still alive";
  EXPECT_EQ(testprobes::LiveBstrCount(), m_bstrsBefore) << "BSTRs leaked";
  std::error_code ignored;
  std::filesystem::remove_all(m_folder, ignored);
}

CComPtr<ISource2> ServerTest::SourceOf(const char* guid) {
  GUID id = ParseGuid(guid);
  return Made<ISource2>([&](IUnknown** o, BSTR* e) { return m_project->GetSource(&id, o, e); });
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
  EXPECT_CALL_OK(renderer->StartVideoRender(options, Arg("frame"), bytes, errorText));
  ULONGLONG written = 0;
  EXPECT_CALL_OK(renderer->RenderVideo(value, scale, &written, errorText));
  EXPECT_EQ(written, bytes);
  EXPECT_CALL_OK(renderer->EndVideoRender(errorText));
  return section;
}

}  // namespace refserver_test
