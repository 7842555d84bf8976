// The in-memory form of a project: a tree of bins, sources and plain items.
// A model is built by the parser (ProjectFormat.h) or by the server when it
// creates a source, and is shared read-mostly by the COM objects of one open
// project; the only later change is a source added by SendFile, made under
// the project's lock. Nodes are owned by their parent through unique_ptr, so
// a Node* stays valid for as long as the model lives.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace linkserver {

// The longest texts, in UTF-16 code units, that the server hands a host.
// Off Windows the link carries a call's reply in one message of at most
// 64 KiB: the reply to GetName holds beside the name a 16-byte header, the
// code and two string lengths (the error text's says null), which leaves
// (65536 - 28) / 2 units for a name. The parser refuses longer names, so a
// project that opens can also be walked. An error text shares its reply with
// the method's other out-values (up to 16 bytes in the contract: four LONGs,
// a GUID or two objects), so it stays a little shorter; a longer one loses
// its middle (ServerError.cpp). The host process (main.cpp) checks both
// against the link's own layout. Windows keeps the same bounds, though the
// system's link carries more, so that a project file opens alike on both.
inline constexpr std::size_t kMaxHostTextChars = 32754;
inline constexpr std::size_t kMaxErrorTextChars = kMaxHostTextChars - 32;

// The codes that IItem2::GetType answers.
enum class ItemTypeCode : LONG { kPlainOrBin = 0, kSource = 1 };

enum class NodeKind { kBin, kSource, kItem };
enum class VideoKind { kNone, kColourBars, kFrameNumber, kSolid, kImage };
enum class AudioKind { kNone, kSine, kChirp, kSilence };

// Straight (not pre-multiplied) colour, each channel 0..1.
struct Colour {
  double r = 0, g = 0, b = 0, a = 1;
  friend bool operator==(const Colour&, const Colour&) = default;
};

struct VideoContent {
  VideoKind kind = VideoKind::kNone;
  Colour colour;                    // kSolid
  std::string imageText;            // kImage: the path as written in the file
  std::filesystem::path imagePath;  // kImage: resolved against the project's folder
  friend bool operator==(const VideoContent& a, const VideoContent& b) {
    return a.kind == b.kind && a.colour == b.colour && a.imageText == b.imageText;
  }
};

struct AudioContent {
  AudioKind kind = AudioKind::kNone;
  double frequency = 0;     // kSine: Hz; kChirp: start frequency
  double endFrequency = 0;  // kChirp: frequency at the end of the source
  friend bool operator==(const AudioContent&, const AudioContent&) = default;
};

struct SourceDesc {
  std::int32_t durationValue = 0;  // duration = value / scale seconds
  std::int32_t durationScale = 0;
  std::int32_t aspectNumerator = 1;  // pixel width : pixel height
  std::int32_t aspectDenominator = 1;
  std::int32_t width = 0;
  std::int32_t height = 0;
  double frameRate = 0;  // frames per second
  std::int32_t bitDepth = 8;
  std::int32_t timeStamp = 0;
  VideoContent video;
  AudioContent audio;

  bool HasVideo() const { return video.kind != VideoKind::kNone; }
  bool HasAudio() const { return audio.kind != AudioKind::kNone; }
  double DurationSeconds() const { return durationScale == 0 ? 0.0 : double(durationValue) / durationScale; }
  friend bool operator==(const SourceDesc&, const SourceDesc&) = default;
};

struct Node {
  NodeKind kind = NodeKind::kItem;
  std::string name;
  GUID id{};
  Node* parent = nullptr;
  std::size_t indexInParent = 0;                // where it stands in parent->children
  std::vector<std::unique_ptr<Node>> children;  // bins only
  SourceDesc source;                            // sources only
  int line = 0;                                 // where it was declared, for messages

  Node* AddChild(std::unique_ptr<Node> child) {
    child->parent = this;
    child->indexInParent = children.size();
    children.push_back(std::move(child));
    return children.back().get();
  }
};

struct ProjectModel {
  std::string name;
  std::unique_ptr<Node> root;  // a bin carrying the project's name and GUID

  // Depth-first search over the whole tree, the root included.
  Node* Find(const GUID& id) const;
};

// A fresh random GUID (version 4).
GUID NewGuid();
std::string GuidText(const GUID& id);

}  // namespace linkserver
