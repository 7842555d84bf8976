#include "OutputFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef _WIN32
#include <windows.h>

#include <io.h>
#endif

namespace cli {

namespace {

std::string Reason(int error) { return std::strerror(error); }

#ifdef _WIN32
using Status = struct _stat64;
int StatOf(const std::string& path, Status& status) { return ::_stat64(path.c_str(), &status); }
constexpr int kCreateFlags = _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY;
constexpr int kInPlaceFlags = _O_WRONLY | _O_TRUNC | _O_BINARY;
int FlushToDisk(int fd) { return ::_commit(fd); }
int Publish(const std::string& from, const std::string& to) {
  if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
  errno = ::GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
  return -1;
}
// The rename's own record: MOVEFILE_WRITE_THROUGH waited for it.
int FlushFolder(const std::string&) { return 0; }
void KeepMode(int, const Status&) {}
std::string FinalPath(const std::string& path) { return path; }
bool IsDescriptorAlias(const std::string&) { return false; }
#else
using Status = struct stat;
int StatOf(const std::string& path, Status& status) { return ::stat(path.c_str(), &status); }
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
// A regular file reached through a descriptor alias is written from its
// start, as a shell's `>` would; devices and FIFOs ignore O_TRUNC.
constexpr int kInPlaceFlags = O_WRONLY | O_TRUNC | O_CLOEXEC;
int FlushToDisk(int fd) { return ::fsync(fd); }
int Publish(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()); }
int FlushFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  // File systems that cannot flush a folder say EINVAL: nothing to wait for.
  const int result = ::fsync(fd) == 0 || errno == EINVAL ? 0 : -1;
  const int error = errno;
  ::close(fd);
  errno = error;
  return result;
}
// A file that is replaced keeps its permissions (not its owner, which only
// root could give it).
void KeepMode(int fd, const Status& old) { ::fchmod(fd, old.st_mode & 07777); }

// The name a path ends at through its symlinks (as many as the kernel
// follows); the path itself when it is no link. A dangling link gives the
// name it points to, which is then created: the link stays a link.
std::string FinalPath(const std::string& path) {
  std::filesystem::path at = path;
  for (int hop = 0; hop < 40; ++hop) {
    std::error_code error;
    if (!std::filesystem::is_symlink(at, error)) break;
    const std::filesystem::path next = std::filesystem::read_symlink(at, error);
    if (error) break;
    at = next.is_absolute() ? next : at.parent_path() / next;
  }
  return at.string();
}

// Names that stand for a descriptor the process already has (often the
// shell's redirection or a process substitution): what they reach must be
// written where it is, whatever kind of file it is.
bool IsDescriptorAlias(const std::string& path) {
  std::error_code error;
  const std::string full = std::filesystem::absolute(path, error).lexically_normal().string();
  for (const char* alias : {"/dev/stdout", "/dev/stderr", "/dev/fd/"}) {
    if (full.rfind(alias, 0) == 0) return true;
  }
  return full.rfind("/proc/", 0) == 0 && full.find("/fd/") != std::string::npos;
}
#endif

std::string FolderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

// Temporary files not yet committed, for RemovePartialOutputs. Never
// destroyed: the thread that removes them may run while the process exits.
struct Partials {
  std::mutex mutex;
  std::set<std::string> paths;
};
Partials& ThePartials() {
  static Partials* const partials = new Partials;
  return *partials;
}
void Track(const std::string& path, bool on) {
  Partials& partials = ThePartials();
  std::lock_guard<std::mutex> hold(partials.mutex);
  if (on) {
    partials.paths.insert(path);
  } else {
    partials.paths.erase(path);
  }
}

struct Target {
  OutputKind kind = OutputKind::kReplaced;
  std::string path;                // kReplaced: the name renamed over
  std::optional<Status> replaced;  // kReplaced: the file there now, if any
};

