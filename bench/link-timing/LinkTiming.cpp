// link_timing: the same measurements of the out-of-process link on every
// platform, through the library's public interface only, so that one
// program compares our own platform layer (Linux) with the system's COM
// (Windows, or Wine's implementation of it). Google Benchmark is not built
// for Windows here, so this is a plain timing program: steady_clock around
// batches, the median of the batches printed.
//
//   link_timing PROJECT [--batches N] [--kill]
//
// PROJECT holds a source "Bars" of 1920x1080 colour bars with the GUID
// below. It prints, one per line:
//   activation_ms   a new link: the server process started by activation,
//                   up to the first call's answer;
//   null_call_us    IServer2::GetVersion, median of the batches' means;
//   frames_per_s    1920x1080 BGRA 8-bit frames rendered by the server into
//                   the host's named section and read by the host (a
//                   checksum over every byte), median of the batches;
// and with --kill, last, as the server is killed from another thread while
// the host renders 1920x1080 float frames in a loop:
//   death_frame_ms  a float frame's time in that loop (mostly the server's);
//   death_call      the code of the call that failed, and whether it was in
//                   flight when the server died or was made after;
//   death_notice_ms from the kill to that call's failure;
//   death_next      the code of the next call on the same link.
// Exit 0 when every figure was measured.
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Server.h>
#include <moravane/Source.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <tlhelp32.h>
#else
#include <csignal>

#include <sys/types.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 1920, kHeight = 1080;
constexpr std::size_t kFrameBytes = std::size_t(kWidth) * kHeight * 4;
constexpr const char* kBarsGuid = "7E2E0000-0000-4000-8000-0000000000F1";

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Since(Clock::time_point start, double unit) {
  return std::chrono::duration<double>(Clock::now() - start).count() * unit;
}

std::uint64_t Checksum(const void* frame) {
  const auto* words = static_cast<const std::uint64_t*>(frame);
  std::uint64_t a = 0, b = 0;
  for (std::size_t i = 0; i < kFrameBytes / 8; i += 2) {
    a += words[i];
    b ^= words[i + 1];
  }
  return a + b;
}

std::string Hex(long code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code) & 0xFFFFFFFFul);
  return text;
}

#ifdef _WIN32
const char* kServerName = "orra_linkserver_host.exe";

// Ends every process of the server's name (the prefix this runs in is the
// measurement's own); `at` is when the last one was told to end.
bool KillServer(Clock::time_point& at) {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  bool killed = false;
  for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry)) {
    if (::_stricmp(entry.szExeFile, kServerName) != 0) continue;
    if (HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID)) {
      at = Clock::now();
      killed = ::TerminateProcess(process, 9) != FALSE || killed;
      ::CloseHandle(process);
    }
  }
  ::CloseHandle(snapshot);
  return killed;
}
int ProcessId() { return static_cast<int>(::GetCurrentProcessId()); }
#else
const char* kServerName = "orra_linkserver_host";

// Only the server this program activated: same name, same user, and the
// private runtime folder of this program in its environment (other servers
// of the same user may run beside it). `at` is when it was told to end.
bool KillServer(Clock::time_point& at) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr) return false;
  const std::string wanted = std::string("XDG_RUNTIME_DIR=") + runtime;
  bool killed = false;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto exe = std::filesystem::read_symlink(entry.path() / "exe", error);
    if (error || exe.filename() != kServerName) continue;
    std::ifstream environ(entry.path() / "environ", std::ios::binary);
    bool ours = false;
    for (std::string variable; std::getline(environ, variable, '\0');) ours = ours || variable == wanted;
    if (!ours) continue;
    at = Clock::now();
    if (::kill(std::stoi(pid), SIGKILL) == 0) killed = true;
  }
  return killed;
}
int ProcessId() { return static_cast<int>(::getpid()); }
#endif

struct Render {
  moravane::Renderer renderer;
  moravane::VideoRenderOptions options;
  moravane::MemoryMappedFile section;
  std::string name;
  ULONGLONG bytes;
  const void* frame = nullptr;
  int time = 0;

