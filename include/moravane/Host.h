// What every host writes around the exported classes, once: walking a
// project's items, finding a source by GUID or name, the layout of a
// rendered frame, a render that ends itself, frame ranges as text, and a
// source described as named values. Header only and built on
// the public classes alone, so it adds nothing to what the library exports
// and a host may copy or leave it.
#pragma once

#include <moravane/Items.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Source.h>

#include <kelvex/Guid.h>
#include <kelvex/Strings.h>

#include <cmath>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace moravane::host {

// A request of the host that the project or the server's answer does not
// fit (no such source, a frame of another shape); nothing of it is left
// running.
class RequestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// No source, or more than one, has the name (or GUID) asked for.
class SourceNotFound : public RequestError {
 public:
  SourceNotFound(const std::string& message, int matches) : RequestError(message), m_matches(matches) {}
  int Matches() const { return m_matches; }  // 0: none; more: the name is ambiguous

 private:
  int m_matches;
};

namespace detail {

// The children of `container` and everything below them. Each child is
// handed to `visit` itself, not a copy: a copy's release would cost a call
// to the communication thread of its own, as much as the step.
template <class Visit>
void WalkChildren(Container& container, int depth, Visit& visit) {
  Item child;
  Container children;
  while (NextChild(container, child, children)) {
    const IUnknown* const visited = child.GetUnknown().p;
    visit(child, depth);
    // The server is told the current child to find the next one: a child
    // that the visit unlinked or replaced would restart or derail the walk.
    if (child.GetUnknown().p != visited) throw std::logic_error("a walk's visit changed the item it was shown");
    if (children.IsLinked()) WalkChildren(children, depth + 1, visit);
  }
}

}  // namespace detail

// Walks the tree below and with `item`, depth first in the server's order;
// `visit(item, depth)` sees each item before its children. The visit may
// read the item and copy it, but must leave the handle it is shown as it
// is (std::logic_error otherwise). Per child the walk itself makes one call
// to the communication thread (NextChild); the visit's own calls add to it.
template <class Visit>
void Walk(Item item, int depth, Visit&& visit) {
  visit(item, depth);
  Container container(item);
  if (container.IsLinked()) detail::WalkChildren(container, depth + 1, visit);
}

// The source named by GUID (braces optional) or, when `wanted` is none or
// `byName`, by its name (UTF-8). The tree is walked first, so that a source
// the project lacks is the host's mistake, not a link failure.
inline Source FindSource(Project& project, const std::string& wanted, bool byName = false) {
  const std::optional<kelvex::utility::Guid> id = byName ? std::nullopt : kelvex::utility::Guid::Parse(wanted);
  std::optional<kelvex::utility::Guid> found;
  int matches = 0;
  Walk(project.GetRootItem(), 0, [&](Item& item, int) {
    if (item.GetType() != kItemType1) return;
    if (id ? item.GetID() == *id : kelvex::utility::UTF16ToUTF8(item.GetName()) == wanted) {
      found = item.GetID();
      ++matches;
    }
  });
  if (matches == 0) {
    throw SourceNotFound(
        id ? "the project has no source " + id->ToString() : "the project has no source named '" + wanted + "'", 0);
  }
  if (matches > 1) {
    throw SourceNotFound(
        "the project has " + std::to_string(matches) + " sources named '" + wanted + "'; give its GUID instead",
        matches);
  }
  return project.GetSource(*found);
}

// Where a rendered frame lies in the section: rows `rowBytes` apart from
// offset 0, `width` pixels of four channels of `depth` bits each.
struct FrameLayout {
  int width = 0;
  int height = 0;
  int depth = 8;          // bits per channel: 8, 16 (host order) or 32 (float)
  int bytesPerPixel = 4;  // four channels
  LONG channelOrder = 0;  // 0 BGRA, 1 RGBA, 2 ARGB
  std::size_t rowBytes = 0;
  std::size_t tightRowBytes = 0;  // one row without padding
  ULONGLONG frameBytes = 0;       // what one frame spans: the section's least size
};

