// The channels of a client's session (Channel.h): over the socket alone and
// through a shared region.
#include "Channel.h"

#include <cstring>

#include <sys/socket.h>

namespace rpc {

Exchanged SocketChannel::Exchange(std::size_t size) {
  if (!SendMessage(m_socket.Get(), m_request, size)) return Exchanged::kNotSent;
  const long received = ReceiveMessage(m_socket.Get(), m_reply.get(), kMaxMessage);
  // Longer than any message: a reply broken, not a server gone.
  if (received == -2) return Exchanged::kBadReply;
  if (received <= 0) return Exchanged::kLost;
  m_replySize = static_cast<std::size_t>(received);
  return Exchanged::kReplied;
}

void SocketChannel::Close() { ::shutdown(m_socket.Get(), SHUT_RDWR); }

SharedRegionChannel::SharedRegionChannel(Fd socket, SharedMapping mapping)
    : Channel(mapping.Get()->request), m_socket(std::move(socket)), m_mapping(std::move(mapping)) {}

std::unique_ptr<SharedRegionChannel> SharedRegionChannel::Make(Fd socket, SharedMapping mapping) {
  // Watched only once the channel holds the region, so that whatever fails
  // on the way (also an allocation) leaves no callback writing to a region
  // that is gone.
  SharedRegion* region = mapping.Get();
  std::unique_ptr<SharedRegionChannel> channel(new SharedRegionChannel(std::move(socket), std::move(mapping)));
  channel->m_watch = HangupMonitor::Instance().Watch(channel->m_socket.Get(), [region] { CloseRegion(*region); });
  if (channel->m_watch == 0) return nullptr;
  return channel;
}

SharedRegionChannel::~SharedRegionChannel() {
  // Before the region is unmapped: the monitor's callback writes to it.
  HangupMonitor::Instance().Unwatch(m_watch);
}

Exchanged SharedRegionChannel::Exchange(std::size_t size) {
  SharedRegion& region = Region();
  bool delivered = false;
  if (ClientExchange(region, static_cast<std::uint32_t>(size), delivered) == kClosed) {
    return delivered ? Exchanged::kLost : Exchanged::kNotSent;
  }
  // Copied out once: the peer could change the region while it is read.
  const std::uint32_t replySize = region.replySize;
  const bool sane = replySize >= sizeof(Header) && replySize <= kMaxMessage;
  if (sane) std::memcpy(m_reply.get(), region.reply, replySize);
  ClientConsumedReply(region);
  if (!sane) return Exchanged::kBadReply;
  m_replySize = replySize;
  return Exchanged::kReplied;
}

void SharedRegionChannel::Close() { ::shutdown(m_socket.Get(), SHUT_RDWR); }

}  // namespace rpc
