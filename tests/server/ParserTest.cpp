#include "ServerFixture.h"

#include "ProjectFormat.h"

#include <gtest/gtest.h>

namespace refserver_test {
namespace {

using linkserver::ParseOptions;
using linkserver::ParseProject;
using linkserver::ProjectFormatError;

ParseOptions NoImages() {
  ParseOptions options;
  options.readImages = false;
  return options;
}

TEST(ProjectParser, ReadsEveryKindOfItemAndProperty) {
  const linkserver::ProjectModel model = ParseProject(kSampleProject, NoImages());
  EXPECT_EQ(model.name, "Sample");
  ASSERT_EQ(model.root->children.size(), 6u);
  const linkserver::Node& bin = *model.root->children[0];
  EXPECT_EQ(bin.kind, linkserver::NodeKind::kBin);
  EXPECT_EQ(bin.name, "Footage");
  ASSERT_EQ(bin.children.size(), 2u);
  EXPECT_EQ(bin.children[1]->parent, &bin);

  const linkserver::SourceDesc& frames = bin.children[1]->source;
  EXPECT_EQ(frames.durationValue, 300);
  EXPECT_EQ(frames.durationScale, 30);
  EXPECT_EQ(frames.width, 160);
  EXPECT_EQ(frames.height, 120);
  EXPECT_EQ(frames.bitDepth, 16);
  EXPECT_EQ(frames.timeStamp, 1000);
  EXPECT_EQ(frames.video.kind, linkserver::VideoKind::kFrameNumber);
  EXPECT_FALSE(frames.HasAudio());

  const linkserver::SourceDesc& solid = model.root->children[1]->source;
  EXPECT_EQ(solid.aspectNumerator, 10);
  EXPECT_EQ(solid.aspectDenominator, 11);
  EXPECT_DOUBLE_EQ(solid.video.colour.g, 128 / 255.0);
  EXPECT_DOUBLE_EQ(solid.video.colour.a, 128 / 255.0);

  const linkserver::SourceDesc& chirp = model.root->children[3]->source;
  EXPECT_EQ(chirp.audio.kind, linkserver::AudioKind::kChirp);
  EXPECT_EQ(chirp.audio.frequency, 200);
  EXPECT_EQ(chirp.audio.endFrequency, 2200);
  EXPECT_FALSE(chirp.HasVideo());
  EXPECT_EQ(model.root->children[5]->kind, linkserver::NodeKind::kItem);
  EXPECT_EQ(model.Find(ParseGuid(kNoteGuid)), model.root->children[5].get());
}

TEST(ProjectParser, AcceptsFractionalRatesQuotedEscapesAndComments) {
  const linkserver::ProjectModel model = ParseProject(
      "  # leading comment\n\norra-project 1\nproject \"A \\\"quoted\\\" \\\\ name\" "
      "{00000000-0000-4000-8000-0000000000AA} # trailing\n"
      "source \"s\" 00000000-0000-4000-8000-0000000000AB\n duration 1001 30000\n size 2 2\n rate 30000/1001\n"
      " video bars\nend\n",
      NoImages());
  EXPECT_EQ(model.name, "A \"quoted\" \\ name");
  EXPECT_DOUBLE_EQ(model.root->children[0]->source.frameRate, 30000.0 / 1001.0);
}

TEST(ProjectParser, WrittenModelReadsBackEqual) {
  const linkserver::ProjectModel model = ParseProject(kSampleProject, NoImages());
  const std::string text = linkserver::WriteProject(model);
  const linkserver::ProjectModel again = ParseProject(text, NoImages());
  EXPECT_EQ(linkserver::WriteProject(again), text);
  std::vector<std::pair<const linkserver::Node*, const linkserver::Node*>> pending{
      {model.root.get(), again.root.get()}};
  int compared = 0;
  while (!pending.empty()) {
    auto [a, b] = pending.back();
    pending.pop_back();
    ++compared;
    EXPECT_EQ(a->name, b->name);
    EXPECT_TRUE(IsEqualGUID(a->id, b->id));
    EXPECT_EQ(a->kind, b->kind);
    EXPECT_TRUE(a->source == b->source) << a->name;
    ASSERT_EQ(a->children.size(), b->children.size());
    for (std::size_t i = 0; i < a->children.size(); ++i)
      pending.emplace_back(a->children[i].get(), b->children[i].get());
  }
  EXPECT_EQ(compared, 9);
}

struct BadFile {
  const char* name;
  std::string text;
  int line;
  const char* message;
};

const std::string kHead = "orra-project 1\nproject \"P\" {00000000-0000-4000-8000-000000000001}\n";
const std::string kSource = "source \"S\" {00000000-0000-4000-8000-000000000002}\n";

class BadProjectFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadProjectFile, FailsNamingTheLine) {
  const BadFile& bad = GetParam();
  try {
    ParseProject(bad.text, NoImages());
    FAIL() << "accepted: " << bad.text;
  } catch (const ProjectFormatError& error) {
    EXPECT_EQ(error.Line(), bad.line) << error.what();
    EXPECT_NE(std::string(error.what()).find(bad.message), std::string::npos) << error.what();
    EXPECT_EQ(std::string(error.what()).rfind("line " + std::to_string(bad.line) + ": ", 0), 0u) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadProjectFile,
    ::testing::Values(
        BadFile{"Empty", "\n# nothing\n", 3, "file is empty"},
        BadFile{"NoHeader", "project \"P\" {00000000-0000-4000-8000-000000000001}\n", 1, "must begin with"},
        BadFile{"WrongVersion", "orra-project 2\n", 1, "version 2 is not supported"},
        BadFile{"NoProjectLine", "orra-project 1\nbin \"B\" {00000000-0000-4000-8000-000000000001}\n", 2,
                "'project NAME GUID'"},
        BadFile{"HeaderOnly", "orra-project 1\n", 2, "no 'project NAME GUID'"},
        BadFile{"UnquotedName", kHead + "item Notes {00000000-0000-4000-8000-000000000003}\n", 3, "double quotes"},
        BadFile{"OpenQuote", kHead + "item \"Notes {00000000-0000-4000-8000-000000000003}\n", 3, "not closed"},
        BadFile{"BadEscape", kHead + "item \"a\\nb\" {00000000-0000-4000-8000-000000000003}\n", 3, "backslash"},
        BadFile{"BadGuid", kHead + "item \"N\" {0000-0000}\n", 3, "is not a GUID"},
        BadFile{"DuplicateGuid", kHead + "item \"N\" {00000000-0000-4000-8000-000000000001}\n", 3,
                "already used on line 2"},
        BadFile{"UnknownKeyword", kHead + "folder \"F\" {00000000-0000-4000-8000-000000000003}\n", 3,
                "'folder' is not a keyword"},
        BadFile{"PropertyOutsideSource", kHead + "rate 25\n", 3, "it is a property of a source"},
        BadFile{"UnknownProperty", kHead + kSource + "sizee 1 1\n", 4, "unknown source property 'sizee'"},
        BadFile{"TooFewValues", kHead + kSource + "size 640\n", 4, "'size' takes 2 values, found 1"},
        BadFile{"NotANumber", kHead + kSource + "size 640 tall\n", 4, "height must be a whole number"},
        BadFile{"SizeOutOfRange", kHead + kSource + "size 0 480\n", 4, "width 0 is out of range"},
        BadFile{"Int32Overflow", kHead + kSource + "duration 99999999999 1\n", 4, "out of range"},
        BadFile{"NegativeRate", kHead + kSource + "rate -25\n", 4, "frame rate -25 is out of range"},
        BadFile{"ZeroRate", kHead + kSource + "rate 0\n", 4, "frame rate 0 is out of range"},
        BadFile{"ZeroDenominatorRate", kHead + kSource + "rate 30/0\n", 4, "zero denominator"},
        BadFile{"BadDepth", kHead + kSource + "depth 12\n", 4, "bit depth 12 is not 8, 16 or 32"},
        BadFile{"TwiceGiven", kHead + kSource + "rate 25\nrate 30\n", 5,
                "given twice for this source (first on line 4)"},
        BadFile{"UnknownVideo", kHead + kSource + "video noise\n", 4, "unknown video kind 'noise'"},
        BadFile{"SolidChannel", kHead + kSource + "video solid 1 2 300\n", 4, "colour channel 300 is out of range"},
        BadFile{"UnquotedImage", kHead + kSource + "video image x.png\n", 4, "one quoted file path"},
        BadFile{"UnknownAudio", kHead + kSource + "audio noise\n", 4, "unknown audio kind 'noise'"},
        BadFile{"ZeroFrequency", kHead + kSource + "audio sine 0\n", 4, "frequency 0 is out of range"},
        BadFile{"MissingDuration", kHead + kSource + "rate 25\nsize 2 2\nvideo bars\nend\n", 7, "has no 'duration'"},
        BadFile{"MissingRate", kHead + kSource + "duration 1 1\naudio silence\nend\n", 6, "has no 'rate'"},
        BadFile{"NeitherVideoNorAudio", kHead + kSource + "duration 1 1\nrate 25\nend\n", 6,
                "neither 'video' nor 'audio'"},
        BadFile{"VideoWithoutSize", kHead + kSource + "duration 1 1\nrate 25\nvideo bars\nend\n", 7, "no 'size'"},
        BadFile{"ItemInSource", kHead + kSource + "item \"I\" {00000000-0000-4000-8000-000000000003}\n", 4,
                "cannot stand inside a source"},
        BadFile{"EndTooMany", kHead + "end\n", 3, "'end' without an open bin"},
        BadFile{"UnclosedBin", kHead + "bin \"B\" {00000000-0000-4000-8000-000000000003}\n\n", 5,
                "bin \"B\" opened on line 3 is not closed"},
        BadFile{"SecondProject", kHead + "project \"Q\" {00000000-0000-4000-8000-000000000004}\n", 3,
                "may appear only once"},
        BadFile{"NulByte", kHead + std::string("item \"a\0b\" {x}\n", sizeof("item \"a\0b\" {x}\n") - 1), 3,
                "NUL character"}),
    [](const ::testing::TestParamInfo<BadFile>& info) { return std::string(info.param.name); });

TEST(ProjectParser, LoadingNamesTheFileAndTakesTheImageSize) {
  TempFolder folder;
  WriteTestImage(folder.Path() / "still.png", 7, 5);
  const auto good =
      folder.Write("good.orraproj", kHead + kSource + "duration 1 1\nrate 25\nvideo image \"still.png\"\nend\n");
  const linkserver::ProjectModel model = linkserver::LoadProjectFile(good);
  EXPECT_EQ(model.root->children[0]->source.width, 7);
  EXPECT_EQ(model.root->children[0]->source.height, 5);

  const auto broken =
      folder.Write("broken.orraproj", kHead + kSource + "duration 1 1\nrate 25\nvideo image \"gone.png\"\nend\n");
  try {
    linkserver::LoadProjectFile(broken);
    FAIL();
  } catch (const ProjectFormatError& error) {
    const std::string text = error.what();
    EXPECT_EQ(error.Line(), 7);
    EXPECT_NE(text.find("broken.orraproj', line 7: "), std::string::npos) << text;
    EXPECT_NE(text.find("gone.png': no such file"), std::string::npos) << text;
  }
  try {
    linkserver::LoadProjectFile(folder.Path() / "absent.orraproj");
    FAIL();
  } catch (const ProjectFormatError& error) {
    EXPECT_EQ(error.Line(), 0);
    EXPECT_NE(std::string(error.what()).find("does not exist"), std::string::npos);
  }
}

}  // namespace
}  // namespace refserver_test
