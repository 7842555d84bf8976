// The server object: memory settings, the projects it opens and creates,
// and the self-link and file extras.
#include "ObjectState.h"

namespace linkserver {

namespace detail {
std::atomic<std::int64_t> g_liveObjects{0};
ObjectHold g_hold;

void ObjectMade() {
  g_liveObjects.fetch_add(1, std::memory_order_relaxed);
  if (g_hold.acquire != nullptr) g_hold.acquire();
}
void ObjectGone() {
  g_liveObjects.fetch_sub(1, std::memory_order_relaxed);
  if (g_hold.release != nullptr) g_hold.release();
}
}  // namespace detail

namespace objects {
namespace {

// The code a host gets for a file that would not open: the Win32 code that
// the system's own file calls give for the same cause.
HRESULT CodeOfFileError(std::error_code error) {
  if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  }
  if (error == std::errc::filename_too_long) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) return E_ACCESSDENIED;
  return E_FAIL;
}

class ServerObject final : public ComObject<IServer2, IOrraExtras2> {
 public:
  using Primary = IServer2;
  explicit ServerObject(std::shared_ptr<SectionProvider> sections) : m_state(std::make_shared<ServerState>()) {
    m_state->sections = std::move(sections);
  }

  ServerInspection Inspect() {
    ServerInspection result;
    result.cache = &m_state->cache;
    result.openProjects = static_cast<int>(m_state->OpenProjects().size());
    std::lock_guard<std::mutex> lock(m_state->mutex);
    result.selfLinks = m_state->selfLinks;
    return result;
  }

