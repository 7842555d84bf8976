// A channel of a client's session: the exchange of one request for one
// reply with the server, used by one call at a time. The session pools its
// channels and does not know how they carry messages: over the socket
// alone, through a region shared with the server, or (in tests) to a
// function of this process.
#pragma once

#include "SharedChannel.h"
#include "Transport.h"

#include <rpc/Rpc.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace rpc {

// How an exchange ended. The session marks itself dead when the server is
// gone; a bad reply costs only the channel.
enum class Exchanged {
  kReplied,   // the reply is in Reply()
  kNotSent,   // the server was gone before it took the request
  kLost,      // the server went after it took the request
  kBadReply,  // a reply that cannot be one; the server may live on
};

class Channel {
 public:
  virtual ~Channel() = default;
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Where the next request is written: kMaxMessage bytes.
  std::uint8_t* Request() const { return m_request; }
  // The reply of the last exchange that ended kReplied, copied out of
  // anything the server could still write to.
  const std::uint8_t* Reply() const { return m_reply.get(); }
  std::size_t ReplySize() const { return m_replySize; }

  // Sends the request of `size` bytes written into Request() and waits for
  // the reply, for as long as the server takes.
  virtual Exchanged Exchange(std::size_t size) = 0;
  // Ends an exchange in progress at once, and every later one (a server
  // that stalls). Safe from another thread.
  virtual void Close() = 0;

 protected:
  explicit Channel(std::uint8_t* request) : m_request(request) {}
  std::uint8_t* m_request;
  std::unique_ptr<std::uint8_t[]> m_reply{new std::uint8_t[kMaxMessage]};
  std::size_t m_replySize = 0;
};

// Every message as one datagram of the channel's socket.
class SocketChannel final : public Channel {
 public:
  explicit SocketChannel(Fd socket) : Channel(nullptr), m_socket(std::move(socket)) { m_request = m_own.get(); }
  Exchanged Exchange(std::size_t size) override;
  void Close() override;

 private:
  Fd m_socket;
  std::unique_ptr<std::uint8_t[]> m_own{new std::uint8_t[kMaxMessage]};
};

// Requests and replies through the region the server mapped at Attach. The
// socket stays silent beside it, the sign of life: the process's hang-up
// monitor closes the region when it hangs up.
class SharedRegionChannel final : public Channel {
 public:
  // Null, the socket closed and the region unmapped, when the hang-up
  // monitor cannot watch the socket: a region whose server's end would go
  // unseen is not used.
  static std::unique_ptr<SharedRegionChannel> Make(Fd socket, SharedMapping mapping);
  ~SharedRegionChannel() override;
  Exchanged Exchange(std::size_t size) override;
  void Close() override;

 private:
  SharedRegionChannel(Fd socket, SharedMapping mapping);
  SharedRegion& Region() const { return *m_mapping.Get(); }
  Fd m_socket;
  SharedMapping m_mapping;
  std::uint64_t m_watch = 0;  // 0: not watched (Unwatch ignores it)
};

}  // namespace rpc
