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
// the GIL).
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

namespace py = pybind11;

namespace {

using kelvex::utility::Guid;
using moravane::WideString;
using Release = py::call_guard<py::gil_scoped_release>;

WideString Wide(const std::u16string& text) { return WideString(text.begin(), text.end()); }
std::u16string Narrow16(const WideString& text) { return std::u16string(text.begin(), text.end()); }

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
std::string NewSectionName(const char* use) {
  static std::atomic<unsigned> counter{0};
  return "moravane-py-" + std::to_string(::getpid()) + "-" + use + "-" + std::to_string(counter++);
}

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

std::shared_ptr<PyServer> Link() {
  auto result = std::make_shared<PyServer>();
  py::gil_scoped_release release;
  result->factory = std::make_unique<moravane::OrraServer>();
  result->server = result->factory->CreateLink();
  return result;
}

std::shared_ptr<PyServer> SelfLink() {
  auto result = std::make_shared<PyServer>();
  py::gil_scoped_release release;
  result->selfLink = std::make_unique<moravane::OrraSelfLink>();
  result->server = result->selfLink->GetMoraVane();
  return result;
}

std::shared_ptr<PyItem> WrapItem(moravane::Item item) {
  if (!item.IsLinked()) return nullptr;
  return std::make_shared<PyItem>(std::move(item));
}

// The children of an item, walked once; empty when it is no container.
std::vector<std::shared_ptr<PyItem>> Children(PyItem& item) {
  std::vector<std::shared_ptr<PyItem>> children;
  py::gil_scoped_release release;
  std::lock_guard<std::mutex> guard(item.lock);
  moravane::Container container(item.handle);
  if (!container.IsLinked()) return children;
  for (moravane::Item child = container.GetFirstItem(); child.IsLinked(); child = container.GetNextItem(child)) {
    children.push_back(std::make_shared<PyItem>(child));
  }
  return children;
}

Guid ParseGuid(const std::string& text) {
  const std::optional<Guid> id = Guid::Parse(text);
  if (!id) throw py::value_error("not a GUID: '" + text + "'");
  return *id;
}

// --- rendering ---------------------------------------------------------------

// The options of one video render, as the Python layer passes them.
struct VideoRequest {
  int width = 0, height = 0, depth = 0, channelOrder = 1, fieldOrder = 0;
  int downsampleX = 1, downsampleY = 1;
  std::tuple<int, int, int, int> region{0, 0, 0, 0};
  int rowBytes = 0;
  bool lowQuality = false, guides = false, premultiply = false;
};

int CeilDiv(int a, int b) { return (a + b - 1) / b; }

// One running video render: its renderer, options and section. Frames are
// arrays over the section whose base is this object, so the section stays
// mapped as long as any frame of it is referenced; each render overwrites
// the one before.
class VideoRender {
 public:
  VideoRender(PySource& source, const VideoRequest& request) {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> guard(source.lock);
    const kelvex::geom::RectT<LONG> frame = source.handle.GetFrameSize();
    m_renderer = source.handle.GetRenderer();
    m_options = m_renderer.CreateVideoRenderOptions();
    m_options.SetChannelOrder(request.channelOrder);
    m_options.SetBounds(request.width, request.height);
    if (request.depth != 0) m_options.SetBitDepth(request.depth);
    if (request.downsampleX != 1 || request.downsampleY != 1) {
      m_options.SetDownsampleFactor(request.downsampleX, request.downsampleY);
    }
    const auto [left, top, right, bottom] = request.region;
    const bool region = left != 0 || top != 0 || right != 0 || bottom != 0;
    if (region) m_options.SetRegionOfInterest({left, top, right, bottom});
    if (request.lowQuality) m_options.SetLowQuality(true);
    if (request.guides) m_options.SetRenderGuideLayers(true);
    if (request.premultiply) m_options.SetPreMultiply(1);
    if (request.fieldOrder != 0) m_options.SetFieldOrder(request.fieldOrder);
    if (request.rowBytes != 0) m_options.SetRowBytes(request.rowBytes);

    // The picture's size follows from the options as the server documents
    // them; its own figure for the memory must agree.
    m_depth = m_options.GetBitDepth();
    int width = request.width != 0 ? request.width : frame.Width();
    int height = request.height != 0 ? request.height : frame.Height();
    if (region) {
      width = right - left;
      height = bottom - top;
    }
    m_width = CeilDiv(width, request.downsampleX);
    m_height = CeilDiv(height, request.downsampleY);
    const std::size_t tightRow = static_cast<std::size_t>(m_width) * 4 * (m_depth / 8);
    m_rowBytes = request.rowBytes != 0 ? static_cast<std::size_t>(request.rowBytes) : tightRow;
    m_size = m_options.GetMaxMemoryRequiredForFrame();
    if (m_height < 1 || m_size != m_rowBytes * (m_height - 1) + tightRow) {
      throw std::runtime_error("the server's frame of " + std::to_string(m_size) + " bytes does not match " +
                               std::to_string(m_width) + "x" + std::to_string(m_height) + " at " +
                               std::to_string(m_depth) + " bits");
    }
    m_name = NewSectionName("video");
    m_section.Init(true, m_name, m_size);
    m_data = m_section.GetAddress();
    m_renderer.StartVideoRender(m_options, m_name, m_size);
    m_running = true;
  }

