// Every public operation of the handle classes against a scripted server:
// the slot it calls, the arguments as the server receives them (strings cut
// at their first NUL), the result it makes of the server's answer and of no
// answer, of an object without the expected interface and of the server's
// failures; an unlinked handle and a BSTR that cannot be allocated send
// nothing. The fixture checks that every reference and BSTR is given back.
#include "ObjectsFixture.h"

#include <comsupport/AtlException.h>

#include <functional>
#include <sstream>

namespace moravane_test {
namespace {

using namespace moravane;
using namespace std::string_literals;
using Rect = kelvex::geom::RectT<LONG>;
using Ratio = kelvex::geom::Ratio;
using Time = kelvex::time::RatioTime;
constexpr InterfaceIndex Srv = testserver::kServerIndex, Prj = testserver::kProjectIndex, Itm = testserver::kItemIndex,
                         Cnt = testserver::kContainerIndex, Src = testserver::kSourceIndex,
                         Rnd = testserver::kRendererIndex, Vid = testserver::kVideoOptionsIndex,
                         Aud = testserver::kAudioOptionsIndex, Ext = testserver::kExtrasIndex;
const char* const kInterfaceNames[] = {"Server",   "Project", "Item",  "Container", "Source",
                                       "Renderer", "Video",   "Audio", "Extras"};

// Scripts the out-values of `slot`; `returned` is the object it hands out.
using Script = std::function<void(TestServerClient&, InterfaceIndex, LONG slot, LONG returned)>;
struct Call {
  std::function<std::string(Handles&)> run;
  const char* text;
};

const Script None = [](TestServerClient&, InterfaceIndex, LONG, LONG) {};

struct Operation {
  InterfaceIndex index;
  LONG slot;
  Call call;
  std::string arguments;        // as the server receives them, before the error text
  std::string scripted = "";    // the result when the server writes the scripted values
  std::string unscripted = "";  // the result when the server writes nothing
  Script script = None;
};

void PrintTo(const Operation& op, std::ostream* os) { *os << op.call.text; }

constexpr LONG kTarget = 1;    // the object every handle is linked to
constexpr LONG kReturned = 2;  // the object the server hands out
constexpr LONG kWrong = 3;     // an object without any interface that is returned
constexpr ULONGLONG kBig = 0x100000005ull;
const GUID kGuid = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
const std::string kGuidText = "{01234567-89AB-CDEF-0123-456789ABCDEF}";
const std::string kNullGuidText = "{00000000-0000-0000-0000-000000000000}";
const std::string kNoInterface = "LinkError " + Hex(E_NOINTERFACE);
const std::string kBigText = "4294967301";
const std::string kOutLong = "out LONG*:0", kOutLong2 = "out LONG*:0 out LONG*:0", kOutBig = "out ULONGLONG*:0",
                  kOutText = "out BSTR*:null", kOutObj = "out IUnknown**:null", kOutReal = "out double*:0";

#define SCRIPT(...)                                                      \
  [=](TestServerClient& s, InterfaceIndex i, LONG slot, LONG returned) { \
    (void)returned;                                                      \
    __VA_ARGS__;                                                         \
  }
Script L(std::vector<LONG> v) {
  return SCRIPT(for (std::size_t p = 0; p < v.size(); ++p) s.OutLong(kTarget, i, slot, static_cast<LONG>(p), v[p]));
}
Script Big() { return SCRIPT(s.OutULongLong(kTarget, i, slot, 0, kBig)); }
Script Real(double value) { return SCRIPT(s.OutDouble(kTarget, i, slot, 0, value)); }
Script Text(std::u16string value) { return SCRIPT(s.OutString(kTarget, i, slot, 0, value)); }
Script Objects(int count) { return SCRIPT(for (int p = 0; p < count; ++p) s.OutObject(kTarget, i, slot, p, returned)); }

std::string S(LONG value) { return std::to_string(value); }
std::string S(ULONGLONG value) { return std::to_string(value); }
std::string S(bool value) { return value ? "true" : "false"; }
std::string S(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}
std::string S(const WideString& value) { return kelvex::utility::UTF16ToUTF8(value); }
std::string S(const Time& t) { return S(LONG{t.value}) + "/" + S(LONG{t.scale}); }
std::string S(const Ratio& r) { return S(LONG{r.numerator}) + ":" + S(LONG{r.denominator}); }
std::string S(const Rect& r) { return S(r.left) + "," + S(r.top) + "," + S(r.right) + "," + S(r.bottom); }
// A returned handle as the id of its server object, "unlinked" when empty.
TestServerClient* g_server = nullptr;
template <class X>
std::string Id(X handle) {
  return handle.IsLinked() ? "#" + std::to_string(g_server->Identify(handle.GetUnknown().p)) : "unlinked";
}

// An operation whose result is `expression`; v, x and y start each call as
// the caller's variables for out-parameters.
#define OP(expression)                      \
  Call {                                    \
    [](Handles& h) -> std::string {         \
      [[maybe_unused]] ULONGLONG v = 77;    \
      [[maybe_unused]] LONG x = 77, y = 78; \
      return expression;                    \
    },                                      \
        #expression                         \
  }
#define DO(statement) OP((statement, std::string()))

// An out-parameter carries nothing in across processes: the proxy starts it
// at zero and copies back whatever the server left; in this process the
// server gets the caller's own variable.
std::string CallersOut(const char* value) { return ServerInOtherProcess() ? "0" : value; }
std::string Pair(const char* a, const char* b) { return CallersOut(a) + "x" + CallersOut(b); }
std::string OutPair(const char* a, const char* b) {
  return "out LONG*:" + CallersOut(a) + " out LONG*:" + CallersOut(b);
}

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {Srv, 3, OP(S(h.server.GetVersion())), kOutLong, "-7", "0", L({-7})},
      {Srv, 4, OP(S(h.server.GetMinimumMemoryRequirements())), kOutBig, kBigText, "0", Big()},
      {Srv, 5, DO(h.server.SetIdleTimeMemoryUsage(kBig)), "ULONGLONG:" + kBigText},
      {Srv, 6, DO(h.server.SetTemporaryMemoryUsage(6000000000ull)), "ULONGLONG:6000000000"},
      {Srv, 7, OP(S(h.server.GetCurrentMemoryUsage())), kOutBig, kBigText, "0", Big()},
      {Srv, 8, DO(h.server.PurgeMemory()), ""},
      {Srv, 9, DO(h.server.CacheFinalFrame(true)), "LONG:1"},
      {Srv, 9, DO(h.server.CacheFinalFrame(false)), "LONG:0"},
      {Srv, 10, OP(S(h.server.GetProjectExtension())), kOutText, "orp", "", Text(u"orp\0x"s)},
      {Srv, 14,
       OP((h.server.CreateSource(WideString(u"new.orp\0x", 9), Rect(3, 4, 640, -480), Ratio(10, 11), Time(1001, 30000),
                                 29.97, h.project = Project(), h.source = Source()),
           Id(h.project) + " " + Id(h.source))),
       "BSTR:\"new.orp\"(len 7) LONG:640 LONG:-480 LONG:10 LONG:11 LONG:1001 LONG:30000 double:29.97 " + kOutObj + " " +
           kOutObj,
       "#2 #2", kNoInterface, Objects(2)},
      {Srv, 11, OP(Id(h.server.OpenProject(u""))), "BSTR:\"\"(len 0) " + kOutObj, "#2", kNoInterface, Objects(1)},
      {Srv, 12,
       OP((h.project = h.server.OpenProjectShowSource(u"a.orp", kGuid, h.source = Source()),
           Id(h.project) + " " + Id(h.source))),
       "BSTR:\"a.orp\"(len 5) GUID*:" + kGuidText + " " + kOutObj + " " + kOutObj, "#2 #2", kNoInterface, Objects(2)},
      {Srv, 13, DO(h.server.CloseProject(h.project)), "IUnknown*:#1"},
      {Prj, 3, OP(S(h.project.GetName())), kOutText, "Proj\xC3\xA9t", "", Text(u"Proj\u00e9t")},
      {Prj, 4, OP(S(h.project.GetPath())), kOutText, "/p/Demo.orp", "", Text(u"/p/Demo.orp")},
      {Prj, 5, OP(Id(h.project.GetSource(kGuid))), "GUID*:" + kGuidText + " " + kOutObj, "#2", kNoInterface,
       Objects(1)},
      {Prj, 6, OP(Id(h.project.GetRootItem())), kOutObj, "#2", kNoInterface, Objects(1)},
      {Itm, 3, OP(S(h.item.GetName())), kOutText, "clip", "", Text(u"clip\0x"s)},
      {Itm, 4, OP(h.item.GetID().ToString()), "out GUID*:" + kNullGuidText, kGuidText, kNullGuidText,
       SCRIPT(s.OutGuid(kTarget, i, slot, 0, kGuid))},
      // The type code: 1 passes through, every other code becomes 0.
      {Itm, 6, OP(S(LONG{h.item.GetType()})), kOutLong, "1", "0", L({1})},
      {Itm, 6, OP(S(LONG{h.item.GetType()})), kOutLong, "0", "0", L({-1})},
      {Itm, 5, OP(Id(h.item.GetParentItem())), kOutObj, "#2", "unlinked", Objects(1)},
      {Cnt, 3, OP(Id(h.container.GetFirstItem())), kOutObj, "#2", "unlinked", Objects(1)},
      {Cnt, 4, OP(Id(h.container.GetNextItem(h.item))), "IUnknown*:#1 " + kOutObj, "#2", "unlinked", Objects(1)},
      {Src, 3, OP(S(h.source.GetDuration())), kOutLong2, "1001/30000", "0/0", L({1001, 30000})},
      {Src, 4, OP(S(h.source.GetPixelAspectRatio())), kOutLong2, "10:11", "0:0", L({10, 11})},
      {Src, 5, OP(S(h.source.GetFrameSize())), kOutLong2, "0,0,1920,1080", "0,0,0,0", L({1920, 1080})},
      {Src, 6, OP(S(h.source.GetFrameRate())), kOutReal, "29.97", "0", Real(29.97)},
      {Src, 7, OP(S(h.source.GetBitDepth())), kOutLong, "16", "0", L({16})},
      {Src, 8, OP(S(h.source.GetTimeStamp())), kOutLong, "-12", "0", L({-12})},
      {Src, 9, OP(S(h.source.IsNewerThan(-5))), "LONG:-5 " + kOutLong, "true", "false", L({-1})},
      {Src, 10, OP(S(h.source.HasAudio())), kOutLong, "true", "false", L({2})},
      {Src, 11, OP(S(h.source.HasVideo())), kOutLong, "true", "false", L({1})},
      {Src, 12, OP(Id(h.source.GetRenderer())), kOutObj, "#2", kNoInterface, Objects(1)},
      {Rnd, 3, OP(Id(h.renderer.CreateVideoRenderOptions())), kOutObj, "#2", kNoInterface, Objects(1)},
      {Rnd, 4, OP(Id(h.renderer.CreateAudioRenderOptions())), kOutObj, "#2", kNoInterface, Objects(1)},
      {Rnd, 5, DO(h.renderer.StartVideoRender(h.video, "frames\0x"s, kBig)),
       "IVideoRenderOptions2*:#1 BSTR:\"frames\"(len 6) ULONGLONG:" + kBigText},
      {Rnd, 6, OP((h.renderer.RenderVideo(Time(1001, 30000), &v), S(v))),
       "LONG:1001 LONG:30000 out ULONGLONG*:" + CallersOut("77"), kBigText, CallersOut("77"), Big()},
      {Rnd, 7, DO(h.renderer.EndVideoRender()), ""},
      {Rnd, 8, DO(h.renderer.StartAudioRender(Time(48000, 48000), -3, h.audio, "audio", 65536)),
       "LONG:48000 LONG:48000 LONG:-3 IAudioRenderOptions2*:#1 BSTR:\"audio\"(len 5) ULONGLONG:65536"},
      {Rnd, 9, OP((h.renderer.GetNextAudioBuffer(&v), S(v))), "out ULONGLONG*:" + CallersOut("77"), kBigText,
       CallersOut("77"), Big()},
      {Rnd, 10, DO(h.renderer.EndAudioRender()), ""},
      {Vid, 3, DO(h.video.SetLowQuality(true)), "LONG:1"},
      {Vid, 4, OP(S(h.video.GetLowQuality())), kOutLong, "true", "false", L({-1})},
      {Vid, 5, DO(h.video.SetPreMultiply(-2)), "LONG:-2"},
      {Vid, 6, OP(S(h.video.GetPreMultiply())), kOutLong, "-2", "0", L({-2})},
      {Vid, 7, DO(h.video.SetFieldOrder(2)), "LONG:2"},
      {Vid, 8, OP(S(h.video.GetFieldOrder())), kOutLong, "2", "0", L({2})},
      {Vid, 9, DO(h.video.SetRegionOfInterest(Rect(1, -2, 3, 4))), "LONG:1 LONG:-2 LONG:3 LONG:4"},
      {Vid, 10, OP(S(h.video.GetRegionOfInterest())), kOutLong2 + " " + kOutLong2, "1,-2,3,4", "0,0,0,0",
       L({1, -2, 3, 4})},
      {Vid, 11, DO(h.video.SetBitDepth(16)), "LONG:16"},
      {Vid, 12, OP(S(h.video.GetBitDepth())), kOutLong, "16", "0", L({16})},
      {Vid, 13, DO(h.video.SetChannelOrder(3)), "LONG:3"},
      {Vid, 14, OP(S(h.video.GetChannelOrder())), kOutLong, "3", "0", L({3})},
      {Vid, 15, DO(h.video.SetTimeStep(Time(1, 25))), "LONG:1 LONG:25"},
      {Vid, 16, OP(S(h.video.GetTimeStep())), kOutLong2, "1/25", "0/0", L({1, 25})},
      {Vid, 17, DO(h.video.SetBounds(640, 480)), "LONG:640 LONG:480"},
      {Vid, 18, OP((h.video.GetBounds(x, y), S(x) + "x" + S(y))), OutPair("77", "78"), "640x480", Pair("77", "78"),
       L({640, 480})},
      {Vid, 19, DO(h.video.SetRowBytes(2560)), "LONG:2560"},
      {Vid, 20, OP(S(h.video.GetRowBytes())), kOutLong, "2560", "0", L({2560})},
      {Vid, 21, DO(h.video.SetDownsampleFactor(2, 3)), "LONG:2 LONG:3"},
      {Vid, 22, OP((h.video.GetDownsampleFactor(x, y), S(x) + "x" + S(y))), OutPair("77", "78"), "2x3",
       Pair("77", "78"), L({2, 3})},
      {Vid, 23, DO(h.video.SetRenderGuideLayers(false)), "LONG:0"},
      {Vid, 24, OP(S(h.video.GetRenderGuideLayers())), kOutLong, "true", "false", L({1})},
      {Vid, 25, OP(S(h.video.GetMaxMemoryRequiredForFrame())), kOutBig, kBigText, "0", Big()},
      {Aud, 3, DO(h.audio.SetSampleRate(48000.5)), "double:48000.5"},
      {Aud, 4, OP(S(h.audio.GetSampleRate())), kOutReal, "44100.2", "0", Real(44100.25)},
      {Aud, 5, DO(h.audio.SetNumChannels(6)), "LONG:6"},
      {Aud, 6, OP(S(h.audio.GetNumChannels())), kOutLong, "6", "0", L({6})},
      {Aud, 7, DO(h.audio.SetEncoding(-1)), "LONG:-1"},
      {Aud, 8, OP(S(h.audio.GetEncoding())), kOutLong, "-1", "0", L({-1})},
      {Aud, 9, DO(h.audio.SetBytesPerSample(4)), "LONG:4"},
      {Aud, 10, OP(S(h.audio.GetBytesPerSample())), kOutLong, "4", "0", L({4})},
      {Ext, 3, DO(h.extras.SendFile(WideString(u"in.txt\0x", 8))), "BSTR:\"in.txt\"(len 6)"},
  };
  return operations;
}
// Runs an operation; a LinkError becomes "LinkError 0x..." and its text.
std::string RunOp(const Operation& op, Handles& handles, TestServerClient& server) {
  try {
    g_server = &server;
    return op.call.run(handles);
  } catch (const LinkError& error) {
    const std::string text = S(error.GetErrorString());
    return "LinkError " + Hex(error.GetError()) + (text.empty() ? "" : " " + text);
  }
}

