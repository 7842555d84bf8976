// The client's sessions with server processes (ClientSession.h): opening
// and attaching channels, the pool of idle channels, one exchange, and the
// end of a session when its server goes.
#include "ClientSession.h"

#include <atomic>

namespace rpc {

namespace {
// Every request this process sent, for benchmarks that count the remote
// calls an operation costs.
std::atomic<std::int64_t> g_roundTrips{0};
}  // namespace

namespace debug {
std::int64_t RoundTrips() { return g_roundTrips.load(std::memory_order_relaxed); }
}  // namespace debug

StallWatch::StallWatch(std::function<void()> stall, Clock::time_point deadline)
    : m_stall(std::move(stall)), m_deadline(deadline), m_thread([this] { Run(); }) {}

StallWatch::~StallWatch() {
  {
    std::lock_guard lock(m_mutex);
    m_done = true;
  }
  m_wake.notify_one();
  m_thread.join();
}

void StallWatch::Run() {
  std::unique_lock lock(m_mutex);
  if (m_wake.wait_until(lock, m_deadline, [this] { return m_done; })) return;
  m_fired = true;
  m_stall();
}

ConnectResult ClientSession::Open(Clock::time_point deadline) {
  Fd socket;
  const ConnectResult result = ConnectEndpoint(m_endpoint, socket);
  if (result != ConnectResult::kConnected) return result;
  std::unique_ptr<Channel> channel;
  bool stalled = false;
  {
    // The socket, or the channel that took it, outlives the watch.
    StallWatch watch([fd = socket.Get()] { ::shutdown(fd, SHUT_RDWR); }, deadline);
    channel = Attach(socket);
    stalled = watch.Fired();
  }
  if (channel == nullptr) return stalled ? ConnectResult::kStalled : ConnectResult::kNoServer;
  std::lock_guard lock(m_poolMutex);
  m_idle.push_back(std::move(channel));
  return ConnectResult::kConnected;
}

void ClientSession::MarkDead() {
  // The server is gone, and with it its holds on named sections: those
  // that nobody else holds are freed now rather than when the next
  // process of the user opens the namespace.
  if (!m_dead.exchange(true, std::memory_order_acq_rel)) kernelnames::ReclaimAbandoned();
  std::vector<std::unique_ptr<Channel>> idle;
  {
    std::lock_guard lock(m_poolMutex);
    idle.swap(m_idle);
  }
}

ClientSession::~ClientSession() {
  if (Inherited()) {
    // The parent's channels: closing one would unwatch its socket in the
    // epoll instance the parent still uses, or mark its region closed.
    for (std::unique_ptr<Channel>& channel : m_idle) static_cast<void>(channel.release());
  }
}

std::unique_ptr<Channel> ClientSession::Take(HRESULT& status) {
  if (Dead() || Inherited()) {
    status = kServerUnavailable;
    return nullptr;
  }
  {
    std::lock_guard lock(m_poolMutex);
    if (!m_idle.empty()) {
      std::unique_ptr<Channel> channel = std::move(m_idle.back());
      m_idle.pop_back();
      return channel;
    }
  }
  if (std::unique_ptr<Channel> channel = NewChannel()) return channel;
  MarkDead();
  status = kServerUnavailable;
  return nullptr;
}

std::unique_ptr<Channel> ClientSession::NewChannel() {
  Fd socket;
  if (ConnectEndpoint(m_endpoint, socket) != ConnectResult::kConnected) return nullptr;
  return Attach(socket);
}

void ClientSession::Give(std::unique_ptr<Channel> channel) {
  if (Dead()) return;  // dropped: its server is gone
  std::lock_guard lock(m_poolMutex);
  m_idle.push_back(std::move(channel));
}

HRESULT ClientSession::Exchange(Channel& channel, std::size_t size) {
  g_roundTrips.fetch_add(1, std::memory_order_relaxed);
  switch (channel.Exchange(size)) {
    case Exchanged::kReplied:
      return S_OK;
    case Exchanged::kNotSent:
      MarkDead();
      return kServerUnavailable;
    case Exchanged::kLost:
      MarkDead();
      return kCallFailed;
    case Exchanged::kBadReply:
      break;
  }
  return kCallFailed;
}

HRESULT ClientSession::SimpleRequest(MessageKind kind, ObjectId object, const IID* iid, const CLSID* clsid,
                                     std::uint32_t count, ObjectId* returned, const Clock::time_point* deadline) {
  HRESULT status = S_OK;
  std::unique_ptr<Channel> channel = Take(status);
  if (channel == nullptr) return status;
  std::optional<StallWatch> watch;
  if (deadline != nullptr) watch.emplace([&channel] { channel->Close(); }, *deadline);
  Writer writer(channel->Request(), kMaxMessage);
  writer.Skip(sizeof(Header));
  if (clsid != nullptr) writer.Value(*clsid);
  if (object != 0) writer.Value(object);
  if (iid != nullptr) writer.Value(*iid);
  if (kind == MessageKind::kRelease) writer.Value(count);
  writer.Finish(kind, GetCurrentThreadId());
  HRESULT hr = Exchange(*channel, writer.Size());
  const bool stalled = watch && watch->Fired();
  watch.reset();  // before the channel may go
  if (stalled) {
    LogError("the server at %s accepted but did not answer in time", m_endpoint.c_str());
    return CO_E_SERVER_EXEC_FAILURE;  // the channel is dropped: it is closed
  }
  if (SUCCEEDED(hr)) {
    Reader reader(channel->Reply(), channel->ReplySize());
    Header header;
    ObjectId id = 0;
    bool ok = ReadHeader(reader, channel->ReplySize(), header) && header.kind == std::uint16_t(MessageKind::kReply) &&
              reader.Value(hr);
    if (ok && returned != nullptr) ok = reader.Value(id);
    if (!ok || !reader.AtEnd()) {
      LogError("malformed reply from the server at %s", m_endpoint.c_str());
      return kCallFailed;  // the channel is dropped
    }
    if (returned != nullptr) *returned = id;
  }
  Give(std::move(channel));
  return hr;
}

std::unique_ptr<Channel> ClientSession::Attach(Fd& socket) {
  // The Attach and its reply are a few bytes; the channel's buffers come
  // once it is known which kind of channel the server agreed to.
  std::uint8_t request[sizeof(Header) + sizeof m_token];
  Writer writer(request, sizeof request);
  writer.Skip(sizeof(Header));
  writer.Value(m_token);
  writer.Finish(MessageKind::kAttach, GetCurrentThreadId());
  SharedMapping mapping;
  Fd passed;
  const bool offered = m_useShared && mapping.Create(passed);
  if (!SendMessage(socket.Get(), writer.Data(), writer.Size(), passed.Get())) return nullptr;
  passed.Reset();
  std::uint8_t reply[sizeof(Header) + sizeof(HRESULT) + sizeof m_token + sizeof(std::uint32_t)];
  const long received = ReceiveMessage(socket.Get(), reply, sizeof reply);
  if (received <= 0) return nullptr;
  Reader reader(reply, static_cast<std::size_t>(received));
  Header header;
  HRESULT hr = E_FAIL;
  std::uint64_t token = 0;
  std::uint32_t sharedTaken = 0;
  if (!ReadHeader(reader, static_cast<std::size_t>(received), header) || !reader.Value(hr) || !reader.Value(token) ||
      !reader.Value(sharedTaken) || !reader.AtEnd() || FAILED(hr) || token == 0 || (m_token != 0 && token != m_token)) {
    return nullptr;
  }
  if (m_token == 0) m_token = token;  // only while Open runs, before the session is shared
  // A server that took the region reads nothing else: without it, the
  // channel is of no use.
  if (offered && sharedTaken == 1) return SharedRegionChannel::Make(std::move(socket), std::move(mapping));
  return std::make_unique<SocketChannel>(std::move(socket));
}

}  // namespace rpc
