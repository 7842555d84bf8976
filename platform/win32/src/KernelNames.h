// Names of kernel objects (sections, mutexes) and the per-user directory in
// which named objects live as files. Internal to the platform layer.
#pragma once

#include <windows.h>

#include <comsupport/FileDescriptor.h>

#include <memory>
#include <string>

#include <sys/stat.h>

namespace kernelnames {

// What a file or folder must be before this user trusts it: ours (or root's,
// for a system program), with none of the `forbidden` permission bits. The
// folders of our objects must be closed to everyone else; what decides which
// program runs as us (a class registration, its folder, the program) must be
// writable by nobody else, or another local user could make us run theirs.
struct OwnerRule {
  mode_t forbidden;
  bool rootMayOwn;
  const char* demand;  // completes "it must be this user's (uid N) ..."
};
inline constexpr OwnerRule kPrivateFolder{077, false, "with no access for others"};
inline constexpr OwnerRule kTrustedConfiguration{022, false, "and not writable by group or others"};
inline constexpr OwnerRule kTrustedProgram{002, true, "or root's, and not writable by others"};

bool KeepsOwnerRule(const struct stat& st, const OwnerRule& rule);
// What a refusal says, naming the owner and the mode: "it belongs to user
// mallory (uid 1001) with mode 775; it must be this user's (uid 1000) ...".
std::string DescribeOwner(const struct stat& st, const OwnerRule& rule);

// Maps a Windows object name to the file name of the object in the per-user
// namespace. "Local\" and "Global\" are stripped, as a process of the service
// session sees them: "X", "Local\X" and "Global\X" name one object. The rest
// is encoded reversibly (see DecodeObjectName). Returns ERROR_SUCCESS, or
// ERROR_INVALID_NAME for a name that is empty after the prefix, or
// ERROR_FILENAME_EXCED_RANGE when the name is longer than MAX_PATH code units
// or its file name would not fit in 255 bytes.
DWORD EncodeObjectName(const char16_t* name, std::string& fileName);

// The inverse of EncodeObjectName (without the stripped prefix). False for a
// file name that no object name produces.
bool DecodeObjectName(const std::string& fileName, std::u16string& name);

// An open descriptor of the verified namespace directory. Objects keep the
// directory they were created in, so that a change of root (tests) never
// makes them unlink a file of another directory.
class Directory {
 public:
  Directory(comsupport::UniqueFd fd, std::string path) : m_fd(std::move(fd)), m_path(std::move(path)) {}

  int Fd() const { return m_fd.Get(); }
  const std::string& Path() const { return m_path; }

 private:
  comsupport::UniqueFd m_fd;
  std::string m_path;
};

// The directory <root>/moravane-<euid>, created with mode 0700 when missing.
// The root is $XDG_RUNTIME_DIR when it is set and a folder of this user,
// else /dev/shm (or /tmp without it).
// Refused (ERROR_ACCESS_DENIED) when it is not a directory of our own with
// no access for group or others, so another user can neither read our
// objects nor plant objects for us. Reopened when it has been removed.
// The first opening in a process reclaims abandoned objects.
std::shared_ptr<Directory> CurrentDirectory(DWORD& error);

// Tests only: "" restores the default root (/dev/shm, or /tmp without it).
void SetRoot(const std::string& root);

// Unlinks every object file of the current directory that no process holds
// any more (its holders died without closing it). Returns how many.
int ReclaimAbandoned();

// Unlinks `fileName` in `dir` if it still names the file open at `fd`.
void UnlinkIfSame(const Directory& dir, const std::string& fileName, int fd);

}  // namespace kernelnames