// The layout the options give for a source of `sourceFrame` size: bounds
// (0 keeps the source's), then the region of interest, then downsampling,
// rounded up. The server's own figure for the memory must agree with it,
// else RequestError: reading rows of another shape would show garbage.
inline FrameLayout FrameLayoutOf(VideoRenderOptions& options, const kelvex::geom::RectT<LONG>& sourceFrame) {
  LONG width = 0, height = 0, downX = 1, downY = 1;
  options.GetBounds(width, height);
  options.GetDownsampleFactor(downX, downY);
  if (width == 0) width = sourceFrame.Width();
  if (height == 0) height = sourceFrame.Height();
  const kelvex::geom::RectT<LONG> region = options.GetRegionOfInterest();
  if (region.left != 0 || region.top != 0 || region.right != 0 || region.bottom != 0) {
    width = region.Width();
    height = region.Height();
  }
  FrameLayout layout;
  layout.width = downX > 0 ? static_cast<int>((width + downX - 1) / downX) : 0;
  layout.height = downY > 0 ? static_cast<int>((height + downY - 1) / downY) : 0;
  layout.depth = static_cast<int>(options.GetBitDepth());
  layout.bytesPerPixel = 4 * (layout.depth / 8);
  layout.channelOrder = options.GetChannelOrder();
  layout.tightRowBytes = static_cast<std::size_t>(layout.width) * layout.bytesPerPixel;
  const LONG rowBytes = options.GetRowBytes();
  layout.rowBytes = rowBytes > 0 ? static_cast<std::size_t>(rowBytes) : layout.tightRowBytes;
  layout.frameBytes = options.GetMaxMemoryRequiredForFrame();
  if (layout.height < 1 || layout.frameBytes != layout.rowBytes * (layout.height - 1) + layout.tightRowBytes) {
    throw RequestError("the server's frame of " + std::to_string(layout.frameBytes) + " bytes does not match " +
                       std::to_string(layout.width) + "x" + std::to_string(layout.height) + " at " +
                       std::to_string(layout.depth) + " bits");
  }
  return layout;
}

// A running video or audio render that ends when the object goes, on every
// path: a render left running keeps the server's renderer busy and its view
// of the section mapped. End() ends it at once and reports a failure; the
// destructor drops one, as an error is then already on its way or the
// render is over anyway (a lost link). Movable, not copyable: one render, one end.
class ScopedRender {
 public:
  static ScopedRender Video(Renderer renderer, VideoRenderOptions& options, const std::string& sectionName,
                            ULONGLONG sectionSize) {
    renderer.StartVideoRender(options, sectionName, sectionSize);
    return ScopedRender(std::move(renderer), &Renderer::EndVideoRender);
  }
  static ScopedRender Audio(Renderer renderer, const kelvex::time::RatioTime& start, LONG samplesPerBuffer,
                            AudioRenderOptions& options, const std::string& sectionName, ULONGLONG sectionSize) {
    renderer.StartAudioRender(start, samplesPerBuffer, options, sectionName, sectionSize);
    return ScopedRender(std::move(renderer), &Renderer::EndAudioRender);
  }

  ScopedRender(ScopedRender&& other) noexcept
      : m_renderer(other.m_renderer), m_end(std::exchange(other.m_end, nullptr)) {}
  ScopedRender(const ScopedRender&) = delete;
  ~ScopedRender() {
    try {
      End();
    } catch (...) {
    }
  }

  bool Running() const { return m_end != nullptr; }
  // Ends the render now; a failure is thrown, the render counts as ended.
  void End() {
    if (auto end = std::exchange(m_end, nullptr)) (m_renderer.*end)();
  }

 private:
  ScopedRender(Renderer renderer, void (Renderer::*end)()) : m_renderer(std::move(renderer)), m_end(end) {}

  Renderer m_renderer;
  void (Renderer::*m_end)();
};

// --- frame ranges ------------------------------------------------------------

// A frame range that is no range, or that the source's frames do not hold.
// Kind tells a host which of its errors to raise: text it cannot read, a
// range reaching past the source, or one that selects nothing.
class FrameRangeError : public RequestError {
 public:
  enum class Kind { kSyntax, kOutside, kEmpty };
  FrameRangeError(Kind kind, const std::string& message) : RequestError(message), m_kind(kind) {}
  Kind GetKind() const { return m_kind; }

