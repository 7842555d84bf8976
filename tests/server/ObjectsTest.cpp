// The server's objects through their interfaces: the item tree, source
// properties, options, memory, extras, and the error of every bad request.
#include "ServerFixture.h"

#include "ProjectFormat.h"
#include "ServerError.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace refserver_test {
namespace {

BSTR Bstr(const std::string& text) { return SysAllocString(linkserver::ToUtf16(text).c_str()); }

// A BSTR owned by the test for the length of a call.
class Arg {
 public:
  explicit Arg(const std::string& text) : m_value(Bstr(text)) {}
  ~Arg() { SysFreeString(m_value); }
  operator BSTR() const { return m_value; }

 private:
  BSTR m_value;
};

class ObjectsTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    m_path = m_folder.Write("sample.orraproj", kSampleProject);
    m_project = Open(m_path);
  }
  void TearDown() override {
    m_project.Release();
    ServerTest::TearDown();
  }

  std::string NameOf(IUnknown* item) {
    CComPtr<IItem2> i = Query<IItem2>(item);
    BSTR name = nullptr;
    EXPECT_CALL_OK(i->GetName(&name, errorText));
    const std::string text = Text(name);
    SysFreeString(name);
    return text;
  }
  std::vector<std::string> Children(IUnknown* bin) {
    std::vector<std::string> names;
    CComPtr<IContainer2> container = Query<IContainer2>(bin);
    IUnknown* raw = nullptr;
    EXPECT_CALL_OK(container->GetFirstItem(&raw, errorText));
    CComPtr<IUnknown> current = CComPtr<IUnknown>::Adopt(raw);
    while (current) {
      names.push_back(NameOf(current));
      IUnknown* next = nullptr;
      EXPECT_CALL_OK(container->GetNextItem(current, &next, errorText));
      current.Attach(next);
    }
    return names;
  }
  // Depth-first search from `item` by GUID.
  CComPtr<IUnknown> Find(IUnknown* item, const GUID& id) {
    GUID own{};
    EXPECT_CALL_OK(Query<IItem2>(item)->GetID(&own, errorText));
    if (IsEqualGUID(own, id)) return item;
    CComPtr<IContainer2> container = Query<IContainer2>(item);
    if (!container) return nullptr;
    IUnknown* raw = nullptr;
    EXPECT_CALL_OK(container->GetFirstItem(&raw, errorText));
    for (CComPtr<IUnknown> child = CComPtr<IUnknown>::Adopt(raw); child;) {
      if (CComPtr<IUnknown> found = Find(child, id)) return found;
      IUnknown* next = nullptr;
      EXPECT_CALL_OK(container->GetNextItem(child, &next, errorText));
      child.Attach(next);
    }
    return nullptr;
  }
  GUID LastChildId(IUnknown* bin) {
    CComPtr<IContainer2> container = Query<IContainer2>(bin);
    IUnknown* raw = nullptr;
    EXPECT_CALL_OK(container->GetFirstItem(&raw, errorText));
    GUID last{};
    for (CComPtr<IUnknown> child = CComPtr<IUnknown>::Adopt(raw); child;) {
      EXPECT_CALL_OK(Query<IItem2>(child)->GetID(&last, errorText));
      IUnknown* next = nullptr;
      EXPECT_CALL_OK(container->GetNextItem(child, &next, errorText));
      child.Attach(next);
    }
    return last;
  }
  CComPtr<IUnknown> Root() {
    IUnknown* root = nullptr;
    EXPECT_CALL_OK(m_project->GetRootItem(&root, errorText));
    return CComPtr<IUnknown>::Adopt(root);
  }
  void StillWorks() {
    LONG version = 0;
    EXPECT_CALL_OK(m_server->GetVersion(&version, errorText));
    EXPECT_EQ(version, 7);
  }

  std::filesystem::path m_path;
  CComPtr<IProject2> m_project;
};

TEST_F(ObjectsTest, ServerAnswersVersionExtensionAndItsExtras) {
  StillWorks();
  BSTR extension = nullptr;
  EXPECT_CALL_OK(m_server->GetProjectExtension(&extension, errorText));
  EXPECT_EQ(Text(extension), ".orraproj");
  SysFreeString(extension);
  CComPtr<IOrraExtras2> extras = Query<IOrraExtras2>(m_server);
  ASSERT_TRUE(extras);
  EXPECT_EQ(Query<IUnknown>(extras).p, Query<IUnknown>(m_server).p);
  EXPECT_FALSE(Query<IProject2>(m_server));
}

TEST_F(ObjectsTest, ProjectReportsNameAndPath) {
  BSTR name = nullptr, path = nullptr;
  EXPECT_CALL_OK(m_project->GetName(&name, errorText));
  EXPECT_CALL_OK(m_project->GetPath(&path, errorText));
  EXPECT_EQ(Text(name), "Sample");
  EXPECT_EQ(Text(path), m_path.string());
  SysFreeString(name);
  SysFreeString(path);
}

