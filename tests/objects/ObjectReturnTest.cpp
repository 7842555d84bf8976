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
// the server's out-parameters, before either is tested. Each of the two
// objects comes back missing, without its interface, or good.
struct PairCase {
  Answer project;
  Answer source;
};

std::string AnswerName(Answer answer) {
  return answer == Answer::kNull ? "Null" : answer == Answer::kWrongInterface ? "Wrong" : "Good";
}

std::string PairName(const PairCase& c) { return AnswerName(c.project) + "Project" + AnswerName(c.source) + "Source"; }

void PrintTo(const PairCase& c, std::ostream* os) { *os << PairName(c); }

class TwoObjectTest : public ObjectsTest, public ::testing::WithParamInterface<PairCase> {
 protected:
  void SetUp() override {
    ObjectsTest::SetUp();
    if (HasFatalFailure()) return;
    m_server = Create(kAllInterfaces);
    m_oldSource = Create(InterfaceBit(testserver::kSourceIndex));
    m_newProject = Create(InterfaceBit(testserver::kProjectIndex));
    m_newSource = Create(InterfaceBit(testserver::kSourceIndex));
  }
  // Scripts the two out-objects of `slot`; the project and the source
  // objects stand in for each other as an object without the interface.
  void Script(LONG slot) {
    const PairCase& c = GetParam();
    const LONG project[] = {0, m_newSource, m_newProject};
    const LONG source[] = {0, m_newProject, m_newSource};
    server().OutObject(m_server, testserver::kServerIndex, slot, 0, project[static_cast<int>(c.project)]);
    server().OutObject(m_server, testserver::kServerIndex, slot, 1, source[static_cast<int>(c.source)]);
  }
  bool Raises() const { return GetParam().project != Answer::kGood || GetParam().source != Answer::kGood; }
  LONG ExpectedSource() const { return GetParam().source == Answer::kGood ? m_newSource : 0; }

  LONG m_server = 0;
  LONG m_oldSource = 0;
  LONG m_newProject = 0;
  LONG m_newSource = 0;
};

TEST_P(TwoObjectTest, CreateSourceAssignsBothBeforeTesting) {
  const LONG oldProject = Create(InterfaceBit(testserver::kProjectIndex));
  Server handle = Link<Server>(m_server);
  Project project = Link<Project>(oldProject);
  Source source = Link<Source>(m_oldSource);
  Script(14);

  bool raised = false;
  try {
    handle.CreateSource(u"p", {}, {}, {}, 0.0, project, source);
  } catch (const LinkError& error) {
    raised = true;
    EXPECT_EQ(error.GetError(), E_NOINTERFACE);
  }
  EXPECT_EQ(raised, Raises());
  EXPECT_EQ(IdOf(project), GetParam().project == Answer::kGood ? m_newProject : 0);
  EXPECT_EQ(IdOf(source), ExpectedSource());
  // The old objects were let go whatever happened.
  EXPECT_EQ(server().RefCount(oldProject), 1);
  EXPECT_EQ(server().RefCount(m_oldSource), 1);
}

TEST_P(TwoObjectTest, OpenProjectShowSourceAssignsTheSourceBeforeTesting) {
  Server handle = Link<Server>(m_server);
  Source source = Link<Source>(m_oldSource);
  Script(12);

  bool raised = false;
  try {
    Project project = handle.OpenProjectShowSource(u"p", kelvex::utility::Guid(), source);
    EXPECT_EQ(IdOf(project), m_newProject);
  } catch (const LinkError& error) {
    raised = true;
    EXPECT_EQ(error.GetError(), E_NOINTERFACE);
  }
  EXPECT_EQ(raised, Raises());
  EXPECT_EQ(IdOf(source), ExpectedSource());
  EXPECT_EQ(server().RefCount(m_oldSource), 1);
}

std::vector<PairCase> EveryPair() {
  std::vector<PairCase> cases;
  for (Answer project : {Answer::kNull, Answer::kWrongInterface, Answer::kGood}) {
    for (Answer source : {Answer::kNull, Answer::kWrongInterface, Answer::kGood}) cases.push_back({project, source});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Pairs, TwoObjectTest, ::testing::ValuesIn(EveryPair()),
                         [](const ::testing::TestParamInfo<PairCase>& info) { return PairName(info.param); });

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
