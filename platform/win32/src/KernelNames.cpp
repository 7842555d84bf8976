#include "KernelNames.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kernelnames {

namespace {

constexpr std::size_t kMaxNameUnits = 260;  // MAX_PATH, the Windows limit of an object name
constexpr std::size_t kMaxFileNameBytes = 255;

const char kHex[] = "0123456789ABCDEF";

void AppendEscapedByte(std::string& out, unsigned char byte) {
  out += '%';
  out += kHex[byte >> 4];
  out += kHex[byte & 0xF];
}

// A byte that may stand for itself in a file name. Everything else is
// written %XX, so '%' itself, '/', '\', control characters and a leading '.'
// (which would make "." and ".." and hide the file) never appear raw.
bool IsPlainByte(unsigned char byte, bool first) {
  if (byte < 0x20 || byte == 0x7F) return false;
  if (byte == '%' || byte == '/' || byte == '\\') return false;
  if (first && byte == '.') return false;
  return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
  unsigned char bytes[4];
  int count;
  if (cp < 0x80) {
    bytes[0] = static_cast<unsigned char>(cp);
    count = 1;
  } else if (cp < 0x800) {
    bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    count = 2;
  } else if (cp < 0x10000) {
    bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    count = 3;
  } else {
    bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    count = 4;
  }
  for (int i = 0; i < count; ++i) {
    // Bytes of a multi-byte sequence are >= 0x80 and always plain.
    if (IsPlainByte(bytes[i], out.empty()))
      out += static_cast<char>(bytes[i]);
    else
      AppendEscapedByte(out, bytes[i]);
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWith(const std::u16string& text, const char16_t* prefix) {
  return text.compare(0, std::char_traits<char16_t>::length(prefix), prefix) == 0;
}

// The user's runtime folder when there is one: nobody else can create our
// folder in it first. Otherwise a folder shared by all users, where another
// user can take the name before us (then refused, see OpenVerified).
std::string DefaultRoot() {
  struct stat st;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::geteuid()) {
    return runtime;
  }
  if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) return "/dev/shm";
  return "/tmp";
}

// One line on stderr saying why the folder cannot be used and whose it is:
// the caller only sees ERROR_ACCESS_DENIED.
void ReportRefusedFolder(const std::string& path, const struct stat* st) {
  if (st == nullptr) {
    std::fprintf(stderr, "moravane: cannot use the shared-memory folder %s: %s\n", path.c_str(), std::strerror(errno));
    return;
  }
  std::fprintf(stderr, "moravane: cannot use the shared-memory folder %s: %s\n", path.c_str(),
               DescribeOwner(*st, kPrivateFolder).c_str());
}

struct NamespaceState {
  std::mutex lock;
  std::string root;  // "" = default
  std::shared_ptr<Directory> directory;
};

NamespaceState& State() {
  // Never destroyed: objects may still be closed by static destructors of
  // other translation units at exit.
  static NamespaceState* state = new NamespaceState;
  return *state;
}

std::string UserFolder(const std::string& root) { return root + "/moravane-" + std::to_string(::geteuid()); }

std::shared_ptr<Directory> OpenVerified(const std::string& root, DWORD& error) {
  const std::string path = UserFolder(root);
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    ReportRefusedFolder(path, nullptr);
    error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  // O_NOFOLLOW: a symlink planted at the name is refused, not followed.
  comsupport::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd) {
    if (::lstat(path.c_str(), &st) == 0) {
      ReportRefusedFolder(path, &st);
    } else {
      ReportRefusedFolder(path, nullptr);
    }
    error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  if (::fstat(fd.Get(), &st) != 0) {
    ReportRefusedFolder(path, nullptr);
    error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  if (!S_ISDIR(st.st_mode) || !KeepsOwnerRule(st, kPrivateFolder)) {
    ReportRefusedFolder(path, &st);
    error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return std::make_shared<Directory>(std::move(fd), path);
}

// Reclaims one entry if nobody holds it. The exclusive lock can only be had
// when no live process has the object open: every holder keeps a shared
// lock for as long as it has a handle, and the kernel drops the locks of a
// process that dies.
bool ReclaimIfAbandoned(const Directory& dir, const char* fileName) {
  const comsupport::UniqueFd fd(::openat(dir.Fd(), fileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return false;
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return false;
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  UnlinkIfSame(dir, fileName, fd.Get());
  return true;
}

int ReclaimAll(const Directory& dir) {
  comsupport::UniqueFd fd(::openat(dir.Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return 0;
  DIR* listing = ::fdopendir(fd.Get());
  if (listing == nullptr) return 0;
  fd.Detach();  // the listing owns it now, closedir closes it
  int count = 0;
  while (struct dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (ReclaimIfAbandoned(dir, name.c_str())) ++count;
  }
  ::closedir(listing);
  return count;
}

}  // namespace

bool KeepsOwnerRule(const struct stat& st, const OwnerRule& rule) {
  return (st.st_uid == ::geteuid() || (rule.rootMayOwn && st.st_uid == 0)) && (st.st_mode & rule.forbidden) == 0;
}

std::string DescribeOwner(const struct stat& st, const OwnerRule& rule) {
  const uid_t self = ::geteuid();
  char owner[64] = "?";
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[1024];
  if (::getpwuid_r(st.st_uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    std::snprintf(owner, sizeof owner, "%s", found->pw_name);
  }
  char text[256];
  std::snprintf(text, sizeof text, "it belongs to user %s (uid %u) with mode %03o; it must be this user's (uid %u) %s",
                owner, static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777),
                static_cast<unsigned>(self), rule.demand);
  return text;
}

DWORD EncodeObjectName(const char16_t* name, std::string& fileName) {
  std::u16string text(name);
  if (text.size() > kMaxNameUnits) return ERROR_FILENAME_EXCED_RANGE;
  if (StartsWith(text, u"Local\\"))
    text.erase(0, 6);
  else if (StartsWith(text, u"Global\\"))
    text.erase(0, 7);
  if (text.empty()) return ERROR_INVALID_NAME;

  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      // A lone surrogate has no UTF-8 form; it keeps its code unit, %uXXXX.
      out += "%u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
    } else {
      AppendUtf8(out, unit);
    }
  }
  if (out.size() > kMaxFileNameBytes) return ERROR_FILENAME_EXCED_RANGE;
  fileName = std::move(out);
  return ERROR_SUCCESS;
}

bool DecodeObjectName(const std::string& fileName, std::u16string& name) {
  if (fileName.empty()) return false;
  std::string bytes;
  std::u16string result;
  auto flush = [&]() -> bool {
    // The collected bytes must be well-formed UTF-8 of what AppendUtf8 wrote.
    std::size_t i = 0;
    while (i < bytes.size()) {
      const unsigned char lead = static_cast<unsigned char>(bytes[i]);
      int count = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
      if (count == 0 || i + count > bytes.size()) return false;
      char32_t cp = count == 1 ? lead : lead & (0xFF >> (count + 1));
      for (int k = 1; k < count; ++k) {
        const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
        if ((next & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (next & 0x3F);
      }
      if (cp >= 0x10000) {
        cp -= 0x10000;
        result += static_cast<char16_t>(0xD800 + (cp >> 10));
        result += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      } else {
        result += static_cast<char16_t>(cp);
      }
      i += count;
    }
    bytes.clear();
    return true;
  };
  for (std::size_t i = 0; i < fileName.size(); ++i) {
    const char c = fileName[i];
    if (c != '%') {
      if (!IsPlainByte(static_cast<unsigned char>(c), i == 0)) return false;
      bytes += c;
      continue;
    }
    if (i + 1 < fileName.size() && fileName[i + 1] == 'u') {
      if (i + 6 > fileName.size() || !flush()) return false;
      int unit = 0;
      for (int k = 2; k < 6; ++k) {
        const int v = HexValue(fileName[i + k]);
        if (v < 0) return false;
        unit = unit * 16 + v;
      }
      result += static_cast<char16_t>(unit);
      i += 5;
      continue;
    }
    if (i + 3 > fileName.size()) return false;
    const int hi = HexValue(fileName[i + 1]), lo = HexValue(fileName[i + 2]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  if (!flush()) return false;
  name = std::move(result);
  return true;
}

std::shared_ptr<Directory> CurrentDirectory(DWORD& error) {
  NamespaceState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  // Looked up on every use, as the endpoint folder is: a server started by
  // activation gets the host's environment as it is then, so host and
  // server agree on the folder even when the host changed XDG_RUNTIME_DIR
  // after its first named object (which stays where it was made).
  const std::string root = state.root.empty() ? DefaultRoot() : state.root;
  if (state.directory && state.directory->Path() == UserFolder(root)) {
    // Someone may have removed the directory under us; objects created in a
    // deleted directory could never be found by another process.
    struct stat st;
    if (::fstat(state.directory->Fd(), &st) == 0 && st.st_nlink > 0) return state.directory;
  }
  state.directory.reset();
  auto directory = OpenVerified(root, error);
  if (!directory) return nullptr;
  ReclaimAll(*directory);
  state.directory = directory;
  return directory;
}

void SetRoot(const std::string& root) {
  NamespaceState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.root = root;
  state.directory.reset();
}

int ReclaimAbandoned() {
  DWORD error = ERROR_SUCCESS;
  auto directory = CurrentDirectory(error);
  return directory ? ReclaimAll(*directory) : 0;
}

void UnlinkIfSame(const Directory& dir, const std::string& fileName, int fd) {
  struct stat open, named;
  if (::fstat(fd, &open) != 0) return;
  if (::fstatat(dir.Fd(), fileName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (open.st_dev == named.st_dev && open.st_ino == named.st_ino) ::unlinkat(dir.Fd(), fileName.c_str(), 0);
}

}  // namespace kernelnames
