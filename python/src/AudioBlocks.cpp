// _moravane's audio in blocks: one audio render for a whole request whose
// section holds a single block, so that sound of any length passes through
// a fixed amount of memory. The server fills the section once per
// GetNextAudioBuffer; each block is copied out into an array of its own
// (a block is small, and the copy lets the next buffer reuse the section at
// once, where a section per block would map and unmap one every time).
#include "Handles.h"

#include <cstring>

namespace moravane_python {
namespace {

class AudioBlocks {
 public:
  AudioBlocks(PySource& source, std::int32_t startValue, std::int32_t startScale, std::int64_t frames, double rate,
              int channels, bool floats, long blockFrames)
      : m_channels(channels),
        m_bytesPerSample(floats ? 4 : 2),
        m_frameBytes(static_cast<std::size_t>(channels) * m_bytesPerSample),
        m_blockFrames(blockFrames),
        m_wanted(frames),
        m_dtype(floats ? py::dtype::of<float>() : py::dtype::of<std::int16_t>()) {
    py::gil_scoped_release release;
    {
      std::lock_guard<std::mutex> guard(source.lock);
      m_renderer = source.handle.GetRenderer();
    }
    m_options = m_renderer.CreateAudioRenderOptions();
    m_options.SetSampleRate(rate);
    m_options.SetNumChannels(channels);
    m_options.SetEncoding(floats ? 1 : 0);
    m_options.SetBytesPerSample(m_bytesPerSample);
    const ULONGLONG size = static_cast<ULONGLONG>(blockFrames) * m_frameBytes;
    const std::string name = NewSectionName("audio-blocks");
    m_section.Init(true, name, size);
    m_data = static_cast<const std::uint8_t*>(m_section.GetAddress());
    m_render.emplace(moravane::host::ScopedRender::Audio(m_renderer, {startValue, startScale},
                                                         static_cast<LONG>(blockFrames), m_options, name, size));
    m_running = true;
  }

  ~AudioBlocks() {
    WithoutGil([this] {
      m_render.reset();  // ends the render before its section goes
      m_options.UnLink();
      m_renderer.UnLink();
    });
  }

  // The next block, or StopIteration once the request or the source ends.
  // The array is made with the GIL and filled without it, under the lock,
  // so that the lock is never held while the GIL is taken.
  py::array Next() {
    py::array block(m_dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(m_blockFrames), m_channels});
    auto* out = static_cast<std::uint8_t*>(block.mutable_data());
    std::int64_t got = 0;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_render && m_done < m_wanted) {
        ULONGLONG written = 0;
        try {
          m_renderer.GetNextAudioBuffer(&written);
        } catch (...) {
          End();
          throw;
        }
        const auto filled = static_cast<std::int64_t>(written / m_frameBytes);
        got = std::min<std::int64_t>(filled, m_wanted - m_done);
        std::memcpy(out, m_data, static_cast<std::size_t>(got) * m_frameBytes);
        m_done += got;
        // A buffer not filled is the source's end: nothing follows it.
        if (filled < m_blockFrames || m_done >= m_wanted) End();
      }
    }
    if (got == 0) throw py::stop_iteration();
    if (got < m_blockFrames) return block[py::slice(0, static_cast<py::ssize_t>(got), 1)].cast<py::array>();
    return block;
  }

  void Close() {
    std::lock_guard<std::mutex> guard(m_lock);
    End();
  }

  // Read without the lock (the GIL is held here, and the lock is never
  // taken under it): a flag that each end of the render clears.
  bool Running() const { return m_running.load(); }

 private:
  // Ends the render, with m_lock held; a failure to end after a lost link
  // is dropped, as the render is over either way.
  void End() {
    m_render.reset();
    m_running = false;
  }

  const int m_channels;
  const int m_bytesPerSample;
  const std::size_t m_frameBytes;
  const long m_blockFrames;
  const std::int64_t m_wanted;
  std::int64_t m_done = 0;
  py::dtype m_dtype;
  moravane::Renderer m_renderer;
  moravane::AudioRenderOptions m_options;
  moravane::MemoryMappedFile m_section;
  const std::uint8_t* m_data = nullptr;
  std::optional<moravane::host::ScopedRender> m_render;  // none once ended
  std::atomic<bool> m_running{false};
  std::mutex m_lock;
};

}  // namespace

void BindAudioBlocks(py::module_& m) {
  py::class_<AudioBlocks, std::shared_ptr<AudioBlocks>>(m, "AudioBlocks")
      .def(py::init([](PySource& source, std::int32_t startValue, std::int32_t startScale, std::int64_t frames,
                       double rate, int channels, bool floats, long blockFrames) {
        return std::make_shared<AudioBlocks>(source, startValue, startScale, frames, rate, channels, floats,
                                             blockFrames);
      }))
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &AudioBlocks::Next)
      .def("close", &AudioBlocks::Close, Release())
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](AudioBlocks& blocks, const py::args&) {
             py::gil_scoped_release release;
             blocks.Close();
           })
      .def_property_readonly("running", &AudioBlocks::Running);
}

}  // namespace moravane_python
