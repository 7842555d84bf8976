#include "ServerFixture.h"

#include "ProjectFormat.h"

#include <gtest/gtest.h>

namespace refserver_test {
namespace {

using linkserver::ParseProject;
using linkserver::ProjectFormatError;

linkserver::ParseOptions NoImages() {
  linkserver::ParseOptions options;
  options.readImages = false;
  return options;
}

TEST_F(ServerTest, ParserReadsTheSampleAndWritesItBackEqual) {
  const linkserver::ProjectModel model = linkserver::LoadProjectFile(m_path);
  EXPECT_EQ(model.name, "Sample");
  ASSERT_EQ(model.root->children.size(), 8u);
  const linkserver::Node& bin = *model.root->children[0];
  EXPECT_EQ(bin.kind, linkserver::NodeKind::kBin);
  ASSERT_EQ(bin.children.size(), 2u);
  EXPECT_EQ(bin.children[1]->parent, &bin);
  const linkserver::SourceDesc& frames = bin.children[1]->source;
  EXPECT_EQ(std::make_pair(frames.width, frames.height), std::make_pair(160, 120));
  EXPECT_EQ(std::make_pair(frames.bitDepth, frames.timeStamp), std::make_pair(16, 1000));
  EXPECT_DOUBLE_EQ(frames.frameRate, 30000.0 / 1001.0);
  EXPECT_DOUBLE_EQ(model.root->children[1]->source.video.colour.g, 128 / 255.0);
  EXPECT_EQ(model.root->children[3]->source.audio.endFrequency, 2200);
  EXPECT_EQ(model.Find(ParseGuid(kNoteGuid)), model.root->children[5].get());

  const std::string text = linkserver::WriteProject(model);
  const linkserver::ProjectModel again = ParseProject(text, {m_folder, true});
  EXPECT_EQ(linkserver::WriteProject(again), text);
  for (const char* guid : {kFramesGuid, kSolidGuid, kChirpGuid, kStillGuid}) {
    const linkserver::Node* a = model.Find(ParseGuid(guid));
    const linkserver::Node* b = again.Find(ParseGuid(guid));
    ASSERT_TRUE(a && b) << guid;
    EXPECT_EQ(a->name, b->name);
    EXPECT_TRUE(a->source == b->source) << a->name;
  }
}

const std::string kHead = "orra-project 1\nproject \"P\" {00000000-0000-4000-8000-000000000001}\n";
const std::string kSource = "source \"S\" {00000000-0000-4000-8000-000000000002}\n";
const std::string kEnd = "duration 1 1\nsize 2 2\nvideo bars\nend\n";

// Accepted texts: the project's name and the first source's rate as read.
TEST(ProjectParser, AcceptsEveryWrittenForm) {
  const struct {
    std::string text, name;
    double rate;
  } rows[] = {
      {"  # comment\n\norra-project 1\nproject \"A \\\"q\\\" \\\\ b\" {00000000-0000-4000-8000-0000000000AA} # x\n" +
           kSource + "rate 25\n" + kEnd,
       "A \"q\" \\ b", 25},
      {kHead + "source \"S\" 00000000-0000-4000-8000-0000000000AB\nrate 30000/1001\n" + kEnd, "P", 30000.0 / 1001},
      {kHead + kSource + "rate 1000\n" + kEnd, "P", 1000},
      {kHead + kSource + "rate 0.5\n" + kEnd, "P", 0.5},
  };
  for (const auto& row : rows) {
    const linkserver::ProjectModel model = ParseProject(row.text, NoImages());
    EXPECT_EQ(model.name, row.name);
    EXPECT_DOUBLE_EQ(model.root->children[0]->source.frameRate, row.rate) << row.text;
  }
}

struct BadFile {
  const char* name;
  std::string text;
  int line;
  const char* message;
};

class BadProjectFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadProjectFile, FailsNamingTheLine) {
  const BadFile& bad = GetParam();
  try {
    ParseProject(bad.text, NoImages());
    FAIL() << "accepted: " << bad.text;
  } catch (const ProjectFormatError& error) {
    EXPECT_EQ(error.Line(), bad.line) << error.what();
    EXPECT_EQ(std::string(error.what()).rfind("line " + std::to_string(bad.line) + ": ", 0), 0u) << error.what();
    EXPECT_NE(std::string(error.what()).find(bad.message), std::string::npos) << error.what();
  }
}

const std::string kItem = " {00000000-0000-4000-8000-000000000003}\n";
INSTANTIATE_TEST_SUITE_P(
    Table, BadProjectFile,
    ::testing::Values(
        BadFile{"Empty", "\n# nothing\n", 3, "file is empty"},
        BadFile{"NoHeader", "project \"P\" {00000000-0000-4000-8000-000000000001}\n", 1, "must begin with"},
        BadFile{"WrongVersion", "orra-project 2\n", 1, "version 2 is not supported"},
        BadFile{"NoProjectLine", "orra-project 1\nbin \"B\"" + kItem, 2, "'project NAME GUID'"},
        BadFile{"HeaderOnly", "orra-project 1\n", 2, "no 'project NAME GUID'"},
        BadFile{"UnquotedName", kHead + "item Notes" + kItem, 3, "double quotes"},
        BadFile{"OpenQuote", kHead + "item \"Notes" + kItem, 3, "not closed"},
        BadFile{"BadEscape", kHead + "item \"a\\nb\"" + kItem, 3, "backslash"},
        BadFile{"BadGuid", kHead + "item \"N\" {0000-0000}\n", 3, "is not a GUID"},
        BadFile{"DuplicateGuid", kHead + "item \"N\" {00000000-0000-4000-8000-000000000001}\n", 3, "on line 2"},
        BadFile{"UnknownKeyword", kHead + "folder \"F\"" + kItem, 3, "'folder' is not a keyword"},
        BadFile{"PropertyOutsideSource", kHead + "rate 25\n", 3, "it is a property of a source"},
        BadFile{"UnknownProperty", kHead + kSource + "sizee 1 1\n", 4, "unknown source property 'sizee'"},
        BadFile{"TooFewValues", kHead + kSource + "size 640\n", 4, "'size' takes 2 values, found 1"},
        BadFile{"NotANumber", kHead + kSource + "size 640 tall\n", 4, "height must be a whole number"},
        BadFile{"SizeOutOfRange", kHead + kSource + "size 0 480\n", 4, "width 0 is out of range"},
        BadFile{"Int32Overflow", kHead + kSource + "duration 99999999999 1\n", 4, "out of range"},
        BadFile{"NegativeRate", kHead + kSource + "rate -25\n", 4, "frame rate -25 is out of range"},
        BadFile{"ZeroRate", kHead + kSource + "rate 0\n", 4, "frame rate 0 is out of range"},
        BadFile{"RateAboveTheMost", kHead + kSource + "rate 1000.5\n", 4, "frame rate 1000.5 is out of range"},
        BadFile{"ZeroDenominatorRate", kHead + kSource + "rate 30/0\n", 4, "zero denominator"},
        BadFile{"BadDepth", kHead + kSource + "depth 12\n", 4, "bit depth 12 is not 8, 16 or 32"},
        BadFile{"TwiceGiven", kHead + kSource + "rate 25\nrate 30\n", 5,
                "given twice for this source (first on line 4)"},
        BadFile{"UnknownVideo", kHead + kSource + "video noise\n", 4, "unknown video kind 'noise'"},
        BadFile{"SolidChannel", kHead + kSource + "video solid 1 2 300\n", 4, "colour channel 300 is out of range"},
        BadFile{"UnquotedImage", kHead + kSource + "video image x.png\n", 4, "one quoted file path"},
        BadFile{"ZeroFrequency", kHead + kSource + "audio sine 0\n", 4, "frequency 0 is out of range"},
        BadFile{"MissingDuration", kHead + kSource + "rate 25\nsize 2 2\nvideo bars\nend\n", 7, "has no 'duration'"},
        BadFile{"MissingRate", kHead + kSource + "duration 1 1\naudio silence\nend\n", 6, "has no 'rate'"},
        BadFile{"NoContent", kHead + kSource + "duration 1 1\nrate 25\nend\n", 6, "neither 'video' nor 'audio'"},
        BadFile{"VideoWithoutSize", kHead + kSource + "duration 1 1\nrate 25\nvideo bars\nend\n", 7, "no 'size'"},
        BadFile{"ItemInSource", kHead + kSource + "item \"I\"" + kItem, 4, "cannot stand inside a source"},
        BadFile{"EndTooMany", kHead + "end\n", 3, "'end' without an open bin"},
        BadFile{"UnclosedBin", kHead + "bin \"B\"" + kItem + "\n", 5, "bin \"B\" opened on line 3 is not closed"},
        BadFile{"SecondProject", kHead + "project \"Q\"" + kItem, 3, "may appear only once"},
        BadFile{"NulByte", kHead + std::string("item \"a\0b\" {x}\n", 16), 3, "NUL character"}),
    [](const ::testing::TestParamInfo<BadFile>& info) { return std::string(info.param.name); });

TEST(ProjectParser, LoadingNamesTheFileAndTakesTheImageSize) {
  const std::filesystem::path folder = MakeTempFolder();
  WriteTestImage(folder / "still.png", 7, 5);
  const std::string image = kHead + kSource + "duration 1 1\nrate 25\nvideo image \"";
  const auto model = linkserver::LoadProjectFile(WriteFile(folder / "good.orraproj", image + "still.png\"\nend\n"));
  EXPECT_EQ(std::make_pair(model.root->children[0]->source.width, model.root->children[0]->source.height),
            std::make_pair(7, 5));
  const struct {
    std::filesystem::path path;
    int line;
    std::vector<std::string> texts;
  } rows[] = {
      {WriteFile(folder / "broken.orraproj", image + "gone.png\"\nend\n"),
       7,
       {"broken.orraproj', line 7: ", "gone.png': no such file"}},
      {folder / "absent.orraproj", 0, {"does not exist"}},
  };
  for (const auto& row : rows) {
    try {
      linkserver::LoadProjectFile(row.path);
      ADD_FAILURE() << row.path;
    } catch (const ProjectFormatError& error) {
      EXPECT_EQ(error.Line(), row.line);
      for (const std::string& text : row.texts) EXPECT_NE(std::string(error.what()).find(text), std::string::npos);
    }
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace refserver_test
