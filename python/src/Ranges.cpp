// _moravane's frame ranges: the text moravane-cli takes for --frames, read
// by the same code of Host.h, so that "-10:" selects the same frames in a
// script as on the command line.
#include "Handles.h"

namespace moravane_python {

void BindRanges(py::module_& m) {
  m.def(
      "frame_range",
      [](const std::string& text, long count) {
        try {
          const moravane::host::FrameSpan span =
              moravane::host::ResolveFrameRange(moravane::host::ParseFrameRange(text), count);
          return std::make_tuple(span.first, span.end, span.step);
        } catch (const moravane::host::FrameRangeError& error) {
          // A range past the frames is an index that is out of range; text
          // that is no range, or selects nothing, is a bad value.
          if (error.GetKind() == moravane::host::FrameRangeError::Kind::kOutside) throw py::index_error(error.what());
          throw py::value_error(error.what());
        }
      },
      "(first, end, step) of the frames that `text` selects among `count`.");
}

}  // namespace moravane_python
