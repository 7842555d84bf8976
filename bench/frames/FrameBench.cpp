// Frames per second of 1920x1080 BGRA 8-bit colour bars, measured in one
// run along every path a frame can take:
//   - Memset: writing the frame's bytes, the floor of any frame writer;
//   - RenderAlone: the server's render engine into its own memory;
//   - RenderAloneChecked: the same, followed by the host's read of the frame
//     (a checksum over every byte);
//   - Floor: the same render in one thread and the same read in another
//     thread of this process, handed over frame by frame with the wait the
//     link uses: what a frame that must reach another CPU costs without any
//     process boundary or transport; free, and pinned to two CPUs;
//   - Link: the reference server in another process, reached through the
//     library's handles (communication thread, proxies, remote calls); it
//     renders into the host's named section, which the host then reads;
//     free, and with the host on one CPU and the server on the other;
//   - LinkOverlapped: two renderers, two sections, two host threads: one
//     thread reads its frame while the server renders the other's;
//   - LinkNullCall: one remote call without a frame on the same kind of
//     link, the part of Link that is neither rendering nor reading, back to
//     back and (LinkNullCallAfterIdle) after the host was idle for 1 ms;
//   - WalkProject: a host's walk of projects of 1,000 to 100,000 items;
//   - Pipe: the same frames rendered in another process on the host's
//     request (a frame number written into one pipe) and pushed through a
//     second pipe into the host's memory, then read.
// The peers are forked before any thread starts; each ends when the pipe
// from this process closes.
#include "LinkServer.h"
#include "Render.h"
#include "marshalling/Dispatch.h"

#include <benchmark/benchmark.h>
#include <comsupport/ClassFactory.h>
#include <kelvex/Threads.h>
#include <atomic>
#include <chrono>
#include <moravane/Host.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Server.h>
#include <moravane/Source.h>

#include <objbase.h>
#include <rpc/Rpc.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace moravane;

constexpr int kWidth = 1920, kHeight = 1080;
constexpr std::size_t kFrameBytes = std::size_t(kWidth) * kHeight * 4;
constexpr int kFramesInSource = 25000;  // 1000 s at 25 frames per second

std::filesystem::path g_project;
int g_pipeFrames = -1;    // read end of the frames of the pipe peer
int g_pipeRequests = -1;  // write end of its frame requests
pid_t g_serverPid = -1;
cpu_set_t g_allowed;  // the CPUs this process may use, as started

// The host's read of a frame: every byte goes through the CPU once.
// (Software prefetch ahead of the read was tried and dropped: the
// hardware's prefetcher already follows this walk; docs/performance.md.)
std::uint64_t Checksum(const void* frame) {
  const auto* words = static_cast<const std::uint64_t*>(frame);
  std::uint64_t a = 0, b = 0;
  for (std::size_t i = 0; i < kFrameBytes / 8; i += 2) {
    a += words[i];
    b ^= words[i + 1];
  }
  return a + b;
}

// For the benchmark's length, the in-process render engine writes frames
// the way `writes` says (kChosen: as the server does).
class Writes {
 public:
  explicit Writes(linkserver::FrameWrites writes) : m_saved(linkserver::GetFrameWrites()) {
    linkserver::SetFrameWrites(writes);
  }
  ~Writes() { linkserver::SetFrameWrites(m_saved); }
  Writes(const Writes&) = delete;
  Writes& operator=(const Writes&) = delete;

 private:
  linkserver::FrameWrites m_saved;
};

// CPU time of the calling thread, in microseconds: unlike the wall clock,
// it leaves out the time other processes held the CPU.
double ThreadCpuUs() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}

// The first two CPUs this process may use: the floor's and the link's
// threads are pinned to them. False on a machine with one.
bool TwoCpus(int& first, int& second) {
  first = second = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE && second < 0; ++cpu) {
    if (!CPU_ISSET(cpu, &g_allowed)) continue;
    (first < 0 ? first : second) = cpu;
  }
  return second >= 0;
}

bool PinThread(pid_t thread, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return ::sched_setaffinity(thread, sizeof set, &set) == 0;
}

