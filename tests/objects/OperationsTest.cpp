// Every public operation of the nine handle classes against a scripted
// server: the slot it calls, the arguments as the server receives them, the
// result it makes of the server's answer, the result when the server writes
// nothing, and its failures.
#include "ObjectsFixture.h"

#include <functional>
#include <map>

namespace moravane_test {
namespace {

using namespace moravane;
using testserver::kAudioOptionsIndex;
using testserver::kContainerIndex;
using testserver::kExtrasIndex;
using testserver::kItemIndex;
using testserver::kProjectIndex;
using testserver::kRendererIndex;
using testserver::kServerIndex;
using testserver::kSourceIndex;
using testserver::kVideoOptionsIndex;

using Script = std::function<void(TestServerClient&, InterfaceIndex, LONG slot)>;
// The operation, called on handles of the target; returns its result as
// text. `returned` is the id of the object the scripted server hands out.
using Call = std::function<std::string(Handles&, std::function<LONG(IUnknown*)> identify)>;

struct Operation {
  const char* name;
  InterfaceIndex index;
  LONG slot;
  Script script;
  Call call;
  std::string arguments;   // as the server receives them
  std::string scripted;    // the result when the server writes the scripted values
  std::string unscripted;  // the result when the server writes nothing
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const Operation& op, std::ostream* os) { *os << op.name; }

constexpr LONG kTarget = 1;    // the object every handle is linked to
constexpr LONG kReturned = 2;  // the object the server hands out
constexpr ULONGLONG kBig = 0x100000005ull;
const GUID kGuid = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
const char* const kGuidText = "{01234567-89AB-CDEF-0123-456789ABCDEF}";
const char* const kNullGuidText = "{00000000-0000-0000-0000-000000000000}";

Script Longs(std::vector<LONG> values) {
  return [values](TestServerClient& s, InterfaceIndex i, LONG slot) {
    for (std::size_t p = 0; p < values.size(); ++p) s.OutLong(kTarget, i, slot, static_cast<LONG>(p), values[p]);
  };
}
Script Big() {
  return [](TestServerClient& s, InterfaceIndex i, LONG slot) { s.OutULongLong(kTarget, i, slot, 0, kBig); };
}
Script Real(double value) {
  return [value](TestServerClient& s, InterfaceIndex i, LONG slot) { s.OutDouble(kTarget, i, slot, 0, value); };
}
Script Text(std::u16string value) {
  return [value](TestServerClient& s, InterfaceIndex i, LONG slot) { s.OutString(kTarget, i, slot, 0, value); };
}
Script Objects(int count) {
  return [count](TestServerClient& s, InterfaceIndex i, LONG slot) {
    for (int p = 0; p < count; ++p) s.OutObject(kTarget, i, slot, p, kReturned);
  };
}
Script Nothing() {
  return [](TestServerClient&, InterfaceIndex, LONG) {};
}

std::string Str(LONG value) { return std::to_string(value); }
std::string Str(ULONGLONG value) { return std::to_string(value); }
std::string Str(bool value) { return value ? "true" : "false"; }
std::string Str(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}
std::string Str(const WideString& value) { return Utf8(value); }
std::string Str(const kelvex::time::RatioTime& t) { return Str(LONG{t.value}) + "/" + Str(LONG{t.scale}); }
std::string Str(const kelvex::geom::Ratio& r) { return Str(LONG{r.numerator}) + ":" + Str(LONG{r.denominator}); }
std::string Str(const kelvex::geom::RectT<LONG>& r) {
  return Str(r.left) + "," + Str(r.top) + "," + Str(r.right) + "," + Str(r.bottom);
}

// A returned handle as the id of its server object, "unlinked" when empty.
template <class X>
std::string Id(X handle, const std::function<LONG(IUnknown*)>& identify) {
  if (!handle.IsLinked()) return "unlinked";
  return "#" + std::to_string(identify(handle.GetUnknown().p));
}

#define OP(expression)                                                     \
  [](Handles& h, std::function<LONG(IUnknown*)> identify) -> std::string { \
    (void)identify;                                                        \
    return expression;                                                     \
  }
#define VOID_OP(statement)                                        \
  [](Handles& h, std::function<LONG(IUnknown*)>) -> std::string { \
    statement;                                                    \
    return "";                                                    \
  }

const std::string kError = "out BSTR*:null";
// What a value that the caller left in an out-variable becomes, both as the
// server receives it and as the caller finds it when the server writes
// nothing. In this process the library hands the server the caller's own
// variable. Across processes an out-parameter carries nothing in: the
// proxy starts it at zero and copies back whatever the server left.
std::string CallersOut(const char* value) { return ServerInOtherProcess() ? "0" : value; }
const std::string kNoInterface = "LinkError 0x80004002";

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      // Server
      {"ServerGetVersion", kServerIndex, 3, Longs({-7}), OP(Str(h.server.GetVersion())), "out LONG*:0 " + kError, "-7",
       "0"},
      {"ServerGetMinimumMemoryRequirements", kServerIndex, 4, Big(), OP(Str(h.server.GetMinimumMemoryRequirements())),
       "out ULONGLONG*:0 " + kError, "4294967301", "0"},
      {"ServerSetIdleTimeMemoryUsage", kServerIndex, 5, Nothing(), VOID_OP(h.server.SetIdleTimeMemoryUsage(kBig)),
       "ULONGLONG:4294967301 " + kError, "", ""},
      {"ServerSetTemporaryMemoryUsage", kServerIndex, 6, Nothing(),
       VOID_OP(h.server.SetTemporaryMemoryUsage(6000000000ull)), "ULONGLONG:6000000000 " + kError, "", ""},
      {"ServerGetCurrentMemoryUsage", kServerIndex, 7, Big(), OP(Str(h.server.GetCurrentMemoryUsage())),
       "out ULONGLONG*:0 " + kError, "4294967301", "0"},
      {"ServerPurgeMemory", kServerIndex, 8, Nothing(), VOID_OP(h.server.PurgeMemory()), kError, "", ""},
      {"ServerCacheFinalFrameTrue", kServerIndex, 9, Nothing(), VOID_OP(h.server.CacheFinalFrame(true)),
       "LONG:1 " + kError, "", ""},
      {"ServerCacheFinalFrameFalse", kServerIndex, 9, Nothing(), VOID_OP(h.server.CacheFinalFrame(false)),
       "LONG:0 " + kError, "", ""},
      {"ServerGetProjectExtension", kServerIndex, 10, Text(u"orp"), OP(Str(h.server.GetProjectExtension())),
       "out BSTR*:null " + kError, "orp", ""},
      {"ServerCreateSource", kServerIndex, 14, Objects(2), OP(([&] {
         Project project;
         Source source;
         h.server.CreateSource(u"new.orp", kelvex::geom::RectT<LONG>(3, 4, 640, -480), kelvex::geom::Ratio(10, 11),
                               kelvex::time::RatioTime(1001, 30000), 29.97, project, source);
         return Id(project, identify) + " " + Id(source, identify);
       })()),
       "BSTR:\"new.orp\"(len 7) LONG:640 LONG:-480 LONG:10 LONG:11 LONG:1001 LONG:30000 double:29.97 "
       "out IUnknown**:null out IUnknown**:null " +
           kError,
       "#2 #2", kNoInterface},
      {"ServerOpenProject", kServerIndex, 11, Objects(1), OP(Id(h.server.OpenProject(u"a.orp"), identify)),
       "BSTR:\"a.orp\"(len 5) out IUnknown**:null " + kError, "#2", kNoInterface},
      {"ServerOpenProjectShowSource", kServerIndex, 12, Objects(2), OP(([&] {
         Source source;
         Project project = h.server.OpenProjectShowSource(u"a.orp", kGuid, source);
         return Id(project, identify) + " " + Id(source, identify);
       })()),
       std::string("BSTR:\"a.orp\"(len 5) GUID*:") + kGuidText + " out IUnknown**:null out IUnknown**:null " + kError,
       "#2 #2", kNoInterface},
      {"ServerCloseProject", kServerIndex, 13, Nothing(), VOID_OP(h.server.CloseProject(h.project)),
       "IUnknown*:#1 " + kError, "", ""},
      // Project
      {"ProjectGetName", kProjectIndex, 3, Text(u"Demo"), OP(Str(h.project.GetName())), "out BSTR*:null " + kError,
       "Demo", ""},
      {"ProjectGetPath", kProjectIndex, 4, Text(u"/p/Demo.orp"), OP(Str(h.project.GetPath())),
       "out BSTR*:null " + kError, "/p/Demo.orp", ""},
      {"ProjectGetSource", kProjectIndex, 5, Objects(1), OP(Id(h.project.GetSource(kGuid), identify)),
       std::string("GUID*:") + kGuidText + " out IUnknown**:null " + kError, "#2", kNoInterface},
      {"ProjectGetRootItem", kProjectIndex, 6, Objects(1), OP(Id(h.project.GetRootItem(), identify)),
       "out IUnknown**:null " + kError, "#2", kNoInterface},
      // Item
      {"ItemGetName", kItemIndex, 3, Text(u"clip"), OP(Str(h.item.GetName())), "out BSTR*:null " + kError, "clip", ""},
      {"ItemGetID", kItemIndex, 4,
       [](TestServerClient& s, InterfaceIndex i, LONG slot) { s.OutGuid(kTarget, i, slot, 0, kGuid); },
       OP(h.item.GetID().ToString()), std::string("out GUID*:") + kNullGuidText + " " + kError, kGuidText,
       kNullGuidText},
      {"ItemGetType", kItemIndex, 6, Longs({1}), OP(Str(LONG{h.item.GetType()})), "out LONG*:0 " + kError, "1", "0"},
      {"ItemGetParentItem", kItemIndex, 5, Objects(1), OP(Id(h.item.GetParentItem(), identify)),
       "out IUnknown**:null " + kError, "#2", "unlinked"},
      // Container
      {"ContainerGetFirstItem", kContainerIndex, 3, Objects(1), OP(Id(h.container.GetFirstItem(), identify)),
       "out IUnknown**:null " + kError, "#2", "unlinked"},
      {"ContainerGetNextItem", kContainerIndex, 4, Objects(1), OP(Id(h.container.GetNextItem(h.item), identify)),
       "IUnknown*:#1 out IUnknown**:null " + kError, "#2", "unlinked"},
      // Source
      {"SourceGetDuration", kSourceIndex, 3, Longs({1001, 30000}), OP(Str(h.source.GetDuration())),
       "out LONG*:0 out LONG*:0 " + kError, "1001/30000", "0/0"},
      {"SourceGetPixelAspectRatio", kSourceIndex, 4, Longs({10, 11}), OP(Str(h.source.GetPixelAspectRatio())),
       "out LONG*:0 out LONG*:0 " + kError, "10:11", "0:0"},
      {"SourceGetFrameSize", kSourceIndex, 5, Longs({1920, 1080}), OP(Str(h.source.GetFrameSize())),
       "out LONG*:0 out LONG*:0 " + kError, "0,0,1920,1080", "0,0,0,0"},
      {"SourceGetFrameRate", kSourceIndex, 6, Real(29.97), OP(Str(h.source.GetFrameRate())), "out double*:0 " + kError,
       "29.97", "0"},
      {"SourceGetBitDepth", kSourceIndex, 7, Longs({16}), OP(Str(h.source.GetBitDepth())), "out LONG*:0 " + kError,
       "16", "0"},
      {"SourceGetTimeStamp", kSourceIndex, 8, Longs({-12}), OP(Str(h.source.GetTimeStamp())), "out LONG*:0 " + kError,
       "-12", "0"},
      {"SourceIsNewerThan", kSourceIndex, 9, Longs({-1}), OP(Str(h.source.IsNewerThan(-5))),
       "LONG:-5 out LONG*:0 " + kError, "true", "false"},
      {"SourceHasAudio", kSourceIndex, 10, Longs({2}), OP(Str(h.source.HasAudio())), "out LONG*:0 " + kError, "true",
       "false"},
      {"SourceHasVideo", kSourceIndex, 11, Longs({1}), OP(Str(h.source.HasVideo())), "out LONG*:0 " + kError, "true",
       "false"},
      {"SourceGetRenderer", kSourceIndex, 12, Objects(1), OP(Id(h.source.GetRenderer(), identify)),
       "out IUnknown**:null " + kError, "#2", kNoInterface},
      // Renderer
      {"RendererCreateVideoRenderOptions", kRendererIndex, 3, Objects(1),
       OP(Id(h.renderer.CreateVideoRenderOptions(), identify)), "out IUnknown**:null " + kError, "#2", kNoInterface},
      {"RendererCreateAudioRenderOptions", kRendererIndex, 4, Objects(1),
       OP(Id(h.renderer.CreateAudioRenderOptions(), identify)), "out IUnknown**:null " + kError, "#2", kNoInterface},
      {"RendererStartVideoRender", kRendererIndex, 5, Nothing(),
       VOID_OP(h.renderer.StartVideoRender(h.video, "frames", kBig)),
       "IVideoRenderOptions2*:#1 BSTR:\"frames\"(len 6) ULONGLONG:4294967301 " + kError, "", ""},
      {"RendererRenderVideo", kRendererIndex, 6, Big(), OP(([&] {
         ULONGLONG value = 77;
         h.renderer.RenderVideo(kelvex::time::RatioTime(1001, 30000), &value);
         return Str(value);
       })()),
       "LONG:1001 LONG:30000 out ULONGLONG*:" + CallersOut("77") + " " + kError, "4294967301", CallersOut("77")},
      {"RendererEndVideoRender", kRendererIndex, 7, Nothing(), VOID_OP(h.renderer.EndVideoRender()), kError, "", ""},
      {"RendererStartAudioRender", kRendererIndex, 8, Nothing(),
       VOID_OP(h.renderer.StartAudioRender(kelvex::time::RatioTime(48000, 48000), -3, h.audio, "audio", 65536)),
       "LONG:48000 LONG:48000 LONG:-3 IAudioRenderOptions2*:#1 BSTR:\"audio\"(len 5) ULONGLONG:65536 " + kError, "",
       ""},
      {"RendererGetNextAudioBuffer", kRendererIndex, 9, Big(), OP(([&] {
         ULONGLONG value = 77;
         h.renderer.GetNextAudioBuffer(&value);
         return Str(value);
       })()),
       "out ULONGLONG*:" + CallersOut("77") + " " + kError, "4294967301", CallersOut("77")},
      {"RendererEndAudioRender", kRendererIndex, 10, Nothing(), VOID_OP(h.renderer.EndAudioRender()), kError, "", ""},
      // Video render options
      {"VideoSetLowQuality", kVideoOptionsIndex, 3, Nothing(), VOID_OP(h.video.SetLowQuality(true)), "LONG:1 " + kError,
       "", ""},
      {"VideoGetLowQuality", kVideoOptionsIndex, 4, Longs({-1}), OP(Str(h.video.GetLowQuality())),
       "out LONG*:0 " + kError, "true", "false"},
      {"VideoSetPreMultiply", kVideoOptionsIndex, 5, Nothing(), VOID_OP(h.video.SetPreMultiply(-2)),
       "LONG:-2 " + kError, "", ""},
      {"VideoGetPreMultiply", kVideoOptionsIndex, 6, Longs({-2}), OP(Str(h.video.GetPreMultiply())),
       "out LONG*:0 " + kError, "-2", "0"},
      {"VideoSetFieldOrder", kVideoOptionsIndex, 7, Nothing(), VOID_OP(h.video.SetFieldOrder(2)), "LONG:2 " + kError,
       "", ""},
      {"VideoGetFieldOrder", kVideoOptionsIndex, 8, Longs({2}), OP(Str(h.video.GetFieldOrder())),
       "out LONG*:0 " + kError, "2", "0"},
      {"VideoSetRegionOfInterest", kVideoOptionsIndex, 9, Nothing(),
       VOID_OP(h.video.SetRegionOfInterest(kelvex::geom::RectT<LONG>(1, -2, 3, 4))),
       "LONG:1 LONG:-2 LONG:3 LONG:4 " + kError, "", ""},
      {"VideoGetRegionOfInterest", kVideoOptionsIndex, 10, Longs({1, -2, 3, 4}), OP(Str(h.video.GetRegionOfInterest())),
       "out LONG*:0 out LONG*:0 out LONG*:0 out LONG*:0 " + kError, "1,-2,3,4", "0,0,0,0"},
      {"VideoSetBitDepth", kVideoOptionsIndex, 11, Nothing(), VOID_OP(h.video.SetBitDepth(16)), "LONG:16 " + kError, "",
       ""},
      {"VideoGetBitDepth", kVideoOptionsIndex, 12, Longs({16}), OP(Str(h.video.GetBitDepth())), "out LONG*:0 " + kError,
       "16", "0"},
      {"VideoSetChannelOrder", kVideoOptionsIndex, 13, Nothing(), VOID_OP(h.video.SetChannelOrder(3)),
       "LONG:3 " + kError, "", ""},
      {"VideoGetChannelOrder", kVideoOptionsIndex, 14, Longs({3}), OP(Str(h.video.GetChannelOrder())),
       "out LONG*:0 " + kError, "3", "0"},
      {"VideoSetTimeStep", kVideoOptionsIndex, 15, Nothing(),
       VOID_OP(h.video.SetTimeStep(kelvex::time::RatioTime(1, 25))), "LONG:1 LONG:25 " + kError, "", ""},
      {"VideoGetTimeStep", kVideoOptionsIndex, 16, Longs({1, 25}), OP(Str(h.video.GetTimeStep())),
       "out LONG*:0 out LONG*:0 " + kError, "1/25", "0/0"},
      {"VideoSetBounds", kVideoOptionsIndex, 17, Nothing(), VOID_OP(h.video.SetBounds(640, 480)),
       "LONG:640 LONG:480 " + kError, "", ""},
      {"VideoGetBounds", kVideoOptionsIndex, 18, Longs({640, 480}), OP(([&] {
         LONG width = 77, height = 78;
         h.video.GetBounds(width, height);
         return Str(width) + "x" + Str(height);
       })()),
       "out LONG*:" + CallersOut("77") + " out LONG*:" + CallersOut("78") + " " + kError, "640x480",
       CallersOut("77") + "x" + CallersOut("78")},
      {"VideoSetRowBytes", kVideoOptionsIndex, 19, Nothing(), VOID_OP(h.video.SetRowBytes(2560)), "LONG:2560 " + kError,
       "", ""},
      {"VideoGetRowBytes", kVideoOptionsIndex, 20, Longs({2560}), OP(Str(h.video.GetRowBytes())),
       "out LONG*:0 " + kError, "2560", "0"},
      {"VideoSetDownsampleFactor", kVideoOptionsIndex, 21, Nothing(), VOID_OP(h.video.SetDownsampleFactor(2, 3)),
       "LONG:2 LONG:3 " + kError, "", ""},
      {"VideoGetDownsampleFactor", kVideoOptionsIndex, 22, Longs({2, 3}), OP(([&] {
         LONG x = 77, y = 78;
         h.video.GetDownsampleFactor(x, y);
         return Str(x) + "x" + Str(y);
       })()),
       "out LONG*:" + CallersOut("77") + " out LONG*:" + CallersOut("78") + " " + kError, "2x3",
       CallersOut("77") + "x" + CallersOut("78")},
      {"VideoSetRenderGuideLayers", kVideoOptionsIndex, 23, Nothing(), VOID_OP(h.video.SetRenderGuideLayers(false)),
       "LONG:0 " + kError, "", ""},
      {"VideoGetRenderGuideLayers", kVideoOptionsIndex, 24, Longs({1}), OP(Str(h.video.GetRenderGuideLayers())),
       "out LONG*:0 " + kError, "true", "false"},
      {"VideoGetMaxMemoryRequiredForFrame", kVideoOptionsIndex, 25, Big(),
       OP(Str(h.video.GetMaxMemoryRequiredForFrame())), "out ULONGLONG*:0 " + kError, "4294967301", "0"},
      // Audio render options
      {"AudioSetSampleRate", kAudioOptionsIndex, 3, Nothing(), VOID_OP(h.audio.SetSampleRate(48000.5)),
       "double:48000.5 " + kError, "", ""},
      {"AudioGetSampleRate", kAudioOptionsIndex, 4, Real(44100.25), OP(Str(h.audio.GetSampleRate())),
       "out double*:0 " + kError, "44100.2", "0"},
      {"AudioSetNumChannels", kAudioOptionsIndex, 5, Nothing(), VOID_OP(h.audio.SetNumChannels(6)), "LONG:6 " + kError,
       "", ""},
      {"AudioGetNumChannels", kAudioOptionsIndex, 6, Longs({6}), OP(Str(h.audio.GetNumChannels())),
       "out LONG*:0 " + kError, "6", "0"},
      {"AudioSetEncoding", kAudioOptionsIndex, 7, Nothing(), VOID_OP(h.audio.SetEncoding(-1)), "LONG:-1 " + kError, "",
       ""},
      {"AudioGetEncoding", kAudioOptionsIndex, 8, Longs({-1}), OP(Str(h.audio.GetEncoding())), "out LONG*:0 " + kError,
       "-1", "0"},
      {"AudioSetBytesPerSample", kAudioOptionsIndex, 9, Nothing(), VOID_OP(h.audio.SetBytesPerSample(4)),
       "LONG:4 " + kError, "", ""},
      {"AudioGetBytesPerSample", kAudioOptionsIndex, 10, Longs({4}), OP(Str(h.audio.GetBytesPerSample())),
       "out LONG*:0 " + kError, "4", "0"},
      // Extras
      {"ExtrasSendFile", kExtrasIndex, 3, Nothing(), VOID_OP(h.extras.SendFile(u"in.txt")),
       "BSTR:\"in.txt\"(len 6) " + kError, "", ""},
  };
  return operations;
}

