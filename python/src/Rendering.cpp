// _moravane's renders: video frames and audio as NumPy arrays over the
// mapped sections, and their bindings.
#include "Handles.h"

#include <comsupport/KernelHandle.h>
#include <comsupport/WideChars.h>
#include <kelvex/Strings.h>

#include <cstring>
#include <new>
#include <type_traits>

#include <sys/mman.h>

namespace moravane_python {

namespace {

// What every pool may hold in sections before it copies frames out; see
// FramePool::Acquire.
std::atomic<std::uint64_t> g_frameMemoryLimit{std::uint64_t{1} << 30};

// The options of one video render, as the Python layer passes them.
struct VideoRequest {
  int width = 0, height = 0, depth = 0, channelOrder = 1, fieldOrder = 0;
  int downsampleX = 1, downsampleY = 1;
  std::tuple<int, int, int, int> region{0, 0, 0, 0};
  int rowBytes = 0;
  bool lowQuality = false, guides = false, premultiply = false;
  // 4: the server's four channels as they are; 3: the first three of them
  // (RGB or BGR, the server laying out RGBA or BGRA); 1: their luma.
  int outputChannels = 4;
  bool writable = false;
};

// One view of a pool's section at a fixed address. The slot that renders
// into the section holds it, and so does every frame that reads it, so the
// address stays mapped while any array looks at it.
struct SectionView {
  moravane::MemoryMappedFile file;
  const std::byte* data = nullptr;
};

std::size_t PageRounded(std::size_t bytes) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// Puts a private copy of the pages at `address` in their place, at the same
// address: arrays that view them keep their picture and their pointer, and
// no longer see the section. The copy is read-only unless `writable`.
void ReplaceWithPrivateCopy(void* address, std::size_t bytes, bool writable) {
  const std::size_t length = PageRounded(bytes);
  void* copy = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (copy == MAP_FAILED) throw std::bad_alloc();
  std::memcpy(copy, address, bytes);
  if (!writable) ::mprotect(copy, length, PROT_READ);
  if (::mremap(copy, length, length, MREMAP_MAYMOVE | MREMAP_FIXED, address) == MAP_FAILED) {
    ::munmap(copy, length);
    throw std::bad_alloc();
  }
}

class FramePool;
struct Slot;

// The memory of one frame handed to Python: an array's base. While it
// lives, the slot it came from is not rendered into again (its lease);
// when it goes, the slot is free. A frame the pool copied out holds no
// lease any more: its pages are its own.
struct FrameMemory {
  std::shared_ptr<FramePool> pool;
  Slot* slot = nullptr;
  std::uint64_t ticket = 0;
  std::shared_ptr<SectionView> view;      // the slot's view, mapped while the frame lives
  comsupport::UniqueMappedView private_;  // writable frames: a copy-on-write view of the section
  void* address = nullptr;                // what the array reads
  std::size_t bytes = 0;
  std::string section;  // empty once copied out
  bool writable = false;

  ~FrameMemory();
};

// One renderer bound to one section: what the pool hands out.
struct Slot {
  moravane::Renderer renderer;
  moravane::VideoRenderOptions options;
  std::string name;
  std::shared_ptr<SectionView> view;
  std::optional<moravane::host::ScopedRender> render;
  // Guarded by the pool's lease lock. A slot is busy from the moment a
  // render takes it until its frame goes (or is copied out); the ticket
  // orders leases from oldest to newest.
  bool busy = false;
  std::uint64_t ticket = 0;
  FrameMemory* holder = nullptr;
};

// The renders of one Frames iterator (or of a source's frames by index):
// a pool of slots. A frame is a view of its slot's section and keeps it
// leased; a render takes a free slot, or adds one while the pool's sections
// stay within the memory limit, or else copies the frame leased longest ago
// out of its section and takes that slot. So a loop that drops each frame
// before the next keeps reusing two sections, and a list of kept frames
// holds distinct pictures without a copy.
class FramePool : public std::enable_shared_from_this<FramePool> {
 public:
  FramePool(std::shared_ptr<PySource> source, const VideoRequest& request)
      : m_source(std::move(source)), m_request(request) {
    py::gil_scoped_release release;
    std::unique_ptr<Slot> first = NewSlot();
    m_slots.push_back(std::move(first));
  }

  ~FramePool() {
    WithoutGil([this] { m_slots.clear(); });  // ends each render, then unlinks its renderer
  }