// What `path` is and where its bytes go; the problem with it, if any.
std::optional<std::string> Classify(const std::string& path, Target& target) {
  target.path = path;
  if (path == "-") {
    target.kind = OutputKind::kStandardOutput;
    return std::nullopt;
  }
  if (IsDescriptorAlias(path)) {
    target.kind = OutputKind::kInPlace;
    return std::nullopt;
  }
  Status status{};
  if (StatOf(path, status) == 0) {
    if (S_ISDIR(status.st_mode)) return "'" + path + "' is a folder, not a file";
    target.kind = S_ISREG(status.st_mode) ? OutputKind::kReplaced : OutputKind::kInPlace;
    if (target.kind == OutputKind::kReplaced) {
      target.path = FinalPath(path);
      target.replaced = status;
    }
    return std::nullopt;
  }
  if (errno != ENOENT) return "cannot write '" + path + "': " + Reason(errno);
  target.path = FinalPath(path);
  const std::string folder = FolderOf(target.path);
  if (StatOf(folder, status) != 0) {
    return "cannot write '" + path + "': the folder '" + folder + "' " +
           (errno == ENOENT ? std::string("does not exist") : Reason(errno));
  }
  if (!S_ISDIR(status.st_mode)) return "cannot write '" + path + "': '" + folder + "' is not a folder";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> OutputPathProblem(const std::string& path) {
  Target target;
  return Classify(path, target);
}

OutputFile::OutputFile(std::string path) : m_path(std::move(path)) {
  Target target;
  if (const std::optional<std::string> problem = Classify(m_path, target)) throw OutputError(*problem);
  m_kind = target.kind;
  if (m_kind == OutputKind::kStandardOutput) {
    m_name = "the standard output";
    m_stream = stdout;
#ifdef _WIN32
    // Frames and samples are bytes: no newline translation.
    ::_setmode(::_fileno(stdout), _O_BINARY);
#else
    // Frames are megabytes: a larger pipe buffer (where stdout is a pipe)
    // halves the writer's and the reader's wake-ups. Failure changes nothing.
    ::fcntl(::fileno(stdout), F_SETPIPE_SZ, 1 << 20);
#endif
    return;
  }
  m_name = "'" + m_path + "'";
  int fd = -1;
  if (m_kind == OutputKind::kInPlace) {
    // Opening a FIFO waits for its reader, as every writer of one does.
    fd = ::open(m_path.c_str(), kInPlaceFlags);
    if (fd < 0) Fail("open");
  } else {
    m_target = target.path;
    m_temporary = m_target + ".part" + std::to_string(::getpid());
    fd = ::open(m_temporary.c_str(), kCreateFlags, 0666);
    if (fd < 0) throw OutputError("cannot create '" + m_temporary + "': " + Reason(errno));
    Track(m_temporary, true);
    if (target.replaced) KeepMode(fd, *target.replaced);
  }
  m_stream = ::fdopen(fd, "wb");
  if (m_stream == nullptr) {
    const int error = errno;
    ::close(fd);
    Discard();
    errno = error;
    Fail("open");
  }
}

OutputFile::~OutputFile() {
  if (m_stream == nullptr || m_stream == stdout) return;
  std::fclose(m_stream);
  Discard();
}

void OutputFile::Discard() {
  if (m_temporary.empty()) return;
  std::remove(m_temporary.c_str());
  Track(m_temporary, false);
  m_temporary.clear();
}

void OutputFile::Fail(const char* what) const {
  const int error = errno;
  if (error == EPIPE) throw ReaderGone{};
  throw OutputError("cannot " + std::string(what) + " " + m_name + ": " + Reason(error));
}

void OutputFile::Write(const void* data, std::size_t bytes) {
  if (std::fwrite(data, 1, bytes, m_stream) != bytes) Fail("write");
}

void OutputFile::Commit() {
  if (m_stream == nullptr) return;
  if (m_stream == stdout) {
    if (std::fflush(stdout) != 0) Fail("write");
    return;
  }
  std::FILE* stream = std::exchange(m_stream, nullptr);
  // On the disk before the rename publishes it: after a power loss the name
  // holds the old file or the whole new one, never an empty or short one.
  int error = 0;
  if (std::fflush(stream) != 0 || (m_kind == OutputKind::kReplaced && FlushToDisk(::fileno(stream)) != 0)) {
    error = errno;
  }
  if (std::fclose(stream) != 0 && error == 0) error = errno;
  if (error != 0) {
    Discard();
    errno = error;
    Fail("write");
  }
  if (m_kind != OutputKind::kReplaced) return;
  if (Publish(m_temporary, m_target) != 0) {
    error = errno;
    const std::string temporary = m_temporary;
    Discard();
    throw OutputError("cannot rename '" + temporary + "' to " + m_name + ": " + Reason(error));
  }
  Track(m_temporary, false);
  m_temporary.clear();
  // The rename is a change of the folder, durable once the folder is.
  if (FlushFolder(FolderOf(m_target)) != 0) Fail("flush the folder of");
}

void RemovePartialOutputs() {
  Partials& partials = ThePartials();
  std::lock_guard<std::mutex> hold(partials.mutex);
  for (const std::string& path : partials.paths) std::remove(path.c_str());
  partials.paths.clear();
}

}  // namespace cli
