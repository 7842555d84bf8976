// _moravane's renders: video frames and audio as NumPy arrays over the
// mapped sections, and their bindings.
#include "Handles.h"

namespace moravane_python {
namespace {

// The options of one video render, as the Python layer passes them.
struct VideoRequest {
  int width = 0, height = 0, depth = 0, channelOrder = 1, fieldOrder = 0;
  int downsampleX = 1, downsampleY = 1;
  std::tuple<int, int, int, int> region{0, 0, 0, 0};
  int rowBytes = 0;
  bool lowQuality = false, guides = false, premultiply = false;
};

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
    if (left != 0 || top != 0 || right != 0 || bottom != 0) m_options.SetRegionOfInterest({left, top, right, bottom});
    if (request.lowQuality) m_options.SetLowQuality(true);
    if (request.guides) m_options.SetRenderGuideLayers(true);
    if (request.premultiply) m_options.SetPreMultiply(1);
    if (request.fieldOrder != 0) m_options.SetFieldOrder(request.fieldOrder);
    if (request.rowBytes != 0) m_options.SetRowBytes(request.rowBytes);

    // The server's own figure for the memory must agree with the layout.
    m_layout = moravane::host::FrameLayoutOf(m_options, frame);
    m_name = NewSectionName("video");
    m_section.Init(true, m_name, m_layout.frameBytes);
    m_data = m_section.GetAddress();
    m_render.emplace(moravane::host::ScopedRender::Video(m_renderer, m_options, m_name, m_layout.frameBytes));
  }

  ~VideoRender() {
    WithoutGil([this] {
      m_render.reset();  // ends the render; after a lost link that fails too, and it is over either way
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
      if (!render.m_render) throw std::runtime_error("the render has ended");
      ULONGLONG written = 0;
      render.m_renderer.RenderVideo(kelvex::time::RatioTime(value, scale), &written);
    }
    return render.View(self);
  }

  // The section as an array, without rendering (the frame last rendered).
  // Needs the GIL.
  py::array View(py::object self) {
    if (!m_dtype) {
      m_dtype = m_layout.depth == 8    ? py::dtype::of<std::uint8_t>()
                : m_layout.depth == 16 ? py::dtype::of<std::uint16_t>()
                                       : py::dtype::of<float>();
    }
    const auto pixel = static_cast<py::ssize_t>(m_layout.bytesPerPixel);
    py::array frame(m_dtype, {py::ssize_t(m_layout.height), py::ssize_t(m_layout.width), py::ssize_t(4)},
                    {static_cast<py::ssize_t>(m_layout.rowBytes), pixel, pixel / 4}, m_data, self);
    // Nobody but the server writes the section.
    py::detail::array_proxy(frame.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return frame;
  }

  void End() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_render.reset();  // a failure to end after a lost link is dropped: the render is over either way
  }

  int Width() const { return m_layout.width; }
  int Height() const { return m_layout.height; }
  int Depth() const { return m_layout.depth; }
  std::size_t RowBytes() const { return m_layout.rowBytes; }
  ULONGLONG Size() const { return m_layout.frameBytes; }
  bool Running() const { return m_render.has_value(); }

 private:
  moravane::Renderer m_renderer;
  moravane::VideoRenderOptions m_options;
  moravane::MemoryMappedFile m_section;
  std::string m_name;
  void* m_data = nullptr;
  moravane::host::FrameLayout m_layout;
  std::optional<moravane::host::ScopedRender> m_render;  // none once ended
  std::mutex m_lock;
  py::dtype m_dtype{py::reinterpret_steal<py::dtype>(py::handle())};  // made on first use, under the GIL
};

}  // namespace

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
    moravane::host::ScopedRender render = moravane::host::ScopedRender::Audio(
        renderer, {startValue, startScale}, static_cast<LONG>(frames), options, name, size);
    renderer.GetNextAudioBuffer(&written);
    render.End();
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

void BindRendering(py::module_& m) {
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

}  // namespace moravane_python