// Places every thread of `process` on `cpu`, or (cpu < 0) back on the CPUs
// this process started with.
bool PlaceProcess(pid_t process, int cpu) {
  const std::string tasks = "/proc/" + std::to_string(process) + "/task";
  DIR* folder = ::opendir(tasks.c_str());
  if (folder == nullptr) return false;
  bool placed = true;
  while (const dirent* entry = ::readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    const pid_t thread = pid_t(std::atoi(entry->d_name));
    placed &= cpu >= 0 ? PinThread(thread, cpu) : ::sched_setaffinity(thread, sizeof g_allowed, &g_allowed) == 0;
  }
  ::closedir(folder);
  return placed;
}

linkserver::SourceDesc BarsSource() {
  linkserver::SourceDesc source;
  source.durationValue = kFramesInSource;
  source.durationScale = 25;
  source.width = kWidth;
  source.height = kHeight;
  source.frameRate = 25;
  source.video.kind = linkserver::VideoKind::kColourBars;
  return source;
}

// The render engine as the server drives it for one render: default
// options (BGRA, 8 bits, the source's size), one generator.
struct Engine {
  linkserver::SourceDesc source = BarsSource();
  linkserver::VideoOptions options;
  linkserver::FrameLayout layout = linkserver::ComputeLayout(options, kWidth, kHeight);
  std::unique_ptr<linkserver::VideoGenerator> generator =
      linkserver::MakeVideoGenerator(source, layout, options, nullptr);
  mutable linkserver::FrameWriteChooser writes;
  void Render(int frame, std::byte* destination) const {
    writes.Write(layout.frameBytes, [&](bool streamed) {
      linkserver::RenderFrame(*generator, layout, options, frame / 25.0, 1 / 25.0, streamed, destination);
    });
  }
};

void Rates(benchmark::State& state) {
  state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kFrameBytes));
}

void Memset(benchmark::State& state) {
  std::vector<std::byte> frame(kFrameBytes, std::byte{1});
  int value = 0;
  for (auto _ : state) {
    std::memset(frame.data(), ++value & 0xFF, frame.size());
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  Rates(state);
}

void RenderAlone(benchmark::State& state, bool read, linkserver::FrameWrites writes) {
  const Writes writing(writes);
  const Engine engine;
  if (engine.layout.frameBytes != kFrameBytes) {
    state.SkipWithError("unexpected frame layout");
    return;
  }
  std::vector<std::byte> frame(kFrameBytes);
  int time = 0;
  std::uint64_t sum = 0;
  for (auto _ : state) {
    engine.Render(time++ % kFramesInSource, frame.data());
    if (read) sum += Checksum(frame.data());
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(sum);
  Rates(state);
}

// The floor of a linked frame: the server's render in one thread, the host's
// read in this one, one frame in flight, handed over with the library's
// spin-then-sleep barrier (request, then reply, as a remote call does).
// Every line of the frame changes CPUs as it would between two processes;
// nothing else of the link is there.
void Floor(benchmark::State& state, bool pinned, linkserver::FrameWrites writes) {
  const Writes writing(writes);
  int readerCpu = -1, renderCpuNumber = -1;
  if (pinned && !TwoCpus(readerCpu, renderCpuNumber)) {
    state.SkipWithError("pinning needs two CPUs; this process may use one");
    return;
  }
  const Engine engine;
  // The same kind of memory as the link's: a named section of the library.
  MemoryMappedFile section;
  section.Init(true, "frames-bench-floor-" + std::to_string(::getpid()), kFrameBytes);
  const std::span<std::byte> frame(static_cast<std::byte*>(section.GetAddress()), kFrameBytes);
  kelvex::threads::Barrier request("floor request", 2), reply("floor reply", 2);
  std::atomic<bool> stop{false};
  std::atomic<bool> placed{true};
  double renderCpu = 0;  // the render thread's, over the frames rendered
  int rendered = 0;
  std::thread renderer([&] {
    if (pinned) placed = PinThread(0, renderCpuNumber);
    for (int time = 0;; ++time) {
      request.Wait();
      if (stop.load()) return;
      const double start = ThreadCpuUs();
      engine.Render(time % kFramesInSource, frame.data());
      if (time > 0) renderCpu += ThreadCpuUs() - start, ++rendered;
      reply.Wait();
    }
  });
  if (pinned && !PinThread(0, readerCpu)) placed = false;
  // As in Link, the first frame (pages faulted in) is not timed.
  request.Wait();
  reply.Wait();
  std::uint64_t sum = Checksum(frame.data());
  double inRender = 0, inSum = 0;  // as Link's renderUs and sumUs
  double sumCpu = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    request.Wait();
    reply.Wait();
    const auto t1 = std::chrono::steady_clock::now();
    const double cpu = ThreadCpuUs();
    sum += Checksum(frame.data());
    sumCpu += ThreadCpuUs() - cpu;
    inRender += std::chrono::duration<double, std::micro>(t1 - t0).count();
    inSum += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t1).count();
  }
  state.counters["renderUs"] = inRender / double(state.iterations());
  state.counters["sumUs"] = inSum / double(state.iterations());
  stop = true;
  request.Wait();
  renderer.join();
  // CPU time of the render and of the read alone, per frame.
  state.counters["renderCpuUs"] = renderCpu / std::max(rendered, 1);
  state.counters["sumCpuUs"] = sumCpu / double(state.iterations());
  if (pinned) ::sched_setaffinity(0, sizeof g_allowed, &g_allowed);
  if (!placed) state.SkipWithError("the threads could not be pinned");
  benchmark::DoNotOptimize(sum);
  Rates(state);
}

