#include "Transport.h"

#include "KernelNames.h"

#include <rpc/Rpc.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace rpc {

std::string GuidToString(REFGUID guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string EndpointDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/moravane";
  return "/tmp/moravane-" + std::to_string(::geteuid());
}

std::string ClassRegistrationPath(REFCLSID clsid) {
  std::string base;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return {};
    base = std::string(home) + "/.config";
  }
  return base + "/moravane/classes/" + GuidToString(clsid);
}

std::string EnsureEndpointDirectory() {
  const std::string directory = EndpointDirectory();
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    LogError("cannot create %s: errno %d", directory.c_str(), errno);
    return {};
  }
  // In a shared /tmp someone else may have made the directory first: only a
  // directory of ours that nobody else can enter is used.
  struct stat info;
  if (::lstat(directory.c_str(), &info) != 0) {
    LogError("cannot use %s: errno %d", directory.c_str(), errno);
    return {};
  }
  if (!S_ISDIR(info.st_mode) || !kernelnames::KeepsOwnerRule(info, kernelnames::kPrivateFolder)) {
    LogError("cannot use %s: %s", directory.c_str(),
             kernelnames::DescribeOwner(info, kernelnames::kPrivateFolder).c_str());
    return {};
  }
  return directory;
}

std::string EndpointPath(const std::string& directory, REFCLSID clsid) { return directory + "/" + GuidToString(clsid); }

std::string ServerLogPath(const std::string& directory, REFCLSID clsid) {
  return directory + "/" + GuidToString(clsid) + ".log";
}

std::string StartLockPath(const std::string& directory, REFCLSID clsid) {
  return directory + "/" + GuidToString(clsid) + ".lock";
}

bool PeerIsSameUser(int socket) {
  struct ucred credentials;
  socklen_t size = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
  return credentials.uid == ::geteuid();
}

SocketAddress::SocketAddress(const std::string& path) {
  m_address.sun_family = AF_UNIX;
  if (path.size() < sizeof m_address.sun_path) {
    path.copy(m_address.sun_path, path.size());
    m_valid = true;
    return;
  }
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  const std::string folder = path.substr(0, slash);
  m_folder = Fd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!m_folder) return;
  const std::string shortPath = "/proc/self/fd/" + std::to_string(m_folder.Get()) + path.substr(slash);
  if (shortPath.size() >= sizeof m_address.sun_path) return;
  shortPath.copy(m_address.sun_path, shortPath.size());
  m_valid = true;
}

ConnectResult ConnectEndpoint(const std::string& path, Fd& socket) {
  const SocketAddress address(path);
  if (!address.Valid()) return ConnectResult::kNoServer;
  Fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd) return ConnectResult::kNoServer;
  int rc;
  do {
    rc = ::connect(fd.Get(), address.Get(), address.Size());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return ConnectResult::kNoServer;
  if (!PeerIsSameUser(fd.Get())) {
    LogError("refusing the server at %s: it runs as another user", path.c_str());
    return ConnectResult::kRefused;
  }
  socket = std::move(fd);
  return ConnectResult::kConnected;
}

bool SendMessage(int socket, const std::uint8_t* data, std::size_t size, int passFd) {
  iovec vector{const_cast<std::uint8_t*>(data), size};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  if (passFd >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &passFd, sizeof(int));
  }
  for (;;) {
    const ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(size)) return true;
    if (sent < 0 && errno == EINTR) continue;
    return false;
  }
}

long ReceiveMessage(int socket, std::uint8_t* buffer, std::size_t capacity, Fd* receivedFd) {
  iovec vector{buffer, capacity};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  // Room for one descriptor; the kernel closes any more that a peer sends.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  for (;;) {
    const ssize_t received = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0) return errno == ECONNRESET ? 0 : -1;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
      const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
        // Owned at once: kept when asked for, else closed here.
        Fd owned(fd);
        if (receivedFd != nullptr && receivedFd->IsEmpty()) *receivedFd = std::move(owned);
      }
    }
    if (message.msg_flags & MSG_TRUNC) return -2;
    return static_cast<long>(received);
  }
}

void LogError(const char* format, ...) {
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::fprintf(stderr, "moravane rpc [%d]: %s\n", static_cast<int>(::getpid()), line);
}

}  // namespace rpc
