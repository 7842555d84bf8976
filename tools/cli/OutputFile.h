// Where the command line's output goes, and how it gets there without
// destroying anything that was at the path before.
#pragma once

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

namespace cli {

// A failure to write an output file; the message names the file and the
// system's reason.
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The reader of a pipe or socket went away (`| head`, `| ffprobe -`): the
// run ends quietly, as a filter killed by SIGPIPE would.
struct ReaderGone {};

// What a path names and so how it is written:
// - kStandardOutput: "-";
// - kReplaced: a regular file, or nothing yet. Written under a temporary
//   name beside the file (beside a symlink's target, so the link stays),
//   flushed to the disk and renamed over it when complete: a reader, an
//   interrupted run or a power loss never leaves half a file at the name.
// - kInPlace: anything else (a device, a FIFO, a terminal, a socket) and
//   every alias of a descriptor (/dev/stdout, /dev/fd/N, /proc/self/fd/N,
//   a process substitution): opened and written where it is, never
//   replaced, renamed or removed; an interrupted write simply stops.
enum class OutputKind { kStandardOutput, kReplaced, kInPlace };

// Why `path` cannot take a single file (a folder, a folder that does not
// exist, a path the system refuses to look at), or nothing: checked before
// anything is rendered, so that a wrong path costs nothing.
std::optional<std::string> OutputPathProblem(const std::string& path);

// One output: "-", a file replaced when complete or a target written in
// place, as OutputKind says. A replacing file never committed is removed,
// also by Ctrl-C while a remote call waits (RemovePartialOutputs).
class OutputFile {
 public:
  explicit OutputFile(std::string path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  std::FILE* Stream() const { return m_stream; }
  const std::string& Name() const { return m_name; }  // for messages
  void Write(const void* data, std::size_t bytes);
  // Throws OutputError naming the file and errno's reason, or ReaderGone.
  [[noreturn]] void Fail(const char* what) const;
  void Commit();

 private:
  void Discard();  // removes the temporary file, if any

  std::string m_path;       // as given
  std::string m_target;     // kReplaced: the name renamed over (a symlink's target)
  std::string m_temporary;  // kReplaced: where it is written until then
  std::string m_name;
  OutputKind m_kind = OutputKind::kStandardOutput;
  std::FILE* m_stream = nullptr;
};

// Removes every replacing output's temporary file that is not yet
// committed. For the end of a process that cannot unwind: called on a
// thread of its own while others may still be writing.
void RemovePartialOutputs();

}  // namespace cli
