// Lists the sources of a project with what the link server says about each:
// name, GUID, frame size, rate, duration, and whether it has video or audio.
//
//   list_sources PROJECT
//
// Exit codes: 0 listed; 2 no such project file; 3 a link error (its code and
// the server's text are printed).
#include "HostMain.h"

#include <moravane/Host.h>
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/Project.h>
#include <moravane/Server.h>

#include <cstdio>
#include <filesystem>
#include <string>

using hostmain::Narrow;
using hostmain::ProjectPath;

namespace {

int List(const std::string& path) {
  const moravane::WideString absolute = ProjectPath(path);
  // Activation starts the registered link server if none is running; the
  // OrraServer keeps the activation alive as long as it lives.
  moravane::OrraServer orra;
  moravane::Server server = orra.CreateLink();
  moravane::Project project = server.OpenProject(absolute);
  std::printf("%s  (%s)\n", Narrow(project.GetName()).c_str(), Narrow(project.GetPath()).c_str());

  int sources = 0;
  moravane::host::Walk(project.GetRootItem(), 0, [&](moravane::Item& item, int depth) {
    if (depth == 0) return;  // the project's root, named above
    const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
    // The same server object seen as a source: unlinked when it is a bin or
    // an item that renders nothing.
    moravane::Source source(item);
    if (!source.IsLinked()) {
      const bool bin = moravane::Container(item).IsLinked();
      std::printf("%s%s%s\n", indent.c_str(), Narrow(item.GetName()).c_str(), bin ? "/" : "  (not a source)");
      return;
    }
    ++sources;
    const moravane::host::SourceFacts facts = moravane::host::ProbeSource(source);
    std::string kinds =
        facts.hasVideo ? "video " + std::to_string(facts.width) + "x" + std::to_string(facts.height) : std::string();
    if (facts.hasAudio) kinds += kinds.empty() ? "audio" : " + audio";
    std::printf("%s%-14s  %s  %-13s  %g fps (%d/%d)  %g s, %ld frames\n", indent.c_str(),
                Narrow(item.GetName()).c_str(), item.GetID().ToString().c_str(), kinds.c_str(), facts.fps,
                facts.rate.first, facts.rate.second, facts.duration.ToSeconds(), facts.frames);
  });
  std::printf("%d sources\n", sources);
  server.CloseProject(project);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: list_sources PROJECT\n");
    return 2;
  }
  return hostmain::Run("list_sources", [&] { return List(argv[1]); });
}