 private:
  Kind m_kind;
};

// A frame range as written, before the source's frame count is known:
// "N" frame N alone; "A:B" frames A up to B, B excluded; "A:B:STEP" every
// STEP-th of them; A left out is the first frame, B left out the end; ""
// the whole source. A negative number counts from the end, as Python's
// indices do: "-1" is the last frame, "-10:" the last ten, "0:-1" all but
// the last.
struct FrameRange {
  std::string text;           // as written, for the messages
  std::optional<long> first;  // none: the first frame
  std::optional<long> end;    // none: the source's end
  long step = 1;
  bool single = false;  // "N": `first` alone
};

// The frames a range selects in a source: first, first + step, ... before end.
struct FrameSpan {
  long first = 0;
  long end = 0;
  long step = 1;
  long Size() const { return end > first ? (end - first + step - 1) / step : 0; }
};

inline FrameRange ParseFrameRange(const std::string& text) {
  FrameRange range;
  range.text = text;
  if (text.empty()) return range;
  auto refuse = [&](const std::string& why) -> FrameRangeError {
    return FrameRangeError(FrameRangeError::Kind::kSyntax,
                           "'" + text + "' is not a frame range" + why +
                               ": N is frame N, A:B frames A up to B (B excluded), A:B:STEP every STEP-th of them, "
                               "A: from A to the end; negative numbers count from the end (-1 the last frame)");
  };
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t colon; (colon = text.find(':', from)) != std::string::npos; from = colon + 1) {
    parts.push_back(text.substr(from, colon - from));
  }
  parts.push_back(text.substr(from));
  if (parts.size() > 3) throw refuse("");
  // Nine digits at most: a frame number past that is beyond every time
  // the server takes, and stays far from the limits of `long`.
  auto number = [&](const std::string& part, bool sign) -> std::optional<long> {
    if (part.empty()) return std::nullopt;
    const bool negative = sign && part[0] == '-';
    const std::string digits = part.substr(negative ? 1 : 0);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) {
      throw refuse("");
    }
    const long value = std::stol(digits);
    return negative ? -value : value;
  };
  range.first = number(parts[0], true);
  if (parts.size() == 1) {
    range.single = true;
    return range;
  }
  range.end = number(parts[1], true);
  if (parts.size() == 3) {
    if (const std::optional<long> step = number(parts[2], false)) {
      if (*step < 1) throw refuse(" (STEP is 1 or more)");
      range.step = *step;
    }
  }
  // Ends of the same sign are ordered without the count; mixed signs wait
  // for it.
  if (range.first && range.end && (*range.first < 0) == (*range.end < 0) && *range.end <= *range.first) {
    throw FrameRangeError(FrameRangeError::Kind::kEmpty,
                          "the frame range '" + text + "' holds no frames: B must come after A");
  }
  return range;
}

// The frames of `range` in a source of `count` frames. Unlike a slice in
// Python, a range is never cut to fit: one that reaches past the source,
// or selects nothing, is a mistake the host should hear of before it
// renders anything.
inline FrameSpan ResolveFrameRange(const FrameRange& range, long count) {
  if (count <= 0) {
    throw FrameRangeError(FrameRangeError::Kind::kOutside,
                          range.text.empty() ? "the source has no frames"
                                             : "the source has no frames for the frame range '" + range.text + "'");
  }
  const std::string frames =
      ", which has " + std::to_string(count) + " frames (0 to " + std::to_string(count - 1) + ")";
  auto outside = [&](const std::string& what) {
    return FrameRangeError(FrameRangeError::Kind::kOutside, what + frames);
  };
  const long first = range.first.value_or(0) + (range.first.value_or(0) < 0 ? count : 0);
  if (range.single) {
    if (first < 0 || first >= count) throw outside("frame " + range.text + " lies outside the source");
    return {first, first + 1, 1};
  }
  const long end = range.end ? *range.end + (*range.end < 0 ? count : 0) : count;
  if (first < 0) throw outside("the frame range '" + range.text + "' starts before the source");
  if (first >= count || end > count) throw outside("the frame range '" + range.text + "' goes beyond the source");
  if (end <= first) {
    throw FrameRangeError(FrameRangeError::Kind::kEmpty,
                          "the frame range '" + range.text + "' holds no frames of the source" + frames);
  }
  return {first, end, range.step};
}

