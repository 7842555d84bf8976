// A project and the items of its tree (bins and sources).
#include "ObjectState.h"

#include <algorithm>

namespace linkserver {
namespace objects {
namespace {

class ItemObject final : public ComObject<IItem2, IContainer2, ISource2> {
 public:
  using Primary = IItem2;
  ItemObject(std::shared_ptr<ProjectState> project, Node* node) : m_project(std::move(project)), m_node(node) {}

  static Handed New(const std::shared_ptr<ProjectState>& project, Node* node) {
    return node == nullptr ? nullptr : Handed::Adopt((new ItemObject(project, node))->Identity());
  }
  Node* GetNode() const { return m_node; }

  // IItem2
  HRESULT STDMETHODCALLTYPE GetName(BSTR* name, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] { OutParam(name, "name") = NewBstr(m_node->name); });
  }
  HRESULT STDMETHODCALLTYPE GetID(GUID* id, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] { OutParam(id, "id") = m_node->id; });
  }
  HRESULT STDMETHODCALLTYPE GetParentItem(IUnknown** parent, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] { OutParam(parent, "parent") = New(m_project, m_node->parent).Detach(); });
  }
  HRESULT STDMETHODCALLTYPE GetType(LONG* type, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] {
      OutParam(type, "type") =
          static_cast<LONG>(m_node->kind == NodeKind::kSource ? ItemTypeCode::kSource : ItemTypeCode::kPlainOrBin);
    });
  }

  // IContainer2
  HRESULT STDMETHODCALLTYPE GetFirstItem(IUnknown** first, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] {
      IUnknown*& out = OutParam(first, "first");
      std::lock_guard<std::mutex> lock(m_project->mutex);
      out = m_node->children.empty() ? nullptr : New(m_project, m_node->children.front().get()).Detach();
    });
  }
  HRESULT STDMETHODCALLTYPE GetNextItem(IUnknown* current, IUnknown** next, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] {
      IUnknown*& out = OutParam(next, "next");
      if (current == nullptr) FailArgument("GetNextItem needs the current item; none was given");
      auto item = Implementation<ItemObject>(current, IID_ItemImplementation);
      if (!item) FailArgument("the current item is not an item of this server");
      std::lock_guard<std::mutex> lock(m_project->mutex);
      // Each node knows its place among its siblings, so that a walk with
      // GetNextItem is linear in the bin's size rather than quadratic.
      const Node* current = item->GetNode();
      if (current->parent != m_node) {
        FailArgument("the item '" + current->name + "' is not in the bin '" + m_node->name + "'");
      }
      const std::size_t next = current->indexInParent + 1;
      out = next == m_node->children.size() ? nullptr : New(m_project, m_node->children[next].get()).Detach();
    });
  }

  // ISource2
  HRESULT STDMETHODCALLTYPE GetDuration(LONG* value, LONG* scale, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] {
      LONG& v = OutParam(value, "value");
      LONG& s = OutParam(scale, "scale");
      v = m_node->source.durationValue, s = m_node->source.durationScale;
    });
  }
  HRESULT STDMETHODCALLTYPE GetPixelAspectRatio(LONG* numerator, LONG* denominator, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] {
      LONG& n = OutParam(numerator, "numerator");
      LONG& d = OutParam(denominator, "denominator");
      n = m_node->source.aspectNumerator, d = m_node->source.aspectDenominator;
    });
  }
  HRESULT STDMETHODCALLTYPE GetFrameSize(LONG* width, LONG* height, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] {
      LONG& w = OutParam(width, "width");
      LONG& h = OutParam(height, "height");
      w = m_node->source.width, h = m_node->source.height;
    });
  }
  HRESULT STDMETHODCALLTYPE GetFrameRate(double* rate, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] { OutParam(rate, "rate") = m_node->source.frameRate; });
  }
  HRESULT STDMETHODCALLTYPE GetBitDepth(LONG* depth, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] { OutParam(depth, "depth") = m_node->source.bitDepth; });
  }
  HRESULT STDMETHODCALLTYPE GetTimeStamp(LONG* stamp, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] { OutParam(stamp, "stamp") = m_node->source.timeStamp; });
  }
  HRESULT STDMETHODCALLTYPE IsNewerThan(LONG stamp, LONG* newer, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] { OutParam(newer, "newer") = m_node->source.timeStamp > stamp ? 1 : 0; });
  }
  HRESULT STDMETHODCALLTYPE HasAudio(LONG* hasAudio, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] { OutParam(hasAudio, "hasAudio") = m_node->source.HasAudio() ? 1 : 0; });
  }
  HRESULT STDMETHODCALLTYPE HasVideo(LONG* hasVideo, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] { OutParam(hasVideo, "hasVideo") = m_node->source.HasVideo() ? 1 : 0; });
  }
  HRESULT STDMETHODCALLTYPE GetRenderer(IUnknown** renderer, BSTR* e) override {
    return GuardOpen(*m_project, e, [&] { OutParam(renderer, "renderer") = NewRenderer(m_project, m_node).Detach(); });
  }

 protected:
  IUnknown* Find(REFIID iid) override {
    if (IsEqualIID(iid, IID_IItem2) || IsEqualIID(iid, IID_ItemImplementation)) return Identity();
    if (IsEqualIID(iid, IID_IContainer2) && m_node->kind == NodeKind::kBin) return static_cast<IContainer2*>(this);
    if (IsEqualIID(iid, IID_ISource2) && m_node->kind == NodeKind::kSource) return static_cast<ISource2*>(this);
    return nullptr;
  }

 private:
  std::shared_ptr<ProjectState> m_project;
  Node* m_node;
};

