// The object return rule where one operation table cannot show it: two
// objects of one call are both assigned before either is tested, and the
// caller-tested form raises in the public method, not in its executor.
#include "ObjectsFixture.h"

namespace moravane_test {
namespace {

using namespace moravane;
using testserver::kProjectIndex;
using testserver::kServerIndex;
using testserver::kSourceIndex;

// CreateSource and OpenProjectShowSource with their project and source each
// missing, without its interface (the other kind) or good.
TEST_F(ObjectsTest, BothObjectsAreAssignedBeforeEitherIsTested) {
  const LONG target = Create(kAllInterfaces);
  const LONG newProject = Create(InterfaceBit(kProjectIndex));
  const LONG newSource = Create(InterfaceBit(kSourceIndex));
  const LONG answers[][3] = {{0, newSource, newProject}, {0, newProject, newSource}};  // project, source
  Server server = Link<Server>(target);
  for (int row = 0; row < 18; ++row) {
    const LONG slot = row < 9 ? 14 : 12;
    const int p = row / 3 % 3, s = row % 3;
    SCOPED_TRACE("slot " + std::to_string(slot) + " project " + std::to_string(p) + " source " + std::to_string(s));
    const LONG oldProject = Create(InterfaceBit(kProjectIndex));
    const LONG oldSource = Create(InterfaceBit(kSourceIndex));
    Project project = Link<Project>(oldProject);
    Source source = Link<Source>(oldSource);
    this->server().OutObject(target, kServerIndex, slot, 0, answers[0][p]);
    this->server().OutObject(target, kServerIndex, slot, 1, answers[1][s]);
    HRESULT error = S_OK;
    try {
      if (slot == 14) server.CreateSource(u"p", {}, {}, {}, 0.0, project, source);
      if (slot == 12) project = server.OpenProjectShowSource(u"p", kelvex::utility::Guid(), source);
    } catch (const LinkError& e) {
      error = e.GetError();
    }
    EXPECT_EQ(Hex(error), Hex(p == 2 && s == 2 ? S_OK : E_NOINTERFACE));
    EXPECT_EQ(IdOf(source), s == 2 ? newSource : 0);
    EXPECT_TRUE(slot == 12 || IdOf(project) == (p == 2 ? newProject : 0)) << "the project of CreateSource";
    project = Project();
    source = Source();
    Settle();
    EXPECT_EQ(this->server().RefCount(oldProject), 1);
    EXPECT_EQ(this->server().RefCount(oldSource), 1);
  }
}

// The executors are virtual: this override watches the one that runs.
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
  EXPECT_EQ(ExpectLinkError([&] { handle.CreateVideoRenderOptions(); }).GetError(), E_NOINTERFACE);
  EXPECT_FALSE(handle.executorRaised);
  EXPECT_FALSE(handle.executorLinked);
  EXPECT_EQ(handle.executorThread, CommThread());
}

}  // namespace
}  // namespace moravane_test