TEST_F(ObjectsTest, ItemTreeIsWalkedInFileOrder) {
  CComPtr<IUnknown> root = Root();
  EXPECT_EQ(NameOf(root), "Sample");
  EXPECT_EQ(Children(root), (std::vector<std::string>{"Footage", "Solid", "Tone", "Chirp", "Quiet", "Notes"}));
  IUnknown* parent = reinterpret_cast<IUnknown*>(1);
  EXPECT_CALL_OK(Query<IItem2>(root)->GetParentItem(&parent, errorText));
  EXPECT_EQ(parent, nullptr);

  IUnknown* first = nullptr;
  EXPECT_CALL_OK(Query<IContainer2>(root)->GetFirstItem(&first, errorText));
  CComPtr<IUnknown> footage = CComPtr<IUnknown>::Adopt(first);
  EXPECT_EQ(Children(footage), (std::vector<std::string>{"Bars", "Frames"}));
  IUnknown* raw = nullptr;
  EXPECT_CALL_OK(Query<IContainer2>(footage)->GetFirstItem(&raw, errorText));
  CComPtr<IUnknown> bars = CComPtr<IUnknown>::Adopt(raw);
  raw = nullptr;
  EXPECT_CALL_OK(Query<IItem2>(bars)->GetParentItem(&raw, errorText));
  EXPECT_EQ(NameOf(CComPtr<IUnknown>::Adopt(raw)), "Footage");
  GUID id{};
  EXPECT_CALL_OK(Query<IItem2>(bars)->GetID(&id, errorText));
  EXPECT_TRUE(IsEqualGUID(id, ParseGuid(kBarsGuid)));

  // Which interfaces each kind answers, and its type code.
  struct Expectation {
    const char* guid;
    bool container, source;
    LONG type;
  };
  for (const Expectation& e : {Expectation{kRootGuid, true, false, 0}, Expectation{kBinGuid, true, false, 0},
                               Expectation{kBarsGuid, false, true, 1}, Expectation{kNoteGuid, false, false, 0}}) {
    CComPtr<IUnknown> item = Find(root, ParseGuid(e.guid));
    ASSERT_TRUE(item) << e.guid;
    EXPECT_TRUE(Query<IItem2>(item)) << e.guid;
    EXPECT_EQ(bool(Query<IContainer2>(item)), e.container) << e.guid;
    EXPECT_EQ(bool(Query<ISource2>(item)), e.source) << e.guid;
    LONG type = -1;
    EXPECT_CALL_OK(Query<IItem2>(item)->GetType(&type, errorText));
    EXPECT_EQ(type, e.type) << e.guid;
  }
}

TEST_F(ObjectsTest, SourcesReportTheirProperties) {
  CComPtr<ISource2> frames = SourceOf(m_project, kFramesGuid);
  LONG a = 0, b = 0;
  EXPECT_CALL_OK(frames->GetDuration(&a, &b, errorText));
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(300, 30));
  EXPECT_CALL_OK(frames->GetPixelAspectRatio(&a, &b, errorText));
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(1, 1));
  EXPECT_CALL_OK(frames->GetFrameSize(&a, &b, errorText));
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(160, 120));
  double rate = 0;
  EXPECT_CALL_OK(frames->GetFrameRate(&rate, errorText));
  EXPECT_EQ(rate, 30.0);
  EXPECT_CALL_OK(frames->GetBitDepth(&a, errorText));
  EXPECT_EQ(a, 16);
  EXPECT_CALL_OK(frames->GetTimeStamp(&a, errorText));
  EXPECT_EQ(a, 1000);
  for (auto [stamp, newer] : {std::pair<LONG, LONG>{999, 1}, {1000, 0}, {1001, 0}}) {
    EXPECT_CALL_OK(frames->IsNewerThan(stamp, &a, errorText));
    EXPECT_EQ(a, newer) << stamp;
  }
  EXPECT_CALL_OK(frames->HasVideo(&a, errorText));
  EXPECT_CALL_OK(frames->HasAudio(&b, errorText));
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(1, 0));

  CComPtr<ISource2> solid = SourceOf(m_project, kSolidGuid);
  EXPECT_CALL_OK(solid->GetPixelAspectRatio(&a, &b, errorText));
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(10, 11));
  CComPtr<ISource2> tone = SourceOf(m_project, kToneGuid);
  EXPECT_CALL_OK(tone->HasVideo(&a, errorText));
  EXPECT_CALL_OK(tone->HasAudio(&b, errorText));
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(0, 1));
}