// --- a source described ------------------------------------------------------

// The frame rate as a fraction: 30000/1001 for 29.97, exactly 24/1 for 24.
// A rate that no common denominator gives exactly is kept to a thousandth.
inline std::pair<int, int> RateFraction(double rate) {
  for (int denominator : {1, 1001, 1000, 100000}) {
    const double numerator = std::round(rate * denominator);
    if (std::abs(numerator / denominator - rate) < 1e-7 * rate) return {static_cast<int>(numerator), denominator};
  }
  return {static_cast<int>(std::lround(rate * 1000)), 1000};
}

// Whole frames within the duration: those that start before it ends.
inline long FrameCount(const kelvex::time::RatioTime& duration, std::pair<int, int> rate) {
  if (duration.scale <= 0 || duration.value <= 0 || rate.first <= 0) return 0;
  const long long numerator = static_cast<long long>(duration.value) * rate.first;
  const long long denominator = static_cast<long long>(duration.scale) * rate.second;
  return static_cast<long>((numerator + denominator - 1) / denominator);
}

// What ffmpeg needs to read frames rendered RGBA at this depth, tightly
// packed; empty at 32 bits, which it has no raw format for.
inline std::string FfmpegRawInput(int width, int height, int depth, std::pair<int, int> rate) {
  const char* format = depth == 8 ? "rgba" : depth == 16 ? "rgba64le" : nullptr;
  if (format == nullptr) return "";
  return "-f rawvideo -pix_fmt " + std::string(format) + " -video_size " + std::to_string(width) + "x" +
         std::to_string(height) + " -framerate " + std::to_string(rate.first) + "/" + std::to_string(rate.second);
}

// What hosts of this tree render audio at unless asked otherwise (the
// command line's `audio`, the Python package's `Source.audio`); the server
// renders any rate and 1 to 32 channels.
constexpr int kDefaultSampleRate = 48000;
constexpr int kDefaultChannels = 2;

// What the server says about a source, asked once each.
struct SourceFacts {
  std::string name;  // empty when the server gives the source no item
  std::string guid;  // "{...}", likewise
  kelvex::time::RatioTime duration;
  double fps = 0;
  std::pair<int, int> rate{0, 1};
  long frames = 0;
  int width = 0;
  int height = 0;
  kelvex::geom::Ratio aspect;
  int depth = 0;
  long timeStamp = 0;
  bool hasAudio = false;
  bool hasVideo = false;
  std::string rawInput;  // empty without video or at 32 bits
};

inline SourceFacts ProbeSource(Source& source) {
  SourceFacts facts;
  Item item(source);
  if (item.IsLinked()) {
    facts.name = kelvex::utility::UTF16ToUTF8(item.GetName());
    facts.guid = item.GetID().ToString();
  }
  facts.duration = source.GetDuration();
  facts.fps = source.GetFrameRate();
  facts.rate = RateFraction(facts.fps);
  const kelvex::geom::RectT<LONG> size = source.GetFrameSize();
  facts.width = static_cast<int>(size.Width());
  facts.height = static_cast<int>(size.Height());
  facts.aspect = source.GetPixelAspectRatio();
  facts.depth = static_cast<int>(source.GetBitDepth());
  facts.timeStamp = static_cast<long>(source.GetTimeStamp());
  facts.hasAudio = source.HasAudio();
  facts.hasVideo = source.HasVideo();
  facts.frames = FrameCount(facts.duration, facts.rate);
  if (facts.hasVideo) facts.rawInput = FfmpegRawInput(facts.width, facts.height, facts.depth, facts.rate);
  return facts;
}

// One named value of a description; a group holds named values of its own.
struct Field {
  enum class Kind { kInteger, kReal, kBool, kText, kNull, kGroup };
  std::string key;
  Kind kind = Kind::kNull;
  long long integer = 0;
  double real = 0;
  bool truth = false;
  std::string text;
  std::vector<Field> group;