class OperationTest : public ObjectsTest, public ::testing::WithParamInterface<Operation> {
 protected:
  // Runs the operation once and returns its result, or the LinkError it
  // threw as "LinkError 0x...", with its message appended when it has one.
  std::string Run(Handles& handles) {
    try {
      return GetParam().call(handles, [this](IUnknown* p) { return server().Identify(p); });
    } catch (const LinkError& error) {
      const std::string message = Utf8(error.GetErrorString());
      return "LinkError " + Hex(error.GetError()) + (message.empty() ? "" : " " + message);
    }
  }

  // The one call that the operation made, checked for slot, target, thread
  // and arguments.
  void ExpectOneCall() {
    const Operation& op = GetParam();
    const auto calls = server().Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].id, kTarget);
    EXPECT_EQ(calls[0].interfaceIndex, op.index);
    EXPECT_EQ(calls[0].slot, op.slot);
    EXPECT_EQ(calls[0].thread, CommThread());
    EXPECT_EQ(calls[0].arguments, op.arguments);
  }
};

TEST_P(OperationTest, CallsItsSlotAndConvertsTheAnswer) {
  const Operation& op = GetParam();
  ASSERT_EQ(Create(kAllInterfaces), kTarget);
  ASSERT_EQ(Create(kAllInterfaces), kReturned);
  Handles handles = LinkAll(kTarget);

  server().ClearRecords();
  EXPECT_EQ(Run(handles), op.unscripted) << "result when the server writes nothing";
  ExpectOneCall();

  op.script(server(), op.index, op.slot);
  server().ClearRecords();
  EXPECT_EQ(Run(handles), op.scripted);
  ExpectOneCall();
}