TEST_F(ObjectsTest, OptionsStartAtTheirDefaultsAndKeepWhatIsSet) {
  CComPtr<ISource2> frames = SourceOf(m_project, kFramesGuid);
  CComPtr<IRenderer2> renderer = RendererOf(frames);
  CComPtr<IVideoRenderOptions2> video = VideoOptionsOf(renderer);
  LONG a = -1, b = -1, c = -1, d = -1;
  EXPECT_CALL_OK(video->GetBitDepth(&a, errorText));
  EXPECT_EQ(a, 16) << "the source's depth";
  EXPECT_CALL_OK(video->GetTimeStep(&a, &b, errorText));
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(1000, 30000));
  EXPECT_CALL_OK(video->GetDownsampleFactor(&a, &b, errorText));
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(1, 1));
  EXPECT_CALL_OK(video->GetRegionOfInterest(&a, &b, &c, &d, errorText));
  EXPECT_EQ(a | b | c | d, 0);

  EXPECT_CALL_OK(video->SetLowQuality(5, errorText));
  EXPECT_CALL_OK(video->GetLowQuality(&a, errorText));
  EXPECT_EQ(a, 1);
  EXPECT_CALL_OK(video->SetRegionOfInterest(1, 2, 3, 4, errorText));
  EXPECT_CALL_OK(video->GetRegionOfInterest(&a, &b, &c, &d, errorText));
  EXPECT_EQ((std::array<LONG, 4>{a, b, c, d}), (std::array<LONG, 4>{1, 2, 3, 4}));
  EXPECT_CALL_OK(video->SetBounds(33, 44, errorText));
  EXPECT_CALL_OK(video->GetBounds(&a, &b, errorText));
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(33, 44));
  EXPECT_CALL_OK(video->SetRenderGuideLayers(1, errorText));
  EXPECT_CALL_OK(video->GetRenderGuideLayers(&a, errorText));
  EXPECT_EQ(a, 1);

  CComPtr<IAudioRenderOptions2> audio = AudioOptionsOf(renderer);
  double rate = 0;
  EXPECT_CALL_OK(audio->GetSampleRate(&rate, errorText));
  EXPECT_EQ(rate, 48000.0);
  EXPECT_CALL_OK(audio->SetSampleRate(44100.5, errorText));
  EXPECT_CALL_OK(audio->GetSampleRate(&rate, errorText));
  EXPECT_EQ(rate, 44100.5);
  // A refused value leaves the option as it was.
  const Outcome refused = Call([&](BSTR* e) { return audio->SetEncoding(7, e); });
  EXPECT_EQ(refused.hr, E_INVALIDARG);
  EXPECT_CALL_OK(audio->GetEncoding(&a, errorText));
  EXPECT_EQ(a, 1);
}

struct BadRequest {
  const char* name;
  std::function<HRESULT(BSTR*)> call;
  HRESULT code;
  std::string text;
};