  // Renders the frame at value/scale seconds and returns it: a view of the
  // section leased to the array, or (for three channels or grey) a new
  // array converted out of it.
  py::array Render(std::int32_t value, std::int32_t scale) {
    std::optional<py::array> converted;
    void* convertInto = nullptr;
    if (m_request.outputChannels != 4) {
      converted.emplace(Dtype(), Shape());
      convertInto = converted->mutable_data();
    }
    std::shared_ptr<FrameMemory> memory;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> guard(m_renderLock);
      if (m_ended) throw std::runtime_error("the render has ended");
      Slot& slot = Acquire();
      try {
        ULONGLONG written = 0;
        slot.renderer.RenderVideo(kelvex::time::RatioTime(value, scale), &written);
        if (m_request.outputChannels != 4) {
          Convert(slot.view->data, convertInto);
          Free(slot);
        } else {
          memory = Lease(slot);
        }
      } catch (...) {
        Free(slot);
        throw;
      }
    }
    if (converted) return std::move(*converted);
    const void* data = memory->address;
    const bool writable = memory->writable;
    return FourChannelView(data, py::cast(std::move(memory)), writable);
  }

  // An array of the pool's four-channel layout over `data`, kept alive by
  // `base`. Needs the GIL.
  py::array FourChannelView(const void* data, py::object base, bool writable) const {
    const auto pixel = static_cast<py::ssize_t>(m_layout.bytesPerPixel);
    const std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(m_layout.rowBytes), pixel, pixel / 4};
    const std::vector<py::ssize_t> shape{py::ssize_t(m_layout.height), py::ssize_t(m_layout.width), 4};
    py::array frame(Dtype(), shape, strides, data, base);
    if (!writable) py::detail::array_proxy(frame.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return frame;
  }

  // Ends every slot's render; frames already returned stay readable.
  void End() {
    std::lock_guard<std::mutex> guard(m_renderLock);
    m_ended = true;
    for (auto& slot : m_slots) slot->render.reset();  // after a lost link that fails too; it is over either way
  }

  // A frame that goes gives its slot back, unless the pool copied it out
  // (and leased the slot to a later frame) in the meantime.
  void Return(Slot* slot, std::uint64_t ticket) noexcept {
    std::lock_guard<std::mutex> guard(m_leaseLock);
    if (slot->busy && slot->ticket == ticket) {
      slot->busy = false;
      slot->holder = nullptr;
    }
  }

  std::size_t Sections() {
    std::lock_guard<std::mutex> guard(m_leaseLock);
    return m_slots.size();
  }
  std::vector<py::ssize_t> Shape() const {
    std::vector<py::ssize_t> shape{py::ssize_t(m_layout.height), py::ssize_t(m_layout.width)};
    if (m_request.outputChannels != 1) shape.push_back(m_request.outputChannels);
    return shape;
  }

 private:
  // A renderer of the source with the request's options, bound to a new
  // section. Without the GIL.
  std::unique_ptr<Slot> NewSlot() {
    auto slot = std::make_unique<Slot>();
    std::lock_guard<std::mutex> guard(m_source->lock);
    const kelvex::geom::RectT<LONG> frame = m_source->handle.GetFrameSize();
    slot->renderer = m_source->handle.GetRenderer();
    slot->options = slot->renderer.CreateVideoRenderOptions();
    const VideoRequest& request = m_request;
    moravane::VideoRenderOptions& options = slot->options;
    options.SetChannelOrder(request.channelOrder);
    options.SetBounds(request.width, request.height);
    if (request.depth != 0) options.SetBitDepth(request.depth);
    if (request.downsampleX != 1 || request.downsampleY != 1) {
      options.SetDownsampleFactor(request.downsampleX, request.downsampleY);
    }
    const auto [left, top, right, bottom] = request.region;
    if (left != 0 || top != 0 || right != 0 || bottom != 0) options.SetRegionOfInterest({left, top, right, bottom});
    if (request.lowQuality) options.SetLowQuality(true);
    if (request.guides) options.SetRenderGuideLayers(true);
    if (request.premultiply) options.SetPreMultiply(1);
    if (request.fieldOrder != 0) options.SetFieldOrder(request.fieldOrder);
    if (request.rowBytes != 0) options.SetRowBytes(request.rowBytes);

    // The server's own figure for the memory must agree with the layout,
    // and every slot of a pool has the same one.
    const moravane::host::FrameLayout layout = moravane::host::FrameLayoutOf(options, frame);
    if (m_layout.frameBytes == 0) m_layout = layout;
    slot->name = NewSectionName("video");
    slot->view = std::make_shared<SectionView>();
    slot->view->file.Init(true, slot->name, layout.frameBytes);
    slot->view->data = static_cast<const std::byte*>(slot->view->file.GetAddress());
    slot->render.emplace(
        moravane::host::ScopedRender::Video(slot->renderer, slot->options, slot->name, layout.frameBytes));
    return slot;
  }