  ~VideoRender() {
    WithoutGil([this] {
      End();
      m_options.UnLink();
      m_renderer.UnLink();
      // The section goes with the object: no frame refers to it any more.
    });
  }

  // Renders the frame at value/scale seconds and returns it as a view.
  static py::array Render(py::object self, std::int32_t value, std::int32_t scale) {
    VideoRender& render = self.cast<VideoRender&>();
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> guard(render.m_lock);
      if (!render.m_running) throw std::runtime_error("the render has ended");
      ULONGLONG written = 0;
      render.m_renderer.RenderVideo(kelvex::time::RatioTime(value, scale), &written);
    }
    return render.View(self);
  }

  // The section as an array, without rendering (the frame last rendered).
  // Needs the GIL.
  py::array View(py::object self) {
    if (!m_dtype) {
      m_dtype = m_depth == 8    ? py::dtype::of<std::uint8_t>()
                : m_depth == 16 ? py::dtype::of<std::uint16_t>()
                                : py::dtype::of<float>();
    }
    const auto channel = static_cast<py::ssize_t>(m_depth / 8);
    py::array frame(m_dtype, {py::ssize_t(m_height), py::ssize_t(m_width), py::ssize_t(4)},
                    {static_cast<py::ssize_t>(m_rowBytes), 4 * channel, channel}, m_data, self);
    // Nobody but the server writes the section.
    py::detail::array_proxy(frame.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return frame;
  }

  void End() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_running) return;
    m_running = false;
    try {
      m_renderer.EndVideoRender();
    } catch (const moravane::LinkError&) {
      // Ending after a lost link fails too; the render is over either way.
    }
  }

  int Width() const { return m_width; }
  int Height() const { return m_height; }
  int Depth() const { return m_depth; }
  std::size_t RowBytes() const { return m_rowBytes; }
  ULONGLONG Size() const { return m_size; }
  bool Running() const { return m_running; }

 private:
  moravane::Renderer m_renderer;
  moravane::VideoRenderOptions m_options;
  moravane::MemoryMappedFile m_section;
  std::string m_name;
  void* m_data = nullptr;
  ULONGLONG m_size = 0;
  std::size_t m_rowBytes = 0;
  int m_width = 0, m_height = 0, m_depth = 8;
  bool m_running = false;
  std::mutex m_lock;
  py::dtype m_dtype{py::reinterpret_steal<py::dtype>(py::handle())};  // made on first use, under the GIL
};

// One audio request rendered into a section of its own that holds all of
// it: the array returned views that section and keeps it mapped.
struct AudioBlock {
  moravane::MemoryMappedFile section;
};

