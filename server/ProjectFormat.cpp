#include "ProjectFormat.h"

#include "PngImage.h"

#include "RegularFile.h"

#include <kelvex/Guid.h>
#include <kelvex/Strings.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

namespace linkserver {

namespace {

// Creates `path` for writing, failing with EEXIST when it exists: an
// existing project is never replaced. The Windows C run-time's fopen knows
// no exclusive mode, its open does.
std::FILE* CreateExclusive(const std::filesystem::path& path) {
#ifdef _WIN32
  const int fd = _wopen(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);
  return file;
#else
  return std::fopen(path.c_str(), "wx");
#endif
}

constexpr char kHeaderWord[] = "orra-project";
constexpr int kFormatVersion = 1;
// Bounds that keep a hostile file from asking for absurd work.
constexpr int kMaxNesting = 64;
constexpr std::int32_t kMaxFrameSide = 32768;
constexpr double kMaxFrameRate = 1000.0;
constexpr double kMaxFrequency = 100000.0;
constexpr std::size_t kMaxFileBytes = 16u << 20;

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// One line split into words; a quoted word may hold blanks and the escapes
// \" and \\. A '#' outside quotes starts a comment.
struct Word {
  std::string text;
  bool quoted = false;
};

std::vector<Word> SplitLine(std::string_view line, int lineNumber) {
  std::vector<Word> words;
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      Word word;
      word.quoted = true;
      ++i;
      bool closed = false;
      while (i < line.size()) {
        const char d = line[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d == '\\') {
          if (i >= line.size() || (line[i] != '"' && line[i] != '\\')) {
            throw ProjectFormatError(lineNumber, "a backslash in a quoted name must be followed by \" or \\");
          }
          word.text += line[i++];
          continue;
        }
        word.text += d;
      }
      if (!closed) throw ProjectFormatError(lineNumber, "a quoted name is not closed");
      words.push_back(std::move(word));
    } else {
      Word word;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#') {
        if (line[i] == '"') throw ProjectFormatError(lineNumber, "a quote may only start a word");
        word.text += line[i++];
      }
      words.push_back(std::move(word));
    }
  }
  return words;
}

class Parser {
 public:
  Parser(std::string_view text, const ParseOptions& options) : m_text(text), m_options(options) {}

  ProjectModel Run() {
    ProjectModel model;
    std::vector<Node*> open;  // the bins and the source that are not closed yet
    bool header = false;
    int lineNumber = 0;
    std::size_t position = 0;
    while (position <= m_text.size()) {
      const std::size_t end = std::min(m_text.find('\n', position), m_text.size());
      const std::string_view line = m_text.substr(position, end - position);
      position = end + 1;
      ++lineNumber;
      m_line = lineNumber;
      if (line.find('\0') != std::string_view::npos) Error("the line holds a NUL character");
      std::vector<Word> words = SplitLine(line, lineNumber);
      if (words.empty()) continue;
      const std::string keyword = words[0].quoted ? std::string() : words[0].text;
      if (!header) {
        if (keyword != kHeaderWord) Error(std::string("the file must begin with '") + kHeaderWord + " 1'");
        Count(words, 2);
        if (Int(words[1], "format version") != kFormatVersion) {
          Error("format version " + words[1].text + " is not supported (only 1 is)");
        }
        header = true;
        continue;
      }
      if (!model.root) {
        if (keyword != "project") Error("the header must be followed by 'project NAME GUID'");
        Count(words, 3);
        model.name = Name(words[1]);
        model.root = NewNode(NodeKind::kBin, model.name, words[2]);
        open.push_back(model.root.get());
        continue;
      }
      if (keyword == "bin" || keyword == "source" || keyword == "item") {
        Count(words, 3);
        Node* parent = open.back();
        if (parent->kind != NodeKind::kBin)
          Error("'" + keyword + "' cannot stand inside a source; close it with 'end'");
        if (static_cast<int>(open.size()) > kMaxNesting) Error("bins are nested too deeply");
        const NodeKind kind =
            keyword == "bin" ? NodeKind::kBin : (keyword == "source" ? NodeKind::kSource : NodeKind::kItem);
        Node* node = parent->AddChild(NewNode(kind, Name(words[1]), words[2]));
        if (kind != NodeKind::kItem) open.push_back(node);
        m_seen.clear();
      } else if (keyword == "end") {
        Count(words, 1);
        if (open.size() == 1) Error("'end' without an open bin or source");
        if (open.back()->kind == NodeKind::kSource) FinishSource(*open.back());
        open.pop_back();
      } else if (keyword == "project" || keyword == kHeaderWord) {
        Error("'" + keyword + "' may appear only once, at the top of the file");
      } else {
        Node* node = open.back();
        if (node->kind != NodeKind::kSource) {
          Error("'" + (keyword.empty() ? words[0].text : keyword) + "' is not a keyword here" +
                (IsProperty(keyword) ? " (it is a property of a source)" : ""));
        }
        if (!IsProperty(keyword)) Error("unknown source property '" + words[0].text + "'");
        if (!m_seen.emplace(keyword, lineNumber).second) {
          Error("'" + keyword + "' is given twice for this source (first on line " + std::to_string(m_seen[keyword]) +
                ")");
        }
        Property(node->source, keyword, words);
      }
    }
    if (!header) throw ProjectFormatError(lineNumber, "the file is empty; it must begin with 'orra-project 1'");
    if (!model.root) throw ProjectFormatError(lineNumber, "the file has no 'project NAME GUID' line");
    if (open.size() > 1) {
      const Node* node = open.back();
      throw ProjectFormatError(lineNumber, std::string(node->kind == NodeKind::kBin ? "bin" : "source") + " " +
                                               Quoted(node->name) + " opened on line " + std::to_string(node->line) +
                                               " is not closed with 'end'");
    }
    return model;
  }