  // A slot for the next render, marked busy. Without the GIL, under the
  // render lock.
  Slot& Acquire() {
    if (Slot* free = TakeFree()) return *free;
    const std::uint64_t limit = g_frameMemoryLimit.load(std::memory_order_relaxed);
    if ((m_slots.size() + 1) * m_layout.frameBytes <= limit) {
      std::unique_ptr<Slot> added = NewSlot();
      std::lock_guard<std::mutex> guard(m_leaseLock);
      m_slots.push_back(std::move(added));
      return Take(*m_slots.back());
    }
    // Every section is leased and another would pass the limit: the frame
    // leased longest ago leaves shared memory for a private copy, and its
    // slot renders the next frame.
    std::lock_guard<std::mutex> guard(m_leaseLock);
    Slot* oldest = nullptr;
    for (auto& slot : m_slots) {
      if (!slot->busy) return Take(*slot);  // a frame went meanwhile
      if (slot->holder != nullptr && (oldest == nullptr || slot->ticket < oldest->ticket)) oldest = slot.get();
    }
    // Under the render lock every busy slot has its frame: a render that
    // failed gave its slot back.
    if (oldest == nullptr) throw std::logic_error("every section is taken, none by a frame");
    FrameMemory& frame = *oldest->holder;
    // When the frame reads the slot's own view, that view becomes the
    // copy, so the slot maps its section again elsewhere (the frame unmaps
    // the copy when it goes). Mapped first: a failure leaves all as it was.
    std::shared_ptr<SectionView> fresh;
    if (frame.address == oldest->view->data) {
      fresh = std::make_shared<SectionView>();
      fresh->file.Init(false, oldest->name, m_layout.frameBytes);
      fresh->data = static_cast<const std::byte*>(fresh->file.GetAddress());
    }
    ReplaceWithPrivateCopy(frame.address, frame.bytes, frame.writable);
    frame.section.clear();
    if (fresh) oldest->view = std::move(fresh);
    return Take(*oldest);
  }

  Slot* TakeFree() {
    std::lock_guard<std::mutex> guard(m_leaseLock);
    for (auto& slot : m_slots) {
      if (!slot->busy) return &Take(*slot);
    }
    return nullptr;
  }

  // Under the lease lock.
  Slot& Take(Slot& slot) {
    slot.busy = true;
    slot.ticket = ++m_tickets;
    slot.holder = nullptr;
    return slot;
  }

  void Free(Slot& slot) {
    std::lock_guard<std::mutex> guard(m_leaseLock);
    slot.busy = false;
    slot.holder = nullptr;
  }

  // The frame just rendered into `slot`, leased to a new FrameMemory.
  std::shared_ptr<FrameMemory> Lease(Slot& slot) {
    auto memory = std::make_shared<FrameMemory>();
    memory->pool = shared_from_this();
    memory->slot = &slot;
    memory->view = slot.view;
    memory->bytes = static_cast<std::size_t>(m_layout.frameBytes);
    memory->section = slot.name;
    memory->writable = m_request.writable;
    memory->address = const_cast<std::byte*>(slot.view->data);
    if (m_request.writable) {
      // A private mapping of the section: pages are copied only when the
      // caller writes them, and the writes never reach the section. The
      // lease keeps the server off the section meanwhile, so the pages not
      // yet written show this frame.
      const WideString name = kelvex::utility::AsciiToUTF16(slot.name);
      comsupport::UniqueHandle section(::OpenFileMappingW(FILE_MAP_READ, FALSE, comsupport::AsOleChars(name.c_str())));
      if (section) memory->private_.Reset(::MapViewOfFile(section.Get(), FILE_MAP_COPY, 0, 0, 0));
      if (!memory->private_) throw moravane::LinkError(moravane::kSharedMemoryFailed);
      memory->address = memory->private_.Get();
    }
    std::lock_guard<std::mutex> guard(m_leaseLock);
    memory->ticket = slot.ticket;
    slot.holder = memory.get();
    return memory;
  }

  // Three channels or grey out of the slot's four, in one pass.
  void Convert(const std::byte* from, void* to) const {
    switch (m_layout.depth) {
      case 8:
        ConvertAs<std::uint8_t>(from, static_cast<std::uint8_t*>(to));
        break;
      case 16:
        ConvertAs<std::uint16_t>(from, static_cast<std::uint16_t*>(to));
        break;
      default:
        ConvertAs<float>(from, static_cast<float*>(to));
        break;
    }
  }