py::array RenderAudio(PySource& source, std::int32_t startValue, std::int32_t startScale, std::int64_t frames,
                      double rate, int channels, bool floats) {
  const int bytesPerSample = floats ? 4 : 2;
  const std::size_t frameBytes = static_cast<std::size_t>(channels) * bytesPerSample;
  const ULONGLONG size = static_cast<ULONGLONG>(frames) * frameBytes;
  auto block = std::make_unique<AudioBlock>();
  ULONGLONG written = 0;
  {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> guard(source.lock);
    moravane::Renderer renderer = source.handle.GetRenderer();
    moravane::AudioRenderOptions options = renderer.CreateAudioRenderOptions();
    options.SetSampleRate(rate);
    options.SetNumChannels(channels);
    options.SetEncoding(floats ? 1 : 0);
    options.SetBytesPerSample(bytesPerSample);
    const std::string name = NewSectionName("audio");
    block->section.Init(true, name, size);
    block->section.GetAddress();
    // One buffer of every sample frame asked for: the server writes the
    // whole request straight into the section, shorter where the source
    // ends first.
    renderer.StartAudioRender({startValue, startScale}, static_cast<LONG>(frames), options, name, size);
    try {
      renderer.GetNextAudioBuffer(&written);
    } catch (...) {
      try {
        renderer.EndAudioRender();
      } catch (const moravane::LinkError&) {
      }
      throw;
    }
    renderer.EndAudioRender();
  }
  void* data = block->section.GetAddress();
  py::capsule owner(block.release(), [](void* p) {
    auto* owned = static_cast<AudioBlock*>(p);
    WithoutGil([owned] { delete owned; });
  });
  const py::ssize_t got = static_cast<py::ssize_t>(written / frameBytes);
  py::dtype type = floats ? py::dtype::of<float>() : py::dtype::of<std::int16_t>();
  std::vector<py::ssize_t> shape{got, channels};
  std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(frameBytes), bytesPerSample};
  py::array samples(type, shape, strides, data, owner);
  py::detail::array_proxy(samples.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return samples;
}

// LinkError is a Python class of the package (moravane._errors), so that it
// is an ordinary Exception with attributes; failures of the library are
// turned into it here.
void TranslateLinkError(std::exception_ptr pending) {
  try {
    if (pending) std::rethrow_exception(pending);
  } catch (moravane::LinkError& error) {
    py::object type = py::module_::import("moravane._errors").attr("LinkError");
    py::object value = type(static_cast<std::int32_t>(error.GetError()),
                            py::str(py::cast(Narrow16(error.GetErrorString()))), error.ShouldReconnect());
    PyErr_SetObject(type.ptr(), value.ptr());
  }
}

}  // namespace

