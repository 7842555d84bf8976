// What every example host shares: text from the server as UTF-8, the
// project's path as the server needs it, and one translation of failures
// into exit codes: 2 for the caller's mistakes (usage, no such project or
// source, a bad frame range), 3 for link errors (the code and the server's
// text), 4 for an output that could not be written.
#pragma once

#include <moravane/Host.h>
#include <moravane/LinkError.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace hostmain {

// A file that could not be written; nothing of it is left behind.
struct OutputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline std::string Narrow(const moravane::WideString& text) { return kelvex::utility::UTF16ToUTF8(text); }

// The server is another process with a working directory of its own, so it
// is handed an absolute path; a file that is not there is the caller's
// mistake and is said before anything is linked.
inline moravane::WideString ProjectPath(const std::string& path) {
  if (!std::filesystem::is_regular_file(path)) throw moravane::host::RequestError("no project file at '" + path + "'");
  return kelvex::utility::AsciiToUTF16(std::filesystem::absolute(path).string());
}

// Runs `body` (which returns the exit code) and turns what it throws into
// a message on stderr, prefixed with the program's `name`, and its code.
template <class Body>
int Run(const char* name, Body&& body) {
  try {
    return body();
  } catch (const moravane::host::RequestError& error) {
    std::fprintf(stderr, "%s: %s\n", name, error.what());
    return 2;
  } catch (const OutputError& error) {
    std::fprintf(stderr, "%s: %s\n", name, error.what());
    return 4;
  } catch (moravane::LinkError& error) {
    // Every failure of a remote call arrives as a LinkError: the server's
    // HRESULT (or COM's, or the library's own) and the server's text, which
    // is empty when the server was never reached: activation then says only
    // its code.
    std::fprintf(stderr, "%s: link error 0x%08X: %s\n", name, static_cast<unsigned>(error.GetError()),
                 error.GetError() == REGDB_E_CLASSNOTREG ? "no link server is registered for this user"
                                                         : Narrow(error.GetErrorString()).c_str());
    return 3;
  }
}

}  // namespace hostmain
