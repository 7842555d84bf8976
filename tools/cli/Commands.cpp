// The commands that ask the server and print: info, tree, probe, send-file,
// and register / unregister.
#include "Cli.h"

#include <moravane/Items.h>
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/OrraExtras.h>
#include <moravane/Project.h>
#include <moravane/Server.h>
#include <moravane/Source.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <process.h>
#else
#include <unistd.h>
#endif

namespace cli {

// --- info, tree, probe, send-file --------------------------------------------

int Info() {
  Link link;
  std::printf("server version       %d\n", static_cast<int>(link.server.GetVersion()));
  std::printf("minimum memory       %llu bytes\n",
              static_cast<unsigned long long>(link.server.GetMinimumMemoryRequirements()));
  std::printf("current memory usage %llu bytes\n",
              static_cast<unsigned long long>(link.server.GetCurrentMemoryUsage()));
  std::printf("project extension    %s\n", Narrow(link.server.GetProjectExtension()).c_str());
  return 0;
}

int Tree(const std::string& path, bool json) {
  Link link;
  moravane::Project project = link.server.OpenProject(AbsolutePath(path));
  if (!json) {
    std::printf("%s\n", Narrow(project.GetName()).c_str());
    Walk(project.GetRootItem(), 0, [](moravane::Item& item, int depth) {
      const bool source = item.GetType() == moravane::kItemType1;
      const bool bin = moravane::Container(item).IsLinked();
      std::printf("%*s%s  %s  %s\n", depth * 2, "", item.GetID().ToString().c_str(),
                  source ? "source" : (bin ? "bin   " : "item  "), Narrow(item.GetName()).c_str());
    });
  } else {
    // Nested objects; a child list closes when the walk comes back up.
    std::string out = "{\"project\": " + Json(Narrow(project.GetName())) + ", \"items\": [";
    int open = 0;
    bool emptyList = true;  // nothing yet in the innermost open list
    Walk(project.GetRootItem(), 0, [&](moravane::Item& item, int depth) {
      for (; open > depth; --open) {
        out += "]}";
        emptyList = false;
      }
      if (!emptyList) out += ", ";
      emptyList = true;
      const bool source = item.GetType() == moravane::kItemType1;
      const bool bin = moravane::Container(item).IsLinked();
      out += "{\"guid\": " + Json(item.GetID().ToString()) + ", \"kind\": \"" +
             (source ? "source" : (bin ? "bin" : "item")) + "\", \"name\": " + Json(Narrow(item.GetName())) +
             ", \"children\": [";
      open = depth + 1;
    });
    for (; open > 0; --open) out += "]}";
    std::printf("%s]}\n", out.c_str());
  }
  link.server.CloseProject(project);
  return 0;
}

namespace {

void PrintFacts(const moravane::host::SourceFacts& f) {
  std::printf("name          %s\n", f.name.c_str());
  std::printf("guid          %s\n", f.guid.c_str());
  std::printf("kind          %s\n", f.hasVideo && f.hasAudio ? "video+audio"
                                    : f.hasVideo             ? "video"
                                    : f.hasAudio             ? "audio"
                                                             : "none");
  std::printf("duration      %.6g s (%d/%d)\n", f.duration.ToSeconds(), f.duration.value, f.duration.scale);
  std::printf("frames        %ld (0 to %ld)\n", f.frames, f.frames - 1);
  std::printf("rate          %.6g fps (%d/%d)\n", f.fps, f.rate.first, f.rate.second);
  std::printf("size          %dx%d\n", f.width, f.height);
  std::printf("pixel aspect  %d:%d\n", f.aspect.numerator, f.aspect.denominator);
  std::printf("bit depth     %d\n", f.depth);
  std::printf("time stamp    %ld\n", f.timeStamp);
  std::printf("audio         %s\n", f.hasAudio ? "yes" : "no");
  std::printf("video         %s\n", f.hasVideo ? "yes" : "no");
  if (!f.rawInput.empty()) std::printf("raw input     ffmpeg %s -i -\n", f.rawInput.c_str());
}

}  // namespace

int Probe(const std::string& path, const std::string& wanted, bool json) {
  Link link;
  moravane::Project project = link.server.OpenProject(AbsolutePath(path));
  std::vector<moravane::host::SourceFacts> sources;
  if (!wanted.empty()) {
    moravane::Source source = FindSource(project, wanted);
    sources.push_back(moravane::host::ProbeSource(source));
  } else {
    // Every source in the tree's order, as ffprobe lists a file's streams.
    std::vector<kelvex::utility::Guid> ids;
    Walk(project.GetRootItem(), 0, [&](moravane::Item& item, int) {
      if (item.GetType() == moravane::kItemType1) ids.push_back(item.GetID());
    });
    for (const kelvex::utility::Guid& id : ids) {
      moravane::Source source = project.GetSource(id);
      sources.push_back(moravane::host::ProbeSource(source));
    }
  }
  const std::string projectName = Narrow(project.GetName());
  link.server.CloseProject(project);
  if (json && !wanted.empty()) {
    std::printf("%s\n", JsonObject(moravane::host::DescribeSource(sources.front())).c_str());
  } else if (json) {
    std::string out = "{\"project\": " + Json(projectName) + ", \"streams\": [";
    for (std::size_t i = 0; i < sources.size(); ++i) {
      out += (i == 0 ? "\n  " : ",\n  ") + JsonObject(moravane::host::DescribeSource(sources[i]));
    }
    std::printf("%s]}\n", out.c_str());
  } else {
    for (std::size_t i = 0; i < sources.size(); ++i) {
      if (i > 0) std::printf("\n");
      PrintFacts(sources[i]);
    }
  }
  return 0;
}

int SendFile(const std::string& path, const std::string& projectPath) {
  Link link;
  // The application adds the file to the project opened last on this link.
  moravane::Project project;
  if (!projectPath.empty()) project = link.server.OpenProject(AbsolutePath(projectPath));
  moravane::OrraExtras extras(link.server);
  if (!extras.IsLinked()) throw moravane::LinkError(E_NOINTERFACE);
  extras.SendFile(AbsolutePath(path));
  std::printf("sent %s\n", path.c_str());
  return 0;
}

// --- register ----------------------------------------------------------------

// The reference server beside this program (an installed prefix), else the
// one of the build tree this program was built in.
std::string ServerExecutable() {
  std::error_code error;
#ifdef _WIN32
  wchar_t module[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, module, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    const std::filesystem::path sibling = std::filesystem::path(module).parent_path() / "orra_linkserver_host.exe";
    if (std::filesystem::exists(sibling, error)) return sibling.string();
  }
#else
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const std::filesystem::path sibling = self.parent_path() / "orra_linkserver_host";
    if (std::filesystem::exists(sibling, error)) return sibling.string();
  }
#endif
#ifdef MORAVANE_CLI_BUILD_SERVER
  if (std::filesystem::exists(MORAVANE_CLI_BUILD_SERVER, error)) return MORAVANE_CLI_BUILD_SERVER;
#endif
  return "";
}

int Register(bool remove) {
  const std::string server = ServerExecutable();
  if (server.empty()) throw UsageError("cannot find orra_linkserver_host beside this program");
  const char* flag = remove ? "--unregister" : "--register";
  std::fflush(stdout);
#ifdef _WIN32
  // No exec: the server runs as a child, whose exit code is this one's.
  // Its argv[0] is quoted, as the child splits its command line at spaces.
  const std::string quoted = "\"" + server + "\"";
  const intptr_t code = ::_spawnl(_P_WAIT, server.c_str(), quoted.c_str(), flag, static_cast<char*>(nullptr));
  if (code == -1) throw UsageError("cannot run " + server + ": " + std::strerror(errno));
  return static_cast<int>(code);
#else
  ::execl(server.c_str(), server.c_str(), flag, static_cast<char*>(nullptr));
  throw UsageError("cannot run " + server + ": " + std::strerror(errno));
#endif
}

}  // namespace cli
