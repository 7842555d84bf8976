// Publication of class objects to the other processes of the same user:
// one listening socket per published class, one thread per accepted
// connection (a channel of some client's session), serving its requests
// one after the other. Calls of different client threads arrive on
// different channels and so run concurrently.
#include <rpc/Rpc.h>

#include "ServerDispatch.h"
#include "SharedChannel.h"
#include "Transport.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace rpc {
namespace {

struct Publication {
  DWORD cookie = 0;
  CLSID clsid{};
  comsupport::CComPtr<IUnknown> factory;  // held while published
  std::string path;
  ino_t inode = 0;
  Fd listener;
  Fd wake;
  std::thread acceptor;
};

struct Publications {
  std::mutex mutex;
  std::vector<std::unique_ptr<Publication>> list;
};

Publications& ThePublications() {
  static auto* publications = new Publications;  // read by connection threads until exit
  return *publications;
}

comsupport::CComPtr<IUnknown> FindFactory(REFCLSID clsid) {
  Publications& publications = ThePublications();
  std::lock_guard lock(publications.mutex);
  for (auto& publication : publications.list) {
    if (IsEqualCLSID(publication->clsid, clsid)) return publication->factory;
  }
  return nullptr;
}

// Logged once when a connection is dropped for a message it refused.
void LogRefusal(Refusal refusal, std::size_t size) {
  LogError("refused a message of %zu bytes (%s); closing the connection", size, RefusalText(refusal));
}

// Requests through the shared region until the client hangs up or breaks
// the protocol. Each request is copied out first: the client can write the
// region at any time, and the decoder must see one fixed message.
void ServeShared(ConnectionState& state, SharedRegion& region, int socket, std::uint8_t* request) {
  const std::uint64_t watch = HangupMonitor::Instance().Watch(socket, [&region] { CloseRegion(region); });
  if (watch == 0) return;
  while (ServerAwaitRequest(region) == kRequest) {
    const std::uint32_t received = region.requestSize;
    if (received > kMaxMessage) {
      LogRefusal(Refusal::kOversized, received);
      break;
    }
    std::memcpy(request, region.request, received);
    const Handled handled = HandleMessage(state, request, received, region.reply);
    if (handled.refusal != Refusal::kNone) {
      LogRefusal(handled.refusal, received);
      break;
    }
    ServerPublishReply(region, static_cast<std::uint32_t>(handled.replySize));
  }
  HangupMonitor::Instance().Unwatch(watch);
}

bool IsAttach(const std::uint8_t* message, long size) {
  Header header;
  if (size < static_cast<long>(sizeof header)) return false;
  std::memcpy(&header, message, sizeof header);
  return header.kind == static_cast<std::uint16_t>(MessageKind::kAttach);
}

void ServeConnection(Fd socket) {
  std::unique_ptr<std::uint8_t[]> request(new std::uint8_t[kMaxMessage]);
  std::unique_ptr<std::uint8_t[]> reply(new std::uint8_t[kMaxMessage]);
  std::unique_ptr<SharedMapping> shared;
  ConnectionState state;
  state.factories = &FindFactory;
  for (;;) {
    Fd passed;
    const long received = ReceiveMessage(socket.Get(), request.get(), kMaxMessage, &passed);
    if (received == 0) break;  // the client closed the channel or died
    if (received == -2) {
      LogError("refused a message of more than %zu bytes (%s); closing the connection", kMaxMessage,
               RefusalText(Refusal::kOversized));
      break;
    }
    if (received < 0) {
      LogError("receive failed; closing the connection");
      break;
    }
    // A region is taken only with the first Attach; anything else sent
    // along is closed unread.
    if (!passed.IsEmpty() && shared == nullptr && state.session == nullptr && IsAttach(request.get(), received)) {
      shared = std::make_unique<SharedMapping>();
      if (!shared->Map(passed.Get())) shared.reset();
    }
    passed.Reset();
    state.sharedMapped = shared != nullptr;
    const Handled handled = HandleMessage(state, request.get(), static_cast<std::size_t>(received), reply.get());
    if (handled.refusal != Refusal::kNone) {
      LogRefusal(handled.refusal, static_cast<std::size_t>(received));
      break;
    }
    if (!SendMessage(socket.Get(), reply.get(), handled.replySize)) break;
    if (shared != nullptr && state.session != nullptr) {
      ServeShared(state, *shared->Get(), socket.Get(), request.get());
      break;
    }
    shared.reset();
  }
  // Dropping the state ends the session when this was its last channel.
}

void Accept(Publication* publication) {
  for (;;) {
    pollfd watch[2] = {{publication->listener.Get(), POLLIN, 0}, {publication->wake.Get(), POLLIN, 0}};
    if (::poll(watch, 2, -1) < 0) {
      if (errno == EINTR) continue;
      LogError("poll failed: errno %d", errno);
      return;
    }
    if (watch[1].revents != 0) return;
    if ((watch[0].revents & POLLIN) == 0) continue;
    Fd client(::accept4(publication->listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) continue;
    if (!PeerIsSameUser(client.Get())) {
      LogError("refused a connection from another user");
      continue;
    }
    std::thread(ServeConnection, std::move(client)).detach();
  }
}

}  // namespace

HRESULT PublishClass(DWORD cookie, REFCLSID clsid, IUnknown* factory, DWORD /*flags*/) {
  if (factory == nullptr) return E_INVALIDARG;
  const std::string directory = EnsureEndpointDirectory();
  if (directory.empty()) return E_ACCESSDENIED;
  auto publication = std::make_unique<Publication>();
  publication->cookie = cookie;
  publication->clsid = clsid;
  publication->path = EndpointPath(directory, clsid);

  const SocketAddress address(publication->path);
  if (!address.Valid()) {
    LogError("cannot reach the folder of %s: errno %d", publication->path.c_str(), errno);
    return E_ACCESSDENIED;
  }
  publication->listener = Fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  publication->wake = Fd(::eventfd(0, EFD_CLOEXEC));
  if (!publication->listener || !publication->wake) return E_OUTOFMEMORY;
  // The newest publication of a class wins: an endpoint left by a server
  // that died, or held by an older one, is replaced.
  ::unlink(publication->path.c_str());
  if (::bind(publication->listener.Get(), address.Get(), address.Size()) != 0 ||
      ::listen(publication->listener.Get(), 64) != 0) {
    LogError("cannot listen at %s: errno %d", publication->path.c_str(), errno);
    return E_ACCESSDENIED;
  }
  struct stat info;
  if (::stat(publication->path.c_str(), &info) == 0) publication->inode = info.st_ino;

  publication->factory = factory;
  Publication* raw = publication.get();
  {
    std::lock_guard lock(ThePublications().mutex);
    ThePublications().list.push_back(std::move(publication));
  }
  raw->acceptor = std::thread(Accept, raw);
  return S_OK;
}

void WithdrawClass(DWORD cookie) {
  std::unique_ptr<Publication> publication;
  {
    Publications& publications = ThePublications();
    std::lock_guard lock(publications.mutex);
    for (auto it = publications.list.begin(); it != publications.list.end(); ++it) {
      if ((*it)->cookie == cookie) {
        publication = std::move(*it);
        publications.list.erase(it);
        break;
      }
    }
  }
  if (publication == nullptr) return;
  const std::uint64_t one = 1;
  (void)!::write(publication->wake.Get(), &one, sizeof one);
  publication->acceptor.join();
  // Remove the endpoint only if it is still ours, not a newer server's.
  struct stat info;
  if (::stat(publication->path.c_str(), &info) == 0 && info.st_ino == publication->inode) {
    ::unlink(publication->path.c_str());
  }
  // The factory goes with the publication.
}

}  // namespace rpc
