// _moravane's description of a source: the named values of Host.h's
// DescribeSource, which moravane-cli prints as `probe --json`, as a dict
// in the same order (a group of values, should one come, a dict in it).
#include "Handles.h"

namespace moravane_python {
namespace {

py::dict DictOf(const std::vector<moravane::host::Field>& fields) {
  using Kind = moravane::host::Field::Kind;
  py::dict out;
  for (const moravane::host::Field& field : fields) {
    py::object value;
    switch (field.kind) {
      case Kind::kInteger:
        value = py::int_(field.integer);
        break;
      case Kind::kReal:
        value = py::float_(field.real);
        break;
      case Kind::kBool:
        value = py::bool_(field.truth);
        break;
      case Kind::kText:
        value = py::str(field.text);
        break;
      case Kind::kNull:
        value = py::none();
        break;
      case Kind::kGroup:
        value = DictOf(field.group);
        break;
    }
    out[py::str(field.key)] = value;
  }
  return out;
}

}  // namespace

void BindMetadata(py::module_& m) {
  m.def(
      "describe_source",
      [](PySource& source) {
        moravane::host::SourceFacts facts;
        {
          py::gil_scoped_release release;
          std::lock_guard<std::mutex> guard(source.lock);
          facts = moravane::host::ProbeSource(source.handle);
        }
        return DictOf(moravane::host::DescribeSource(facts));
      },
      "The source as moravane-cli probe --json describes it.");
  m.def(
      "rate_fraction", [](double fps) { return moravane::host::RateFraction(fps); },
      "Frames per second as (numerator, denominator), as moravane-cli counts frames with it.");
}

}  // namespace moravane_python