  Field(std::string name, Kind type) : key(std::move(name)), kind(type) {}
  static Field Integer(std::string key, long long value) {
    Field f(std::move(key), Kind::kInteger);
    f.integer = value;
    return f;
  }
  static Field Real(std::string key, double value) {
    Field f(std::move(key), Kind::kReal);
    f.real = value;
    return f;
  }
  static Field Bool(std::string key, bool value) {
    Field f(std::move(key), Kind::kBool);
    f.truth = value;
    return f;
  }
  // Text, or null when `value` is none.
  static Field Text(std::string key, std::optional<std::string> value) {
    Field f(std::move(key), value ? Kind::kText : Kind::kNull);
    f.text = value.value_or("");
    return f;
  }
  static Field Group(std::string key, std::vector<Field> values) {
    Field f(std::move(key), Kind::kGroup);
    f.group = std::move(values);
    return f;
  }
};

// A source as named values in a fixed order: what a host prints as its
// description (the command line's `probe --json`, one element of its
// `streams`) and hands on as its metadata (the Python package's
// `Source.metadata`), from this one list. Keys are ffprobe's where ffprobe
// has one, so that what reads its streams reads these; numbers are numbers
// here, where ffprobe writes some as text. Values a source without video
// (or audio) has none of are null.
inline std::vector<Field> DescribeSource(const SourceFacts& f) {
  auto text = [](bool present, std::string value) {
    return present ? std::optional<std::string>(std::move(value)) : std::nullopt;
  };
  auto integer = [](const std::string& key, bool present, long long value) {
    return present ? Field::Integer(key, value) : Field(key, Field::Kind::kNull);
  };
  auto fraction = [](long long n, long long d, const char* mark) {
    return std::to_string(n) + mark + std::to_string(d);
  };
  const bool video = f.hasVideo, audio = f.hasAudio;
  const bool aspect = video && f.aspect.numerator > 0 && f.aspect.denominator > 0;
  // The picture's shape on a display: the frame's size stretched by its pixels' aspect.
  std::string display;
  if (aspect && f.width > 0 && f.height > 0) {
    long long w = static_cast<long long>(f.width) * f.aspect.numerator;
    long long h = static_cast<long long>(f.height) * f.aspect.denominator;
    long long a = w, b = h;
    while (b != 0) a = std::exchange(b, a % b);
    display = fraction(w / a, h / a, ":");
  }
  const bool rate = f.rate.first > 0;
  return {
      Field::Text("name", text(!f.name.empty(), f.name)),
      Field::Text("guid", text(!f.guid.empty(), f.guid)),
      Field::Text("kind", video && audio ? "video+audio"
                          : video        ? "video"
                          : audio        ? "audio"
                                         : "none"),
      Field::Text("codec_type", text(video || audio, video ? "video" : "audio")),
      integer("width", video, f.width),
      integer("height", video, f.height),
      Field::Text("sample_aspect_ratio", text(aspect, fraction(f.aspect.numerator, f.aspect.denominator, ":"))),
      Field::Text("display_aspect_ratio", text(!display.empty(), display)),
      Field::Text("field_order", text(video, "progressive")),
      integer("bits_per_raw_sample", video, f.depth),
      Field::Text("r_frame_rate", text(rate, fraction(f.rate.first, f.rate.second, "/"))),
      Field::Text("avg_frame_rate", text(rate, fraction(f.rate.first, f.rate.second, "/"))),
      Field::Integer("nb_frames", f.frames),
      Field::Real("duration", f.duration.ToSeconds()),
      Field::Text("time_base", text(f.duration.scale > 0, "1/" + std::to_string(f.duration.scale))),
      Field::Integer("duration_ts", f.duration.value),
      integer("sample_rate", audio, kDefaultSampleRate),
      integer("channels", audio, kDefaultChannels),
      Field::Integer("time_stamp", f.timeStamp),
      Field::Text("ffmpeg_raw_input", text(!f.rawInput.empty(), f.rawInput)),
  };
}

}  // namespace moravane::host
