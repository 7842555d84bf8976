#include "SharedChannel.h"

#include "Transport.h"

#include <rpc/Rpc.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <linux/futex.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace rpc {
namespace {

// Not FUTEX_PRIVATE: the word lives in memory shared by two processes.
void FutexWake(std::atomic<std::uint32_t>& word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT, expected, nullptr, nullptr, 0);
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Spinning pays only while the thread on the other side has a core of its
// own; with more waiters than that they would steal each other's cores.
// So at most half the cores spin at a time, the other waiters sleep at once.
std::atomic<unsigned> g_spinners{0};

unsigned SpinSlots() {
  static const unsigned slots = std::max(1u, std::thread::hardware_concurrency() / 2);
  return slots;
}

// Spinning pays only while the other side runs on a core of its own. When
// the machine is busy it does not, and a spin only burns the time slice that
// the peer needs: each thread keeps a credit that successful spins raise and
// failed ones lower; without credit it sleeps at once and only now and then
// tries spinning again.
struct SpinCredit {
  int credit = 4;
  unsigned sinceProbe = 0;
};
thread_local SpinCredit t_spinCredit;

// The CPU this thread runs on now, plus one, as the region keeps it.
std::uint32_t CpuHint() {
  const int cpu = ::sched_getcpu();
  return cpu < 0 ? 0 : static_cast<std::uint32_t>(cpu) + 1;
}

// True when the peer was last seen on this thread's CPU. A call is a chain
// of three threads (the host's, the communication thread, the server's) on
// what may be two CPUs, so the side that waits often shares its CPU with
// the very thread it waits for, queued behind it: spinning there only
// delays the answer until the spin gives up. Yielding lets that thread run
// at once. Elsewhere the peer has a CPU and a spin is the fastest wait.
bool PeerSharesCpu(const std::atomic<std::uint32_t>& peerCpu, std::uint32_t mine) {
  const std::uint32_t peer = peerCpu.load(std::memory_order_relaxed);
  return peer != 0 && peer == mine;
}

// True when this process may run on more than one CPU. Read once: a server
// is not moved between sets of CPUs while it serves.
bool ManyCpus() {
  static const bool many = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    return ::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
  }();
  return many;
}

template <class Ready>
bool SpinUntil(Ready ready, std::chrono::nanoseconds budget, bool yield) {
  if (yield) {
    // A yielding waiter takes no core from anybody: it needs no spin slot,
    // and a failed yield says nothing about the machine's load.
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      if (ready()) return true;
      sched_yield();
      if (std::chrono::steady_clock::now() - start > budget) return ready();
    }
  }
  SpinCredit& credit = t_spinCredit;
  if (credit.credit <= 0 && ++credit.sinceProbe % 32 != 0) return ready();
  if (g_spinners.fetch_add(1, std::memory_order_relaxed) >= SpinSlots()) {
    g_spinners.fetch_sub(1, std::memory_order_relaxed);
    return ready();
  }
  const auto start = std::chrono::steady_clock::now();
  bool done = false;
  for (unsigned i = 1;; ++i) {
    if (ready()) {
      done = true;
      break;
    }
    CpuRelax();
    if ((i & 63) == 0 && std::chrono::steady_clock::now() - start > budget) break;
  }
  g_spinners.fetch_sub(1, std::memory_order_relaxed);
  credit.credit = done ? std::min(credit.credit + 1, 8) : std::max(credit.credit - 2, -8);
  return done;
}

// How long each side keeps its core before sleeping: about the cost of a
// wake-up from a real sleep, so that spinning never costs more than it saves
// by much; the server spins longer because calls tend to come in runs.
constexpr std::chrono::microseconds kClientSpin{10};
constexpr std::chrono::microseconds kServerSpin{20};
// A client that has just woken the server waits longer: the server needs
// about one wake-up's time before it can answer, and a client asleep by
// then would cost a second wake-up on the way back.
constexpr std::chrono::microseconds kClientSpinAfterWake{60};

std::atomic<bool> g_recordTimes{false};
debug::ExchangeTimes g_lastTimes;
debug::ExchangeSums g_sums;  // written by communication threads only while recording

std::uint64_t SteadyNanoseconds() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

constexpr unsigned kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;

}  // namespace

void MappedRegionTraits::Release(SharedRegion* region) noexcept { ::munmap(region, sizeof(SharedRegion)); }