  // IServer2
  HRESULT STDMETHODCALLTYPE GetVersion(LONG* version, BSTR* e) override {
    return GuardCall(e, [&] { OutParam(version, "version") = kServerVersion; });
  }
  HRESULT STDMETHODCALLTYPE GetMinimumMemoryRequirements(ULONGLONG* bytes, BSTR* e) override {
    return GuardCall(e, [&] {
      ULONGLONG& out = OutParam(bytes, "bytes");
      // A render of an image source needs its decoded still in memory; the
      // largest of them among the open projects is the least the server
      // can work with.
      std::uint64_t largest = 0;
      for (const auto& project : m_state->OpenProjects()) {
        std::lock_guard<std::mutex> lock(project->mutex);
        std::vector<const Node*> pending{project->model.root.get()};
        while (!pending.empty()) {
          const Node* node = pending.back();
          pending.pop_back();
          if (node->kind == NodeKind::kSource && node->source.video.kind == VideoKind::kImage) {
            largest = std::max<std::uint64_t>(largest, std::uint64_t(node->source.width) * node->source.height * 4);
          }
          for (const auto& child : node->children) pending.push_back(child.get());
        }
      }
      out = largest;
    });
  }
  HRESULT STDMETHODCALLTYPE SetIdleTimeMemoryUsage(ULONGLONG bytes, BSTR* e) override {
    return GuardCall(e, [&] { m_state->cache.SetIdleBudget(bytes); });
  }
  HRESULT STDMETHODCALLTYPE SetTemporaryMemoryUsage(ULONGLONG bytes, BSTR* e) override {
    return GuardCall(e, [&] { m_state->cache.SetTemporaryBudget(bytes); });
  }
  HRESULT STDMETHODCALLTYPE GetCurrentMemoryUsage(ULONGLONG* bytes, BSTR* e) override {
    return GuardCall(e, [&] { OutParam(bytes, "bytes") = m_state->cache.Usage(); });
  }
  HRESULT STDMETHODCALLTYPE PurgeMemory(BSTR* e) override {
    return GuardCall(e, [&] { m_state->cache.Purge(); });
  }
  HRESULT STDMETHODCALLTYPE CacheFinalFrame(LONG cache, BSTR* e) override {
    return GuardCall(e, [&] {
      m_state->cacheFinalFrame.store(cache != 0);
      if (cache == 0) m_state->cache.DropFinalFrames();
    });
  }
  HRESULT STDMETHODCALLTYPE GetProjectExtension(BSTR* extension, BSTR* e) override {
    return GuardCall(e, [&] { OutParam(extension, "extension") = NewBstr(kProjectExtension); });
  }
  HRESULT STDMETHODCALLTYPE OpenProject(BSTR path, IUnknown** project, BSTR* e) override {
    return GuardCall(e, [&] {
      IUnknown*& out = OutParam(project, "project");
      out = NewProject(Open(FromBstr(path))).Detach();
    });
  }
  HRESULT STDMETHODCALLTYPE OpenProjectShowSource(BSTR path, GUID* sourceId, IUnknown** project, IUnknown** source,
                                                  BSTR* e) override {
    return GuardCall(e, [&] {
      IUnknown*& projectOut = OutParam(project, "project");
      IUnknown*& sourceOut = OutParam(source, "source");
      if (sourceId == nullptr) FailArgument("no source GUID was given");
      std::shared_ptr<ProjectState> state = Open(FromBstr(path));
      Handed projectRef, sourceRef;
      try {
        sourceRef = NewItem(state, FindSource(state, *sourceId));
        projectRef = NewProject(state);
      } catch (...) {
        Forget(state);
        throw;
      }
      projectOut = projectRef.Detach();
      sourceOut = sourceRef.Detach();
    });
  }
  HRESULT STDMETHODCALLTYPE CloseProject(IUnknown* project, BSTR* e) override {
    return GuardCall(e, [&] {
      if (project == nullptr) FailArgument("CloseProject needs a project; none was given");
      const std::shared_ptr<ProjectState> state = ProjectStateOf(project);
      if (!state) FailArgument("the object given to CloseProject is not a project of this server");
      if (state->server != m_state) FailArgument("the project was opened by another server");
      if (state->closed.exchange(true)) {
        FailState("the project '" + state->model.name + "' is already closed");
      }
      Forget(state);
    });
  }
  HRESULT STDMETHODCALLTYPE CreateSource(BSTR path, LONG width, LONG height, LONG aspectNumerator,
                                         LONG aspectDenominator, LONG durationValue, LONG durationScale,
                                         double frameRate, IUnknown** project, IUnknown** source, BSTR* e) override {
    return GuardCall(e, [&] {
      IUnknown*& projectOut = OutParam(project, "project");
      IUnknown*& sourceOut = OutParam(source, "source");
      const std::filesystem::path file = CheckedPath(FromBstr(path));
      if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
        FailArgument("frame size " + std::to_string(width) + "x" + std::to_string(height) +
                     " is out of range (1 to 32768)");
      }
      if (aspectNumerator < 1 || aspectDenominator < 1) {
        FailArgument("pixel aspect ratio " + std::to_string(aspectNumerator) + ":" + std::to_string(aspectDenominator) +
                     " must have two positive words");
      }
      if (durationValue < 1 || durationScale < 1) {
        FailArgument("duration " + std::to_string(durationValue) + "/" + std::to_string(durationScale) +
                     " must have two positive words");
      }
      if (!(frameRate > 0 && frameRate <= 1000)) {
        FailArgument("frame rate " + std::to_string(frameRate) + " is out of range (above 0, at most 1000)");
      }
      ProjectModel model;
      model.name = file.stem().string();
      model.root = std::make_unique<Node>();
      model.root->kind = NodeKind::kBin;
      model.root->name = model.name;
      model.root->id = NewGuid();
      auto node = std::make_unique<Node>();
      node->kind = NodeKind::kSource;
      node->name = model.name;
      node->id = NewGuid();
      SourceDesc& desc = node->source;
      desc.width = width, desc.height = height;
      desc.aspectNumerator = aspectNumerator, desc.aspectDenominator = aspectDenominator;
      desc.durationValue = durationValue, desc.durationScale = durationScale;
      desc.frameRate = frameRate;
      desc.video.kind = VideoKind::kFrameNumber;
      const GUID sourceId = node->id;
      model.root->AddChild(std::move(node));
      try {
        WriteNewProjectFile(file, model);
      } catch (const std::runtime_error& error) {
        std::error_code ignored;
        Fail(std::filesystem::exists(file, ignored) ? HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) : E_FAIL, error.what());
      }
      std::shared_ptr<ProjectState> state = Open(file.string());
      Handed sourceRef = NewItem(state, FindSource(state, sourceId));
      Handed projectRef = NewProject(state);
      projectOut = projectRef.Detach();
      sourceOut = sourceRef.Detach();
    });
  }

  // IOrraExtras2
  HRESULT STDMETHODCALLTYPE SendFile(BSTR path, BSTR* e) override {
    return GuardCall(e, [&] {
      const std::string text = FromBstr(path);
      if (text.empty()) FailArgument("SendFile needs a file path; the path is empty");
      const std::filesystem::path file = std::filesystem::absolute(text).lexically_normal();
      std::error_code error;
      if (!std::filesystem::exists(file, error)) {
        if (error) Fail(CodeOfFileError(error), "cannot take '" + text + "': " + error.message());
        Fail(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "cannot take '" + text + "': no such file");
      }
      if (!std::filesystem::is_regular_file(file, error)) FailArgument("cannot take '" + text + "': it is not a file");
      if (!LooksLikePng(file)) {
        FailArgument("cannot take '" + text + "': only PNG images can be added to a project, and this is none");
      }
      std::vector<std::shared_ptr<ProjectState>> open = m_state->OpenProjects();
      if (open.empty()) FailState("no project is open to receive '" + text + "'");
      PngSize size;
      try {
        size = ReadPngSize(file);
      } catch (const std::runtime_error& failure) {
        Fail(E_FAIL, failure.what());
      }
      auto node = std::make_unique<Node>();
      node->kind = NodeKind::kSource;
      node->name = file.stem().string();
      node->id = NewGuid();
      SourceDesc& desc = node->source;
      desc.width = static_cast<std::int32_t>(size.width);
      desc.height = static_cast<std::int32_t>(size.height);
      desc.frameRate = 25;
      desc.durationValue = 250, desc.durationScale = 25;  // ten seconds of the still
      const auto written = std::filesystem::last_write_time(file, error);
      const auto secondsSinceEpoch =
          std::chrono::duration_cast<std::chrono::seconds>(std::chrono::file_clock::to_sys(written).time_since_epoch())
              .count();
      desc.timeStamp = static_cast<std::int32_t>(std::clamp<long long>(secondsSinceEpoch, 0, INT32_MAX));
      desc.video.kind = VideoKind::kImage;
      desc.video.imageText = file.string();
      desc.video.imagePath = file;
      // The newest open project receives the file; its file on disk is not
      // rewritten.
      const std::shared_ptr<ProjectState>& target = open.back();
      std::lock_guard<std::mutex> lock(target->mutex);
      target->model.root->AddChild(std::move(node));
    });
  }
  HRESULT STDMETHODCALLTYPE AnnounceSelfLink(BSTR* e) override {
    return GuardCall(e, [&] {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      ++m_state->selfLinks;
    });
  }
  HRESULT STDMETHODCALLTYPE WithdrawSelfLink(BSTR* e) override {
    return GuardCall(e, [&] {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      if (m_state->selfLinks == 0) FailState("no self link has been announced, so none can be withdrawn");
      --m_state->selfLinks;
    });
  }

 protected:
  IUnknown* Find(REFIID iid) override {
    if (IsEqualIID(iid, IID_IServer2) || IsEqualIID(iid, IID_ServerImplementation)) return Identity();
    if (IsEqualIID(iid, IID_IOrraExtras2)) return static_cast<IOrraExtras2*>(this);
    return nullptr;
  }

 private:
  static std::filesystem::path CheckedPath(const std::string& text) {
    if (text.empty()) FailArgument("the project path is empty");
    return std::filesystem::absolute(text).lexically_normal();
  }

  std::shared_ptr<ProjectState> Open(const std::string& text) {
    const std::filesystem::path file = CheckedPath(text);
    auto state = std::make_shared<ProjectState>();
    state->server = m_state;
    state->path = file;
    try {
      state->model = LoadProjectFile(file);
    } catch (const ProjectFormatError& error) {
      Fail(CodeOfFileError(error.FileError()), error.what());
    }
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->openProjects.push_back(state);
    return state;
  }

  void Forget(const std::shared_ptr<ProjectState>& state) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    auto& open = m_state->openProjects;
    open.erase(std::remove_if(open.begin(), open.end(),
                              [&](const std::weak_ptr<ProjectState>& weak) {
                                auto held = weak.lock();
                                return !held || held == state;
                              }),
               open.end());
  }

  std::shared_ptr<ServerState> m_state;
};

}  // namespace
}  // namespace objects

comsupport::CComPtr<moravane::IServer2> CreateLinkServer(std::shared_ptr<SectionProvider> sections) {
  return comsupport::CComPtr<moravane::IServer2>::Adopt(new objects::ServerObject(std::move(sections)));
}

std::int64_t LiveObjectCount() { return detail::g_liveObjects.load(); }

void SetObjectHold(ObjectHold hold) { detail::g_hold = hold; }

ServerInspection InspectServer(IUnknown* server) {
  auto impl = objects::Implementation<objects::ServerObject>(server, objects::IID_ServerImplementation);
  return impl ? impl->Inspect() : ServerInspection{};
}

}  // namespace linkserver