// A Server handle linked to an interface of the caller's choosing.
class LinkedServer : public Server {
 public:
  explicit LinkedServer(comsupport::CComPtr<IUnknown> unknown) : Server(std::move(unknown)) {}
};

// Activates the out-of-process server on the communication thread, where
// the library makes every remote call.
Server LinkToServer() {
  comsupport::CComPtr<IUnknown> unknown;
  WideString errorText;
  detail::DispatchCall(
      [&unknown] {
        IUnknown* raw = nullptr;
        const HRESULT hr = CoCreateInstance(CLSID_OrraLinkServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                            reinterpret_cast<void**>(&raw));
        if (FAILED(hr)) throw LinkError(u"the server could not be activated", hr);
        unknown = comsupport::CComPtr<IUnknown>::Adopt(raw);
      },
      errorText);
  return LinkedServer(unknown);
}

// Where Link's threads run: `pinned` puts every thread of this process (the
// host's and the communication thread) on the floor's reader CPU and every
// thread of the server process on its render CPU, for the benchmark's
// length.
class Placement {
 public:
  explicit Placement(bool pinned) : m_pinned(pinned) {
    int host = -1, server = -1;
    if (!pinned) return;
    if (!TwoCpus(host, server)) {
      m_error = "pinning needs two CPUs; this process may use one";
    } else if (!PlaceProcess(::getpid(), host) || !PlaceProcess(g_serverPid, server)) {
      m_error = "the threads could not be pinned";
    }
  }
  ~Placement() {
    if (!m_pinned) return;
    PlaceProcess(::getpid(), -1);
    PlaceProcess(g_serverPid, -1);
  }
  const char* Error() const { return m_error; }

 private:
  bool m_pinned;
  const char* m_error = nullptr;
};

// One video render over its own section, ready for frames.
struct LinkedRender {
  Renderer renderer;
  MemoryMappedFile section;
  const void* frame = nullptr;
  LinkedRender(Source& source, const std::string& name) : renderer(source.GetRenderer()) {
    VideoRenderOptions options = renderer.CreateVideoRenderOptions();
    section.Init(true, name, kFrameBytes);
    frame = section.GetAddress();
    renderer.StartVideoRender(options, name, kFrameBytes);
  }
  // False when the server wrote another size than a frame's.
  bool Render(int time) {
    ULONGLONG written = 0;
    renderer.RenderVideo(kelvex::time::RatioTime(time % kFramesInSource, 25), &written);
    return written == kFrameBytes;
  }
};