bool SharedMapping::Create(comsupport::UniqueFd& fd) {
  comsupport::UniqueFd created(::memfd_create("moravane-channel", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!created) return false;
  // Sealed at its size, so that the peer can rely on the mapping: neither
  // side can shrink it under the other (which would fault on access).
  if (::ftruncate(created.Get(), sizeof(SharedRegion)) != 0 || ::fcntl(created.Get(), F_ADD_SEALS, kSeals) != 0) {
    return false;
  }
  void* address = ::mmap(nullptr, sizeof(SharedRegion), PROT_READ | PROT_WRITE, MAP_SHARED, created.Get(), 0);
  if (address == MAP_FAILED) return false;
  m_region.Reset(static_cast<SharedRegion*>(address));  // zero-filled: kIdle, nobody sleeping
  fd = std::move(created);
  return true;
}

bool SharedMapping::Map(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != static_cast<off_t>(sizeof(SharedRegion))) {
    return false;
  }
  const int seals = ::fcntl(fd, F_GET_SEALS);
  if (seals < 0 || (static_cast<unsigned>(seals) & kSeals) != kSeals) return false;
  void* address = ::mmap(nullptr, sizeof(SharedRegion), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return false;
  m_region.Reset(static_cast<SharedRegion*>(address));
  return true;
}

ChannelState ClientExchange(SharedRegion& region, std::uint32_t size, bool& delivered) {
  delivered = false;
  region.requestSize = size;
  const std::uint32_t cpu = CpuHint();
  region.clientCpu.store(cpu, std::memory_order_relaxed);
  const bool stamp = g_recordTimes.load(std::memory_order_relaxed);
  region.stampRequest = stamp ? 1 : 0;
  const std::uint64_t posted = stamp ? SteadyNanoseconds() : 0;
  std::uint32_t expected = kIdle;
  if (!region.state.compare_exchange_strong(expected, kRequest, std::memory_order_seq_cst)) return kClosed;
  const bool wokeServer = region.serverSleeping.load(std::memory_order_seq_cst) != 0;
  if (wokeServer) FutexWake(region.state);

  auto answered = [&region] {
    const std::uint32_t state = region.state.load(std::memory_order_acquire);
    return state == kReplied || state == kClosed;
  };
  if (!SpinUntil(answered, wokeServer ? kClientSpinAfterWake : kClientSpin, PeerSharesCpu(region.serverCpu, cpu))) {
    region.clientSleeping.store(1, std::memory_order_seq_cst);
    for (;;) {
      const std::uint32_t state = region.state.load(std::memory_order_seq_cst);
      if (state == kReplied || state == kClosed) break;
      FutexWait(region.state, state);
    }
    region.clientSleeping.store(0, std::memory_order_relaxed);
  }
  if (region.state.load(std::memory_order_acquire) == kReplied) {
    if (stamp) {
      g_lastTimes = {posted,
                     region.takenAt,
                     region.repliedAt,
                     SteadyNanoseconds(),
                     static_cast<int>(region.clientCpu.load(std::memory_order_relaxed)) - 1,
                     static_cast<int>(region.serverCpu.load(std::memory_order_relaxed)) - 1};
      ++g_sums.count;
      g_sums.serverPickUp += g_lastTimes.taken - g_lastTimes.posted;
      g_sums.serve += g_lastTimes.replied - g_lastTimes.taken;
      g_sums.clientPickUp += g_lastTimes.seen - g_lastTimes.replied;
    }
    delivered = true;
    return kReplied;
  }
  delivered = region.closedIn.load(std::memory_order_acquire) != kRequest;
  return kClosed;
}

void ClientConsumedReply(SharedRegion& region) {
  std::uint32_t expected = kReplied;
  region.state.compare_exchange_strong(expected, kIdle, std::memory_order_release);
}

ChannelState ServerAwaitRequest(SharedRegion& region) {
  auto arrived = [&region] {
    const std::uint32_t state = region.state.load(std::memory_order_acquire);
    return state == kRequest || state == kClosed;
  };
  // A server that finds its client on its own CPU while it could use
  // another has been put there because the other CPU is busy: the host's
  // two threads and this one then take turns on one CPU, and the host's
  // threads give the CPU away between looks. A third thread doing the same
  // only adds itself to every round of turns (each call took two rounds of
  // three switches), so the server sleeps at once and is woken with the
  // request. On a single CPU the host's threads sleep instead of yielding
  // (the library spins on none), and a yield goes straight to the client.
  const bool shares = PeerSharesCpu(region.clientCpu, CpuHint());
  if (!(shares && ManyCpus() ? arrived() : SpinUntil(arrived, kServerSpin, shares))) {
    region.serverSleeping.store(1, std::memory_order_seq_cst);
    for (;;) {
      const std::uint32_t state = region.state.load(std::memory_order_seq_cst);
      if (state == kRequest || state == kClosed) break;
      FutexWait(region.state, state);
    }
    region.serverSleeping.store(0, std::memory_order_relaxed);
  }
  std::uint32_t expected = kRequest;
  if (region.state.compare_exchange_strong(expected, kServing, std::memory_order_acq_rel)) {
    if (region.stampRequest != 0) region.takenAt = SteadyNanoseconds();
    return kRequest;
  }
  return kClosed;
}

void ServerPublishReply(SharedRegion& region, std::uint32_t size) {
  region.replySize = size;
  region.serverCpu.store(CpuHint(), std::memory_order_relaxed);
  if (region.stampRequest != 0) region.repliedAt = SteadyNanoseconds();
  std::uint32_t expected = kServing;
  if (!region.state.compare_exchange_strong(expected, kReplied, std::memory_order_seq_cst)) return;  // closed
  if (region.clientSleeping.load(std::memory_order_seq_cst) != 0) FutexWake(region.state);
}

void CloseRegion(SharedRegion& region) {
  std::uint32_t state = region.state.load(std::memory_order_acquire);
  do {
    if (state == kClosed) return;
    region.closedIn.store(state, std::memory_order_relaxed);
  } while (!region.state.compare_exchange_weak(state, kClosed, std::memory_order_acq_rel));
  FutexWake(region.state);
}

struct HangupMonitor::State {
  std::mutex mutex;
  Fd epoll;
  struct Entry {
    int socket;
    std::function<void()> onHangup;
  };
  std::unordered_map<std::uint64_t, Entry> entries;
  std::uint64_t next = 1;
};

namespace {

std::atomic<std::uint32_t> g_processGeneration{0};
std::mutex g_monitorCreation;
HangupMonitor* g_monitor = nullptr;  // under g_monitorCreation; its thread runs until the process ends

// In the child: forget the parent's monitor (its epoll instance is shared
// with the parent, whose thread would receive the child's events) without
// touching it. The creation lock may have been held by a thread the child
// does not have: it starts afresh (no lock is taken around fork(), which
// the link itself calls to start servers, so no lock order is imposed).
void ForkChild() {
  g_processGeneration.fetch_add(1, std::memory_order_relaxed);
  new (&g_monitorCreation) std::mutex;
  g_monitor = nullptr;
}

void InstallForkHandlers() {
  static std::once_flag once;
  std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, ForkChild); });
}

}  // namespace