 private:
  [[noreturn]] void Error(const std::string& message) const { throw ProjectFormatError(m_line, message); }

  static bool IsProperty(const std::string& keyword) {
    return keyword == "duration" || keyword == "aspect" || keyword == "size" || keyword == "rate" ||
           keyword == "depth" || keyword == "stamp" || keyword == "video" || keyword == "audio";
  }

  void Count(const std::vector<Word>& words, std::size_t count) const {
    if (words.size() != count) {
      Error("'" + words[0].text + "' takes " + std::to_string(count - 1) + " value" + (count == 2 ? "" : "s") +
            ", found " + std::to_string(words.size() - 1));
    }
  }

  std::string Name(const Word& word) const {
    if (!word.quoted) Error("a name must be written in double quotes, found " + word.text);
    // UTF-16 never takes more units than UTF-8 takes bytes, so only a long
    // name needs converting to be measured.
    if (word.text.size() > kMaxHostTextChars && kelvex::utility::AsciiToUTF16(word.text).size() > kMaxHostTextChars) {
      Error("the name is longer than " + std::to_string(kMaxHostTextChars) + " characters");
    }
    return word.text;
  }

  std::int64_t Int(const Word& word, const char* what) const {
    std::int64_t value = 0;
    const char* first = word.text.data();
    const char* last = first + word.text.size();
    auto [end, error] = std::from_chars(first, last, value);
    if (word.quoted || error != std::errc() || end != last) {
      Error(std::string(what) + " must be a whole number, found '" + word.text + "'");
    }
    return value;
  }

  std::int32_t Int32(const Word& word, const char* what, std::int64_t low, std::int64_t high) const {
    const std::int64_t value = Int(word, what);
    if (value < low || value > high) {
      Error(std::string(what) + " " + word.text + " is out of range (" + std::to_string(low) + " to " +
            std::to_string(high) + ")");
    }
    return static_cast<std::int32_t>(value);
  }