Source LinkToBars(Server& server, Project& project) {
  project = server.OpenProject(kelvex::utility::AsciiToUTF16(g_project.string()));
  return project.GetSource(*kelvex::utility::Guid::Parse("00000000-0000-4000-8000-000000000002"));
}

void SkipWithLinkError(benchmark::State& state, const LinkError& error) {
  state.SkipWithError(
      ("LinkError " + std::to_string(error.GetError()) + ": " + kelvex::utility::UTF16ToUTF8(error.GetErrorString()))
          .c_str());
}

void Link(benchmark::State& state, bool pinned) {
  try {
    Server server = LinkToServer();
    Project project;
    Source source = LinkToBars(server, project);
    LinkedRender render(source, "frames-bench-" + std::to_string(::getpid()));
    Renderer& renderer = render.renderer;
    const void* frame = render.frame;
    // The first frame faults the section's pages in, on both sides; the
    // other paths write into memory already touched, so it is not timed.
    render.Render(0);
    std::uint64_t sum = Checksum(frame);
    const Placement placement(pinned);
    if (placement.Error() != nullptr) {
      state.SkipWithError(placement.Error());
      return;
    }
    int time = 1;
    // Where a frame's time goes: the remote render (the server writing
    // into the section) and the host's read of it.
    double inRender = 0, inSum = 0;
    for (auto _ : state) {
      auto t0 = std::chrono::steady_clock::now();
      const bool whole = render.Render(time++);
      auto t1 = std::chrono::steady_clock::now();
      inRender += std::chrono::duration<double, std::micro>(t1 - t0).count();
      if (!whole) {
        state.SkipWithError("the server wrote an unexpected frame size");
        break;
      }
      sum += Checksum(frame);
      inSum += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t1).count();
    }
    state.counters["renderUs"] = inRender / double(state.iterations());
    state.counters["sumUs"] = inSum / double(state.iterations());
    benchmark::DoNotOptimize(sum);
    renderer.EndVideoRender();
    server.CloseProject(project);
  } catch (const LinkError& error) {
    SkipWithLinkError(state, error);
    return;
  }
  Rates(state);
}

