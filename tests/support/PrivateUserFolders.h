// The user's runtime and configuration folders, private to one test process
// while the object lives: XDG_RUNTIME_DIR (where published classes have
// their endpoints) and XDG_CONFIG_HOME (class registrations, in
// moravane/classes). Neither a real server of the user nor a test process
// running beside this one can then answer or disturb an activation.
#pragma once

#include <filesystem>
#include <string>

#include <stdlib.h>

namespace testsupport {

class PrivateUserFolders {
 public:
  PrivateUserFolders() {
    char pattern[] = "/tmp/moravane-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;  // Ready() tells
    m_root = pattern;
    std::error_code ignored;
    std::filesystem::create_directories(m_root + "/config/moravane/classes", ignored);
    // Closed to others whatever the umask: activation refuses a folder of
    // registrations that others could write.
    std::filesystem::permissions(m_root + "/config/moravane/classes", std::filesystem::perms::owner_all, ignored);
    // The root is the runtime folder: mkdtemp made it the user's alone, as
    // the link requires of it.
    ::setenv("XDG_RUNTIME_DIR", m_root.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (m_root + "/config").c_str(), 1);
  }
  ~PrivateUserFolders() {
    std::error_code ignored;
    if (Ready()) std::filesystem::remove_all(m_root, ignored);
  }
  PrivateUserFolders(const PrivateUserFolders&) = delete;
  PrivateUserFolders& operator=(const PrivateUserFolders&) = delete;

  bool Ready() const { return !m_root.empty(); }
  // A folder for whatever else the test needs to keep there.
  const std::string& Root() const { return m_root; }

 private:
  std::string m_root;
};

}  // namespace testsupport