TEST_P(OperationTest, ReportsTheServersFailure) {
  const Operation& op = GetParam();
  ASSERT_EQ(Create(kAllInterfaces), kTarget);
  ASSERT_EQ(Create(kAllInterfaces), kReturned);
  Handles handles = LinkAll(kTarget);
  // Out-values are scripted too: whatever the server hands out with a
  // failure must still be released.
  op.script(server(), op.index, op.slot);

  const struct {
    HRESULT hr;
    testserver::ErrorKind kind;
    std::u16string text;
    std::string expected;
  } answers[] = {
      {E_ACCESSDENIED, testserver::kNoErrorText, u"", "LinkError 0x80070005"},
      {E_FAIL, testserver::kErrorText, u"no such file", "LinkError 0x80004005 no such file"},
      // A text fails the call even when the result says success.
      {S_OK, testserver::kErrorText, u"warning", "LinkError 0x00000000 warning"},
  };
  for (const auto& answer : answers) {
    server().Result(kTarget, op.index, op.slot, answer.hr, answer.kind, answer.text);
    server().ClearRecords();
    EXPECT_EQ(Run(handles), answer.expected);
    ExpectOneCall();
  }
}

TEST_P(OperationTest, UnlinkedHandleSendsNothing) {
  ASSERT_EQ(Create(kAllInterfaces), kTarget);
  Handles unlinked;
  server().ClearRecords();
  EXPECT_EQ(Run(unlinked), "LinkError 0x80042329");
  EXPECT_TRUE(server().Calls().empty());
}