TEST_F(ObjectsTest, EveryBadRequestGetsACodeAndATextAndTheServerStaysUsable) {
  m_folder.Write("broken.orraproj", "orra-project 1\nproject \"B\" {00000000-0000-4000-8000-000000000001}\nbin x\n");
  m_folder.Write("notes.txt", "plain text");
  CComPtr<ISource2> frames = SourceOf(m_project, kFramesGuid);
  CComPtr<ISource2> tone = SourceOf(m_project, kToneGuid);
  CComPtr<IRenderer2> renderer = RendererOf(frames);
  CComPtr<IRenderer2> toneRenderer = RendererOf(tone);
  CComPtr<IVideoRenderOptions2> video = VideoOptionsOf(renderer);
  CComPtr<IAudioRenderOptions2> audio = AudioOptionsOf(toneRenderer);
  CComPtr<IVideoRenderOptions2> toneVideo = VideoOptionsOf(toneRenderer);
  CComPtr<IOrraExtras2> extras = Query<IOrraExtras2>(m_server);
  Section(u"frame", 160 * 120 * 8);
  Section(u"sound", 1000);
  const Arg frame("frame"), sound("sound"), nowhere("nowhere"), empty("");
  const Arg missing((m_folder.Path() / "absent.orraproj").string());
  const Arg broken((m_folder.Path() / "broken.orraproj").string());
  const Arg existing(m_path.string());
  const Arg notes((m_folder.Path() / "notes.txt").string());
  GUID unknown = ParseGuid("{12345678-0000-4000-8000-000000000000}");
  GUID bin = ParseGuid(kBinGuid);
  ULONGLONG value = 0;
  IUnknown* object = nullptr;
  IUnknown* second = nullptr;
  const std::string before = [&] {
    std::ifstream in(m_path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }();

  const HRESULT notFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  const std::vector<BadRequest> table = {
      {"open a missing file", [&](BSTR* e) { return m_server->OpenProject(missing, &object, e); }, notFound,
       "absent.orraproj' does not exist"},
      {"open a malformed file", [&](BSTR* e) { return m_server->OpenProject(broken, &object, e); }, E_FAIL,
       "broken.orraproj', line 3: 'bin' takes 2 values, found 1"},
      {"open an empty path", [&](BSTR* e) { return m_server->OpenProject(empty, &object, e); }, E_INVALIDARG,
       "the project path is empty"},
      {"open with a null out", [&](BSTR* e) { return m_server->OpenProject(existing, nullptr, e); }, E_POINTER,
       "the out-parameter 'project' is null"},
      {"show an unknown source",
       [&](BSTR* e) { return m_server->OpenProjectShowSource(existing, &unknown, &object, &second, e); }, E_INVALIDARG,
       "holds no item with GUID {12345678-0000-4000-8000-000000000000}"},
      {"get an unknown source", [&](BSTR* e) { return m_project->GetSource(&unknown, &object, e); }, E_INVALIDARG,
       "holds no item with GUID {12345678-0000-4000-8000-000000000000}"},
      {"get a bin as a source", [&](BSTR* e) { return m_project->GetSource(&bin, &object, e); }, E_INVALIDARG,
       "the item 'Footage' ({00000000-0000-4000-8000-000000000002}) is not a source"},
      {"get a source without a GUID", [&](BSTR* e) { return m_project->GetSource(nullptr, &object, e); }, E_INVALIDARG,
       "no source GUID was given"},
      {"render without start", [&](BSTR* e) { return renderer->RenderVideo(0, 1, &value, e); }, E_UNEXPECTED,
       "no video render is running; call StartVideoRender first"},
      {"end without start", [&](BSTR* e) { return renderer->EndVideoRender(e); }, E_UNEXPECTED,
       "no video render is running"},
      {"start without options", [&](BSTR* e) { return renderer->StartVideoRender(nullptr, frame, 1 << 20, e); },
       E_INVALIDARG, "no video render options of this server were given"},
      {"start into an unknown section", [&](BSTR* e) { return renderer->StartVideoRender(video, nowhere, 1 << 20, e); },
       E_INVALIDARG, "there is no section named 'nowhere'"},
      {"start into an unnamed section", [&](BSTR* e) { return renderer->StartVideoRender(video, empty, 1 << 20, e); },
       E_INVALIDARG, "the section name is empty"},
      {"start into a section too small", [&](BSTR* e) { return renderer->StartVideoRender(video, frame, 1000, e); },
       E_INVALIDARG, "the section of 1000 bytes is too small for a frame of 153600 bytes"},
      {"announce more than the section holds",
       [&](BSTR* e) { return renderer->StartVideoRender(video, frame, 1 << 30, e); }, E_INVALIDARG,
       "holds 153600 bytes, fewer than the 1073741824 announced"},
      {"start video of an audio source",
       [&](BSTR* e) { return toneRenderer->StartVideoRender(toneVideo, frame, 1 << 20, e); }, E_INVALIDARG,
       "the source 'Tone' has no video"},
      {"frame size of an audio source", [&](BSTR* e) { return toneVideo->GetMaxMemoryRequiredForFrame(&value, e); },
       E_INVALIDARG, "the source 'Tone' has no video"},
      {"bit depth 12", [&](BSTR* e) { return video->SetBitDepth(12, e); }, E_INVALIDARG,
       "bit depth must be 8, 16 or 32, found 12"},
      {"channel order 3", [&](BSTR* e) { return video->SetChannelOrder(3, e); }, E_INVALIDARG,
       "channel order must be 0 (BGRA), 1 (RGBA) or 2 (ARGB), found 3"},
      {"field order -1", [&](BSTR* e) { return video->SetFieldOrder(-1, e); }, E_INVALIDARG, "field order must be"},
      {"pre-multiply 2", [&](BSTR* e) { return video->SetPreMultiply(2, e); }, E_INVALIDARG, "pre-multiply must be"},
      {"time step 0", [&](BSTR* e) { return video->SetTimeStep(0, 25, e); }, E_INVALIDARG,
       "the time step 0/25 is not a positive duration"},
      {"negative bounds", [&](BSTR* e) { return video->SetBounds(-1, 10, e); }, E_INVALIDARG,
       "bounds -1x10 are out of range"},
      {"negative row bytes", [&](BSTR* e) { return video->SetRowBytes(-4, e); }, E_INVALIDARG,
       "row bytes must be 0 (tight rows) or positive, found -4"},
      {"downsample 0", [&](BSTR* e) { return video->SetDownsampleFactor(0, 1, e); }, E_INVALIDARG,
       "downsample factor 0x1 is out of range"},
      {"inverted region", [&](BSTR* e) { return video->SetRegionOfInterest(10, 10, 5, 20, e); }, E_INVALIDARG,
       "the region of interest (10, 10, 5, 20) is not a non-empty rectangle"},
      {"sample rate 0", [&](BSTR* e) { return audio->SetSampleRate(0, e); }, E_INVALIDARG, "sample rate 0"},
      {"no channels", [&](BSTR* e) { return audio->SetNumChannels(0, e); }, E_INVALIDARG, "channel count 0"},
      {"encoding 5", [&](BSTR* e) { return audio->SetEncoding(5, e); }, E_INVALIDARG, "encoding must be 0"},
      {"3 bytes per sample", [&](BSTR* e) { return audio->SetBytesPerSample(3, e); }, E_INVALIDARG,
       "bytes per sample must be 2 or 4, found 3"},
      {"next buffer without start", [&](BSTR* e) { return toneRenderer->GetNextAudioBuffer(&value, e); }, E_UNEXPECTED,
       "no audio render is running; call StartAudioRender first"},
      {"end audio without start", [&](BSTR* e) { return toneRenderer->EndAudioRender(e); }, E_UNEXPECTED,
       "no audio render is running"},
      {"audio of a silent source", [&](BSTR* e) { return renderer->StartAudioRender(0, 1, 0, audio, sound, 1000, e); },
       E_INVALIDARG, "the source 'Frames' has no audio"},
      {"buffer larger than the section",
       [&](BSTR* e) { return toneRenderer->StartAudioRender(0, 1, 1000, audio, sound, 1000, e); }, E_INVALIDARG,
       "the section of 1000 bytes is too small for a buffer of 8000 bytes"},
      {"negative samples per buffer",
       [&](BSTR* e) { return toneRenderer->StartAudioRender(0, 1, -1, audio, sound, 1000, e); }, E_INVALIDARG,
       "samples per buffer must be 0 (as many as fit) or positive, found -1"},
      {"audio start after the end",
       [&](BSTR* e) { return toneRenderer->StartAudioRender(3, 1, 0, audio, sound, 1000, e); }, E_INVALIDARG,
       "time 3 s lies outside the source's duration of 2 s"},
      {"audio time scale 0", [&](BSTR* e) { return toneRenderer->StartAudioRender(1, 0, 0, audio, sound, 1000, e); },
       E_INVALIDARG, "the time scale must be positive, found 0"},
      {"null out value", [&](BSTR* e) { return m_server->GetVersion(nullptr, e); }, E_POINTER,
       "the out-parameter 'version' is null"},
      {"close nothing", [&](BSTR* e) { return m_server->CloseProject(nullptr, e); }, E_INVALIDARG,
       "CloseProject needs a project"},
      {"close something else", [&](BSTR* e) { return m_server->CloseProject(renderer, e); }, E_INVALIDARG,
       "is not a project of this server"},
      {"withdraw without announce", [&](BSTR* e) { return extras->WithdrawSelfLink(e); }, E_UNEXPECTED,
       "no self link has been announced"},
      {"send nothing", [&](BSTR* e) { return extras->SendFile(empty, e); }, E_INVALIDARG, "the path is empty"},
      {"send a missing file", [&](BSTR* e) { return extras->SendFile(missing, e); }, notFound, "no such file"},
      {"send a text file", [&](BSTR* e) { return extras->SendFile(notes, e); }, E_INVALIDARG,
       "only PNG images can be added to a project"},
      {"create over an existing project",
       [&](BSTR* e) { return m_server->CreateSource(existing, 64, 48, 1, 1, 25, 25, 25.0, &object, &second, e); },
       HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), "already exists and is not replaced"},
      {"create with no width",
       [&](BSTR* e) { return m_server->CreateSource(missing, 0, 48, 1, 1, 25, 25, 25.0, &object, &second, e); },
       E_INVALIDARG, "frame size 0x48 is out of range"},
      {"create with a zero aspect",
       [&](BSTR* e) { return m_server->CreateSource(missing, 64, 48, 0, 1, 25, 25, 25.0, &object, &second, e); },
       E_INVALIDARG, "pixel aspect ratio 0:1 must have two positive words"},
      {"create with no rate",
       [&](BSTR* e) { return m_server->CreateSource(missing, 64, 48, 1, 1, 25, 25, 0.0, &object, &second, e); },
       E_INVALIDARG, "frame rate 0.000000 is out of range"},
      {"create above the highest rate",
       [&](BSTR* e) { return m_server->CreateSource(missing, 64, 48, 1, 1, 25, 25, 1000.5, &object, &second, e); },
       E_INVALIDARG, "frame rate 1000.500000 is out of range"},
  };
  const int openBefore = linkserver::InspectServer(m_server).openProjects;
  for (const BadRequest& bad : table) {
    SCOPED_TRACE(bad.name);
    const Outcome outcome = Call(bad.call);
    EXPECT_EQ(outcome.hr, bad.code);
    ASSERT_TRUE(outcome.textReturned);
    EXPECT_NE(outcome.text.find(bad.text), std::string::npos) << outcome.text;
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(second, nullptr);
    StillWorks();
  }
  EXPECT_EQ(linkserver::InspectServer(m_server).openProjects, openBefore) << "failed opens leave nothing open";
  EXPECT_FALSE(std::filesystem::exists(m_folder.Path() / "absent.orraproj"));
  std::ifstream in(m_path);
  std::stringstream after;
  after << in.rdbuf();
  EXPECT_EQ(after.str(), before) << "a refused CreateSource leaves the file alone";
}