// A host getting the most frames out of two CPUs: two renderers over the
// source, each with its own section, driven by two host threads (this one
// and `partner`). The communication thread makes one remote call at a time,
// but a thread reads its frame outside the call, so while one thread reads
// frame N the server renders N + 1 into the other section. Frames per
// second count both threads' frames over the timed loop.
void LinkOverlapped(benchmark::State& state, bool pinned) {
  try {
    Server server = LinkToServer();
    Project project;
    Source source = LinkToBars(server, project);
    const std::string name = "frames-bench-" + std::to_string(::getpid());
    LinkedRender even(source, name + "-even"), odd(source, name + "-odd");
    even.Render(0);
    odd.Render(1);
    std::uint64_t sum = Checksum(even.frame) + Checksum(odd.frame);
    const Placement placement(pinned);
    if (placement.Error() != nullptr) {
      state.SkipWithError(placement.Error());
      return;
    }
    std::atomic<bool> stop{false}, failed{false};
    std::atomic<std::uint64_t> oddFrames{0};
    std::uint64_t oddSum = 0;
    std::thread partner([&] {
      try {
        for (int time = 3; !stop.load(std::memory_order_relaxed); time += 2) {
          if (!odd.Render(time)) {
            failed = true;
            return;
          }
          oddSum += Checksum(odd.frame);
          oddFrames.fetch_add(1, std::memory_order_relaxed);
        }
      } catch (const LinkError&) {
        failed = true;
      }
    });
    // Ends the partner on every way out, a LinkError of this thread's
    // included, before the renders and sections it uses go.
    struct Join {
      std::atomic<bool>& stop;
      std::thread& thread;
      ~Join() {
        stop = true;
        if (thread.joinable()) thread.join();
      }
    } join{stop, partner};
    int time = 2;
    std::uint64_t oddAtStart = 0;
    bool first = true;
    for (auto _ : state) {
      if (first) {
        oddAtStart = oddFrames.load(std::memory_order_relaxed);
        first = false;
      }
      if (!even.Render(time) || failed.load(std::memory_order_relaxed)) {
        state.SkipWithError("the server wrote an unexpected frame size");
        break;
      }
      time += 2;
      sum += Checksum(even.frame);
    }
    const std::uint64_t oddInLoop = oddFrames.load() - oddAtStart;
    stop = true;
    partner.join();
    benchmark::DoNotOptimize(sum + oddSum);
    even.renderer.EndVideoRender();
    odd.renderer.EndVideoRender();
    server.CloseProject(project);
    const double frames = double(state.iterations()) + double(oddInLoop);
    state.counters["frames/s"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["oddShare"] = double(oddInLoop) / frames;
    state.SetBytesProcessed(std::int64_t(frames) * std::int64_t(kFrameBytes));
  } catch (const LinkError& error) {
    SkipWithLinkError(state, error);
  }
}

// The cost of one remote call on the same link, in the same run: what
// separates Link from RenderAloneChecked when the two processes hand the
// cores to each other.
void LinkNullCall(benchmark::State& state) {
  try {
    Server server = LinkToServer();
    LONG sum = 0;
    for (auto _ : state) sum += server.GetVersion();
    benchmark::DoNotOptimize(sum);
  } catch (const LinkError& error) {
    state.SkipWithError(("LinkError " + std::to_string(error.GetError())).c_str());
    return;
  }
  state.counters["calls/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// The same call after the host has been idle for a millisecond, so that
// every thread on the way has stopped spinning and sleeps in the kernel:
// only the call itself is timed.
void LinkNullCallAfterIdle(benchmark::State& state) {
  try {
    Server server = LinkToServer();
    LONG sum = server.GetVersion();
    std::vector<double> calls;
    for (auto _ : state) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const auto start = std::chrono::steady_clock::now();
      sum += server.GetVersion();
      const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
      state.SetIterationTime(spent.count());
      calls.push_back(spent.count() * 1e6);
    }
    benchmark::DoNotOptimize(sum);
    // The time reported is the mean, which a few calls that meet a slow
    // wake-up of a halted CPU move by tens of µs; the median call is given
    // beside it.
    std::nth_element(calls.begin(), calls.begin() + calls.size() / 2, calls.end());
    state.counters["median us"] = calls.empty() ? 0.0 : calls[calls.size() / 2];
  } catch (const LinkError& error) {
    state.SkipWithError(("LinkError " + std::to_string(error.GetError())).c_str());
  }
}

// Where the time of one back-to-back call goes, from the link engine's
// timestamps (one steady clock for both processes): the median of each
// phase, in µs, as counters. handOver: from the host's call to the request
// posted by the communication thread (the hand-over and the proxy's
// marshalling); serverPickUp: until the server thread took it; serve: the
// server's decoding, call and reply; clientPickUp: until the communication
// thread saw the reply; handBack: from there to the host's return (the
// proxy's unmarshalling and the hand-back). The argument is how long the
// host is idle before each call, in milliseconds (the time of a row with an
// idle host includes the idle time; its phases do not).
void LinkNullCallPhases(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  std::array<std::vector<double>, 5> phases;
  std::array<double, 4> placements{};
  std::array<std::vector<double>, 4> placementTimes;
  try {
    Server server = LinkToServer();
    rpc::debug::RecordExchangeTimes(true);
    LONG sum = 0;
    const auto idle = std::chrono::milliseconds(state.range(0));
    for (auto _ : state) {
      if (idle.count() > 0) std::this_thread::sleep_for(idle);
      const int hostCpu = ::sched_getcpu();
      const auto start = Clock::now();
      sum += server.GetVersion();
      const auto end = Clock::now();
      const rpc::debug::ExchangeTimes t = rpc::debug::LastExchangeTimes();
      // Which of the three threads shared a CPU: host and communication
      // thread (0), communication thread and server (1), host and server
      // (2), or all on one (3); -1 when they were on three CPUs.
      const int placement = hostCpu == t.clientCpu && t.clientCpu == t.serverCpu ? 3
                            : hostCpu == t.clientCpu                             ? 0
                            : t.clientCpu == t.serverCpu                         ? 1
                            : hostCpu == t.serverCpu                             ? 2
                                                                                 : -1;
      if (placement >= 0) {
        ++placements[placement];
        placementTimes[placement].push_back(
            double(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()) / 1000.0);
      }
      const auto ns = [](Clock::time_point at) {
        return double(std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count());
      };
      const double marks[] = {ns(start), double(t.posted), double(t.taken), double(t.replied), double(t.seen), ns(end)};
      for (std::size_t i = 0; i < phases.size(); ++i) phases[i].push_back((marks[i + 1] - marks[i]) / 1000.0);
    }
    rpc::debug::RecordExchangeTimes(false);
    benchmark::DoNotOptimize(sum);
  } catch (const LinkError& error) {
    rpc::debug::RecordExchangeTimes(false);
    state.SkipWithError(("LinkError " + std::to_string(error.GetError())).c_str());
    return;
  }
  const char* shares[] = {"host+comm", "comm+server", "host+server", "one CPU"};
  const double calls = double(std::max<benchmark::IterationCount>(state.iterations(), 1));
  for (std::size_t i = 0; i < placements.size(); ++i) {
    if (placements[i] == 0) continue;
    std::vector<double>& v = placementTimes[i];
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    state.counters[std::string(shares[i]) + " %"] = 100.0 * placements[i] / calls;
    state.counters[std::string(shares[i]) + " us"] = v[v.size() / 2];
  }
  const char* names[] = {"handOver", "serverPickUp", "serve", "clientPickUp", "handBack"};
  for (std::size_t i = 0; i < phases.size(); ++i) {
    std::vector<double>& v = phases[i];
    if (v.empty()) continue;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    state.counters[names[i]] = v[v.size() / 2];
  }
}

// A walk of a project of `items` items (flat, below the root) with the
// host header's Walk and each item's type, as a host lists a project: the
// time and the remote calls per item, so that the cost of the walk can be
// held against LinkNullCall of the same run.
void WalkProject(benchmark::State& state) {
  const auto items = static_cast<int>(state.range(0));
  const std::filesystem::path path = g_project.parent_path() / ("walk-" + std::to_string(items) + ".orraproj");
  if (!std::filesystem::exists(path)) {
    std::ofstream file(path);
    file << "orra-project 1\nproject \"Walk\" {00000000-0000-4000-8000-000000000001}\n";
    char line[96];
    for (int i = 0; i < items; ++i) {
      std::snprintf(line, sizeof line, "item \"Item %d\" {00000000-0000-4000-9000-%012d}\n", i, i);
      file << line;
    }
  }
  try {
    Server server = LinkToServer();
    Project project = server.OpenProject(kelvex::utility::AsciiToUTF16(path.string()));
    std::int64_t visited = 0, calls = 0;
    rpc::debug::RecordExchangeTimes(true);
    const rpc::debug::ExchangeSums before = rpc::debug::RecordedExchangeSums();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
      const std::int64_t before = rpc::debug::RoundTrips();
      moravane::host::Walk(project.GetRootItem(), 0, [&](Item& item, int) {
        benchmark::DoNotOptimize(item.GetType());
        ++visited;
      });
      calls += rpc::debug::RoundTrips() - before;
    }
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    rpc::debug::RecordExchangeTimes(false);
    const rpc::debug::ExchangeSums after = rpc::debug::RecordedExchangeSums();
    server.CloseProject(project);
    // Per remote call: the shared-region parts (waits for each side and the
    // server's work); the rest of a call is the host's side.
    const double exchanges = double(std::max<std::uint64_t>(after.count - before.count, 1));
    state.counters["serverPickUp"] = double(after.serverPickUp - before.serverPickUp) / exchanges / 1000.0;
    state.counters["serve"] = double(after.serve - before.serve) / exchanges / 1000.0;
    state.counters["clientPickUp"] = double(after.clientPickUp - before.clientPickUp) / exchanges / 1000.0;
    state.counters["us/item"] = spent.count() / double(std::max<std::int64_t>(visited, 1));
    state.counters["calls/item"] = double(calls) / double(std::max<std::int64_t>(visited, 1));
  } catch (const LinkError& error) {
    SkipWithLinkError(state, error);
  }
}

bool ReadAll(int fd, std::byte* data, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::read(fd, data, size);
    if (got <= 0) return false;
    data += got;
    size -= std::size_t(got);
  }
  return true;
}