// Success with an empty, non-null error text stops the executor at its check
// without an exception reaching the host: only what the server wrote straight
// into the result survives; converted values, strings received by the
// public method and objects behave as below.
TEST_F(ObjectsTest, EmptyErrorTextWithSuccessStopsBeforeConversion) {
  ASSERT_EQ(Create(kAllInterfaces), kTarget);
  ASSERT_EQ(Create(kAllInterfaces), kReturned);
  Handles handles = LinkAll(kTarget);
  const std::map<std::string, std::string> expected = {
      {"ServerGetVersion", "-7"},             // written straight into the result
      {"SourceGetFrameRate", "29.97"},        // likewise
      {"VideoGetBounds", "640x480"},          // the caller's own variables
      {"SourceGetFrameSize", "0,0,0,0"},      // converted after the check: initial value
      {"SourceIsNewerThan", "false"},         // likewise
      {"ItemGetID", kNullGuidText},           // likewise
      {"ProjectGetName", "Demo"},             // the BSTR went straight to the public method
      {"ServerOpenProject", "unlinked"},      // never wrapped, and not tested
      {"ContainerGetFirstItem", "unlinked"},  // likewise
      {"ServerCreateSource", "unlinked unlinked"},
      {"RendererCreateVideoRenderOptions", kNoInterface},  // tested by the caller
  };
  for (const Operation& op : Operations()) {
    const auto found = expected.find(op.name);
    if (found == expected.end()) continue;
    op.script(server(), op.index, op.slot);
    server().Result(kTarget, op.index, op.slot, S_OK, testserver::kEmptyErrorText);
    std::string result;
    try {
      result = op.call(handles, [this](IUnknown* p) { return server().Identify(p); });
    } catch (const LinkError& error) {
      result = "LinkError " + Hex(error.GetError());
    }
    EXPECT_EQ(result, found->second) << op.name;
  }
}