TEST_F(ObjectsTest, SecondStartIsRefusedAndTheFirstRenderGoesOn) {
  CComPtr<ISource2> frames = SourceOf(m_project, kFramesGuid);
  CComPtr<IRenderer2> renderer = RendererOf(frames);
  CComPtr<IVideoRenderOptions2> video = VideoOptionsOf(renderer);
  Section(u"frame", 160 * 120 * 8);
  const Arg frame("frame");
  EXPECT_CALL_OK(renderer->StartVideoRender(video, frame, 160 * 120 * 8, errorText));
  const Outcome again = Call([&](BSTR* e) { return renderer->StartVideoRender(video, frame, 160 * 120 * 8, e); });
  EXPECT_EQ(again.hr, E_UNEXPECTED);
  EXPECT_NE(again.text.find("a video render is already running on this renderer"), std::string::npos);
  ULONGLONG value = 0;
  const Outcome late = Call([&](BSTR* e) { return renderer->RenderVideo(10, 1, &value, e); });
  EXPECT_NE(late.text.find("time 10 s lies outside the source's duration of 10 s"), std::string::npos) << late.text;
  EXPECT_CALL_OK(renderer->RenderVideo(299, 30, &value, errorText));
  EXPECT_CALL_OK(renderer->EndVideoRender(errorText));

  CComPtr<ISource2> tone = SourceOf(m_project, kToneGuid);
  CComPtr<IRenderer2> toneRenderer = RendererOf(tone);
  CComPtr<IAudioRenderOptions2> audio = AudioOptionsOf(toneRenderer);
  EXPECT_CALL_OK(audio->SetBytesPerSample(2, errorText));
  const Outcome mismatch =
      Call([&](BSTR* e) { return toneRenderer->StartAudioRender(0, 1, 0, audio, frame, 1000, e); });
  EXPECT_NE(mismatch.text.find("bytes per sample 2 does not agree with encoding 1, which takes 4"), std::string::npos)
      << mismatch.text;
  EXPECT_CALL_OK(audio->SetEncoding(0, errorText));
  EXPECT_CALL_OK(toneRenderer->StartAudioRender(0, 1, 0, audio, frame, 1000, errorText));
  const Outcome twice = Call([&](BSTR* e) { return toneRenderer->StartAudioRender(0, 1, 0, audio, frame, 1000, e); });
  EXPECT_EQ(twice.hr, E_UNEXPECTED);
  EXPECT_NE(twice.text.find("an audio render is already running"), std::string::npos);
  EXPECT_CALL_OK(toneRenderer->GetNextAudioBuffer(&value, errorText));
  EXPECT_EQ(value, 1000u);
  EXPECT_CALL_OK(toneRenderer->EndAudioRender(errorText));
}