  double Real(const Word& word, const char* what) const {
    // Either a decimal number or a fraction N/D (30000/1001).
    const std::string& text = word.text;
    const std::size_t slash = text.find('/');
    if (!word.quoted && slash != std::string::npos) {
      const double numerator = Real(Word{text.substr(0, slash), false}, what);
      const double denominator = Real(Word{text.substr(slash + 1), false}, what);
      if (denominator == 0) Error(std::string(what) + " has a zero denominator");
      return numerator / denominator;
    }
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (word.quoted || text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value)) {
      Error(std::string(what) + " must be a number, found '" + text + "'");
    }
    return value;
  }

  std::unique_ptr<Node> NewNode(NodeKind kind, const std::string& name, const Word& guidWord) {
    const std::optional<kelvex::utility::Guid> guid = kelvex::utility::Guid::Parse(guidWord.text);
    if (guidWord.quoted || !guid)
      Error("'" + guidWord.text + "' is not a GUID ({XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})");
    auto [it, fresh] = m_guids.emplace(guid->ToString(), m_line);
    if (!fresh) Error("GUID " + guid->ToString() + " is already used on line " + std::to_string(it->second));
    auto node = std::make_unique<Node>();
    node->kind = kind;
    node->name = name;
    node->id = guid->GetGUID();
    node->line = m_line;
    return node;
  }

  void Property(SourceDesc& source, const std::string& keyword, const std::vector<Word>& words) {
    if (keyword == "duration") {
      Count(words, 3);
      source.durationValue = Int32(words[1], "duration value", 1, INT32_MAX);
      source.durationScale = Int32(words[2], "duration scale", 1, INT32_MAX);
    } else if (keyword == "aspect") {
      Count(words, 3);
      source.aspectNumerator = Int32(words[1], "aspect numerator", 1, INT32_MAX);
      source.aspectDenominator = Int32(words[2], "aspect denominator", 1, INT32_MAX);
    } else if (keyword == "size") {
      Count(words, 3);
      source.width = Int32(words[1], "width", 1, kMaxFrameSide);
      source.height = Int32(words[2], "height", 1, kMaxFrameSide);
    } else if (keyword == "rate") {
      Count(words, 2);
      source.frameRate = Real(words[1], "frame rate");
      if (!(source.frameRate > 0 && source.frameRate <= kMaxFrameRate)) {
        Error("frame rate " + words[1].text + " is out of range (above 0, at most 1000)");
      }
    } else if (keyword == "depth") {
      Count(words, 2);
      source.bitDepth = Int32(words[1], "bit depth", 0, 64);
      if (source.bitDepth != 8 && source.bitDepth != 16 && source.bitDepth != 32) {
        Error("bit depth " + words[1].text + " is not 8, 16 or 32");
      }
    } else if (keyword == "stamp") {
      Count(words, 2);
      source.timeStamp = Int32(words[1], "time stamp", INT32_MIN, INT32_MAX);
    } else if (keyword == "video") {
      Video(source.video, words);
    } else if (keyword == "audio") {
      Audio(source.audio, words);
    }
  }

  void Video(VideoContent& video, const std::vector<Word>& words) {
    if (words.size() < 2) Error("'video' needs a kind: bars, framenumber, solid or image");
    const std::string& kind = words[1].text;
    if (kind == "bars") {
      Count(words, 2);
      video.kind = VideoKind::kColourBars;
    } else if (kind == "framenumber") {
      Count(words, 2);
      video.kind = VideoKind::kFrameNumber;
    } else if (kind == "solid") {
      if (words.size() != 5 && words.size() != 6) Error("'video solid' takes R G B and an optional A (0 to 255)");
      video.kind = VideoKind::kSolid;
      double* channels[] = {&video.colour.r, &video.colour.g, &video.colour.b, &video.colour.a};
      video.colour.a = 1;
      for (std::size_t i = 2; i < words.size(); ++i)
        *channels[i - 2] = Int32(words[i], "colour channel", 0, 255) / 255.0;
    } else if (kind == "image") {
      if (words.size() != 3 || !words[2].quoted) Error("'video image' takes one quoted file path");
      if (words[2].text.empty()) Error("the image path is empty");
      video.kind = VideoKind::kImage;
      video.imageText = words[2].text;
      const std::filesystem::path written(words[2].text);
      video.imagePath = written.is_absolute() ? written : m_options.baseFolder / written;
    } else {
      Error("unknown video kind '" + kind + "' (bars, framenumber, solid or image)");
    }
  }

  void Audio(AudioContent& audio, const std::vector<Word>& words) {
    if (words.size() < 2) Error("'audio' needs a kind: sine, chirp or silence");
    const std::string& kind = words[1].text;
    auto frequency = [&](const Word& word) {
      const double value = Real(word, "frequency");
      if (!(value > 0 && value <= kMaxFrequency))
        Error("frequency " + word.text + " is out of range (above 0, at most 100000)");
      return value;
    };
    if (kind == "sine") {
      Count(words, 3);
      audio.kind = AudioKind::kSine;
      audio.frequency = frequency(words[2]);
    } else if (kind == "chirp") {
      Count(words, 4);
      audio.kind = AudioKind::kChirp;
      audio.frequency = frequency(words[2]);
      audio.endFrequency = frequency(words[3]);
    } else if (kind == "silence") {
      Count(words, 2);
      audio.kind = AudioKind::kSilence;
    } else {
      Error("unknown audio kind '" + kind + "' (sine, chirp or silence)");
    }
  }

  void FinishSource(Node& node) {
    SourceDesc& source = node.source;
    const std::string which = "source " + Quoted(node.name) + " (line " + std::to_string(node.line) + ")";
    if (source.durationScale == 0) Error(which + " has no 'duration'");
    if (source.frameRate == 0) Error(which + " has no 'rate'");
    if (!source.HasVideo() && !source.HasAudio()) Error(which + " has neither 'video' nor 'audio'");
    if (source.video.kind == VideoKind::kImage && m_options.readImages) {
      PngSize size;
      try {
        size = ReadPngSize(source.video.imagePath);
      } catch (const std::exception& error) {
        Error(which + ": " + error.what());
      }
      if (source.width == 0) {
        if (size.width > std::uint32_t(kMaxFrameSide) || size.height > std::uint32_t(kMaxFrameSide)) {
          Error(which + ": the image is larger than 32768 pixels on a side");
        }
        source.width = static_cast<std::int32_t>(size.width);
        source.height = static_cast<std::int32_t>(size.height);
      }
    }
    if (source.HasVideo() && source.width == 0) Error(which + " has video but no 'size'");
  }

  std::string_view m_text;
  const ParseOptions& m_options;
  int m_line = 0;
  std::map<std::string, int> m_guids;  // GUID text -> line of first use
  std::map<std::string, int> m_seen;   // properties of the open source -> line
};