  template <class T>
  void ConvertAs(const std::byte* from, T* to) const {
    const int width = m_layout.width;
    for (int y = 0; y < m_layout.height; ++y) {
      const T* in = reinterpret_cast<const T*>(from + static_cast<std::size_t>(y) * m_layout.rowBytes);
      if (m_request.outputChannels == 3) {
        for (int x = 0; x < width; ++x, in += 4, to += 3) {
          to[0] = in[0];
          to[1] = in[1];
          to[2] = in[2];
        }
      } else {
        // BT.601 luma of R, G and B (the server lays out RGBA for grey),
        // as image libraries compute grey; 8 bits in 14-bit fixed point.
        for (int x = 0; x < width; ++x, in += 4) {
          if constexpr (std::is_floating_point_v<T>) {
            *to++ = 0.299f * in[0] + 0.587f * in[1] + 0.114f * in[2];
          } else if constexpr (sizeof(T) == 2) {
            // 14 bits of weight are too coarse for 16-bit values.
            *to++ = static_cast<T>(0.299f * in[0] + 0.587f * in[1] + 0.114f * in[2] + 0.5f);
          } else {
            *to++ = static_cast<T>(
                (std::uint32_t{in[0]} * 4899 + std::uint32_t{in[1]} * 9617 + std::uint32_t{in[2]} * 1868 + 8192) >> 14);
          }
        }
      }
    }
  }

  py::dtype Dtype() const {
    return m_layout.depth == 8    ? py::dtype::of<std::uint8_t>()
           : m_layout.depth == 16 ? py::dtype::of<std::uint16_t>()
                                  : py::dtype::of<float>();
  }

  std::shared_ptr<PySource> m_source;
  VideoRequest m_request;
  moravane::host::FrameLayout m_layout;
  std::mutex m_renderLock;  // one render at a time; taken before the lease lock
  std::mutex m_leaseLock;   // the slots' lease fields and the list of slots
  std::vector<std::unique_ptr<Slot>> m_slots;
  std::uint64_t m_tickets = 0;
  bool m_ended = false;
};

FrameMemory::~FrameMemory() {
  if (slot != nullptr) pool->Return(slot, ticket);
  // private_, view and then pool go after this body: the copy-on-write view
  // and the slot's view are unmapped, and the last frame of a closed
  // iterator takes the pool (its renders and sections) with it.
}

// The Python face of a pool: kept apart so that the pool can be shared with
// the frames it lends out.
struct VideoRender {
  std::shared_ptr<FramePool> pool;
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
      .def_readwrite("premultiply", &VideoRequest::premultiply)
      .def_readwrite("output_channels", &VideoRequest::outputChannels)
      .def_readwrite("writable", &VideoRequest::writable);

  py::class_<FrameMemory, std::shared_ptr<FrameMemory>>(m, "FrameMemory", "What a frame's array views; its base.")
      .def_property_readonly(
          "section",
          [](const FrameMemory& memory) -> py::object {
            if (memory.section.empty()) return py::none();
            return py::str(memory.section);
          },
          "The shared section the frame is a view of; None once the frame was copied out of it.")
      .def_readonly("writable", &FrameMemory::writable)
      .def_property_readonly(
          "shared",
          [](py::object self) -> py::object {
            const FrameMemory& memory = self.cast<const FrameMemory&>();
            if (memory.section.empty()) return py::none();
            return memory.pool->FourChannelView(memory.view->data, self, false);
          },
          "The frame as the server wrote it in the shared section, read-only (for a writable frame: "
          "without the caller's writes); None once the frame was copied out.");

  py::class_<VideoRender>(m, "VideoRender")
      .def(py::init([](std::shared_ptr<PySource> source, const VideoRequest& request) {
        return VideoRender{std::make_shared<FramePool>(std::move(source), request)};
      }))
      .def("render", [](VideoRender& render, std::int32_t value,
                        std::int32_t scale) { return render.pool->Render(value, scale); })
      .def(
          "end", [](VideoRender& render) { render.pool->End(); }, Release())
      .def_property_readonly("shape",
                             [](const VideoRender& render) { return py::tuple(py::cast(render.pool->Shape())); })
      .def_property_readonly("sections", [](const VideoRender& render) { return render.pool->Sections(); });

  m.def("get_frame_memory_limit", [] { return g_frameMemoryLimit.load(); });
  m.def("set_frame_memory_limit", [](std::uint64_t bytes) { g_frameMemoryLimit.store(bytes); });
}

}  // namespace moravane_python