TEST_F(ObjectsTest, ClosedProjectAnswersThatItIsClosed) {
  CComPtr<ISource2> frames = SourceOf(m_project, kFramesGuid);
  EXPECT_EQ(linkserver::InspectServer(m_server).openProjects, 1);
  EXPECT_CALL_OK(m_server->CloseProject(m_project, errorText));
  EXPECT_EQ(linkserver::InspectServer(m_server).openProjects, 0);
  const Outcome again = Call([&](BSTR* e) { return m_server->CloseProject(m_project, e); });
  EXPECT_EQ(again.hr, E_UNEXPECTED);
  EXPECT_NE(again.text.find("the project 'Sample' is already closed"), std::string::npos);
  BSTR name = nullptr;
  const Outcome named = Call([&](BSTR* e) { return m_project->GetName(&name, e); });
  EXPECT_NE(named.text.find("the project 'Sample' has been closed"), std::string::npos);
  EXPECT_EQ(name, nullptr);
  LONG depth = 0;
  EXPECT_EQ(Call([&](BSTR* e) { return frames->GetBitDepth(&depth, e); }).hr, E_UNEXPECTED);
  // The file itself opens again.
  CComPtr<IProject2> reopened = Open(m_path);
  EXPECT_TRUE(reopened);
}

TEST_F(ObjectsTest, CreateSourceWritesANewProjectHoldingThatSource) {
  const std::filesystem::path path = m_folder.Path() / "made.orraproj";
  const Arg where(path.string());
  IUnknown* rawProject = nullptr;
  IUnknown* rawSource = nullptr;
  EXPECT_CALL_OK(m_server->CreateSource(where, 64, 48, 4, 3, 1001, 30000, 29.97, &rawProject, &rawSource, errorText));
  CComPtr<IProject2> project = Take<IProject2>(rawProject);
  CComPtr<ISource2> source = Take<ISource2>(rawSource);
  ASSERT_TRUE(project && source);
  LONG a = 0, b = 0;
  EXPECT_CALL_OK(source->GetFrameSize(&a, &b, errorText));
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(64, 48));
  EXPECT_CALL_OK(source->GetPixelAspectRatio(&a, &b, errorText));
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(4, 3));
  EXPECT_CALL_OK(source->GetDuration(&a, &b, errorText));
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(1001, 30000));
  double rate = 0;
  EXPECT_CALL_OK(source->GetFrameRate(&rate, errorText));
  EXPECT_EQ(rate, 29.97);

  // The file on disk holds the same source under the same GUID.
  const linkserver::ProjectModel model = linkserver::LoadProjectFile(path);
  EXPECT_EQ(model.name, "made");
  ASSERT_EQ(model.root->children.size(), 1u);
  GUID id{};
  EXPECT_CALL_OK(Query<IItem2>(source)->GetID(&id, errorText));
  EXPECT_TRUE(IsEqualGUID(model.root->children[0]->id, id));
  EXPECT_EQ(model.root->children[0]->source.frameRate, 29.97);

  IUnknown* shownProject = nullptr;
  IUnknown* shown = nullptr;
  EXPECT_CALL_OK(m_server->OpenProjectShowSource(where, &id, &shownProject, &shown, errorText));
  CComPtr<IProject2> again = Take<IProject2>(shownProject);
  CComPtr<ISource2> shownSource = Take<ISource2>(shown);
  ASSERT_TRUE(again && shownSource);
  EXPECT_CALL_OK(shownSource->GetFrameSize(&a, &b, errorText));
  EXPECT_EQ(a, 64);

  // The highest rate a project file holds is accepted (one above it is in
  // the table of bad requests).
  const Arg fastest((m_folder.Path() / "fastest.orraproj").string());
  rawProject = rawSource = nullptr;
  EXPECT_CALL_OK(m_server->CreateSource(fastest, 64, 48, 1, 1, 1, 1, 1000.0, &rawProject, &rawSource, errorText));
  EXPECT_TRUE(Take<IProject2>(rawProject) && Take<ISource2>(rawSource));
}

