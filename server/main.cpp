// The reference link server as a process of its own.
//
//   orra_linkserver_host -Embedding   started by activation: publishes the
//                                     server's class and serves until its last
//                                     client has gone (after a grace period),
//                                     or until SIGTERM/SIGINT
//   orra_linkserver_host              the same, started by hand: serves until
//                                     SIGTERM/SIGINT only
//   orra_linkserver_host --register   writes the per-user class registration
//                                     that points activation at this
//                                     executable, then exits
//   orra_linkserver_host --unregister removes that registration
//
// Started by activation, the server has /dev/null as input and appends its
// output and errors to <runtime folder>/moravane/{CLSID}.log.
//
// Renders write into the host's named kernel sections: the server opens the
// section the host created or, when the host only opens one, creates it.
#include "HostProcess.h"
#include "LinkServer.h"
#include "ProjectModel.h"
#include "Sections.h"

#include <rpc/LinkServerProxyStub.h>
#include <rpc/Rpc.h>
#include <rpc/Wire.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

#include <pthread.h>
#include <unistd.h>

namespace {

// The longest name a project may hold and the longest error text must reach
// a host through this process's link: the reply to GetName carries the code,
// the name and a null error text in one message; a failing call's reply the
// code, at most 16 bytes of other out-values and the error text.
static_assert(sizeof(rpc::Header) + sizeof(HRESULT) + 2 * sizeof(std::uint32_t) +
                      linkserver::kMaxHostTextChars * sizeof(char16_t) <=
                  rpc::kMaxMessage,
              "kMaxHostTextChars does not fit in one message of the link");
static_assert(sizeof(rpc::Header) + sizeof(HRESULT) + 16 + sizeof(std::uint32_t) +
                      linkserver::kMaxErrorTextChars * sizeof(char16_t) <=
                  rpc::kMaxMessage,
              "kMaxErrorTextChars does not fit in one message of the link");

// How long the server stays after its last client has gone, so that a host
// that unlinks and links again at once finds it still running.
std::chrono::milliseconds g_grace{2000};
// How long a server started by activation waits for its first client.
constexpr std::chrono::seconds kFirstClientWait{30};

std::atomic<bool> g_everCreated{false};

std::string SelfPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.string();
}

int Register() {
  const std::string executable = SelfPath();
  if (executable.empty()) {
    std::fprintf(stderr, "orra_linkserver_host: cannot find the path of this executable\n");
    return 1;
  }
  const std::filesystem::path file = rpc::ClassRegistrationPath(moravane::CLSID_OrraLinkServer);
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  if (error) {
    std::fprintf(stderr, "orra_linkserver_host: cannot create %s: %s\n", file.parent_path().c_str(),
                 error.message().c_str());
    return 1;
  }
  // Activation refuses a registration that group or others could write,
  // whatever the umask made of the folder or the file.
  using std::filesystem::perms;
  std::filesystem::permissions(file.parent_path(), perms::group_write | perms::others_write,
                               std::filesystem::perm_options::remove, error);
  // Written beside and renamed, so that an activation running meanwhile
  // never reads half a file.
  const std::filesystem::path partial = file.string() + ".partial";
  {
    std::ofstream out(partial, std::ios::trunc);
    out << executable << '\n';
    std::filesystem::permissions(partial, perms::owner_read | perms::owner_write, error);
    if (!out.flush() || error) {
      std::fprintf(stderr, "orra_linkserver_host: cannot write %s\n", partial.c_str());
      std::filesystem::remove(partial, error);
      return 1;
    }
  }
  std::filesystem::rename(partial, file, error);
  if (error) {
    std::fprintf(stderr, "orra_linkserver_host: cannot write %s: %s\n", file.c_str(), error.message().c_str());
    std::filesystem::remove(partial, error);
    return 1;
  }
  std::printf("registered %s\n  -> %s\n", file.c_str(), executable.c_str());
  return 0;
}

int Unregister() {
  const std::filesystem::path file = rpc::ClassRegistrationPath(moravane::CLSID_OrraLinkServer);
  std::error_code error;
  std::filesystem::remove(file, error);
  if (error) {
    std::fprintf(stderr, "orra_linkserver_host: cannot remove %s: %s\n", file.c_str(), error.message().c_str());
    return 1;
  }
  std::printf("unregistered %s\n", file.c_str());
  return 0;
}

bool Idle() { return linkserver::LiveObjectCount() == 0 && rpc::debug::ExportedObjects() == 0; }

}  // namespace

int main(int argc, char** argv) {
  using linkserver::host::Command;
  const linkserver::host::CommandLine line =
      linkserver::host::ReadCommandLine(argc, argv, [&](const std::string& argument, int& i) -> std::string {
        if (argument != "--grace" || i + 1 >= argc) return "unknown argument '" + argument + "'";
        char* end = nullptr;
        errno = 0;
        const long milliseconds = std::strtol(argv[++i], &end, 10);
        if (errno != 0 || *end != 0 || end == argv[i] || milliseconds < 0 || milliseconds > 600000) {
          return "--grace takes milliseconds from 0 to 600000";
        }
        g_grace = std::chrono::milliseconds(milliseconds);
        return "";
      });
  if (line.command == Command::kRegister) return Register();
  if (line.command == Command::kUnregister) return Unregister();
  if (line.command == Command::kUsage) {
    return linkserver::host::Usage(line.problem, "[-Embedding] [--grace MS] | --register | --unregister");
  }
  const bool embedding = line.embedding;

  // A write to a pipe whose reader has gone (a log line to a closed stderr
  // when started by hand) fails with EPIPE instead of ending the server and
  // every link to it.
  std::signal(SIGPIPE, SIG_IGN);
  // Signals are taken synchronously by the main thread; the threads the link
  // starts inherit the mask and never see them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  moravane::RegisterLinkServerProxyStubs();
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  static linkserver::host::ServerClass factory(
      linkserver::host::MakeServer{std::make_shared<linkserver::KernelSections>(), &g_everCreated});
  DWORD cookie = 0;
  if (!linkserver::host::Publish(factory, cookie)) return 1;

  using Clock = std::chrono::steady_clock;
  const Clock::time_point started = Clock::now();
  Clock::time_point idleSince = started;
  bool idle = true;
  const timespec tick{0, 50'000'000};
  for (;;) {
    if (sigtimedwait(&stop, nullptr, &tick) > 0) break;
    if (!embedding) continue;
    const Clock::time_point now = Clock::now();
    if (!Idle()) {
      idle = false;
      continue;
    }
    if (!idle) {
      idle = true;
      idleSince = now;
    }
    if (g_everCreated ? now - idleSince >= g_grace : now - started >= kFirstClientWait) {
      // No new clients from here on. One that activated between the look
      // above and the withdrawal keeps the server: it publishes again.
      CoRevokeClassObject(cookie);
      cookie = 0;
      if (Idle()) break;
      linkserver::host::Publish(factory, cookie);
      idle = false;
    }
  }
  // Objects still held by clients that stayed past a signal go with the
  // process.
  if (cookie != 0) CoRevokeClassObject(cookie);
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(0);
}