void Pipe(benchmark::State& state) {
  std::vector<std::byte> frame(kFrameBytes);
  std::uint64_t sum = 0;
  std::int32_t time = 0;
  for (auto _ : state) {
    const std::int32_t request = time++ % kFramesInSource;
    if (::write(g_pipeRequests, &request, sizeof request) != sizeof request ||
        !ReadAll(g_pipeFrames, frame.data(), frame.size())) {
      state.SkipWithError("the pipe peer is gone");
      break;
    }
    sum += Checksum(frame.data());
  }
  benchmark::DoNotOptimize(sum);
  Rates(state);
}

BENCHMARK(Memset)->Unit(benchmark::kMicrosecond)->UseRealTime();
constexpr auto kChosen = linkserver::FrameWrites::kChosen;
constexpr auto kOrdinary = linkserver::FrameWrites::kOrdinary;
constexpr auto kStreamed = linkserver::FrameWrites::kStreamed;
BENCHMARK_CAPTURE(RenderAlone, Unread, false, kChosen)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(RenderAlone, Checked, true, kChosen)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Floor, Unpinned, false, kChosen)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Floor, Pinned, true, kChosen)->Unit(benchmark::kMicrosecond)->UseRealTime();
benchmark::internal::Benchmark* PerFrame(benchmark::internal::Benchmark* b) {
  return b->Unit(benchmark::kMicrosecond)->UseRealTime();
}
// The same three with every frame written one way: what each way costs in
// each placement, beside the server's choice above. "Link" (free) keeps its
// name of earlier runs; "Link/Pinned" beside it.
const benchmark::internal::Benchmark* const g_named[] = {
    PerFrame(benchmark::RegisterBenchmark("RenderAlone/Checked/Ordinary", RenderAlone, true, kOrdinary)),
    PerFrame(benchmark::RegisterBenchmark("Floor/Unpinned/Ordinary", Floor, false, kOrdinary)),
    PerFrame(benchmark::RegisterBenchmark("Floor/Pinned/Ordinary", Floor, true, kOrdinary)),
    PerFrame(benchmark::RegisterBenchmark("RenderAlone/Checked/Streamed", RenderAlone, true, kStreamed)),
    PerFrame(benchmark::RegisterBenchmark("Floor/Unpinned/Streamed", Floor, false, kStreamed)),
    PerFrame(benchmark::RegisterBenchmark("Floor/Pinned/Streamed", Floor, true, kStreamed)),
    PerFrame(benchmark::RegisterBenchmark("Link", Link, false)),
    PerFrame(benchmark::RegisterBenchmark("LinkOverlapped", LinkOverlapped, false)),
};
BENCHMARK_CAPTURE(Link, Pinned, true)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(LinkOverlapped, Pinned, true)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(LinkNullCall)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(LinkNullCallPhases)->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(LinkNullCallPhases)->Arg(1)->Unit(benchmark::kMicrosecond)->Iterations(500);
BENCHMARK(LinkNullCallAfterIdle)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(500);
BENCHMARK(WalkProject)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Pipe)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The server process: the reference server's class, published to the
// user's other processes, until this process's end of `control` closes.
[[noreturn]] void ServeLinks(int ready, int control) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  comsupport::StaticClassFactory factory([](REFIID iid, void** object) {
    return comsupport::HandOut(linkserver::CreateLinkServer(std::make_shared<linkserver::KernelSections>()), iid,
                               object);
  });
  DWORD cookie = 0;
  const HRESULT hr =
      CoRegisterClassObject(CLSID_OrraLinkServer, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  const char status = SUCCEEDED(hr) ? 'r' : 'f';
  (void)!::write(ready, &status, 1);
  char byte;
  while (::read(control, &byte, 1) > 0) {
  }
  CoRevokeClassObject(cookie);
  CoUninitialize();
  std::_Exit(0);
}

