#include "ServerFixture.h"

#include "ProjectFormat.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace refserver_test {
namespace {

using linkserver::ParseProject;

TEST_F(ServerTest, ParserReadsTheSampleAndWritesItBackEqual) {
  const linkserver::ProjectModel model = linkserver::LoadProjectFile(m_path);
  const std::string text = linkserver::WriteProject(model);
  const linkserver::ProjectModel again = ParseProject(text, {m_folder, true});
  EXPECT_EQ(linkserver::WriteProject(again), text);
  for (const char* guid : {kFramesGuid, kSolidGuid, kChirpGuid, kStillGuid}) {
    const linkserver::Node *a = model.Find(ParseGuid(guid)), *b = again.Find(ParseGuid(guid));
    ASSERT_TRUE(a && b) << guid;
    EXPECT_TRUE(a->name == b->name && a->source == b->source) << a->name;
  }
}

#ifndef _WIN32
// The path is swapped between the project and a FIFO while it is opened
// again and again: no open may wait for the FIFO's writer. Should one wait,
// the swapping thread writes after a second without progress, so that the
// test fails instead of hanging.
TEST_F(ServerTest, OpeningAPathSwappedForAFifoNeverWaits) {
  const std::filesystem::path path = m_folder / "swapped.orraproj", fresh = m_folder / "fresh",
                              fifo = m_folder / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("sample.orraproj", path.c_str()), 0);
  using Clock = std::chrono::steady_clock;
  std::atomic<int> opened{0};
  std::atomic<bool> done{false};
  std::thread swapper([&] {
    auto progress = Clock::now();
    for (int i = 0, seen = 0; !done; ++i) {
      if (symlink(i % 2 ? "fifo" : "sample.orraproj", fresh.c_str()) != 0 || rename(fresh.c_str(), path.c_str()) != 0) {
        ADD_FAILURE() << "cannot swap: " << std::strerror(errno);
        break;
      }
      if (opened != seen) {
        seen = opened;
        progress = Clock::now();
      } else if (Clock::now() - progress > std::chrono::seconds(1)) {
        if (const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); fd >= 0) close(fd);
      }
    }
  });
  Clock::duration longest{};
  for (int n = 0; n < 200; ++n) {
    const auto start = Clock::now();
    try {
      linkserver::LoadProjectFile(path);
    } catch (const linkserver::ProjectFormatError& error) {
      EXPECT_NE(std::string(error.what()).find("' is a FIFO, not a regular file"), std::string::npos) << error.what();
    }
    longest = std::max(longest, Clock::now() - start);
    ++opened;
  }
  done = true;
  swapper.join();
  EXPECT_LT(longest, std::chrono::seconds(1));
}
#endif

const std::string kHead = "orra-project 1\nproject \"P\" {00000000-0000-4000-8000-000000000001}\n";
const std::string kSource = kHead + "source \"S\" {00000000-0000-4000-8000-000000000002}\n";
const std::string kItem = " {00000000-0000-4000-8000-000000000003}\n",
                  kEnd = "duration 1 1\nsize 2 2\nvideo bars\nend\n";
std::string Repeated(std::size_t count, const std::string& character) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += character;
  return text;
}

// Accepted texts: the project's name and the first source's rate as read.
TEST(ProjectParser, AcceptsEveryWrittenForm) {
  const std::string euros = Repeated(linkserver::kMaxHostTextChars, "\xE2\x82\xAC");
  for (auto [text, name, rate] :
       {std::tuple{
            "  # comment\n\norra-project 1\nproject \"A \\\"q\\\" \\\\ b\" {00000000-0000-4000-8000-0000000000AA} # x\n"
            "source \"S\" 00000000-0000-4000-8000-0000000000AB\nrate 25\n" +
                kEnd,
            "A \"q\" \\ b", 25.0},
        {kSource + "rate 30000/1001\n" + kEnd, "P", 30000.0 / 1001},
        {kSource + "rate 1000\n" + kEnd, "P", 1000.0},
        {kSource + "rate 0.5\n" + kEnd, "P", 0.5},
        // As many characters as reach a host, each three bytes long.
        {"orra-project 1\nproject \"" + euros + "\" {00000000-0000-4000-8000-000000000001}\n" +
             kSource.substr(kHead.size()) + "rate 25\n" + kEnd,
         euros.c_str(), 25.0}}) {
    const linkserver::ProjectModel model = ParseProject(text, {{}, false});
    EXPECT_EQ(model.name, name);
    EXPECT_DOUBLE_EQ(model.root->children[0]->source.frameRate, rate) << text;
  }
}