std::string FormatRate(double rate) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", rate);
  return text;
}

void WriteNode(std::ostringstream& out, const Node& node, int depth) {
  const std::string indent(depth * 2, ' ');
  if (node.kind == NodeKind::kItem) {
    out << indent << "item " << Quoted(node.name) << ' ' << GuidText(node.id) << '\n';
    return;
  }
  if (node.kind == NodeKind::kBin) {
    out << indent << "bin " << Quoted(node.name) << ' ' << GuidText(node.id) << '\n';
    for (const auto& child : node.children) WriteNode(out, *child, depth + 1);
    out << indent << "end\n";
    return;
  }
  const SourceDesc& s = node.source;
  const std::string in = indent + "  ";
  out << indent << "source " << Quoted(node.name) << ' ' << GuidText(node.id) << '\n';
  out << in << "duration " << s.durationValue << ' ' << s.durationScale << '\n';
  out << in << "aspect " << s.aspectNumerator << ' ' << s.aspectDenominator << '\n';
  if (s.width != 0) out << in << "size " << s.width << ' ' << s.height << '\n';
  out << in << "rate " << FormatRate(s.frameRate) << '\n';
  out << in << "depth " << s.bitDepth << '\n';
  out << in << "stamp " << s.timeStamp << '\n';
  auto byte = [](double v) { return static_cast<int>(std::lround(v * 255)); };
  switch (s.video.kind) {
    case VideoKind::kNone:
      break;
    case VideoKind::kColourBars:
      out << in << "video bars\n";
      break;
    case VideoKind::kFrameNumber:
      out << in << "video framenumber\n";
      break;
    case VideoKind::kSolid:
      out << in << "video solid " << byte(s.video.colour.r) << ' ' << byte(s.video.colour.g) << ' '
          << byte(s.video.colour.b) << ' ' << byte(s.video.colour.a) << '\n';
      break;
    case VideoKind::kImage:
      out << in << "video image " << Quoted(s.video.imageText) << '\n';
      break;
  }
  switch (s.audio.kind) {
    case AudioKind::kNone:
      break;
    case AudioKind::kSine:
      out << in << "audio sine " << FormatRate(s.audio.frequency) << '\n';
      break;
    case AudioKind::kChirp:
      out << in << "audio chirp " << FormatRate(s.audio.frequency) << ' ' << FormatRate(s.audio.endFrequency) << '\n';
      break;
    case AudioKind::kSilence:
      out << in << "audio silence\n";
      break;
  }
  out << indent << "end\n";
}

}  // namespace

ProjectFormatError::ProjectFormatError(int line, const std::string& message, bool prefixLine)
    : std::runtime_error(line > 0 && prefixLine ? "line " + std::to_string(line) + ": " + message : message),
      m_line(line) {}

ProjectFormatError::ProjectFormatError(std::error_code fileError, const std::string& message)
    : std::runtime_error(message), m_line(0), m_fileError(fileError) {}

