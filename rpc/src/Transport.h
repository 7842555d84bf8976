// Unix-domain sockets between the processes of one user: where endpoints
// live, connecting with a check of the peer's credentials, and whole
// messages over SOCK_SEQPACKET (one send is one message; a message longer
// than the receive buffer is reported, never split).
#pragma once

#include <comsupport/FileDescriptor.h>
#include <rpc/Wire.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace rpc {

// Sockets and other descriptors of the engine, each closed exactly once.
using Fd = comsupport::UniqueFd;

// An flock held on a descriptor that an Fd keeps open. Given back by
// unlocking, not left to the close: a child forked meanwhile by another
// thread shares the open file and would hold the lock until it execs.
struct FileLockTraits {
  using Type = int;
  static Type Empty() noexcept { return -1; }
  static void Release(Type fd) noexcept { ::flock(fd, LOCK_UN); }
};
using FileLockOwnership = comsupport::UniqueResource<FileLockTraits>;

// Creates the per-user endpoint directory when missing. Empty when it
// cannot be made safe (someone else owns it, or it is open to others).
std::string EnsureEndpointDirectory();
std::string EndpointPath(const std::string& directory, REFCLSID clsid);
// Where a server started by activation writes its output and errors.
std::string ServerLogPath(const std::string& directory, REFCLSID clsid);
// The file whose flock the host that starts the server of `clsid` holds.
std::string StartLockPath(const std::string& directory, REFCLSID clsid);

// The address of the socket at `path`, of whatever length. A path longer
// than sockaddr_un can hold is reached through its folder, opened here and
// named as /proc/self/fd/N/<name>; the folder stays open, and the address
// usable, while this object lives.
class SocketAddress {
 public:
  explicit SocketAddress(const std::string& path);
  bool Valid() const { return m_valid; }
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&m_address); }
  socklen_t Size() const { return sizeof m_address; }

 private:
  sockaddr_un m_address{};
  Fd m_folder;
  bool m_valid = false;
};

enum class ConnectResult { kConnected, kNoServer, kRefused, kStalled };
// Connects to an endpoint and checks that the server runs as this user.
// kNoServer: nothing listens there; kRefused: a peer of another user;
// kStalled (from a session's opening only): it accepted but never answered.
ConnectResult ConnectEndpoint(const std::string& path, Fd& socket);

bool PeerIsSameUser(int socket);

bool SendMessage(int socket, const std::uint8_t* data, std::size_t size, int passFd = -1);

// Receives one message. >0: its size; 0: the peer closed; -1: a failure of
// the socket; -2: a message longer than `capacity` (discarded). A
// descriptor sent along is stored in `receivedFd` when given, else closed.
long ReceiveMessage(int socket, std::uint8_t* buffer, std::size_t capacity, Fd* receivedFd = nullptr);

// Errors are written to stderr, one line each, prefixed with the process id.
void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace rpc