TEST(ProjectParser, RefusesBadFilesNamingTheLine) {
  const struct {
    std::string text;
    int line;
    const char* message;
  } rows[] = {
      {"\n# nothing\n", 3, "file is empty"},
      {kHead.substr(15), 1, "must begin with"},
      {"orra-project 2\n", 1, "version 2 is not supported"},
      {"orra-project 1\nbin \"B\"" + kItem, 2, "'project NAME GUID'"},
      {"orra-project 1\n", 2, "no 'project NAME GUID'"},
      {kHead + "item Notes" + kItem, 3, "double quotes"},
      {kHead + "item \"Notes" + kItem, 3, "not closed"},
      {kHead + "item \"a\\nb\"" + kItem, 3, "backslash"},
      {kHead + "item \"N\" {0000-0000}\n", 3, "is not a GUID"},
      {kHead + "item \"N\" {00000000-0000-4000-8000-000000000001}\n", 3, "on line 2"},
      {kHead + "folder \"F\"" + kItem, 3, "'folder' is not a keyword"},
      {kHead + "rate 25\n", 3, "it is a property of a source"},
      {kSource + "sizee 1 1\n", 4, "unknown source property 'sizee'"},
      {kSource + "size 640\n", 4, "'size' takes 2 values, found 1"},
      {kSource + "size 640 tall\n", 4, "height must be a whole number"},
      {kSource + "size 0 480\n", 4, "width 0 is out of range"},
      {kSource + "duration 99999999999 1\n", 4, "out of range"},
      {kSource + "rate -25\n", 4, "frame rate -25 is out of range"},
      {kSource + "rate 0\n", 4, "frame rate 0 is out of range"},
      {kSource + "rate 1000.5\n", 4, "frame rate 1000.5 is out of range"},
      {kSource + "rate 30/0\n", 4, "zero denominator"},
      {kSource + "depth 12\n", 4, "bit depth 12 is not 8, 16 or 32"},
      {kSource + "rate 25\nrate 30\n", 5, "given twice for this source (first on line 4)"},
      {kSource + "video noise\n", 4, "unknown video kind 'noise'"},
      {kSource + "video solid 1 2 300\n", 4, "colour channel 300 is out of range"},
      {kSource + "video image x.png\n", 4, "one quoted file path"},
      {kSource + "audio sine 0\n", 4, "frequency 0 is out of range"},
      {kSource + "rate 25\nsize 2 2\nvideo bars\nend\n", 7, "has no 'duration'"},
      {kSource + "duration 1 1\naudio silence\nend\n", 6, "has no 'rate'"},
      {kSource + "duration 1 1\nrate 25\nend\n", 6, "neither 'video' nor 'audio'"},
      {kSource + "duration 1 1\nrate 25\nvideo bars\nend\n", 7, "no 'size'"},
      {kSource + "item \"I\"" + kItem, 4, "cannot stand inside a source"},
      {kHead + "end\n", 3, "'end' without an open bin"},
      {kHead + "bin \"B\"" + kItem + "\n", 5, "bin \"B\" opened on line 3 is not closed"},
      {kHead + "project \"Q\"" + kItem, 3, "may appear only once"},
      {kHead + std::string("item \"a\0b\" {x}\n", 16), 3, "NUL character"},
      {kHead + "item \"" + std::string(linkserver::kMaxHostTextChars + 1, 'n') + "\"" + kItem, 3,
       "the name is longer than 32754 characters"},
  };
  for (const auto& row : rows) {
    try {
      ParseProject(row.text, {{}, false});
      ADD_FAILURE() << row.message << ": accepted";
    } catch (const linkserver::ProjectFormatError& error) {
      EXPECT_EQ(error.Line(), row.line) << error.what();
      EXPECT_EQ(std::string(error.what()).rfind("line " + std::to_string(row.line) + ": ", 0), 0u) << error.what();
      EXPECT_NE(std::string(error.what()).find(row.message), std::string::npos) << error.what();
    }
  }
}

}  // namespace
}  // namespace refserver_test