// The pipe peer: like the server, renders the frame the host asks for
// (a frame number on `requests`) and writes it whole into `out`; ends when
// the host's end of the requests closes.
[[noreturn]] void PushFrames(int requests, int out) {
  const Engine engine;
  std::vector<std::byte> frame(kFrameBytes);
  for (;;) {
    std::int32_t time = 0;
    if (!ReadAll(requests, reinterpret_cast<std::byte*>(&time), sizeof time)) std::_Exit(0);
    engine.Render(time, frame.data());
    const std::byte* data = frame.data();
    std::size_t left = frame.size();
    while (left > 0) {
      const ssize_t put = ::write(out, data, left);
      if (put <= 0) std::_Exit(0);
      data += put;
      left -= std::size_t(put);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A private runtime and configuration folder: the published class is
  // seen by this run only, and nothing of the user's is read or changed.
  ::sched_getaffinity(0, sizeof g_allowed, &g_allowed);
  // Inherited by the forked server: FRAMES_BENCH_WRITES=ordinary or
  // streamed makes the Link rows write every frame that way.
  if (const char* writes = std::getenv("FRAMES_BENCH_WRITES")) {
    const std::string way = writes;
    if (way != "ordinary" && way != "streamed" && way != "chosen") {
      std::fprintf(stderr, "FRAMES_BENCH_WRITES must be chosen, ordinary or streamed, not '%s'\n", writes);
      return 2;
    }
    linkserver::SetFrameWrites(way == "ordinary"   ? linkserver::FrameWrites::kOrdinary
                               : way == "streamed" ? linkserver::FrameWrites::kStreamed
                                                   : linkserver::FrameWrites::kChosen);
  }
  char scratchTemplate[] = "/tmp/frames-bench-XXXXXX";
  const char* scratch = ::mkdtemp(scratchTemplate);
  if (scratch == nullptr) return 1;
  const std::filesystem::path folder(scratch);
  std::filesystem::create_directories(folder / "runtime");
  std::filesystem::create_directories(folder / "config");
  ::setenv("XDG_RUNTIME_DIR", (folder / "runtime").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
  g_project = folder / "bench.orraproj";
  std::ofstream(g_project) << "orra-project 1\nproject \"Bench\" {00000000-0000-4000-8000-000000000001}\n"
                              "source \"Bars\" {00000000-0000-4000-8000-000000000002}\n duration "
                           << kFramesInSource << " 25\n size 1920 1080\n rate 25\n video bars\nend\n";

  int control[2], ready[2], frames[2], requests[2];
  if (::pipe2(control, O_CLOEXEC) != 0 || ::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(frames, O_CLOEXEC) != 0 ||
      ::pipe2(requests, O_CLOEXEC) != 0) {
    return 1;
  }
  // Larger pipe buffers let the peer run ahead by more than a page or two.
  ::fcntl(frames[1], F_SETPIPE_SZ, 1 << 20);

  const pid_t serverPid = ::fork();
  if (serverPid == 0) {
    ::close(control[1]);
    ::close(frames[0]);
    ::close(frames[1]);
    ::close(requests[0]);
    ::close(requests[1]);
    ServeLinks(ready[1], control[0]);
  }
  const pid_t pipePid = ::fork();
  if (pipePid == 0) {
    ::close(control[1]);
    ::close(ready[1]);
    ::close(frames[0]);
    ::close(requests[1]);
    PushFrames(requests[0], frames[1]);
  }
  ::close(control[0]);
  ::close(frames[1]);
  ::close(requests[0]);
  ::close(ready[1]);
  g_pipeFrames = frames[0];
  g_serverPid = serverPid;
  g_pipeRequests = requests[1];
  char status = 0;
  if (::read(ready[0], &status, 1) != 1 || status != 'r') {
    std::fprintf(stderr, "the server process could not publish its class\n");
    return 1;
  }

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  ::close(g_pipeRequests);
  ::close(g_pipeFrames);
  ::close(control[1]);
  ::waitpid(pipePid, nullptr, 0);
  ::waitpid(serverPid, nullptr, 0);
  std::filesystem::remove_all(folder);
  return 0;
}