TEST_F(ObjectsTest, SendFileAddsAPngImageAsASourceOfTheOpenProject) {
  const std::filesystem::path png = WriteTestImage(m_folder.Path() / "picture.png", 9, 6);
  CComPtr<IOrraExtras2> extras = Query<IOrraExtras2>(m_server);
  EXPECT_CALL_OK(extras->SendFile(Arg(png.string()), errorText));
  EXPECT_EQ(Children(Root()).back(), "picture");

  // The new source is the root's last child; render it.
  CComPtr<IUnknown> root = Root();
  CComPtr<IUnknown> item = Find(root, LastChildId(root));
  CComPtr<ISource2> picture = Query<ISource2>(item);
  ASSERT_TRUE(picture);
  CComPtr<IRenderer2> renderer = RendererOf(picture);
  CComPtr<IVideoRenderOptions2> options = VideoOptionsOf(renderer);
  EXPECT_CALL_OK(options->SetChannelOrder(1, errorText));
  EXPECT_EQ(RenderOne(renderer, options, 0, 1), TestImagePixels(9, 6));

  EXPECT_CALL_OK(m_server->CloseProject(m_project, errorText));
  const Outcome nowhere = Call([&](BSTR* e) { return extras->SendFile(Arg(png.string()), e); });
  EXPECT_EQ(nowhere.hr, E_UNEXPECTED);
  EXPECT_NE(nowhere.text.find("no project is open to receive"), std::string::npos);
}

TEST_F(ObjectsTest, SelfLinksAreCountedAndWithdrawnOnce) {
  CComPtr<IOrraExtras2> extras = Query<IOrraExtras2>(m_server);
  EXPECT_CALL_OK(extras->AnnounceSelfLink(errorText));
  EXPECT_CALL_OK(extras->AnnounceSelfLink(errorText));
  EXPECT_EQ(linkserver::InspectServer(m_server).selfLinks, 2);
  EXPECT_CALL_OK(extras->WithdrawSelfLink(errorText));
  EXPECT_CALL_OK(extras->WithdrawSelfLink(errorText));
  EXPECT_EQ(linkserver::InspectServer(m_server).selfLinks, 0);
  EXPECT_EQ(Call([&](BSTR* e) { return extras->WithdrawSelfLink(e); }).hr, E_UNEXPECTED);
}

class MemoryTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    WriteTestImage(m_folder.Path() / "a.png", 40, 30);
    WriteTestImage(m_folder.Path() / "b.png", 20, 10);
    m_project = Open(m_folder.Write("stills.orraproj",
                                    "orra-project 1\nproject \"Stills\" {00000000-0000-4000-8000-000000000001}\n"
                                    "source \"A\" {00000000-0000-4000-8000-00000000000A}\n duration 1 1\n rate 25\n"
                                    " video image \"a.png\"\nend\n"
                                    "source \"B\" {00000000-0000-4000-8000-00000000000B}\n duration 1 1\n rate 25\n"
                                    " video image \"b.png\"\nend\n"));
  }
  void TearDown() override {
    m_project.Release();
    ServerTest::TearDown();
  }
  ULONGLONG Usage() {
    ULONGLONG bytes = ~0ull;
    EXPECT_CALL_OK(m_server->GetCurrentMemoryUsage(&bytes, errorText));
    return bytes;
  }
  void RenderStill(const char* guid) {
    CComPtr<ISource2> source = SourceOf(m_project, guid);
    CComPtr<IRenderer2> renderer = RendererOf(source);
    CComPtr<IVideoRenderOptions2> options = VideoOptionsOf(renderer);
    RenderOne(renderer, options, 0, 1);
  }

  static constexpr const char* kA = "{00000000-0000-4000-8000-00000000000A}";
  static constexpr const char* kB = "{00000000-0000-4000-8000-00000000000B}";
  static constexpr ULONGLONG kBytesA = 40 * 30 * 4, kBytesB = 20 * 10 * 4;
  CComPtr<IProject2> m_project;
};

