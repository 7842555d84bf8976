// What every host writes around the exported classes, once: walking a
// project's items, finding a source by GUID or name, the layout of a
// rendered frame, and a render that ends itself. Header only and built on
// the public classes alone, so it adds nothing to what the library exports
// and a host may copy or leave it.
#pragma once

#include <moravane/Items.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Source.h>

#include <kelvex/Guid.h>
#include <kelvex/Strings.h>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace moravane::host {

// A request of the host that the project or the server's answer does not
// fit (no such source, a frame of another shape); nothing of it is left
// running.
class RequestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// No source, or more than one, has the name (or GUID) asked for.
class SourceNotFound : public RequestError {
 public:
  SourceNotFound(const std::string& message, int matches) : RequestError(message), m_matches(matches) {}
  int Matches() const { return m_matches; }  // 0: none; more: the name is ambiguous

 private:
  int m_matches;
};

// Walks the tree below and with `item`, depth first in the server's order;
// `visit(item, depth)` sees each item before its children.
template <class Visit>
void Walk(Item item, int depth, Visit&& visit) {
  visit(item, depth);
  Container container(item);
  if (!container.IsLinked()) return;
  for (Item child = container.GetFirstItem(); child.IsLinked(); child = container.GetNextItem(child)) {
    Walk(child, depth + 1, visit);
  }
}

// The source named by GUID (braces optional) or, when `wanted` is none or
// `byName`, by its name (UTF-8). The tree is walked first, so that a source
// the project lacks is the host's mistake, not a link failure.
inline Source FindSource(Project& project, const std::string& wanted, bool byName = false) {
  const std::optional<kelvex::utility::Guid> id = byName ? std::nullopt : kelvex::utility::Guid::Parse(wanted);
  std::optional<kelvex::utility::Guid> found;
  int matches = 0;
  Walk(project.GetRootItem(), 0, [&](Item& item, int) {
    if (item.GetType() != kItemType1) return;
    if (id ? item.GetID() == *id : kelvex::utility::UTF16ToUTF8(item.GetName()) == wanted) {
      found = item.GetID();
      ++matches;
    }
  });
  if (matches == 0) {
    throw SourceNotFound(
        id ? "the project has no source " + id->ToString() : "the project has no source named '" + wanted + "'", 0);
  }
  if (matches > 1) {
    throw SourceNotFound(
        "the project has " + std::to_string(matches) + " sources named '" + wanted + "'; give its GUID instead",
        matches);
  }
  return project.GetSource(*found);
}

// Where a rendered frame lies in the section: rows `rowBytes` apart from
// offset 0, `width` pixels of four channels of `depth` bits each.
struct FrameLayout {
  int width = 0;
  int height = 0;
  int depth = 8;          // bits per channel: 8, 16 (host order) or 32 (float)
  int bytesPerPixel = 4;  // four channels
  LONG channelOrder = 0;  // 0 BGRA, 1 RGBA, 2 ARGB
  std::size_t rowBytes = 0;
  std::size_t tightRowBytes = 0;  // one row without padding
  ULONGLONG frameBytes = 0;       // what one frame spans: the section's least size
};

// The layout the options give for a source of `sourceFrame` size: bounds
// (0 keeps the source's), then the region of interest, then downsampling,
// rounded up. The server's own figure for the memory must agree with it,
// else RequestError: reading rows of another shape would show garbage.
inline FrameLayout FrameLayoutOf(VideoRenderOptions& options, const kelvex::geom::RectT<LONG>& sourceFrame) {
  LONG width = 0, height = 0, downX = 1, downY = 1;
  options.GetBounds(width, height);
  options.GetDownsampleFactor(downX, downY);
  if (width == 0) width = sourceFrame.Width();
  if (height == 0) height = sourceFrame.Height();
  const kelvex::geom::RectT<LONG> region = options.GetRegionOfInterest();
  if (region.left != 0 || region.top != 0 || region.right != 0 || region.bottom != 0) {
    width = region.Width();
    height = region.Height();
  }
  FrameLayout layout;
  layout.width = downX > 0 ? static_cast<int>((width + downX - 1) / downX) : 0;
  layout.height = downY > 0 ? static_cast<int>((height + downY - 1) / downY) : 0;
  layout.depth = static_cast<int>(options.GetBitDepth());
  layout.bytesPerPixel = 4 * (layout.depth / 8);
  layout.channelOrder = options.GetChannelOrder();
  layout.tightRowBytes = static_cast<std::size_t>(layout.width) * layout.bytesPerPixel;
  const LONG rowBytes = options.GetRowBytes();
  layout.rowBytes = rowBytes > 0 ? static_cast<std::size_t>(rowBytes) : layout.tightRowBytes;
  layout.frameBytes = options.GetMaxMemoryRequiredForFrame();
  if (layout.height < 1 || layout.frameBytes != layout.rowBytes * (layout.height - 1) + layout.tightRowBytes) {
    throw RequestError("the server's frame of " + std::to_string(layout.frameBytes) + " bytes does not match " +
                       std::to_string(layout.width) + "x" + std::to_string(layout.height) + " at " +
                       std::to_string(layout.depth) + " bits");
  }
  return layout;
}

// A running video or audio render that ends when the object goes, on every
// path: a render left running keeps the server's renderer busy and its view
// of the section mapped. End() ends it at once and reports a failure; the
// destructor drops one, as an error is then already on its way or the
// render is over anyway (a lost link). Movable, not copyable: one render, one end.
class ScopedRender {
 public:
  static ScopedRender Video(Renderer renderer, VideoRenderOptions& options, const std::string& sectionName,
                            ULONGLONG sectionSize) {
    renderer.StartVideoRender(options, sectionName, sectionSize);
    return ScopedRender(std::move(renderer), &Renderer::EndVideoRender);
  }
  static ScopedRender Audio(Renderer renderer, const kelvex::time::RatioTime& start, LONG samplesPerBuffer,
                            AudioRenderOptions& options, const std::string& sectionName, ULONGLONG sectionSize) {
    renderer.StartAudioRender(start, samplesPerBuffer, options, sectionName, sectionSize);
    return ScopedRender(std::move(renderer), &Renderer::EndAudioRender);
  }

  ScopedRender(ScopedRender&& other) noexcept
      : m_renderer(other.m_renderer), m_end(std::exchange(other.m_end, nullptr)) {}
  ScopedRender(const ScopedRender&) = delete;
  ~ScopedRender() {
    try {
      End();
    } catch (...) {
    }
  }

  bool Running() const { return m_end != nullptr; }
  // Ends the render now; a failure is thrown, the render counts as ended.
  void End() {
    if (auto end = std::exchange(m_end, nullptr)) (m_renderer.*end)();
  }

 private:
  ScopedRender(Renderer renderer, void (Renderer::*end)()) : m_renderer(std::move(renderer)), m_end(end) {}

  Renderer m_renderer;
  void (Renderer::*m_end)();
};

}  // namespace moravane::host
