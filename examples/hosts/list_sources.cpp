// Lists the sources of a project with what the link server says about each:
// name, GUID, frame size, rate, duration, and whether it has video or audio.
//
//   list_sources PROJECT
//
// Exit codes: 0 listed; 2 no such project file; 3 a link error (its code and
// the server's text are printed).
#include <moravane/Host.h>
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/Project.h>
#include <moravane/Server.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

std::string Narrow(const moravane::WideString& text) { return kelvex::utility::UTF16ToUTF8(text); }

// The server is another process with a working directory of its own, so it
// is handed an absolute path; a file that is not there is the caller's
// mistake and is said before anything is linked.
moravane::WideString ProjectPath(const std::string& path) {
  if (!std::filesystem::is_regular_file(path)) throw moravane::host::RequestError("no project file at '" + path + "'");
  return kelvex::utility::AsciiToUTF16(std::filesystem::absolute(path).string());
}

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
  try {
    return List(argv[1]);
  } catch (const moravane::host::RequestError& error) {
    std::fprintf(stderr, "list_sources: %s\n", error.what());
    return 2;
  } catch (moravane::LinkError& error) {
    // Every failure of a remote call arrives as a LinkError: the server's
    // HRESULT (or COM's, or the library's own) and the server's text, which
    // is empty when the server was never reached: activation then says only
    // its code.
    std::fprintf(stderr, "list_sources: link error 0x%08X: %s\n", static_cast<unsigned>(error.GetError()),
                 error.GetError() == REGDB_E_CLASSNOTREG ? "no link server is registered for this user"
                                                         : Narrow(error.GetErrorString()).c_str());
    return 3;
  }
}