class ProjectObject final : public ComObject<IProject2> {
 public:
  using Primary = IProject2;
  explicit ProjectObject(std::shared_ptr<ProjectState> state) : m_state(std::move(state)) {}
  const std::shared_ptr<ProjectState>& State() const { return m_state; }

  HRESULT STDMETHODCALLTYPE GetName(BSTR* name, BSTR* e) override {
    return GuardOpen(*m_state, e, [&] { OutParam(name, "name") = NewBstr(m_state->model.name); });
  }
  HRESULT STDMETHODCALLTYPE GetPath(BSTR* path, BSTR* e) override {
    return GuardOpen(*m_state, e, [&] { OutParam(path, "path") = NewBstr(m_state->path.string()); });
  }
  HRESULT STDMETHODCALLTYPE GetSource(GUID* sourceId, IUnknown** source, BSTR* e) override {
    return GuardOpen(*m_state, e, [&] {
      IUnknown*& out = OutParam(source, "source");
      if (sourceId == nullptr) FailArgument("no source GUID was given");
      out = NewItem(m_state, FindSource(m_state, *sourceId)).Detach();
    });
  }
  HRESULT STDMETHODCALLTYPE GetRootItem(IUnknown** item, BSTR* e) override {
    return GuardOpen(*m_state, e,
                     [&] { OutParam(item, "item") = NewItem(m_state, m_state->model.root.get()).Detach(); });
  }

 protected:
  IUnknown* Find(REFIID iid) override {
    return IsEqualIID(iid, IID_IProject2) || IsEqualIID(iid, IID_ProjectImplementation) ? Identity() : nullptr;
  }

 private:
  std::shared_ptr<ProjectState> m_state;
};

}  // namespace

Handed NewItem(const std::shared_ptr<ProjectState>& project, Node* node) { return ItemObject::New(project, node); }

Handed NewProject(std::shared_ptr<ProjectState> state) {
  return Handed::Adopt((new ProjectObject(std::move(state)))->Identity());
}

std::shared_ptr<ProjectState> ProjectStateOf(IUnknown* project) {
  auto impl = Implementation<ProjectObject>(project, IID_ProjectImplementation);
  return impl ? impl->State() : nullptr;
}

Node* FindSource(const std::shared_ptr<ProjectState>& state, const GUID& id) {
  std::lock_guard<std::mutex> lock(state->mutex);
  Node* node = state->model.Find(id);
  if (node == nullptr) {
    FailArgument("the project '" + state->model.name + "' holds no item with GUID " + GuidText(id));
  }
  if (node->kind != NodeKind::kSource) {
    FailArgument("the item '" + node->name + "' (" + GuidText(id) + ") is not a source");
  }
  return node;
}

}  // namespace objects
}  // namespace linkserver
