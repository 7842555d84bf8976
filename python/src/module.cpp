// _moravane: the library's public classes as seen from Python. This layer is
// thin on purpose: it owns the handles, releases the GIL around every call
// that may reach the server (or wait for the communication thread), and
// hands out frames and audio as NumPy arrays over the mapped section. The
// pure-Python package `moravane` builds the friendly API (fractions, UUIDs,
// indexing, argument checks) on top of it.
//
// Threads: a handle of the library is used by one thread at a time, so each
// wrapper that Python threads may share holds a mutex, taken after the GIL
// has been released (never the other way round, so no lock-order cycle with
// the GIL). The files: Handles.cpp (the link and the handles), Rendering.cpp
// (frames and audio), AudioBlocks.cpp (audio block by block), Ranges.cpp and
// Metadata.cpp (frame ranges and a source's description, as moravane-cli
// has them), this one (the module and its error translation).
#include "Handles.h"

#include <exception>

namespace py = pybind11;

namespace {

// LinkError is a Python class of the package (moravane._errors), so that it
// is an ordinary Exception with attributes; failures of the library are
// turned into it here.
void TranslateLinkError(std::exception_ptr pending) {
  try {
    if (pending) std::rethrow_exception(pending);
  } catch (moravane::LinkError& error) {
    py::object type = py::module_::import("moravane._errors").attr("LinkError");
    py::object value =
        type(static_cast<std::int32_t>(error.GetError()),
             py::str(py::cast(moravane_python::Narrow16(error.GetErrorString()))), error.ShouldReconnect());
    PyErr_SetObject(type.ptr(), value.ptr());
  }
}

}  // namespace

PYBIND11_MODULE(_moravane, m) {
  m.doc() = "The compiled core of the moravane package; use the package `moravane` instead.";
  m.attr("__version__") = MORAVANE_VERSION;
  py::register_exception_translator(&TranslateLinkError);
  moravane_python::BindHandles(m);
  moravane_python::BindRendering(m);
  moravane_python::BindRanges(m);
  moravane_python::BindMetadata(m);
  moravane_python::BindAudioBlocks(m);
}
