// The client's sessions with server processes (ClientSession.h): opening
// and attaching channels, the pool of idle channels, one exchange, and the
// end of a session when its server goes.
#include "ClientSession.h"

namespace rpc {

StallWatch::~StallWatch() {
  if (!m_thread.joinable()) return;
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
  ::shutdown(m_socket, SHUT_RDWR);
}

ConnectResult ClientSession::Open(Clock::time_point deadline) {
  Fd socket;
  const ConnectResult result = ConnectEndpoint(m_endpoint, socket);
  if (result != ConnectResult::kConnected) return result;
  auto channel = std::make_unique<ClientChannel>(std::move(socket));
  StallWatch watch(channel->socket.Get(), deadline);
  if (!AttachChannel(*channel)) return watch.Fired() ? ConnectResult::kStalled : ConnectResult::kNoServer;
  std::lock_guard lock(m_poolMutex);
  m_idle.push_back(std::move(channel));
  return ConnectResult::kConnected;
}

void ClientSession::MarkDead() {
  // The server is gone, and with it its holds on named sections: those
  // that nobody else holds are freed now rather than when the next
  // process of the user opens the namespace.
  if (!m_dead.exchange(true, std::memory_order_acq_rel) && !m_loopback) kernelnames::ReclaimAbandoned();
  std::vector<std::unique_ptr<ClientChannel>> idle;
  {
    std::lock_guard lock(m_poolMutex);
    idle.swap(m_idle);
  }
}

std::unique_ptr<ClientChannel> ClientSession::Take(HRESULT& status) {
  if (Dead()) {
    status = kServerUnavailable;
    return nullptr;
  }
  {
    std::lock_guard lock(m_poolMutex);
    if (!m_idle.empty()) {
      std::unique_ptr<ClientChannel> channel = std::move(m_idle.back());
      m_idle.pop_back();
      return channel;
    }
  }
  if (m_loopback) return std::make_unique<ClientChannel>(Fd());
  Fd socket;
  if (ConnectEndpoint(m_endpoint, socket) == ConnectResult::kConnected) {
    auto channel = std::make_unique<ClientChannel>(std::move(socket));
    if (AttachChannel(*channel)) return channel;
  }
  MarkDead();
  status = kServerUnavailable;
  return nullptr;
}

void ClientSession::Give(std::unique_ptr<ClientChannel> channel) {
  if (Dead()) return;  // dropped: its server is gone
  std::lock_guard lock(m_poolMutex);
  m_idle.push_back(std::move(channel));
}

HRESULT ClientSession::Exchange(ClientChannel& channel, std::size_t size) {
  if (m_loopback) {
    channel.replySize = m_loopback(channel.request, size, channel.reply.get(), kMaxMessage);
    return channel.replySize != 0 ? S_OK : kCallFailed;
  }
  if (SharedRegion* region = channel.shared.Get(); region != nullptr && channel.monitorId != 0) {
    bool delivered = false;
    if (ClientExchange(*region, static_cast<std::uint32_t>(size), delivered) == kClosed) {
      MarkDead();
      return delivered ? kCallFailed : kServerUnavailable;
    }
    // Copied out once: the peer could change the region while it is read.
    const std::uint32_t replySize = region->replySize;
    const bool sane = replySize >= sizeof(Header) && replySize <= kMaxMessage;
    if (sane) std::memcpy(channel.reply.get(), region->reply, replySize);
    ClientConsumedReply(*region);
    if (!sane) return kCallFailed;
    channel.replySize = replySize;
    return S_OK;
  }
  if (!SendMessage(channel.socket.Get(), channel.request, size)) {
    MarkDead();
    return kServerUnavailable;
  }
  const long received = ReceiveMessage(channel.socket.Get(), channel.reply.get(), kMaxMessage);
  if (received <= 0) {
    if (received != -2) MarkDead();
    return kCallFailed;
  }
  channel.replySize = static_cast<std::size_t>(received);
  return S_OK;
}

HRESULT ClientSession::SimpleRequest(MessageKind kind, ObjectId object, const IID* iid, const CLSID* clsid,
                                     std::uint32_t count, ObjectId* returned, const Clock::time_point* deadline) {
  HRESULT status = S_OK;
  std::unique_ptr<ClientChannel> channel = Take(status);
  if (channel == nullptr) return status;
  std::optional<StallWatch> watch;
  if (deadline != nullptr) watch.emplace(channel->socket.Get(), *deadline);
  Writer writer(channel->request, kMaxMessage);
  writer.Skip(sizeof(Header));
  if (clsid != nullptr) writer.Value(*clsid);
  if (object != 0) writer.Value(object);
  if (iid != nullptr) writer.Value(*iid);
  if (kind == MessageKind::kRelease) writer.Value(count);
  writer.Finish(kind, GetCurrentThreadId());
  HRESULT hr = Exchange(*channel, writer.Size());
  const bool stalled = watch && watch->Fired();
  watch.reset();  // before the channel, and its socket, may go
  if (stalled) {
    LogError("the server at %s accepted but did not answer in time", m_endpoint.c_str());
    return CO_E_SERVER_EXEC_FAILURE;  // the channel is dropped: its socket is shut down
  }
  if (SUCCEEDED(hr)) {
    Reader reader(channel->reply.get(), channel->replySize);
    Header header;
    ObjectId id = 0;
    bool ok = ReadHeader(reader, channel->replySize, header) && header.kind == std::uint16_t(MessageKind::kReply) &&
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

bool ClientSession::AttachChannel(ClientChannel& channel) {
  Writer writer(channel.request, kMaxMessage);
  writer.Skip(sizeof(Header));
  writer.Value(m_token);
  writer.Finish(MessageKind::kAttach, GetCurrentThreadId());
  Fd passed;
  const bool offered = m_useShared && channel.shared.Create(passed);
  if (!SendMessage(channel.socket.Get(), writer.Data(), writer.Size(), passed.Get())) return false;
  passed.Reset();
  const long received = ReceiveMessage(channel.socket.Get(), channel.reply.get(), kMaxMessage);
  if (received <= 0) return false;
  Reader reader(channel.reply.get(), static_cast<std::size_t>(received));
  Header header;
  HRESULT hr = E_FAIL;
  std::uint64_t token = 0;
  std::uint32_t sharedTaken = 0;
  if (!ReadHeader(reader, static_cast<std::size_t>(received), header) || !reader.Value(hr) || !reader.Value(token) ||
      !reader.Value(sharedTaken) || !reader.AtEnd() || FAILED(hr) || token == 0 || (m_token != 0 && token != m_token)) {
    return false;
  }
  if (m_token == 0) m_token = token;  // only while Open runs, before the session is shared
  if (offered && sharedTaken == 1) {
    SharedRegion* region = channel.shared.Get();
    channel.monitorId = HangupMonitor::Instance().Watch(channel.socket.Get(), [region] { CloseRegion(*region); });
    if (channel.monitorId != 0) channel.request = region->request;
  }
  return true;
}

StallWatch::StallWatch(int socket, Clock::time_point deadline) : m_socket(socket), m_deadline(deadline) {
  if (m_socket >= 0) m_thread = std::thread([this] { Run(); });
}

}  // namespace rpc
