// Reading and writing project files (docs/project-format.md). The parser
// never trusts its input: every problem becomes a ProjectFormatError naming
// the line, and nothing it reads can make it crash, loop or allocate without
// bound (it is fuzzed, see fuzz/).
#pragma once

#include "ProjectModel.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace linkserver {

inline constexpr char kProjectExtension[] = ".orraproj";

class ProjectFormatError : public std::runtime_error {
 public:
  // `line` is 1-based; 0 when the problem concerns the file as a whole.
  // The message is prefixed with "line N: " unless `prefixLine` is false
  // (for a message that names the line already).
  ProjectFormatError(int line, const std::string& message, bool prefixLine = true);
  // A file that could not be opened: the system's reason (line 0).
  ProjectFormatError(std::error_code fileError, const std::string& message);
  int Line() const noexcept { return m_line; }
  std::error_code FileError() const noexcept { return m_fileError; }

 private:
  int m_line;
  std::error_code m_fileError;
};

struct ParseOptions {
  // Folder against which relative image paths are resolved.
  std::filesystem::path baseFolder;
  // Whether to open image files while parsing (to check them and to take a
  // missing frame size from the image). The fuzzer turns this off.
  bool readImages = true;
};

ProjectModel ParseProject(std::string_view text, const ParseOptions& options);

// Reads and parses a file; a file that cannot be read is a ProjectFormatError
// with line 0 (and the system's error when it could not be opened). Messages
// begin with the file's name.
ProjectModel LoadProjectFile(const std::filesystem::path& path);

// The canonical text of a model; ParseProject(WriteProject(m)) equals m.
std::string WriteProject(const ProjectModel& model);

// Writes a new file; refuses to replace one that exists.
void WriteNewProjectFile(const std::filesystem::path& path, const ProjectModel& model);

}  // namespace linkserver
