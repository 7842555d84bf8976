// Opening the files the server reads (project files and stills). The path
// is opened once and every check is made on the open descriptor, never on
// the path: a path that is swapped between a check and the open could
// otherwise leave the server waiting for ever on a FIFO's writer or reading
// a device without end. The descriptor is the caller's, closed by its owner.
#pragma once

#include <comsupport/FileDescriptor.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace linkserver {

class FileOpenError : public std::runtime_error {
 public:
  // what() is the reason alone, for the caller to put after the file's
  // name: the system's text ("File name too long") when `error` is set,
  // else the kind of file ("is a FIFO, not a regular file").
  FileOpenError(std::error_code error, const std::string& reason) : std::runtime_error(reason), m_error(error) {}
  std::error_code Error() const noexcept { return m_error; }
  bool NotFound() const noexcept { return m_error == std::errc::no_such_file_or_directory; }

 private:
  std::error_code m_error;
};

struct RegularFile {
  comsupport::UniqueFd fd;
  std::uint64_t size = 0;  // when it was opened; it may grow after
};

// Opens `path` for reading; refuses (FileOpenError) anything but a regular
// file without waiting for a FIFO's writer.
RegularFile OpenRegularFile(const std::filesystem::path& path);

// Reads until `size` bytes have come or the file ends: the count read, or
// -1 with errno set.
std::ptrdiff_t ReadFully(int fd, void* buffer, std::size_t size);

}  // namespace linkserver