Node* ProjectModel::Find(const GUID& id) const {
  std::vector<Node*> pending;
  if (root) pending.push_back(root.get());
  while (!pending.empty()) {
    Node* node = pending.back();
    pending.pop_back();
    if (IsEqualGUID(node->id, id)) return node;
    for (const auto& child : node->children) pending.push_back(child.get());
  }
  return nullptr;
}

GUID NewGuid() {
  static thread_local std::mt19937_64 engine{std::random_device{}()};
  const std::uint64_t high = engine(), low = engine();
  GUID id;
  id.Data1 = static_cast<std::uint32_t>(high >> 32);
  id.Data2 = static_cast<std::uint16_t>(high >> 16);
  id.Data3 = static_cast<std::uint16_t>((high & 0x0FFF) | 0x4000);
  for (int i = 0; i < 8; ++i) id.Data4[i] = static_cast<std::uint8_t>(low >> (8 * i));
  id.Data4[0] = static_cast<std::uint8_t>((id.Data4[0] & 0x3F) | 0x80);
  return id;
}

std::string GuidText(const GUID& id) { return kelvex::utility::Guid(id).ToString(); }

ProjectModel ParseProject(std::string_view text, const ParseOptions& options) { return Parser(text, options).Run(); }

ProjectModel LoadProjectFile(const std::filesystem::path& path) {
  const std::string name = path.string();
  RegularFile file;
  try {
    file = OpenRegularFile(path);
  } catch (const FileOpenError& failure) {
    if (failure.NotFound()) throw ProjectFormatError(failure.Error(), "project file '" + name + "' does not exist");
    if (failure.Error()) {
      throw ProjectFormatError(failure.Error(), "cannot open project file '" + name + "': " + failure.what());
    }
    throw ProjectFormatError(0, "project file '" + name + "' " + failure.what());
  }
  const std::string tooLarge = "project file '" + name + "' is larger than 16 MiB";
  if (file.size > kMaxFileBytes) throw ProjectFormatError(0, tooLarge);
  // The file may have grown since it was measured: it is read until its end
  // or one byte past the limit, whichever comes first.
  std::string text;
  std::size_t have = 0, capacity = static_cast<std::size_t>(file.size) + 1;
  for (;;) {
    text.resize(capacity);
    const std::ptrdiff_t got = ReadFully(file.fd.Get(), text.data() + have, capacity - have);
    if (got < 0) throw ProjectFormatError(0, "cannot read project file '" + name + "': " + std::strerror(errno));
    have += static_cast<std::size_t>(got);
    if (have < capacity) break;
    if (have > kMaxFileBytes) throw ProjectFormatError(0, tooLarge);
    capacity = std::min(capacity * 2, kMaxFileBytes + 1);
  }
  text.resize(have);
  file.fd.Reset();
  ParseOptions options;
  options.baseFolder = path.parent_path();
  try {
    return ParseProject(text, options);
  } catch (const ProjectFormatError& failure) {
    throw ProjectFormatError(failure.Line(), "project file '" + name + "', " + failure.what(), false);
  }
}

std::string WriteProject(const ProjectModel& model) {
  std::ostringstream out;
  out << kHeaderWord << ' ' << kFormatVersion << '\n';
  out << "project " << Quoted(model.name) << ' ' << GuidText(model.root->id) << '\n';
  for (const auto& child : model.root->children) WriteNode(out, *child, 0);
  return out.str();
}

void WriteNewProjectFile(const std::filesystem::path& path, const ProjectModel& model) {
  const std::string text = WriteProject(model);
  std::FILE* file = CreateExclusive(path);
  if (file == nullptr) {
    const int cause = errno;
    if (cause == EEXIST) throw std::runtime_error("'" + path.string() + "' already exists and is not replaced");
    throw std::runtime_error("cannot create '" + path.string() + "': " + std::strerror(cause));
  }
  // Most failures (a full disk, a quota) show only when the buffer is
  // flushed by fclose, so the reason is taken from whichever failed first.
  errno = 0;
  int cause = std::fwrite(text.data(), 1, text.size(), file) == text.size() ? 0 : (errno ? errno : EIO);
  if (std::fclose(file) != 0 && cause == 0) cause = errno ? errno : EIO;
  if (cause != 0) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    throw std::runtime_error("cannot write '" + path.string() + "': " + std::strerror(cause));
  }
}

}  // namespace linkserver
