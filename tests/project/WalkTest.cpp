// The walk of moravane/Host.h and its step, NextChild, against the
// reference server in this process: the same items in the same order as a
// walk made of the plain calls, and the step's handles after the last child
// and after a failure.
#include <moravane/Host.h>
#include <moravane/LinkError.h>
#include <moravane/Server.h>

#include <LinkServer.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using moravane::Container;
using moravane::Item;

struct InProcessServer : moravane::Server {
  InProcessServer() : moravane::Server(Root()) {}
  static comsupport::CComPtr<IUnknown> Root() { return comsupport::CComPtr<IUnknown>(linkserver::CreateLinkServer()); }
};

// Bins in bins, an empty bin, and items after a bin's end, so that the walk
// must come back up to the right level.
constexpr const char* kTree = R"(orra-project 1
project "Tree" {00000000-0000-4000-8000-000000000001}
bin "A" {00000000-0000-4000-8000-000000000002}
  item "A1" {00000000-0000-4000-8000-000000000003}
  bin "A2" {00000000-0000-4000-8000-000000000004}
    bin "A2a" {00000000-0000-4000-8000-000000000005}
      item "A2a1" {00000000-0000-4000-8000-000000000006}
    end
    item "A2b" {00000000-0000-4000-8000-000000000007}
  end
  item "A3" {00000000-0000-4000-8000-000000000008}
end
bin "Empty" {00000000-0000-4000-8000-000000000009}
end
item "B" {00000000-0000-4000-8000-00000000000a}
)";

class Walk : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = std::filesystem::temp_directory_path() / ("moravane-walk-" + std::to_string(::getpid()) + ".orraproj");
    std::ofstream(m_path) << kTree;
    m_project = m_server.OpenProject(kelvex::utility::AsciiToUTF16(m_path.string()));
  }
  void TearDown() override {
    m_server.CloseProject(m_project);
    std::filesystem::remove(m_path);
  }

  static std::string Line(Item& item, int depth) {
    return std::string(std::size_t(depth) * 2, ' ') + kelvex::utility::UTF16ToUTF8(item.GetName());
  }

  // The walk as the plain calls make it: a Container per item,
  // GetFirstItem, then GetNextItem while the result is linked.
  static void Plain(Item item, int depth, std::vector<std::string>& lines) {
    lines.push_back(Line(item, depth));
    Container container(item);
    if (!container.IsLinked()) return;
    for (Item child = container.GetFirstItem(); child.IsLinked(); child = container.GetNextItem(child)) {
      Plain(child, depth + 1, lines);
    }
  }

  std::filesystem::path m_path;
  InProcessServer m_server;
  moravane::Project m_project;
};

TEST_F(Walk, VisitsWhatThePlainCallsVisitInTheirOrder) {
  std::vector<std::string> plain, walked;
  Plain(m_project.GetRootItem(), 0, plain);
  ASSERT_EQ(plain.size(), 10u) << "the tree above has the root and nine items";
  moravane::host::Walk(m_project.GetRootItem(), 0, [&](Item& item, int depth) { walked.push_back(Line(item, depth)); });
  EXPECT_EQ(walked, plain);
}

TEST_F(Walk, TheStepLeavesBothHandlesUnlinkedAfterTheLastChildAndAsTheyWereOnAFailure) {
  Item root = m_project.GetRootItem();
  Container top(root);
  Item child;
  Container children;
  std::vector<std::string> seen;
  while (moravane::NextChild(top, child, children)) {
    seen.push_back(kelvex::utility::UTF16ToUTF8(child.GetName()) + (children.IsLinked() ? "/" : ""));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"A/", "Empty/", "B"}));
  EXPECT_FALSE(child.IsLinked());
  EXPECT_FALSE(children.IsLinked());

  // An unlinked container fails before the server is asked; the handles
  // keep what they held.
  ASSERT_TRUE(moravane::NextChild(top, child, children));
  Container unlinked;
  try {
    moravane::NextChild(unlinked, child, children);
    ADD_FAILURE() << "a step through an unlinked container went unnoticed";
  } catch (const moravane::LinkError& error) {
    EXPECT_EQ(error.GetError(), moravane::kNoRemoteObject);
  }
  EXPECT_EQ(kelvex::utility::UTF16ToUTF8(child.GetName()), "A");
  EXPECT_TRUE(children.IsLinked());
}

TEST_F(Walk, AVisitThatChangesTheItemItIsShownEndsTheWalk) {
  Item other = m_project.GetRootItem();
  const struct {
    const char* what;
    void (*change)(Item& shown, Item& other);
  } rows[] = {
      {"unlinked", [](Item& shown, Item&) { shown.UnLink(); }},
      {"replaced", [](Item& shown, Item& other) { shown = other; }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    int visits = 0;
    EXPECT_THROW(moravane::host::Walk(m_project.GetRootItem(), 0,
                                      [&](Item& item, int depth) {
                                        ++visits;
                                        if (depth == 1) row.change(item, other);
                                      }),
                 std::logic_error);
    EXPECT_EQ(visits, 2) << "the root, then the first child, whose change ends the walk";
  }
}

}  // namespace