class OperationTest : public ObjectsTest, public ::testing::WithParamInterface<Operation> {
 protected:
  // Runs the operation and checks its result and the one call it made.
  void Expect(Handles& handles, const std::string& result) {
    const Operation& op = GetParam();
    server().ClearRecords();
    EXPECT_EQ(RunOp(op, handles, server()), result);
    const auto calls = server().Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].id, kTarget);
    EXPECT_EQ(calls[0].interfaceIndex, op.index);
    EXPECT_EQ(calls[0].slot, op.slot);
    EXPECT_EQ(calls[0].thread, CommThread());
    EXPECT_EQ(calls[0].arguments, op.arguments + (op.arguments.empty() ? "" : " ") + "out BSTR*:null");
  }
};

TEST_P(OperationTest, CallsItsSlotConvertsTheAnswerAndReportsFailures) {
  const Operation& op = GetParam();
  ASSERT_EQ(Create(kAllInterfaces), kTarget);
  ASSERT_EQ(Create(kAllInterfaces), kReturned);
  ASSERT_EQ(Create(InterfaceBit(Ext)), kWrong);
  Handles unlinked;
  EXPECT_EQ(RunOp(op, unlinked, server()), "LinkError " + Hex(kNoRemoteObject));
  EXPECT_TRUE(server().Calls().empty());

  Handles handles = LinkAll(kTarget);
  Expect(handles, op.unscripted);
  if (op.scripted.find('#') != std::string::npos) {
    op.script(server(), op.index, op.slot, kWrong);
    Expect(handles, kNoInterface);
  }
  op.script(server(), op.index, op.slot, kReturned);
  Expect(handles, op.scripted);

  // The out-values stay scripted: what the server hands out with a failure
  // is released all the same. A text fails the call even with success.
  const std::pair<HRESULT, std::u16string> failures[] = {{E_ACCESSDENIED, u""}, {E_FAIL, u"no file"}, {S_OK, u"warn"}};
  for (const auto& [hr, text] : failures) {
    server().Result(kTarget, op.index, op.slot, hr, text.empty() ? testserver::kNoErrorText : testserver::kErrorText,
                    text);
    Expect(handles, "LinkError " + Hex(hr) + (text.empty() ? "" : " " + S(WideString(text))));
  }

  if (op.arguments.find("BSTR:\"") == std::string::npos || !testprobes::kCountsBstrs) return;
  server().ClearRecords();
  testprobes::FailNextBstrAllocations(1);
  try {
    RunOp(op, handles, server());
    ADD_FAILURE() << "a string argument that could not be allocated went unnoticed";
  } catch (const comsupport::CAtlException& error) {
    EXPECT_EQ(error.GetResult(), E_OUTOFMEMORY);
  }
  testprobes::FailNextBstrAllocations(0);
  EXPECT_TRUE(server().Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(AllOperations, OperationTest, ::testing::ValuesIn(Operations()),
                         [](const ::testing::TestParamInfo<Operation>& info) {
                           return kInterfaceNames[info.param.index] + std::to_string(info.param.slot) + "Row" +
                                  std::to_string(info.index);
                         });

}  // namespace
}  // namespace moravane_test
