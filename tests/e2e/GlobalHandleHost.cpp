// A host that keeps its linked handles in globals, as hosts do: they are
// unlinked by the exit handlers, after the statics of functions that the
// library first called while main ran. Exits 0 when all of that went well
// (a sanitizer makes it fail otherwise).
#include <moravane/Link.h>
#include <moravane/Project.h>
#include <moravane/Server.h>

#include <kelvex/Strings.h>

#include <cstdio>

moravane::OrraServer g_factory;
moravane::Server g_server;
moravane::Project g_project;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: e2e_global_handle_host PROJECT\n");
    return 2;
  }
  g_server = g_factory.CreateLink();
  g_project = g_server.OpenProject(kelvex::utility::AsciiToUTF16(argv[1]));
  std::printf("%s\n", kelvex::utility::UTF16ToUTF8(g_project.GetName()).c_str());
  return 0;
}
