// _moravane's link and handle wrappers and their bindings.
#include "Handles.h"

namespace moravane_python {

// Section names unique within the machine: the process id and a counter.
std::string NewSectionName(const char* use) {
  static std::atomic<unsigned> counter{0};
  return "moravane-py-" + std::to_string(::getpid()) + "-" + use + "-" + std::to_string(counter++);
}

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
  // One call to the communication thread per child (the step's container
  // handle is not needed here, but its query costs less than the hand-over
  // that GetNextItem's returned temporary would cost when released).
  moravane::Item child;
  moravane::Container unused;
  while (moravane::NextChild(container, child, unused)) children.push_back(std::make_shared<PyItem>(child));
  return children;
}

Guid ParseGuid(const std::string& text) {
  const std::optional<Guid> id = Guid::Parse(text);
  if (!id) throw py::value_error("not a GUID: '" + text + "'");
  return *id;
}

void BindHandles(py::module_& m) {
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
      .def("find_source",
           [](PyProject& p, const std::string& name) -> std::shared_ptr<PySource> {
             int matches = 0;
             {
               py::gil_scoped_release release;
               std::lock_guard<std::mutex> g(p.lock);
               try {
                 return std::make_shared<PySource>(moravane::host::FindSource(p.handle, name, true));
               } catch (const moravane::host::SourceNotFound& missing) {
                 matches = missing.Matches();
               }
             }
             const std::string shown = py::repr(py::str(name)).cast<std::string>();
             throw py::key_error(matches == 0 ? "the project has no source named " + shown
                                              : "the project has " + std::to_string(matches) + " sources named " +
                                                    shown + "; use a GUID");
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
}

}  // namespace moravane_python