std::uint32_t ProcessGeneration() { return g_processGeneration.load(std::memory_order_relaxed); }

std::uint32_t WatchForks() {
  InstallForkHandlers();
  return ProcessGeneration();
}

HangupMonitor& HangupMonitor::Instance() {
  InstallForkHandlers();
  std::lock_guard lock(g_monitorCreation);
  if (g_monitor == nullptr) g_monitor = new HangupMonitor;
  return *g_monitor;
}

HangupMonitor::HangupMonitor() : m_state(new State) {
  m_state->epoll = Fd(::epoll_create1(EPOLL_CLOEXEC));
  std::thread([this] { Run(); }).detach();
}

std::uint64_t HangupMonitor::Watch(int socket, std::function<void()> onHangup) {
  std::lock_guard lock(m_state->mutex);
  const std::uint64_t id = m_state->next++;
  epoll_event event{};
  event.events = EPOLLRDHUP | EPOLLHUP;
  event.data.u64 = id;
  if (::epoll_ctl(m_state->epoll.Get(), EPOLL_CTL_ADD, socket, &event) != 0) return 0;
  m_state->entries.emplace(id, State::Entry{socket, std::move(onHangup)});
  return id;
}

void HangupMonitor::Unwatch(std::uint64_t id) {
  std::lock_guard lock(m_state->mutex);
  auto found = m_state->entries.find(id);
  if (found == m_state->entries.end()) return;
  ::epoll_ctl(m_state->epoll.Get(), EPOLL_CTL_DEL, found->second.socket, nullptr);
  m_state->entries.erase(found);
}

void HangupMonitor::Run() {
  epoll_event events[32];
  for (;;) {
    const int count = ::epoll_wait(m_state->epoll.Get(), events, 32, -1);
    if (count < 0) {
      if (errno == EINTR) continue;
      LogError("hang-up monitor stopped: errno %d", errno);
      return;
    }
    std::lock_guard lock(m_state->mutex);
    for (int i = 0; i < count; ++i) {
      // Copied out: epoll_event is packed on x86-64, its u64 is misaligned.
      const std::uint64_t id = events[i].data.u64;
      auto found = m_state->entries.find(id);
      if (found == m_state->entries.end()) continue;  // unwatched meanwhile
      found->second.onHangup();
      ::epoll_ctl(m_state->epoll.Get(), EPOLL_CTL_DEL, found->second.socket, nullptr);
      m_state->entries.erase(found);
    }
  }
}

namespace debug {

void RecordExchangeTimes(bool on) { g_recordTimes.store(on, std::memory_order_relaxed); }
ExchangeTimes LastExchangeTimes() { return g_lastTimes; }
ExchangeSums RecordedExchangeSums() { return g_sums; }

}  // namespace debug

}  // namespace rpc
