// A host that keeps its linked handles in globals, as hosts do: they are
// unlinked by the exit handlers, after the statics of functions that the
// library first called while main ran. Exits 0 when all of that went well
// (a sanitizer makes it fail otherwise). With --hold it keeps its links
// until its input ends: a client that another test kills while linked.
#include <moravane/Link.h>
#include <moravane/Project.h>
#include <moravane/Server.h>

#include <kelvex/Strings.h>

#include <cstdio>
#include <cstring>

moravane::OrraServer g_factory;
moravane::Server g_server;
moravane::Project g_project;

int main(int argc, char** argv) {
  const bool hold = argc == 3 && std::strcmp(argv[2], "--hold") == 0;
  if (argc != 2 && !hold) {
    std::fprintf(stderr, "usage: e2e_global_handle_host PROJECT [--hold]\n");
    return 2;
  }
  g_server = g_factory.CreateLink();
  g_project = g_server.OpenProject(kelvex::utility::AsciiToUTF16(argv[1]));
  std::printf("%s\n", kelvex::utility::UTF16ToUTF8(g_project.GetName()).c_str());
  std::fflush(stdout);
  if (hold) {
    while (std::getchar() != EOF) {
    }
  }
  return 0;
}
