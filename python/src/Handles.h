// The pieces of _moravane that its files share: the GIL and thread rules
// of every wrapper, the handle wrappers, and the functions that bind them.
//
// Threads: a handle of the library is used by one thread at a time, so each
// wrapper that Python threads may share holds a mutex, taken after the GIL
// has been released (never the other way round, so no lock-order cycle with
// the GIL).
#pragma once

#include <moravane/Host.h>
#include <moravane/Items.h>
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/OrraExtras.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Server.h>
#include <moravane/Source.h>
#include <moravane/ThreadedState.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <unistd.h>

namespace moravane_python {

namespace py = pybind11;
using kelvex::utility::Guid;
using moravane::WideString;
using Release = py::call_guard<py::gil_scoped_release>;

inline WideString Wide(const std::u16string& text) { return WideString(text.begin(), text.end()); }
inline std::u16string Narrow16(const WideString& text) { return std::u16string(text.begin(), text.end()); }
// Runs `work` with the GIL released, unless the interpreter is going down
// (the GIL must not be given up then); for destructors, which Python calls
// with the GIL held.
template <class Work>
void WithoutGil(Work&& work) {
  if (PyGILState_Check() && !_Py_IsFinalizing()) {
    py::gil_scoped_release release;
    work();
  } else {
    work();
  }
}

// Section names unique within the machine: the process id and a counter.
std::string NewSectionName(const char* use);

// --- handles -----------------------------------------------------------------

// Every handle wrapper unlinks on the communication thread when Python lets
// go of it; the GIL is not held while that call waits.
template <class Handle>
struct Wrapped {
  Handle handle;
  std::mutex lock;
  explicit Wrapped(Handle h) : handle(std::move(h)) {}
  ~Wrapped() {
    WithoutGil([this] { handle.UnLink(); });
  }
};

struct PyServer {
  // Either an OrraServer's link or a self link keeps the Server company.
  std::unique_ptr<moravane::OrraServer> factory;
  std::unique_ptr<moravane::OrraSelfLink> selfLink;
  moravane::Server server;
  std::mutex lock;

  ~PyServer() {
    WithoutGil([this] { Close(); });
  }
  void Close() {
    server.UnLink();
    if (factory) factory->UnLink();
    factory.reset();
    selfLink.reset();  // withdraws the announcement
  }
};

struct PyProject : Wrapped<moravane::Project> {
  using Wrapped::Wrapped;
};
struct PyItem : Wrapped<moravane::Item> {
  using Wrapped::Wrapped;
};
struct PySource : Wrapped<moravane::Source> {
  using Wrapped::Wrapped;
};

std::shared_ptr<PyServer> Link();
std::shared_ptr<PyServer> SelfLink();
std::shared_ptr<PyItem> WrapItem(moravane::Item item);
// The children of an item, walked once; empty when it is no container.
std::vector<std::shared_ptr<PyItem>> Children(PyItem& item);
Guid ParseGuid(const std::string& text);

// One audio request of `frames` sample frames as an array over a section of
// its own.
py::array RenderAudio(PySource& source, std::int32_t startValue, std::int32_t startScale, std::int64_t frames,
                      double rate, int channels, bool floats);

// The module's classes and functions: the link and the handles, then the
// renders (which take the handles' classes as arguments).
void BindHandles(py::module_& m);
void BindRendering(py::module_& m);
// What the package shares with moravane-cli through Host.h (frame ranges, a
// source's description), and audio rendered block by block.
void BindRanges(py::module_& m);
void BindMetadata(py::module_& m);
void BindAudioBlocks(py::module_& m);

}  // namespace moravane_python
