// The string rules: arguments cut at their first NUL and sent as BSTRs of
// exactly that length (empty, never null), results copied up to their first
// NUL (null gives ""), every BSTR freed exactly once, and a BSTR that cannot
// be allocated failing the call before anything is sent.
#include "ObjectsFixture.h"

#include <comsupport/AtlException.h>
#include <gmock/gmock.h>

#include <functional>

namespace moravane_test {
namespace {

using namespace moravane;
using ::testing::HasSubstr;

constexpr LONG kTarget = 1;

// An operation taking a string: `wide` for the wide ones, `narrow` for the
// section names of the renderer.
struct StringArgument {
  const char* name;
  InterfaceIndex index;
  LONG slot;
  std::function<void(Handles&, const WideString& wide, const std::string& narrow)> call;
};

void PrintTo(const StringArgument& c, std::ostream* os) { *os << c.name; }

const std::vector<StringArgument>& StringArguments() {
  static const std::vector<StringArgument> cases = {
      {"OpenProject", testserver::kServerIndex, 11,
       [](Handles& h, const WideString& w, const std::string&) { h.server.OpenProject(w); }},
      {"OpenProjectShowSource", testserver::kServerIndex, 12,
       [](Handles& h, const WideString& w, const std::string&) {
         h.server.OpenProjectShowSource(w, kelvex::utility::Guid(), h.source);
       }},
      {"CreateSource", testserver::kServerIndex, 14,
       [](Handles& h, const WideString& w, const std::string&) {
         h.server.CreateSource(w, {}, {}, {}, 0.0, h.project, h.source);
       }},
      {"SendFile", testserver::kExtrasIndex, 3,
       [](Handles& h, const WideString& w, const std::string&) { h.extras.SendFile(w); }},
      {"StartVideoRender", testserver::kRendererIndex, 5,
       [](Handles& h, const WideString&, const std::string& n) { h.renderer.StartVideoRender(h.video, n, 1); }},
      {"StartAudioRender", testserver::kRendererIndex, 8,
       [](Handles& h, const WideString&, const std::string& n) { h.renderer.StartAudioRender({}, 0, h.audio, n, 1); }},
  };
  return cases;
}

class StringArgumentTest : public ObjectsTest, public ::testing::WithParamInterface<StringArgument> {
 protected:
  // Runs the operation; the objects it returns are beside the point here.
  void Run(Handles& handles, const WideString& wide, const std::string& narrow) {
    try {
      GetParam().call(handles, wide, narrow);
    } catch (const LinkError& error) {
      EXPECT_EQ(error.GetError(), E_NOINTERFACE) << "unexpected " << Hex(error.GetError());
    }
  }
  std::string SentArguments() {
    const auto calls = server().Calls();
    EXPECT_EQ(calls.size(), 1u);
    return calls.empty() ? std::string() : calls[0].arguments;
  }
};

TEST_P(StringArgumentTest, CutAtTheFirstNulAndNeverNull) {
  ASSERT_EQ(Create(kAllInterfaces), kTarget);
  Handles handles = LinkAll(kTarget);
  const struct {
    WideString wide;
    std::string narrow;
    std::string sent;
  } cases[] = {
      {WideString(u"ab\0cd", 5), std::string("ab\0cd", 5), "BSTR:\"ab\"(len 2)"},
      {WideString(), std::string(), "BSTR:\"\"(len 0)"},
      {WideString(u"\0x", 2), std::string("\0x", 2), "BSTR:\"\"(len 0)"},
      {WideString(u"name.orp"), std::string("name.orp"), "BSTR:\"name.orp\"(len 8)"},
  };
  for (const auto& c : cases) {
    server().ClearRecords();
    Run(handles, c.wide, c.narrow);
    EXPECT_THAT(SentArguments(), HasSubstr(c.sent));
  }
}

TEST_P(StringArgumentTest, AllocationFailureSendsNothing) {
  if (!testprobes::kCountsBstrs) GTEST_SKIP() << "BSTR allocation cannot be made to fail here";
  ASSERT_EQ(Create(kAllInterfaces), kTarget);
  Handles handles = LinkAll(kTarget);
  server().ClearRecords();
  testprobes::FailNextBstrAllocations(1);
  try {
    GetParam().call(handles, u"path", "name");
    ADD_FAILURE() << "no exception";
  } catch (const comsupport::CAtlException& error) {
    EXPECT_EQ(error.GetResult(), E_OUTOFMEMORY);
  }
  testprobes::FailNextBstrAllocations(0);
  EXPECT_TRUE(server().Calls().empty());
}

// The argument's BSTR is freed also when the call fails (checked by the
// fixture's BSTR count).
TEST_P(StringArgumentTest, ArgumentFreedWhenTheCallFails) {
  ASSERT_EQ(Create(kAllInterfaces), kTarget);
  Handles handles = LinkAll(kTarget);
  server().Result(kTarget, GetParam().index, GetParam().slot, E_FAIL, testserver::kErrorText, u"refused");
  const LinkError error = ExpectLinkError([&] { GetParam().call(handles, u"path", "name"); });
  EXPECT_EQ(error.GetError(), E_FAIL);
  EXPECT_EQ(Utf8(error.GetErrorString()), "refused");
}

INSTANTIATE_TEST_SUITE_P(EveryStringArgument, StringArgumentTest, ::testing::ValuesIn(StringArguments()),
                         [](const ::testing::TestParamInfo<StringArgument>& info) { return info.param.name; });

struct StringResult {
  const char* name;
  InterfaceIndex index;
  LONG slot;
  std::function<WideString(Handles&)> call;
};

void PrintTo(const StringResult& c, std::ostream* os) { *os << c.name; }

class StringResultTest : public ObjectsTest, public ::testing::WithParamInterface<StringResult> {};

TEST_P(StringResultTest, CopiedUpToTheFirstNul) {
  const StringResult& op = GetParam();
  ASSERT_EQ(Create(kAllInterfaces), kTarget);
  Handles handles = LinkAll(kTarget);
  const struct {
    bool null;
    std::u16string answer;
    WideString expected;
  } cases[] = {
      {true, u"", WideString()},
      {false, u"", WideString()},
      {false, std::u16string(u"ab\0cd", 5), WideString(u"ab")},
      {false, u"Proj\u00e9t", WideString(u"Proj\u00e9t")},
  };
  for (const auto& c : cases) {
    if (c.null) {
      server().OutNullString(kTarget, op.index, op.slot, 0);
    } else {
      server().OutString(kTarget, op.index, op.slot, 0, c.answer);
    }
    EXPECT_EQ(op.call(handles), c.expected);
  }
}

// A string that the server hands out together with a failure is freed.
TEST_P(StringResultTest, FreedWhenTheCallFails) {
  const StringResult& op = GetParam();
  ASSERT_EQ(Create(kAllInterfaces), kTarget);
  Handles handles = LinkAll(kTarget);
  server().OutString(kTarget, op.index, op.slot, 0, u"left over");
  server().Result(kTarget, op.index, op.slot, E_FAIL);
  EXPECT_EQ(ExpectLinkError([&] { op.call(handles); }).GetError(), E_FAIL);
}

INSTANTIATE_TEST_SUITE_P(EveryStringResult, StringResultTest,
                         ::testing::Values(StringResult{"ProjectExtension", testserver::kServerIndex, 10,
                                                        [](Handles& h) { return h.server.GetProjectExtension(); }},
                                           StringResult{"ProjectName", testserver::kProjectIndex, 3,
                                                        [](Handles& h) { return h.project.GetName(); }},
                                           StringResult{"ProjectPath", testserver::kProjectIndex, 4,
                                                        [](Handles& h) { return h.project.GetPath(); }},
                                           StringResult{"ItemName", testserver::kItemIndex, 3,
                                                        [](Handles& h) { return h.item.GetName(); }}),
                         [](const ::testing::TestParamInfo<StringResult>& info) { return info.param.name; });

}  // namespace
}  // namespace moravane_test