PYBIND11_MODULE(_moravane, m) {
  m.doc() = "The compiled core of the moravane package; use the package `moravane` instead.";
  py::register_exception_translator(&TranslateLinkError);

  m.def("link", &Link, "Activates the link server and links to it.");
  m.def("self_link", &SelfLink, "Makes an announced self link (switches the process to free-threaded mode).");
  m.def("get_free_threaded", &moravane::ThreadedState::GetFreeThreaded);
  m.def("set_free_threaded", &moravane::ThreadedState::SetFreeThreaded, Release());

  py::class_<PyServer, std::shared_ptr<PyServer>>(m, "Server")
      .def(
          "version",
          [](PyServer& s) {
            std::lock_guard<std::mutex> g(s.lock);
            return s.server.GetVersion();
          },
          Release())
      .def(
          "minimum_memory",
          [](PyServer& s) {
            std::lock_guard<std::mutex> g(s.lock);
            return s.server.GetMinimumMemoryRequirements();
          },
          Release())
      .def(
          "current_memory",
          [](PyServer& s) {
            std::lock_guard<std::mutex> g(s.lock);
            return s.server.GetCurrentMemoryUsage();
          },
          Release())
      .def(
          "set_idle_time_memory",
          [](PyServer& s, ULONGLONG bytes) {
            std::lock_guard<std::mutex> g(s.lock);
            s.server.SetIdleTimeMemoryUsage(bytes);
          },
          Release())
      .def(
          "set_temporary_memory",
          [](PyServer& s, ULONGLONG bytes) {
            std::lock_guard<std::mutex> g(s.lock);
            s.server.SetTemporaryMemoryUsage(bytes);
          },
          Release())
      .def(
          "purge",
          [](PyServer& s) {
            std::lock_guard<std::mutex> g(s.lock);
            s.server.PurgeMemory();
          },
          Release())
      .def(
          "cache_final_frame",
          [](PyServer& s, bool cache) {
            std::lock_guard<std::mutex> g(s.lock);
            s.server.CacheFinalFrame(cache);
          },
          Release())
      .def("project_extension",
           [](PyServer& s) {
             WideString extension;
             {
               py::gil_scoped_release release;
               std::lock_guard<std::mutex> g(s.lock);
               extension = s.server.GetProjectExtension();
             }
             return Narrow16(extension);
           })
      .def("open_project",
           [](PyServer& s, const std::u16string& path) {
             py::gil_scoped_release release;
             std::lock_guard<std::mutex> g(s.lock);
             return std::make_shared<PyProject>(s.server.OpenProject(Wide(path)));
           })
      .def("close_project",
           [](PyServer& s, PyProject& project) {
             py::gil_scoped_release release;
             std::scoped_lock g(s.lock, project.lock);
             s.server.CloseProject(project.handle);
           })
      .def("create_source",
           [](PyServer& s, const std::u16string& path, LONG width, LONG height, std::int32_t aspectNumerator,
              std::int32_t aspectDenominator, std::int32_t durationValue, std::int32_t durationScale, double rate) {
             moravane::Project project;
             moravane::Source source;
             {
               py::gil_scoped_release release;
               std::lock_guard<std::mutex> g(s.lock);
               s.server.CreateSource(Wide(path), {0, 0, width, height}, {aspectNumerator, aspectDenominator},
                                     {durationValue, durationScale}, rate, project, source);
             }
             return std::make_pair(std::make_shared<PyProject>(project), std::make_shared<PySource>(source));
           })
      .def("send_file",
           [](PyServer& s, const std::u16string& path) {
             py::gil_scoped_release release;
             std::lock_guard<std::mutex> g(s.lock);
             moravane::OrraExtras extras(s.server);
             if (!extras.IsLinked()) throw moravane::LinkError(E_NOINTERFACE);
             extras.SendFile(Wide(path));
           })
      .def(
          "close",
          [](PyServer& s) {
            std::lock_guard<std::mutex> g(s.lock);
            s.Close();
          },
          Release())
      .def("is_linked", [](PyServer& s) { return s.server.IsLinked(); });

  py::class_<PyProject, std::shared_ptr<PyProject>>(m, "Project")
      .def("name",
           [](PyProject& p) {
             WideString name;
             {
               py::gil_scoped_release release;
               std::lock_guard<std::mutex> g(p.lock);
               name = p.handle.GetName();
             }
             return Narrow16(name);
           })
      .def("path",
           [](PyProject& p) {
             WideString path;
             {
               py::gil_scoped_release release;
               std::lock_guard<std::mutex> g(p.lock);
               path = p.handle.GetPath();
             }
             return Narrow16(path);
           })
      .def("source",
           [](PyProject& p, const std::string& id) {
             const Guid guid = ParseGuid(id);
             py::gil_scoped_release release;
             std::lock_guard<std::mutex> g(p.lock);
             return std::make_shared<PySource>(p.handle.GetSource(guid));
           })
      .def("root",
           [](PyProject& p) {
             py::gil_scoped_release release;
             std::lock_guard<std::mutex> g(p.lock);
             return WrapItem(p.handle.GetRootItem());
           })
      .def(
          "unlink", [](PyProject& p) { p.handle.UnLink(); }, Release());

  py::class_<PyItem, std::shared_ptr<PyItem>>(m, "Item")
      .def("name",
           [](PyItem& i) {
             WideString name;
             {
               py::gil_scoped_release release;
               std::lock_guard<std::mutex> g(i.lock);
               name = i.handle.GetName();
             }
             return Narrow16(name);
           })
      .def("id",
           [](PyItem& i) {
             py::gil_scoped_release release;
             std::lock_guard<std::mutex> g(i.lock);
             return i.handle.GetID().ToString();
           })
      .def("type",
           [](PyItem& i) {
             py::gil_scoped_release release;
             std::lock_guard<std::mutex> g(i.lock);
             return static_cast<int>(i.handle.GetType());
           })
      .def("parent",
           [](PyItem& i) {
             py::gil_scoped_release release;
             std::lock_guard<std::mutex> g(i.lock);
             return WrapItem(i.handle.GetParentItem());
           })
      .def("children", &Children)
      .def("is_container",
           [](PyItem& i) {
             py::gil_scoped_release release;
             std::lock_guard<std::mutex> g(i.lock);
             return moravane::Container(i.handle).IsLinked();
           })
      .def("as_source", [](PyItem& i) -> std::shared_ptr<PySource> {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> g(i.lock);
        moravane::Source source(i.handle);
        if (!source.IsLinked()) return nullptr;
        return std::make_shared<PySource>(source);
      });

#define MORAVANE_SOURCE_GETTER(pyname, call)   \
  .def(                                        \
      pyname,                                  \
      [](PySource& s) {                        \
        std::lock_guard<std::mutex> g(s.lock); \
        return s.handle.call;                  \
      },                                       \
      Release())

  py::class_<PySource, std::shared_ptr<PySource>>(m, "Source")
      .def(
          "duration",
          [](PySource& s) {
            std::lock_guard<std::mutex> g(s.lock);
            const kelvex::time::RatioTime d = s.handle.GetDuration();
            return std::make_pair(d.value, d.scale);
          },
          Release())
      .def(
          "pixel_aspect",
          [](PySource& s) {
            std::lock_guard<std::mutex> g(s.lock);
            const kelvex::geom::Ratio r = s.handle.GetPixelAspectRatio();
            return std::make_pair(r.numerator, r.denominator);
          },
          Release())
      .def(
          "size",
          [](PySource& s) {
            std::lock_guard<std::mutex> g(s.lock);
            const kelvex::geom::RectT<LONG> r = s.handle.GetFrameSize();
            return std::make_pair(static_cast<int>(r.Width()), static_cast<int>(r.Height()));
          },
          Release()) MORAVANE_SOURCE_GETTER("frame_rate", GetFrameRate())
          MORAVANE_SOURCE_GETTER("bit_depth", GetBitDepth()) MORAVANE_SOURCE_GETTER("timestamp", GetTimeStamp())
              MORAVANE_SOURCE_GETTER("has_audio", HasAudio()) MORAVANE_SOURCE_GETTER("has_video", HasVideo())
      .def(
          "is_newer_than",
          [](PySource& s, LONG stamp) {
            std::lock_guard<std::mutex> g(s.lock);
            return s.handle.IsNewerThan(stamp);
          },
          Release())
      .def("item",
           [](PySource& s) {
             py::gil_scoped_release release;
             std::lock_guard<std::mutex> g(s.lock);
             return WrapItem(moravane::Item(s.handle));
           })
      .def("audio", &RenderAudio);
#undef MORAVANE_SOURCE_GETTER

  py::class_<VideoRequest>(m, "VideoRequest")
      .def(py::init<>())
      .def_readwrite("width", &VideoRequest::width)
      .def_readwrite("height", &VideoRequest::height)
      .def_readwrite("depth", &VideoRequest::depth)
      .def_readwrite("channel_order", &VideoRequest::channelOrder)
      .def_readwrite("field_order", &VideoRequest::fieldOrder)
      .def_readwrite("downsample_x", &VideoRequest::downsampleX)
      .def_readwrite("downsample_y", &VideoRequest::downsampleY)
      .def_readwrite("region", &VideoRequest::region)
      .def_readwrite("row_bytes", &VideoRequest::rowBytes)
      .def_readwrite("low_quality", &VideoRequest::lowQuality)
      .def_readwrite("guides", &VideoRequest::guides)
      .def_readwrite("premultiply", &VideoRequest::premultiply);

  py::class_<VideoRender, std::shared_ptr<VideoRender>>(m, "VideoRender")
      .def(py::init(
          [](PySource& source, const VideoRequest& request) { return std::make_shared<VideoRender>(source, request); }))
      .def("render", &VideoRender::Render)
      .def("view", [](py::object self) { return self.cast<VideoRender&>().View(self); })
      .def("end", &VideoRender::End, Release())
      .def_property_readonly("width", &VideoRender::Width)
      .def_property_readonly("height", &VideoRender::Height)
      .def_property_readonly("depth", &VideoRender::Depth)
      .def_property_readonly("row_bytes", &VideoRender::RowBytes)
      .def_property_readonly("frame_bytes", &VideoRender::Size)
      .def_property_readonly("running", &VideoRender::Running);
}
