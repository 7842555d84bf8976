// The fast path of a channel: a region of shared memory holding one request
// and one reply, handed from client to server at Attach as a memfd over
// the channel's socket. Each side waits for the other with a short bounded
// spin (yielding between looks when the other side was last seen on its
// own CPU) and then a futex. The socket stays open beside it for credentials
// and as the sign of life: when it hangs up, the hang-up monitor of the
// process marks the region closed and wakes whoever waits on it.
#pragma once

#include <comsupport/FileDescriptor.h>
#include <rpc/Wire.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace rpc {

enum ChannelState : std::uint32_t {
  kIdle = 0,
  kRequest = 1,  // written by the client, not yet taken
  kServing = 2,  // taken by the server
  kReplied = 3,  // reply written
  kClosed = 4,   // the peer is gone
};

struct SharedRegion {
  std::atomic<std::uint32_t> state;
  std::atomic<std::uint32_t> serverSleeping;
  std::atomic<std::uint32_t> clientSleeping;
  std::atomic<std::uint32_t> closedIn;  // the state in which the channel was closed
  // The CPU each side's thread last ran on, plus one (0: not known yet; the
  // region starts zero-filled). Only a hint for how the other side waits.
  std::atomic<std::uint32_t> clientCpu;
  std::atomic<std::uint32_t> serverCpu;
  // Non-zero when the client wants the server's times of this request
  // (debug::RecordExchangeTimes); the server then writes both.
  std::uint32_t stampRequest;
  std::uint64_t takenAt, repliedAt;
  std::uint32_t requestSize;
  std::uint32_t replySize;
  std::uint8_t request[kMaxMessage];
  std::uint8_t reply[kMaxMessage];
};

// A mapping of a region, unmapped exactly once.
struct MappedRegionTraits {
  using Type = SharedRegion*;
  static Type Empty() noexcept { return nullptr; }
  static void Release(Type region) noexcept;
};

class SharedMapping {
 public:
  // A new region and its memfd in `fd` (which the caller closes after
  // sending).
  bool Create(comsupport::UniqueFd& fd);
  // Maps a region received from a peer; false when it is not one.
  bool Map(int fd);
  SharedRegion* Get() const { return m_region.Get(); }

 private:
  comsupport::UniqueResource<MappedRegionTraits> m_region;
};

// The client's half of one exchange: publishes the request of `size` bytes
// and waits for the reply. Returns kReplied, or kClosed with `delivered`
// telling whether the server had taken the request.
ChannelState ClientExchange(SharedRegion& region, std::uint32_t size, bool& delivered);

// Gives the region back for the next request once the reply was copied.
void ClientConsumedReply(SharedRegion& region);

// The server's wait for the next request: kRequest (now kServing) or kClosed.
ChannelState ServerAwaitRequest(SharedRegion& region);
void ServerPublishReply(SharedRegion& region, std::uint32_t size);

// Marks a region closed (the peer hung up) and wakes both sides.
void CloseRegion(SharedRegion& region);

// How many fork()s lie between the process that started this program and
// this one: 0 in it, one more in each child. A child inherits its parent's
// sessions, channels and hang-up monitor, all of which still serve the
// parent (the same sockets, regions and epoll instance): the child must
// neither use nor tear down any of them, only make its own.
std::uint32_t ProcessGeneration();
// The same, once the handlers that count forks (and give a child a monitor
// of its own) are installed: for whatever must tell a child from its parent.
std::uint32_t WatchForks();

// One thread per process watches the sockets of shared channels and runs a
// callback when one hangs up. After Unwatch returns the callback neither
// runs nor will run. A forked child gets a monitor of its own on first use;
// the parent's, inherited without its thread, is left alone.
class HangupMonitor {
 public:
  static HangupMonitor& Instance();
  std::uint64_t Watch(int socket, std::function<void()> onHangup);
  void Unwatch(std::uint64_t id);

 private:
  HangupMonitor();
  void Run();
  struct State;
  State* m_state;
};

}  // namespace rpc