TEST_F(MemoryTest, DecodedStillsAreCachedWithinTheBudgetsAndPurged) {
  EXPECT_EQ(Usage(), 0u);
  RenderStill(kA);
  EXPECT_EQ(Usage(), kBytesA);
  RenderStill(kB);
  EXPECT_EQ(Usage(), kBytesA + kBytesB);
  RenderStill(kA);  // a hit: nothing new
  EXPECT_EQ(Usage(), kBytesA + kBytesB);
  EXPECT_CALL_OK(m_server->PurgeMemory(errorText));
  EXPECT_EQ(Usage(), 0u);

  // Idle budget below both: kept while a render runs (temporary budget),
  // trimmed to the idle budget when it ends, least recently used first.
  EXPECT_CALL_OK(m_server->SetIdleTimeMemoryUsage(kBytesA, errorText));
  RenderStill(kB);
  RenderStill(kA);
  EXPECT_EQ(Usage(), kBytesA);
  EXPECT_CALL_OK(m_server->SetIdleTimeMemoryUsage(kBytesB, errorText));
  EXPECT_EQ(Usage(), 0u) << "a lowered budget evicts at once";
  EXPECT_CALL_OK(m_server->SetTemporaryMemoryUsage(0, errorText));
  RenderStill(kB);
  EXPECT_EQ(Usage(), 0u) << "nothing is cached with no temporary budget";

  // A still larger than the whole budget is not kept, and what is cached
  // stays (A is six times B).
  EXPECT_CALL_OK(m_server->SetIdleTimeMemoryUsage(kBytesA / 2, errorText));
  EXPECT_CALL_OK(m_server->SetTemporaryMemoryUsage(kBytesA / 2, errorText));
  RenderStill(kB);
  RenderStill(kA);
  EXPECT_EQ(Usage(), kBytesB);
}

TEST_F(MemoryTest, FinalFramesAreKeptWhenAskedAndServedAgain) {
  linkserver::FrameCache& cache = *linkserver::InspectServer(m_server).cache;
  CComPtr<ISource2> source = SourceOf(m_project, kB);
  CComPtr<IRenderer2> renderer = RendererOf(source);
  CComPtr<IVideoRenderOptions2> options = VideoOptionsOf(renderer);
  RenderOne(renderer, options, 0, 1);
  EXPECT_EQ(Usage(), kBytesB);
  EXPECT_CALL_OK(m_server->CacheFinalFrame(1, errorText));
  const std::vector<std::uint8_t> first = RenderOne(renderer, options, 0, 1);
  EXPECT_EQ(Usage(), 2 * kBytesB) << "the still and the final frame";
  const std::uint64_t hits = cache.Hits();
  EXPECT_EQ(RenderOne(renderer, options, 0, 1, 0x55), first);
  EXPECT_EQ(cache.Hits(), hits + 1);
  EXPECT_CALL_OK(options->SetChannelOrder(1, errorText));
  RenderOne(renderer, options, 0, 1);
  EXPECT_EQ(cache.Hits(), hits + 1) << "other options are another frame";
  EXPECT_CALL_OK(m_server->CacheFinalFrame(0, errorText));
  EXPECT_EQ(Usage(), kBytesB);
}

TEST_F(MemoryTest, MinimumIsTheLargestStillOfTheOpenProjects) {
  ULONGLONG bytes = 0;
  EXPECT_CALL_OK(m_server->GetMinimumMemoryRequirements(&bytes, errorText));
  EXPECT_EQ(bytes, kBytesA);
  EXPECT_CALL_OK(m_server->CloseProject(m_project, errorText));
  EXPECT_CALL_OK(m_server->GetMinimumMemoryRequirements(&bytes, errorText));
  EXPECT_EQ(bytes, 0u);
}

TEST_F(ObjectsTest, ManyThreadsRenderAndWalkAtOnce) {
  CComPtr<ISource2> frames = SourceOf(m_project, kFramesGuid);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      CComPtr<IRenderer2> renderer = RendererOf(frames);
      CComPtr<IVideoRenderOptions2> options = VideoOptionsOf(renderer);
      EXPECT_CALL_OK(options->SetBitDepth(8, errorText));
      const std::u16string name = u"thread" + std::u16string(1, char16_t(u'0' + t));
      std::vector<std::uint8_t> section(160 * 120 * 4);
      m_sections->Register(name, section.data(), section.size());
      BSTR bstr = SysAllocString(name.c_str());
      EXPECT_CALL_OK(renderer->StartVideoRender(options, bstr, section.size(), errorText));
      SysFreeString(bstr);
      for (int n = t; n < 300; n += 4) {
        ULONGLONG written = 0;
        EXPECT_CALL_OK(renderer->RenderVideo(n, 30, &written, errorText));
        // Block (c, 0) at its centre holds bit c of the frame number.
        for (int c = 0; c < 8; ++c) {
          const bool set = section[(15 * 160 + 10 + 20 * c) * 4] > 128;
          if (set != bool((n >> c) & 1)) ++failures;
        }
        CComPtr<IUnknown> root = Root();  // walk while others render
        if (!Query<IContainer2>(root)) ++failures;
      }
      EXPECT_CALL_OK(renderer->EndVideoRender(errorText));
      m_sections->Unregister(name);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace refserver_test