INSTANTIATE_TEST_SUITE_P(AllOperations, OperationTest, ::testing::ValuesIn(Operations()),
                         [](const ::testing::TestParamInfo<Operation>& info) { return info.param.name; });

// The type code: 1 passes through, every other code becomes 0.
TEST_F(ObjectsTest, ItemTypeMapsEveryCodeButOneToZero) {
  const LONG item = Create(testserver::InterfaceBit(kItemIndex));
  Item handle = Link<Item>(item);
  const struct {
    LONG code;
    ItemType expected;
  } cases[] = {{0, kItemType0}, {1, kItemType1}, {2, kItemType0}, {-1, kItemType0}};
  for (const auto& c : cases) {
    server().OutLong(item, kItemIndex, 6, 0, c.code);
    EXPECT_EQ(handle.GetType(), c.expected) << "code " << c.code;
  }
}

// Two copies of one options handle address one server object.
TEST_F(ObjectsTest, CopiesOfAHandleAddressOneServerObject) {
  const LONG options = Create(testserver::InterfaceBit(kVideoOptionsIndex));
  VideoRenderOptions first = Link<VideoRenderOptions>(options);
  VideoRenderOptions second(first);
  server().ClearRecords();
  first.SetBitDepth(8);
  second.GetBitDepth();
  const auto calls = server().Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].id, options);
  EXPECT_EQ(calls[1].id, options);
}

}  // namespace
}  // namespace moravane_test
