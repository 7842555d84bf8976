// Activation of a class served by another process: the live session with
// its endpoint, or the registered server started and waited for.
#include "ClientSession.h"

#include <rpc/Rpc.h>

#include <platformdebug.h>

#include "KernelNames.h"
#include "SharedChannel.h"
#include "Transport.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace rpc {

namespace {

std::atomic<std::int64_t> g_activationTimeoutMs{kDefaultActivationTimeout.count()};

struct Sessions {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<ClientSession>> byEndpoint;
};

// Never destroyed: the table outlives every proxy, even at exit. A forked
// child gets a new, empty one: the parent's may have been locked or half
// changed by a thread the child does not have, and its sessions are the
// parent's anyway (they refuse calls in the child, see Inherited()).
std::atomic<Sessions*> g_sessions{nullptr};

Sessions& TheSessions() {
  static Sessions* first = [] {
    auto* made = new Sessions;
    g_sessions.store(made);
    ::pthread_atfork(nullptr, nullptr, [] { g_sessions.store(new Sessions); });
    return made;
  }();
  static_cast<void>(first);
  return *g_sessions.load();
}

// The live session with the server at `endpoint`, opened when needed.
std::shared_ptr<ClientSession> SessionFor(const std::string& endpoint, ConnectResult& result,
                                          Clock::time_point deadline) {
  Sessions& sessions = TheSessions();
  std::lock_guard lock(sessions.mutex);
  if (auto known = sessions.byEndpoint[endpoint].lock(); known && !known->Dead()) {
    result = ConnectResult::kConnected;
    return known;
  }
  auto session = std::make_shared<ClientSession>(endpoint);
  result = session->Open(deadline);
  if (result != ConnectResult::kConnected) return nullptr;
  sessions.byEndpoint[endpoint] = session;
  return session;
}

// Why a registration is not used, on stderr, where the host's user sees it
// beside the failure: the activation's failure itself carries only its
// code, as the system's does. E_ACCESSDENIED,
// as for every folder of this layer refused for its owner or mode (and as
// Windows answers a server it may not launch): REGDB_E_CLASSNOTREG would
// have hosts tell the user to register again, which rewrites the file but
// leaves an open folder or program as it is; CO_E_SERVER_EXEC_FAILURE
// would say a server was started and failed, when none was.
HRESULT Untrusted(const std::string& what, const std::string& why) {
  const std::string text = "cannot trust " + what + ": " + why;
  LogError("%s", text.c_str());
  return E_ACCESSDENIED;
}

// The registered command of `clsid` (REGDB_E_CLASSNOTREG when there is
// none). Whoever can write the registration, its folder or the program
// chooses what runs as this user: another user must not be able to.
HRESULT ReadRegistration(REFCLSID clsid, std::vector<std::string>& command) {
  command.clear();
  const std::string path = ClassRegistrationPath(clsid);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return REGDB_E_CLASSNOTREG;
  const std::string folder = path.substr(0, slash);
  // Checked and read through these descriptors, so that what was checked
  // is what is read. O_NONBLOCK: a FIFO planted there must not hang us.
  const Fd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folderFd) return REGDB_E_CLASSNOTREG;
  const Fd file(::openat(folderFd.Get(), path.c_str() + slash + 1, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file) return REGDB_E_CLASSNOTREG;
  struct stat info;
  if (::fstat(folderFd.Get(), &info) != 0) return REGDB_E_CLASSNOTREG;
  if (!kernelnames::KeepsOwnerRule(info, kernelnames::kTrustedConfiguration)) {
    return Untrusted("the class registration folder " + folder,
                     kernelnames::DescribeOwner(info, kernelnames::kTrustedConfiguration));
  }
  if (::fstat(file.Get(), &info) != 0) return REGDB_E_CLASSNOTREG;
  if (!S_ISREG(info.st_mode)) return Untrusted("the class registration " + path, "it is not a regular file");
  if (!kernelnames::KeepsOwnerRule(info, kernelnames::kTrustedConfiguration)) {
    return Untrusted("the class registration " + path,
                     kernelnames::DescribeOwner(info, kernelnames::kTrustedConfiguration));
  }
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = ::read(file.Get(), buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return REGDB_E_CLASSNOTREG;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (command.empty() && line.empty()) continue;
    command.push_back(line);
  }
  if (command.empty()) return REGDB_E_CLASSNOTREG;
  // A program that cannot be examined is left to fail at its start.
  if (::stat(command.front().c_str(), &info) == 0) {
    if (!kernelnames::KeepsOwnerRule(info, kernelnames::kTrustedProgram)) {
      const std::string program = command.front();
      command.clear();
      return Untrusted("the program " + program + " of the class registration " + path,
                       kernelnames::DescribeOwner(info, kernelnames::kTrustedProgram));
    }
  }
  return S_OK;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t got = ::read(fd, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// Starts the registered server detached from this process (it outlives
// the client and is not its child) and returns a descriptor that becomes
// readable when it exits, or an invalid one when it could not be started.
// The server keeps none of this process's standard streams: it serves other
// hosts long after this one, and a pipe of ours held open would keep our
// reader waiting (and one closed later would kill the server with SIGPIPE).
// Its input is /dev/null; its output and errors are appended to `logPath`
// (or /dev/null when that cannot be opened).
Fd StartServer(std::vector<std::string> command, const std::string& logPath) {
  command.push_back("-Embedding");
  std::vector<char*> argv;
  for (std::string& argument : command) argv.push_back(argument.data());
  argv.push_back(nullptr);

  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) return Fd();
  Fd readEnd(status[0]), writeEnd(status[1]);
  Fd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  Fd log(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
  const int output = !log.IsEmpty() ? log.Get() : devNull.Get();

  // Only async-signal-safe calls between fork and exec: the client may
  // have other threads holding locks.
  const pid_t child = ::fork();
  if (child < 0) return Fd();
  if (child == 0) {
    ::setsid();
    const pid_t server = ::fork();
    if (server != 0) {
      ::write(writeEnd.Get(), &server, sizeof server);
      ::_exit(server < 0 ? 1 : 0);
    }
    if (!devNull.IsEmpty()) ::dup2(devNull.Get(), 0);
    if (output >= 0) {
      ::dup2(output, 1);
      ::dup2(output, 2);
    }
    ::syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
    // The server starts with no signal blocked, whatever the host blocks
    // (a host that takes its signals on a thread of its own blocks them in
    // the thread that links, and a mask survives exec).
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv.data());
    const int error = errno;
    ::write(writeEnd.Get(), &error, sizeof error);
    ::_exit(127);
  }
  writeEnd.Reset();
  int childStatus = 0;
  while (::waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
  }
  pid_t server = -1;
  if (!ReadAll(readEnd.Get(), &server, sizeof server) || server <= 0) return Fd();
  int execError = 0;
  if (ReadAll(readEnd.Get(), &execError, sizeof execError)) {
    LogError("cannot start %s: errno %d", argv[0], execError);
    return Fd();
  }
  Fd exited(static_cast<int>(::syscall(SYS_pidfd_open, server, 0)));
  if (!exited) {
    // Without pidfds the wait is only bounded by the time-out.
    exited = std::move(readEnd);
  }
  return exited;
}

HRESULT Stalled(const std::string& endpoint) {
  LogError("the server at %s accepted but did not answer in time", endpoint.c_str());
  return CO_E_SERVER_EXEC_FAILURE;
}

// Looks for the published server at `endpoint`: S_OK with `session` set
// when one answered, S_FALSE when none is there, or the failure of one that
// refused this user or accepted without answering.
HRESULT Reach(const std::string& endpoint, Clock::time_point deadline, std::shared_ptr<ClientSession>& session) {
  ConnectResult connected = ConnectResult::kNoServer;
  session = SessionFor(endpoint, connected, deadline);
  if (session != nullptr) return S_OK;
  if (connected == ConnectResult::kRefused) return E_ACCESSDENIED;
  if (connected == ConnectResult::kStalled) return Stalled(endpoint);
  return S_FALSE;
}

// Waits for the start lock of the class served at `endpoint`, which the
// host that starts its server holds until it has attached to it. A host that finds the lock taken
// connects to that server as soon as it listens instead (`session` set).
// The kernel drops an flock with its process, so a host that crashed while
// starting blocks nobody.
HRESULT LockStart(const std::string& endpoint, const Fd& lockFile, Clock::time_point deadline,
                  std::shared_ptr<ClientSession>& session, FileLockOwnership& held) {
  for (;;) {
    if (::flock(lockFile.Get(), LOCK_EX | LOCK_NB) == 0) {
      held = FileLockOwnership(lockFile.Get());
      return S_OK;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      LogError("cannot lock %s.lock: errno %d", endpoint.c_str(), errno);
      return CO_E_SERVER_EXEC_FAILURE;
    }
    if (const HRESULT reached = Reach(endpoint, deadline, session); reached != S_FALSE) return reached;
    if (Clock::now() >= deadline) {
      LogError("another process did not finish starting the server of %s in time", endpoint.c_str());
      return CO_E_SERVER_EXEC_FAILURE;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Finds the published server of `clsid` or starts the registered one and
// waits for it to publish, all before `deadline`. Hosts that come at the
// same moment start one server between them.
HRESULT ConnectOrStart(REFCLSID clsid, const std::string& directory, const std::string& endpoint,
                       Clock::time_point deadline, std::shared_ptr<ClientSession>& session) {
  HRESULT hr = Reach(endpoint, deadline, session);
  if (hr != S_FALSE) return hr;

  const Fd lockFile(::open(StartLockPath(directory, clsid).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lockFile) {
    LogError("cannot open %s: errno %d", StartLockPath(directory, clsid).c_str(), errno);
    return CO_E_SERVER_EXEC_FAILURE;
  }
  FileLockOwnership held;
  hr = LockStart(endpoint, lockFile, deadline, session, held);
  if (FAILED(hr) || session != nullptr) return hr;
  // The host that held the lock before us may have published meanwhile.
  hr = Reach(endpoint, deadline, session);
  if (hr != S_FALSE) return hr;

  std::vector<std::string> command;
  hr = ReadRegistration(clsid, command);
  if (FAILED(hr)) return hr;
  Fd exited = StartServer(command, ServerLogPath(directory, clsid));
  if (!exited) return CO_E_SERVER_EXEC_FAILURE;
  ConnectResult connected = ConnectResult::kNoServer;
  for (;;) {
    session = SessionFor(endpoint, connected, deadline);
    if (session != nullptr) break;
    if (connected == ConnectResult::kStalled) return Stalled(endpoint);
    if (connected == ConnectResult::kRefused || Clock::now() >= deadline) {
      return CO_E_SERVER_EXEC_FAILURE;
    }
    pollfd watch{exited.Get(), POLLIN, 0};
    if (::poll(&watch, 1, 10) > 0) {
      // The server ended before it published; one last look in case it
      // published and then exited at once.
      session = SessionFor(endpoint, connected, deadline);
      if (session != nullptr) break;
      LogError("the server of %s exited without publishing it", GuidToString(clsid).c_str());
      return CO_E_SERVER_EXEC_FAILURE;
    }
  }
  return S_OK;
}

// Drops `session` from the sessions that activations reuse: its server no
// longer serves the class. Proxies already made through it keep it.
void ForgetSession(const std::string& endpoint, const std::shared_ptr<ClientSession>& session) {
  Sessions& sessions = TheSessions();
  std::lock_guard lock(sessions.mutex);
  const auto found = sessions.byEndpoint.find(endpoint);
  if (found != sessions.byEndpoint.end() && found->second.lock() == session) sessions.byEndpoint.erase(found);
}

}  // namespace

void SetActivationTimeout(std::chrono::milliseconds timeout) { g_activationTimeoutMs.store(timeout.count()); }

HRESULT ActivateRemote(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  IdentityInfo();
  if (FindInterface(iid) == nullptr) return E_NOINTERFACE;
  const std::string directory = EnsureEndpointDirectory();
  if (directory.empty()) return E_ACCESSDENIED;
  const std::string endpoint = EndpointPath(directory, clsid);

  // One bound for the whole activation: starting the server, its
  // publication, the attach and the activation request.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(g_activationTimeoutMs.load());
  // A server may be leaving as we come: gone before the request
  // (kServerUnavailable) or during it (kCallFailed: whatever it made for us
  // went with it), or at the end of its grace period, where it still
  // answers on a channel opened before but has withdrawn the class
  // (REGDB_E_CLASSNOTREG). None of these may fail the link: that session is
  // no longer used for activations and the whole lookup runs again, which
  // finds a newer server or starts one. Bounded, for a server that answers
  // so for good.
  constexpr int kAttempts = 4;
  const HRESULT kWithdrawn = REGDB_E_CLASSNOTREG;
  std::shared_ptr<ClientSession> session;
  HRESULT hr = S_OK;
  ObjectId id = 0;
  for (int attempt = 1;; ++attempt) {
    hr = ConnectOrStart(clsid, directory, endpoint, deadline, session);
    if (FAILED(hr)) return hr;
    hr = session->SimpleRequest(MessageKind::kActivate, 0, &iid, &clsid, 0, &id, &deadline);
    const bool leaving = hr == kServerUnavailable || hr == kCallFailed || hr == kWithdrawn;
    if (!leaving || attempt == kAttempts) break;
    ForgetSession(endpoint, session);
  }
  if (FAILED(hr)) return hr;
  if (id == 0) return E_UNEXPECTED;
  const ReceivedProxy identity = session->ProxyFor(id);
  return QueryReceivedProxy(identity.Get(), iid, object);
}

}  // namespace rpc

namespace rpc::debug {

long ProxyLocalReferences(IUnknown* identity) {
  // Copied out first: a session dropped here must not end under the lock.
  std::vector<std::shared_ptr<rpc::ClientSession>> sessions;
  {
    rpc::Sessions& all = rpc::TheSessions();
    std::lock_guard lock(all.mutex);
    for (const auto& [endpoint, weak] : all.byEndpoint) {
      if (auto session = weak.lock()) sessions.push_back(std::move(session));
    }
  }
  for (const auto& session : sessions) {
    if (const long count = session->LocalReferences(identity); count >= 0) return count;
  }
  return -1;
}

}  // namespace rpc::debug
