// The object return rule: what each operation that returns objects makes of
// a missing object, an object without the expected interface and a good
// one, in its strict, lenient and caller-tested forms.
#include "ObjectsFixture.h"

#include <functional>

namespace moravane_test {
namespace {

using namespace moravane;
using testserver::InterfaceBit;

enum class Form { kStrict, kLenient, kTestedByCaller };
enum class Answer { kNull, kWrongInterface, kGood };

struct Returning {
  const char* name;
  InterfaceIndex called;  // interface of the slot
  LONG slot;
  InterfaceIndex expected;  // interface the returned object must have
  Form form;
  // Calls the operation on a handle of `target`; returns the returned handle.
  std::function<comsupport::CComPtr<IUnknown>(Handles&)> call;
};

void PrintTo(const Returning& r, std::ostream* os) { *os << r.name; }

template <class X>
comsupport::CComPtr<IUnknown> Unknown(X handle) {
  return handle.GetUnknown();
}

const std::vector<Returning>& Operations() {
  static const std::vector<Returning> operations = {
      {"OpenProject", testserver::kServerIndex, 11, testserver::kProjectIndex, Form::kStrict,
       [](Handles& h) { return Unknown(h.server.OpenProject(u"p")); }},
      {"GetSource", testserver::kProjectIndex, 5, testserver::kSourceIndex, Form::kStrict,
       [](Handles& h) { return Unknown(h.project.GetSource(kelvex::utility::Guid())); }},
      {"GetRootItem", testserver::kProjectIndex, 6, testserver::kItemIndex, Form::kStrict,
       [](Handles& h) { return Unknown(h.project.GetRootItem()); }},
      {"GetRenderer", testserver::kSourceIndex, 12, testserver::kRendererIndex, Form::kStrict,
       [](Handles& h) { return Unknown(h.source.GetRenderer()); }},
      {"GetParentItem", testserver::kItemIndex, 5, testserver::kItemIndex, Form::kLenient,
       [](Handles& h) { return Unknown(h.item.GetParentItem()); }},
      {"GetFirstItem", testserver::kContainerIndex, 3, testserver::kItemIndex, Form::kLenient,
       [](Handles& h) { return Unknown(h.container.GetFirstItem()); }},
      {"GetNextItem", testserver::kContainerIndex, 4, testserver::kItemIndex, Form::kLenient,
       [](Handles& h) { return Unknown(h.container.GetNextItem(h.item)); }},
      {"CreateVideoRenderOptions", testserver::kRendererIndex, 3, testserver::kVideoOptionsIndex, Form::kTestedByCaller,
       [](Handles& h) { return Unknown(h.renderer.CreateVideoRenderOptions()); }},
      {"CreateAudioRenderOptions", testserver::kRendererIndex, 4, testserver::kAudioOptionsIndex, Form::kTestedByCaller,
       [](Handles& h) { return Unknown(h.renderer.CreateAudioRenderOptions()); }},
  };
  return operations;
}

class ObjectReturnTest : public ObjectsTest, public ::testing::WithParamInterface<Returning> {};

TEST_P(ObjectReturnTest, NullWrongAndGoodObjects) {
  const Returning& op = GetParam();
  const LONG target = Create(kAllInterfaces);
  const LONG wrong = Create(kAllInterfaces & ~InterfaceBit(op.expected));
  const LONG good = Create(InterfaceBit(op.expected));
  Handles handles = LinkAll(target);

  const struct {
    Answer answer;
    LONG id;
  } answers[] = {{Answer::kNull, 0}, {Answer::kWrongInterface, wrong}, {Answer::kGood, good}};
  for (const auto& a : answers) {
    SCOPED_TRACE(a.id);
    server().OutObject(target, op.called, op.slot, 0, a.id);
    const bool raises = a.answer == Answer::kWrongInterface || (a.answer == Answer::kNull && op.form != Form::kLenient);
    try {
      comsupport::CComPtr<IUnknown> returned = op.call(handles);
      EXPECT_FALSE(raises) << "returned instead of raising";
      EXPECT_EQ(server().Identify(returned.p), a.answer == Answer::kGood ? good : 0);
    } catch (const LinkError& error) {
      EXPECT_TRUE(raises) << "raised " << Hex(error.GetError());
      EXPECT_EQ(error.GetError(), E_NOINTERFACE);
      EXPECT_TRUE(error.GetErrorString().empty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryReturningOperation, ObjectReturnTest, ::testing::ValuesIn(Operations()),
                         [](const ::testing::TestParamInfo<Returning>& info) { return info.param.name; });

// The caller-tested form: the executor itself leaves a missing object
// unlinked without raising; the public operation raises on the calling
// thread. The executors are virtual, and an override is the one that runs.
class WatchedRenderer : public Renderer {
 public:
  explicit WatchedRenderer(comsupport::CComPtr<IUnknown> unknown) : Renderer(unknown) {}
  bool executorRaised = false;
  bool executorLinked = true;
  LONG executorThread = 0;

 protected:
  void CreateVideoRenderOptionsExecutor(VideoRenderOptions* options) override {
    executorThread = static_cast<LONG>(testprobes::CallerThreadId());
    try {
      Renderer::CreateVideoRenderOptionsExecutor(options);
    } catch (...) {
      executorRaised = true;
      throw;
    }
    executorLinked = options->IsLinked();
  }
};

TEST_F(ObjectsTest, CallerTestedFormRaisesOnTheCallingThreadOnly) {
  const LONG renderer = Create(InterfaceBit(testserver::kRendererIndex));
  WatchedRenderer handle(server().Object(renderer));
  server().OutObject(renderer, testserver::kRendererIndex, 3, 0, 0);
  const LinkError error = ExpectLinkError([&] { handle.CreateVideoRenderOptions(); });
  EXPECT_EQ(error.GetError(), E_NOINTERFACE);
  EXPECT_FALSE(handle.executorRaised);
  EXPECT_FALSE(handle.executorLinked);
  EXPECT_EQ(handle.executorThread, CommThread());
}

// Two objects of one call: both out-handles are assigned, in the order of
// the server's out-parameters, before either is tested.
struct PairCase {
  const char* name;
  bool projectGood;
  bool sourceGood;
};

class TwoObjectTest : public ObjectsTest, public ::testing::WithParamInterface<PairCase> {};

TEST_P(TwoObjectTest, CreateSourceAssignsBothBeforeTesting) {
  const PairCase& c = GetParam();
  const LONG server = Create(kAllInterfaces);
  const LONG oldProject = Create(InterfaceBit(testserver::kProjectIndex));
  const LONG oldSource = Create(InterfaceBit(testserver::kSourceIndex));
  const LONG newProject = Create(InterfaceBit(testserver::kProjectIndex));
  const LONG newSource = Create(InterfaceBit(testserver::kSourceIndex));
  Server handle = Link<Server>(server);
  Project project = Link<Project>(oldProject);
  Source source = Link<Source>(oldSource);
  this->server().OutObject(server, testserver::kServerIndex, 14, 0, c.projectGood ? newProject : 0);
  // A source object offered without its interface counts as wrong.
  this->server().OutObject(server, testserver::kServerIndex, 14, 1, c.sourceGood ? newSource : newProject);

  bool raised = false;
  try {
    handle.CreateSource(u"p", {}, {}, {}, 0.0, project, source);
  } catch (const LinkError& error) {
    raised = true;
    EXPECT_EQ(error.GetError(), E_NOINTERFACE);
  }
  EXPECT_EQ(raised, !(c.projectGood && c.sourceGood));
  EXPECT_EQ(IdOf(project), c.projectGood ? newProject : 0);
  EXPECT_EQ(IdOf(source), c.sourceGood ? newSource : 0);
  // The old objects were let go whatever happened.
  EXPECT_EQ(this->server().RefCount(oldProject), 1);
  EXPECT_EQ(this->server().RefCount(oldSource), 1);
}

TEST_P(TwoObjectTest, OpenProjectShowSourceAssignsTheSourceBeforeTesting) {
  const PairCase& c = GetParam();
  const LONG server = Create(kAllInterfaces);
  const LONG oldSource = Create(InterfaceBit(testserver::kSourceIndex));
  const LONG newProject = Create(InterfaceBit(testserver::kProjectIndex));
  const LONG newSource = Create(InterfaceBit(testserver::kSourceIndex));
  Server handle = Link<Server>(server);
  Source source = Link<Source>(oldSource);
  this->server().OutObject(server, testserver::kServerIndex, 12, 0, c.projectGood ? newProject : 0);
  this->server().OutObject(server, testserver::kServerIndex, 12, 1, c.sourceGood ? newSource : 0);

  bool raised = false;
  try {
    Project project = handle.OpenProjectShowSource(u"p", kelvex::utility::Guid(), source);
    EXPECT_EQ(IdOf(project), newProject);
  } catch (const LinkError& error) {
    raised = true;
    EXPECT_EQ(error.GetError(), E_NOINTERFACE);
  }
  EXPECT_EQ(raised, !(c.projectGood && c.sourceGood));
  EXPECT_EQ(IdOf(source), c.sourceGood ? newSource : 0);
  EXPECT_EQ(this->server().RefCount(oldSource), 1);
}

INSTANTIATE_TEST_SUITE_P(Pairs, TwoObjectTest,
                         ::testing::Values(PairCase{"BothGood", true, true}, PairCase{"ProjectMissing", false, true},
                                           PairCase{"SourceMissing", true, false},
                                           PairCase{"BothMissing", false, false}),
                         [](const ::testing::TestParamInfo<PairCase>& info) { return info.param.name; });

// Walking a container's children ends at the first missing object; the
// server is told the current child each time.
TEST_F(ObjectsTest, ContainerWalkEndsAtTheFirstMissingChild) {
  const LONG parent = Create(InterfaceBit(testserver::kContainerIndex) | InterfaceBit(testserver::kItemIndex));
  const LONG first = Create(InterfaceBit(testserver::kItemIndex));
  Item parentItem = Link<Item>(parent);
  Container container(parentItem);
  server().OutObject(parent, testserver::kContainerIndex, 3, 0, first);
  server().OutObject(parent, testserver::kContainerIndex, 4, 0, 0);

  std::vector<LONG> children;
  for (Item child = container.GetFirstItem(); child.IsLinked(); child = container.GetNextItem(child)) {
    children.push_back(IdOf(child));
  }
  EXPECT_EQ(children, std::vector<LONG>{first});
  const auto calls = server().Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().arguments, "IUnknown*:#" + std::to_string(first) + " out IUnknown**:null out BSTR*:null");
}

}  // namespace
}  // namespace moravane_test
