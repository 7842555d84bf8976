// The server's objects through their interfaces: the item tree, source
// properties, options, memory, extras, and the error of every bad request.
#include "ServerFixture.h"

#include "FrameCache.h"
#include "ProjectFormat.h"
#include "ServerError.h"

#include <atomic>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace refserver_test {
namespace {

// The start of a PNG that claims width x height pixels and holds none:
// nothing past its header may be read of a still too large to decode.
std::string PngHeaderOnly(std::uint32_t width, std::uint32_t height) {
  const auto word = [](std::uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
  const auto chunk = [&](const std::string& typeAndData) {
    std::uint32_t crc = ~0u;
    for (unsigned char byte : typeAndData) {
      crc ^= byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (crc & 1 ? 0xEDB88320u : 0u);
    }
    return word(std::uint32_t(typeAndData.size() - 4)) + typeAndData + word(~crc);
  };
  return std::string("\x89PNG\r\n\x1A\n", 8) +
         chunk("IHDR" + word(width) + word(height) + std::string("\x08\x06\0\0\0", 5)) + chunk("IDAT") + chunk("IEND");
}

#ifndef _WIN32
// A project file under a path of `length` characters, longer than the
// system takes: made one folder at a time, each relative to the last.
std::string WriteUnderLongPath(const std::filesystem::path& folder, std::size_t length, const std::string& text) {
  const std::string level(200, 'd');
  std::string path = folder.string();
  int at = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (; length - path.size() > 250; path += "/" + level) {
    mkdirat(at, level.c_str(), 0700);
    const int next = openat(at, level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(at);
    at = next;
  }
  const std::string name = std::string(length - path.size() - 1 - 9, 'p') + ".orraproj";
  const int fd = openat(at, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
  close(fd);
  close(at);
  return path + "/" + name;
}
#endif

class Objects : public ServerTest {
 protected:
  // The children of a container, and their names.
  std::vector<CComPtr<IUnknown>> Children(IUnknown* bin, std::vector<std::string>& names) {
    std::vector<CComPtr<IUnknown>> children;
    CComPtr<IContainer2> container = Query<IContainer2>(bin);
    IUnknown* raw = nullptr;
    EXPECT_CALL_OK(container->GetFirstItem(&raw, errorText));
    for (CComPtr<IUnknown> child = CComPtr<IUnknown>::Adopt(raw); child; child.Attach(raw), raw = nullptr) {
      BSTR name = nullptr;
      EXPECT_CALL_OK(Query<IItem2>(child)->GetName(&name, errorText));
      names.push_back(linkserver::FromBstr(name));
      SysFreeString(name);
      children.push_back(child);
      EXPECT_CALL_OK(container->GetNextItem(child, &raw, errorText));
    }
    return children;
  }
  CComPtr<IUnknown> Root() {
    return Made<IUnknown>([&](IUnknown** o, BSTR* e) { return m_project->GetRootItem(o, e); });
  }
  ULONGLONG Usage() {
    ULONGLONG bytes = ~0ull;
    EXPECT_CALL_OK(m_server->GetCurrentMemoryUsage(&bytes, errorText));
    return bytes;
  }
  void RenderStill(const char* guid) {
    CComPtr<IRenderer2> renderer = RendererOf(SourceOf(guid));
    RenderOne(renderer, VideoOptionsOf(renderer), 0, 1);
  }
  std::string WriteProjectText() { return (std::stringstream() << std::ifstream(m_path).rdbuf()).str(); }
  static constexpr ULONGLONG kStillBytes = 37 * 23 * 4, kSmallBytes = 9 * 6 * 4;
};

TEST_F(Objects, TreeAndSourcesAnswerWhatTheFileHolds) {
  std::vector<std::string> names, inBin;
  const auto children = Children(Root(), names);
  EXPECT_EQ(names, (std::vector<std::string>{"Footage", "Solid", "Tone", "Chirp", "Quiet", "Notes", "Still", "Small"}));
  const auto bars = Children(children[0], inBin);
  EXPECT_EQ(inBin, (std::vector<std::string>{"Bars", "Frames"}));
  IUnknown* parent = reinterpret_cast<IUnknown*>(1);
  EXPECT_CALL_OK(Query<IItem2>(Root())->GetParentItem(&parent, errorText));
  EXPECT_EQ(parent, nullptr);
  GUID id{};
  EXPECT_CALL_OK(Made<IItem2>([&](IUnknown** o, BSTR* e) {
                   return Query<IItem2>(bars[1])->GetParentItem(o, e);
                 })->GetID(&id, errorText));
  EXPECT_TRUE(IsEqualGUID(id, ParseGuid(kBinGuid)));
  // Each kind answers its own interfaces and type code.
  for (auto [item, container, type] :
       {std::tuple{children[0].p, true, 0}, {bars[0].p, false, 1}, {children[5].p, false, 0}}) {
    LONG got = -1;
    EXPECT_CALL_OK(Query<IItem2>(item)->GetType(&got, errorText));
    EXPECT_EQ(std::tuple(bool(Query<IContainer2>(item)), bool(Query<ISource2>(item)), got),
              std::tuple(container, type == 1, type));
  }
  const struct {
    const char* guid;
    std::array<LONG, 10> longs;  // duration, aspect, size, depth, video, audio, newer than 999
    double rate;
  } rows[] = {{kFramesGuid, {10, 1, 1, 1, 160, 120, 16, 1, 0, 1}, 30000.0 / 1001},
              {kSolidGuid, {5, 1, 10, 11, 8, 4, 8, 1, 0, 0}, 25},
              {kStillGuid, {1, 1, 1, 1, 37, 23, 8, 1, 0, 0}, 25},
              {kToneGuid, {2, 1, 1, 1, 0, 0, 8, 0, 1, 0}, 25}};
  for (const auto& row : rows) {
    CComPtr<ISource2> s = SourceOf(row.guid);
    std::array<LONG, 10> l{};
    double rate = 0;
    EXPECT_CALL_OK(s->GetDuration(&l[0], &l[1], errorText));
    EXPECT_CALL_OK(s->GetPixelAspectRatio(&l[2], &l[3], errorText));
    if (row.longs[7]) EXPECT_CALL_OK(s->GetFrameSize(&l[4], &l[5], errorText));
    EXPECT_CALL_OK(s->GetBitDepth(&l[6], errorText));
    EXPECT_CALL_OK(s->HasVideo(&l[7], errorText));
    EXPECT_CALL_OK(s->HasAudio(&l[8], errorText));
    EXPECT_CALL_OK(s->IsNewerThan(999, &l[9], errorText));
    EXPECT_CALL_OK(s->GetFrameRate(&rate, errorText));
    EXPECT_EQ(l, row.longs) << row.guid;
    EXPECT_EQ(rate, row.rate) << row.guid;
  }
  LONG newer = -1;
  EXPECT_CALL_OK(SourceOf(kFramesGuid)->IsNewerThan(1000, &newer, errorText));
  EXPECT_EQ(newer, 0) << "the stamp is 1000";
}

TEST_F(Objects, OptionsStartFromTheSourceAndKeepWhatIsSet) {
  CComPtr<IRenderer2> renderer = RendererOf(SourceOf(kFramesGuid));
  CComPtr<IVideoRenderOptions2> video = VideoOptionsOf(renderer);
  CComPtr<IAudioRenderOptions2> audio = AudioOptionsOf(renderer);
  std::array<LONG, 5> got{};
  EXPECT_CALL_OK(video->GetBitDepth(&got[0], errorText));           // the source's depth
  EXPECT_CALL_OK(video->GetTimeStep(&got[1], &got[2], errorText));  // one frame
  EXPECT_CALL_OK(video->SetLowQuality(5, errorText));
  EXPECT_CALL_OK(video->GetLowQuality(&got[3], errorText));
  // A refused value leaves the option as it was.
  EXPECT_EQ(Call([&](BSTR* e) { return audio->SetEncoding(7, e); }).hr, E_INVALIDARG);
  EXPECT_CALL_OK(audio->GetEncoding(&got[4], errorText));
  EXPECT_EQ(got, (std::array<LONG, 5>{16, 1000, 29970, 1, 1}));
}

TEST_F(Objects, EveryBadRequestGetsACodeAndATextAndTheServerStaysUsable) {
  const std::string head = "orra-project 1\nproject \"B\" {00000000-0000-4000-8000-000000000001}\n";
  const auto showing = [&](const std::string& still) {
    return head + "source \"S\" {00000000-0000-4000-8000-000000000002}\nduration 1 1\nrate 25\nvideo image \"" + still +
           "\"\nend\n";
  };
  WriteFile(m_folder / "broken.orraproj", head + "bin x\n");
  WriteFile(m_folder / "gone.orraproj", showing("gone.png"));
  WriteFile(m_folder / "huge.orraproj", showing("huge.png"));
  WriteFile(m_folder / "huge.png", PngHeaderOnly(16384, 16384));
  WriteFile(m_folder / "wordy.orraproj", head + "item " + std::string(40000, 'w') + " {x}\n");
  WriteFile(m_folder / "notes.txt", "plain text");
#ifndef _WIN32
  // Opened, they would wait for a writer for ever or never end.
  const std::filesystem::path fifoPath = m_folder / "fifo.orraproj";
  ASSERT_EQ(mkfifo(fifoPath.c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", m_folder / "zero.orraproj");
  std::filesystem::create_directory(m_folder / "folder.orraproj");
  const Arg fifo(fifoPath.string()), zero((m_folder / "zero.orraproj").string());
  const std::string deepPath = WriteUnderLongPath(m_folder, 5060, kSampleProject);
  const Arg folder((m_folder / "folder.orraproj").string()), deep(deepPath), deepNew(deepPath + ".new");
  // Should an open wait for the FIFO's writer, one comes after 2 s: the row
  // then fails on its text instead of the test hanging.
  std::promise<void> tableDone;
  std::thread writer([&, done = tableDone.get_future()] {
    for (std::chrono::milliseconds wait(2000); done.wait_for(wait) == std::future_status::timeout; wait = wait / 20) {
      if (const int fd = open(fifoPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); fd >= 0) close(fd);
    }
  });
#endif
  // r renders the Frames source, t the Tone; rb and tb are busy rendering.
  CComPtr<IRenderer2> r = RendererOf(SourceOf(kFramesGuid)), rb = RendererOf(SourceOf(kFramesGuid));
  CComPtr<IRenderer2> t = RendererOf(SourceOf(kToneGuid)), tb = RendererOf(SourceOf(kToneGuid));
  CComPtr<IVideoRenderOptions2> v = VideoOptionsOf(r), tv = VideoOptionsOf(t);
  CComPtr<IAudioRenderOptions2> a = AudioOptionsOf(t), pcm = AudioOptionsOf(t);
  CComPtr<IOrraExtras2> x = Query<IOrraExtras2>(m_server);
  IServer2* s = m_server;
  IProject2* p = m_project;
  Section(u"frame", 160 * 120 * 8);
  Section(u"sound", 1000);
  const Arg frame("frame"), sound("sound"), nowhere("nowhere"), empty(""), existing(m_path.string());
  const Arg missing((m_folder / "absent.orraproj").string()), broken((m_folder / "broken.orraproj").string());
  const Arg notes((m_folder / "notes.txt").string()), gone((m_folder / "gone.orraproj").string());
  const Arg huge((m_folder / "huge.orraproj").string()), wordy((m_folder / "wordy.orraproj").string());
  EXPECT_CALL_OK(rb->StartVideoRender(v, frame, 160 * 120 * 8, errorText));
  EXPECT_CALL_OK(tb->StartAudioRender(0, 1, 0, a, sound, 1000, errorText));
  EXPECT_CALL_OK(pcm->SetBytesPerSample(2, errorText));
  GUID unknown = ParseGuid("{12345678-0000-4000-8000-000000000000}"), bin = ParseGuid(kBinGuid);
  ULONGLONG n = 0;
  IUnknown *o = nullptr, *o2 = nullptr;
  const std::string before = WriteProjectText();
  const HRESULT kArg = E_INVALIDARG, kState = E_UNEXPECTED, kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  const struct {
    std::function<HRESULT(BSTR*)> call;
    HRESULT code;
    std::string text;
  } table[] = {
  // clang-format off
#define ROW(call, code, text) {[&](BSTR* e) { return call; }, code, text}
      ROW(s->OpenProject(missing, &o, e), kNotFound, "absent.orraproj' does not exist"),
      ROW(s->OpenProject(broken, &o, e), E_FAIL, "broken.orraproj', line 3: 'bin' takes 2 values, found 1"),
      ROW(s->OpenProject(gone, &o, e), E_FAIL, "gone.orraproj', line 7: "),
      ROW(s->OpenProject(huge, &o, e), E_FAIL, "huge.png': the image is 16384x16384 pixels, more than a still may have"),
      ROW(s->OpenProject(wordy, &o, e), E_FAIL, "wordy.orraproj', line 3: a name must be written in double quotes"),
#ifndef _WIN32
      ROW(s->OpenProject(fifo, &o, e), E_FAIL, "fifo.orraproj' is a FIFO, not a regular file"),
      ROW(s->OpenProject(zero, &o, e), E_FAIL, "zero.orraproj' is a character device, not a regular file"),
      ROW(s->OpenProject(folder, &o, e), E_FAIL, "folder.orraproj' is a directory, not a regular file"),
      ROW(s->OpenProject(deep, &o, e), HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE), ".orraproj': File name too long"),
      ROW(x->SendFile(deep, e), HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE), ".orraproj': File name too long"),
      ROW(s->CreateSource(deepNew, 64, 48, 1, 1, 25, 25, 25.0, &o, &o2, e), E_FAIL, ".new': File name too long"),
#endif
      ROW(s->OpenProject(empty, &o, e), kArg, "the project path is empty"),
      ROW(s->OpenProject(existing, nullptr, e), E_POINTER, "the out-parameter 'project' is null"),
      ROW(s->OpenProjectShowSource(existing, &unknown, &o, &o2, e), kArg, "no item with GUID {12345678-0000-4000-8000"),
      ROW(p->GetSource(&bin, &o, e), kArg, "'Footage' ({00000000-0000-4000-8000-000000000002}) is not a source"),
      ROW(p->GetSource(nullptr, &o, e), kArg, "no source GUID was given"),
      ROW(r->RenderVideo(0, 1, &n, e), kState, "no video render is running; call StartVideoRender first"),
      ROW(r->EndVideoRender(e), kState, "no video render is running"),
      ROW(r->StartVideoRender(nullptr, frame, 1 << 20, e), kArg, "no video render options of this server"),
      ROW(r->StartVideoRender(v, nowhere, 1 << 20, e), kArg, "there is no section named 'nowhere'"),
      ROW(r->StartVideoRender(v, frame, 153599, e), kArg, "section of 153599 bytes is too small for a frame of 153600"),
      ROW(r->StartVideoRender(v, frame, 1 << 30, e), kArg, "holds 153600 bytes, fewer than the 1073741824 announced"),
      ROW(t->StartVideoRender(tv, frame, 1 << 20, e), kArg, "the source 'Tone' has no video"),
      ROW(rb->StartVideoRender(v, frame, 153600, e), kState, "a video render is already running"),
      ROW(rb->RenderVideo(10, 1, &n, e), kArg, "time 10 s lies outside the source's duration of 10 s"),
      ROW(v->SetBitDepth(12, e), kArg, "bit depth must be 8, 16 or 32, found 12"),
      ROW(v->SetChannelOrder(3, e), kArg, "channel order must be 0 (BGRA), 1 (RGBA) or 2 (ARGB), found 3"),
      ROW(v->SetFieldOrder(-1, e), kArg, "field order must be"),
      ROW(v->SetPreMultiply(2, e), kArg, "pre-multiply must be"),
      ROW(v->SetTimeStep(0, 25, e), kArg, "the time step 0/25 is not a positive"),
      ROW(v->SetBounds(-1, 10, e), kArg, "bounds -1x10 are out of range"),
      ROW(v->SetRowBytes(-4, e), kArg, "row bytes must be 0 (tight rows) or positive, found -4"),
      ROW(v->SetDownsampleFactor(0, 1, e), kArg, "downsample factor 0x1 is out of"),
      ROW(v->SetRegionOfInterest(10, 10, 5, 20, e), kArg, "(10, 10, 5, 20) is not a non-empty rectangle"),
      ROW(v->SetRegionOfInterest(0, 0, 0x7FFFFFFF, 0x7FFFFFFF, e), kArg, "out of range: each coordinate is 0 to 32768"),
      ROW(a->SetSampleRate(0, e), kArg, "sample rate 0"),
      ROW(a->SetNumChannels(0, e), kArg, "channel count 0"),
      ROW(a->SetBytesPerSample(3, e), kArg, "bytes per sample must be 2 or 4, found 3"),
      ROW(t->GetNextAudioBuffer(&n, e), kState, "no audio render is running; call StartAudioRender first"),
      ROW(t->EndAudioRender(e), kState, "no audio render is running"),
      ROW(r->StartAudioRender(0, 1, 0, a, sound, 1000, e), kArg, "the source 'Frames' has no audio"),
      ROW(t->StartAudioRender(0, 1, 1000, a, sound, 1000, e), kArg, "1000 bytes is too small for a buffer of 8000"),
      ROW(t->StartAudioRender(0, 1, -1, a, sound, 1000, e), kArg, "must be 0 (as many as fit) or positive"),
      ROW(t->StartAudioRender(3, 1, 0, a, sound, 1000, e), kArg, "time 3 s lies outside the source's duration of 2 s"),
      ROW(t->StartAudioRender(1, 0, 0, a, sound, 1000, e), kArg, "the time scale must be positive, found 0"),
      ROW(t->StartAudioRender(0, 1, 0, pcm, sound, 1000, e), kArg, "bytes per sample 2 does not agree with encoding 1"),
      ROW(tb->StartAudioRender(0, 1, 0, a, sound, 1000, e), kState, "an audio render is already running"),
      ROW(s->GetVersion(nullptr, e), E_POINTER, "the out-parameter 'version' is null"),
      ROW(s->CloseProject(nullptr, e), kArg, "CloseProject needs a project"),
      ROW(s->CloseProject(r, e), kArg, "is not a project of this server"),
      ROW(x->WithdrawSelfLink(e), kState, "no self link has been announced"),
      ROW(x->SendFile(missing, e), kNotFound, "no such file"),
      ROW(x->SendFile(notes, e), kArg, "only PNG images can be added to a project"),
      ROW(s->CreateSource(existing, 64, 48, 1, 1, 25, 25, 25.0, &o, &o2, e), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS),
          "already exists and is not replaced"),
      ROW(s->CreateSource(missing, 0, 48, 1, 1, 25, 25, 25.0, &o, &o2, e), kArg, "frame size 0x48 is out of range"),
      ROW(s->CreateSource(missing, 64, 48, 0, 1, 25, 25, 25.0, &o, &o2, e), kArg, "pixel aspect ratio 0:1 must have"),
      ROW(s->CreateSource(missing, 64, 48, 1, 1, 25, 25, 0.0, &o, &o2, e), kArg, "frame rate 0.000000 is out of range"),
      ROW(s->CreateSource(missing, 64, 48, 1, 1, 25, 25, 1000.5, &o, &o2, e), kArg, "frame rate 1000.500000 is out of"),
#undef ROW
      // clang-format on
  };
  for (const auto& bad : table) {
    const Outcome outcome = Call(bad.call);
    EXPECT_EQ(outcome.hr, bad.code) << bad.text;
    EXPECT_NE(outcome.text.find(bad.text), std::string::npos) << outcome.text;
    EXPECT_LE(linkserver::ToUtf16(outcome.text).size(), linkserver::kMaxErrorTextChars) << "longer than the link takes";
    EXPECT_TRUE(outcome.textReturned && o == nullptr && o2 == nullptr) << bad.text;
    EXPECT_EQ(Call([&](BSTR* e) { return s->GetVersion(reinterpret_cast<LONG*>(&n), e); }).hr, S_OK) << "still usable";
  }
#ifndef _WIN32
  tableDone.set_value();
  writer.join();
#endif
  EXPECT_EQ(linkserver::InspectServer(m_server).openProjects, 1) << "failed opens leave nothing open";
  EXPECT_FALSE(std::filesystem::exists(m_folder / "absent.orraproj"));
  EXPECT_EQ(WriteProjectText(), before) << "a refused CreateSource leaves the file alone";
  // The renders that were running go on.
  EXPECT_CALL_OK(rb->RenderVideo(299, 30, &n, errorText));
  EXPECT_CALL_OK(rb->EndVideoRender(errorText));
  EXPECT_CALL_OK(tb->GetNextAudioBuffer(&n, errorText));
  EXPECT_EQ(n, 1000u);
  EXPECT_CALL_OK(tb->EndAudioRender(errorText));
}

TEST_F(Objects, ClosedProjectAnswersThatItIsClosed) {
  CComPtr<ISource2> frames = SourceOf(kFramesGuid);
  EXPECT_CALL_OK(m_server->CloseProject(m_project, errorText));
  EXPECT_EQ(linkserver::InspectServer(m_server).openProjects, 0);
  BSTR name = nullptr;
  LONG depth = 0;
  for (auto [outcome, text] : {std::pair{Call([&](BSTR* e) { return m_server->CloseProject(m_project, e); }),
                                         "the project 'Sample' is already closed"},
                               {Call([&](BSTR* e) { return m_project->GetName(&name, e); }), "has been closed"},
                               {Call([&](BSTR* e) { return frames->GetBitDepth(&depth, e); }), "has been closed"}}) {
    EXPECT_EQ(outcome.hr, E_UNEXPECTED);
    EXPECT_NE(outcome.text.find(text), std::string::npos) << outcome.text;
  }
  EXPECT_EQ(name, nullptr);
}

TEST_F(Objects, CreateSourceWritesANewProjectSendFileAddsAStillAndSelfLinksCount) {
  for (double rate : {29.97, 1000.0}) {  // up to the highest rate a project file holds
    const std::filesystem::path path = m_folder / ("made" + std::to_string(int(rate)) + ".orraproj");
    IUnknown *rawProject = nullptr, *rawSource = nullptr;
    EXPECT_CALL_OK(m_server->CreateSource(Arg(path.string()), 64, 48, 4, 3, 1001, 30000, rate, &rawProject, &rawSource,
                                          errorText));
    CComPtr<IUnknown> project = CComPtr<IUnknown>::Adopt(rawProject);
    CComPtr<ISource2> source = Query<ISource2>(CComPtr<IUnknown>::Adopt(rawSource));
    ASSERT_TRUE(Query<IProject2>(project) && source);
    GUID id{};
    EXPECT_CALL_OK(Query<IItem2>(source)->GetID(&id, errorText));
    // The file on disk holds the same source under the same GUID.
    const linkserver::ProjectModel model = linkserver::LoadProjectFile(path);
    ASSERT_EQ(model.root->children.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(model.root->children[0]->id, id));
    EXPECT_EQ(model.root->children[0]->source.frameRate, rate);
  }
  const Arg png(WriteTestImage(m_folder / "picture.png", 9, 6).string());
  CComPtr<IOrraExtras2> extras = Query<IOrraExtras2>(m_server);
  for (int i = 0; i < 2; ++i) EXPECT_CALL_OK(extras->AnnounceSelfLink(errorText));
  EXPECT_EQ(linkserver::InspectServer(m_server).selfLinks, 2);
  for (int i = 0; i < 2; ++i) EXPECT_CALL_OK(extras->WithdrawSelfLink(errorText));
  EXPECT_EQ(Call([&](BSTR* e) { return extras->WithdrawSelfLink(e); }).hr, E_UNEXPECTED);
  EXPECT_CALL_OK(extras->SendFile(png, errorText));
  std::vector<std::string> names;
  const auto children = Children(Root(), names);
  EXPECT_EQ(names.back(), "picture");
  EXPECT_TRUE(Query<ISource2>(children.back()));
  EXPECT_CALL_OK(m_server->CloseProject(m_project, errorText));
  const Outcome nowhere = Call([&](BSTR* e) { return extras->SendFile(png, e); });
  EXPECT_EQ(nowhere.hr, E_UNEXPECTED);
  EXPECT_NE(nowhere.text.find("no project is open to receive"), std::string::npos);
}

TEST_F(Objects, StillsAndFinalFramesAreCachedWithinTheBudgets) {
  ULONGLONG minimum = 0;
  EXPECT_CALL_OK(m_server->GetMinimumMemoryRequirements(&minimum, errorText));
  EXPECT_EQ(minimum, kStillBytes) << "the largest still of the open projects";
  RenderStill(kStillGuid);
  RenderStill(kSmallGuid);
  RenderStill(kStillGuid);  // a hit: nothing new
  EXPECT_EQ(Usage(), kStillBytes + kSmallBytes);
  EXPECT_CALL_OK(m_server->PurgeMemory(errorText));
  EXPECT_EQ(Usage(), 0u);
  // Idle budget below both: kept while a render runs (temporary budget),
  // trimmed to the idle budget when it ends, least recently used first.
  EXPECT_CALL_OK(m_server->SetIdleTimeMemoryUsage(kStillBytes, errorText));
  RenderStill(kSmallGuid);
  RenderStill(kStillGuid);
  EXPECT_EQ(Usage(), kStillBytes);
  EXPECT_CALL_OK(m_server->SetIdleTimeMemoryUsage(kSmallBytes, errorText));
  EXPECT_EQ(Usage(), 0u) << "a lowered budget evicts at once";
  EXPECT_CALL_OK(m_server->SetTemporaryMemoryUsage(0, errorText));
  RenderStill(kSmallGuid);
  EXPECT_EQ(Usage(), 0u) << "nothing is cached with no temporary budget";
  // A still larger than the whole budget is not kept; what is cached stays.
  EXPECT_CALL_OK(m_server->SetIdleTimeMemoryUsage(kStillBytes / 2, errorText));
  EXPECT_CALL_OK(m_server->SetTemporaryMemoryUsage(kStillBytes / 2, errorText));
  RenderStill(kSmallGuid);
  RenderStill(kStillGuid);
  EXPECT_EQ(Usage(), kSmallBytes);
  // A final frame kept is served again, for the same options only.
  linkserver::FrameCache& cache = *linkserver::InspectServer(m_server).cache;
  CComPtr<IRenderer2> renderer = RendererOf(SourceOf(kSmallGuid));
  CComPtr<IVideoRenderOptions2> options = VideoOptionsOf(renderer);
  EXPECT_CALL_OK(m_server->CacheFinalFrame(1, errorText));
  const std::vector<std::uint8_t> first = RenderOne(renderer, options, 0, 1);
  EXPECT_EQ(Usage(), 2 * kSmallBytes) << "the still and the final frame";
  const std::uint64_t hits = cache.Hits();
  EXPECT_EQ(RenderOne(renderer, options, 0, 1, 0x55), first);
  EXPECT_CALL_OK(options->SetChannelOrder(1, errorText));
  RenderOne(renderer, options, 0, 1);
  EXPECT_EQ(cache.Hits(), hits + 1) << "other options are another frame";
  EXPECT_CALL_OK(m_server->CacheFinalFrame(0, errorText));
  EXPECT_EQ(Usage(), kSmallBytes);
}

TEST_F(Objects, ManyThreadsRenderAndWalkAtOnce) {
  CComPtr<ISource2> frames = SourceOf(kFramesGuid);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      CComPtr<IRenderer2> renderer = RendererOf(frames);
      CComPtr<IVideoRenderOptions2> options = VideoOptionsOf(renderer);
      EXPECT_CALL_OK(options->SetBitDepth(8, errorText));
      std::vector<std::uint8_t> section(160 * 120 * 4);
      const std::string name = "thread" + std::to_string(t);
      m_sections->Register(linkserver::ToUtf16(name), section.data(), section.size());
      EXPECT_CALL_OK(renderer->StartVideoRender(options, Arg(name), section.size(), errorText));
      for (int n = t; n < 299; n += 4) {
        ULONGLONG written = 0;
        EXPECT_CALL_OK(renderer->RenderVideo(n * 1001, 30000, &written, errorText));
        for (int c = 0; c < 8; ++c)  // block (c, 0) holds bit c of the frame number
          failures += (section[(15 * 160 + 10 + 20 * c) * 4] > 128) != bool((n >> c) & 1);
        failures += !Query<IContainer2>(Root());  // walk while others render
      }
      EXPECT_CALL_OK(renderer->EndVideoRender(errorText));
      m_sections->Unregister(linkserver::ToUtf16(name));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace refserver_test