  // `depth` 8: BGRA frames as the figures measure them; 32: float
  // frames, four times the bytes and much longer in the server, so that a
  // server killed during the loop dies inside a call.
  Render(moravane::Source& source, const std::string& use, int depth = 8)
      : renderer(source.GetRenderer()), bytes(kFrameBytes * (depth / 8)) {
    options = renderer.CreateVideoRenderOptions();
    options.SetBitDepth(depth);
    name = "link-timing-" + std::to_string(ProcessId()) + "-" + use;
    section.Init(true, name, bytes);
    frame = section.GetAddress();
    renderer.StartVideoRender(options, name, bytes);
  }
  std::uint64_t Next() {
    ULONGLONG written = 0;
    renderer.RenderVideo(kelvex::time::RatioTime(time++ % 1000, 24), &written);
    if (written != bytes) throw std::runtime_error("the server wrote an unexpected frame size");
    return Checksum(frame);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: link_timing PROJECT [--batches N] [--kill]\n");
    return 2;
  }
  const std::string project = std::filesystem::absolute(argv[1]).string();
  int batches = 7;
  bool kill = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--batches") == 0 && i + 1 < argc) {
      batches = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--kill") == 0) {
      kill = true;
    } else {
      std::fprintf(stderr, "link_timing: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  try {
    const auto activationStart = Clock::now();
    moravane::OrraServer factory;
    moravane::Server server = factory.CreateLink();
    std::int64_t version = server.GetVersion();
    std::printf("activation_ms %.1f\n", Since(activationStart, 1e3));

    std::vector<double> perCall;
    for (int b = 0; b < batches; ++b) {
      constexpr int kCalls = 2000;
      const auto start = Clock::now();
      for (int i = 0; i < kCalls; ++i) version += server.GetVersion();
      perCall.push_back(Since(start, 1e6) / kCalls);
    }
    std::printf("null_call_us %.1f\n", Median(perCall));

    moravane::Project opened = server.OpenProject(kelvex::utility::AsciiToUTF16(project));
    moravane::Source source = opened.GetSource(*kelvex::utility::Guid::Parse(kBarsGuid));
    std::uint64_t sum = 0;
    {
      Render render(source, "frames");
      sum += render.Next();  // the section's pages fault in on both sides: not timed
      std::vector<double> rates;
      for (int b = 0; b < batches; ++b) {
        constexpr int kFrames = 24;
        const auto start = Clock::now();
        for (int i = 0; i < kFrames; ++i) sum += render.Next();
        rates.push_back(kFrames / Since(start, 1));
      }
      std::printf("frames_per_s %.1f\n", Median(rates));
      render.renderer.EndVideoRender();
    }
    if (kill) {
      Render render(source, "death", 32);
      std::vector<double> durations;
      // Written by the killer before it is joined, read after.
      Clock::time_point at;
      bool killed = false;
      std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        killed = KillServer(at);
      });
      Clock::time_point callStart;
      long code = 0;
      try {
        for (const auto until = Clock::now() + std::chrono::seconds(10); Clock::now() < until;) {
          callStart = Clock::now();
          sum += render.Next();
          durations.push_back(Since(callStart, 1e3));
        }
      } catch (const moravane::LinkError& error) {
        code = error.GetError();
      }
      const auto failed = Clock::now();
      killer.join();
      if (!killed || code == 0) {
        std::fprintf(stderr, "link_timing: the server could not be killed, or no call failed\n");
        return 1;
      }
      // In flight: made before the kill. The frames take long in the server
      // (death_frame_ms), so a call made before the kill had almost surely
      // reached the server when it died.
      std::printf("death_frame_ms %.1f\n", Median(durations));
      std::printf("death_call %s %s\n", Hex(code).c_str(), callStart < at ? "in-flight" : "after");
      std::printf("death_notice_ms %.1f\n", std::chrono::duration<double, std::milli>(failed - at).count());
      long next = 0;
      try {
        server.GetVersion();
      } catch (const moravane::LinkError& error) {
        next = error.GetError();
      }
      std::printf("death_next %s\n", Hex(next).c_str());
    }
    std::fprintf(stderr, "link_timing: checksum %llu, version %lld\n", static_cast<unsigned long long>(sum),
                 static_cast<long long>(version));
  } catch (const moravane::LinkError& error) {
    std::fprintf(stderr, "link_timing: link error %s\n", Hex(error.GetError()).c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "link_timing: %s\n", error.what());
    return 1;
  }
  return 0;
}
