// What the server's COM objects share: the state of a server and of an open
// project, the private identities by which the server recognises its own
// objects when they are handed back, and the functions by which the objects
// of one file make those of another. Ownership: every object holds
// shared_ptrs to the state it needs (server, project), never raw pointers to
// other COM objects, so releasing objects in any order is safe. Threads:
// each object's mutable state has its own mutex; a project's tree is guarded
// by the project's mutex (SendFile may add to it while others walk it).
#pragma once

#include "LinkServer.h"

#include <contract/Limits.h>

#include "ComObject.h"
#include "ProjectFormat.h"
#include "Render.h"
#include "ServerError.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <vector>

namespace linkserver {
namespace objects {

using namespace moravane;

// Private identities: asking one of our objects for these IIDs answers the
// object itself, so the server can recognise the objects it is handed back
// (options in a start call, the current item in GetNextItem, a project to
// close) and refuse foreign ones.
inline const IID IID_ProjectImplementation = {
    0x6A1C0E52, 0x3B7D, 0x4F0A, {0x9E, 0x21, 0x5C, 0x44, 0x0B, 0x8D, 0x71, 0x01}};
inline const IID IID_ItemImplementation = {
    0x6A1C0E52, 0x3B7D, 0x4F0A, {0x9E, 0x21, 0x5C, 0x44, 0x0B, 0x8D, 0x71, 0x02}};
inline const IID IID_VideoOptionsImplementation = {
    0x6A1C0E52, 0x3B7D, 0x4F0A, {0x9E, 0x21, 0x5C, 0x44, 0x0B, 0x8D, 0x71, 0x03}};
inline const IID IID_AudioOptionsImplementation = {
    0x6A1C0E52, 0x3B7D, 0x4F0A, {0x9E, 0x21, 0x5C, 0x44, 0x0B, 0x8D, 0x71, 0x04}};
inline const IID IID_ServerImplementation = {
    0x6A1C0E52, 0x3B7D, 0x4F0A, {0x9E, 0x21, 0x5C, 0x44, 0x0B, 0x8D, 0x71, 0x05}};

using moravane::limits::kMaxChannels;
using moravane::limits::kMaxDownsample;
using moravane::limits::kMaxSampleRate;
using moravane::limits::kMaxSide;

// Our object behind `unknown`, with one reference, or null if it is not one
// of ours of that class.
template <class T>
comsupport::CComPtr<T> Implementation(IUnknown* unknown, const IID& iid) {
  if (unknown == nullptr) return nullptr;
  void* raw = nullptr;
  if (FAILED(unknown->QueryInterface(iid, &raw)) || raw == nullptr) return nullptr;
  auto* primary = static_cast<typename T::Primary*>(static_cast<IUnknown*>(raw));
  return comsupport::CComPtr<T>::Adopt(static_cast<T*>(primary));
}

// A reference that is handed to the caller only once every object of a
// call exists; released if the call fails before.
using Handed = comsupport::CComPtr<IUnknown>;

inline std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g s", seconds);
  return text;
}

inline double TimeSeconds(LONG value, LONG scale, const char* what) {
  if (scale <= 0) FailArgument(std::string("the ") + what + " scale must be positive, found " + std::to_string(scale));
  return double(value) / scale;
}

struct ProjectState;

struct ServerState {
  std::shared_ptr<SectionProvider> sections;
  FrameCache cache;
  std::atomic<bool> cacheFinalFrame{false};

  std::mutex mutex;                                       // guards what follows
  std::vector<std::weak_ptr<ProjectState>> openProjects;  // in opening order
  int selfLinks = 0;

  std::vector<std::shared_ptr<ProjectState>> OpenProjects() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::shared_ptr<ProjectState>> result;
    for (const auto& weak : openProjects) {
      if (auto project = weak.lock()) result.push_back(project);
    }
    return result;
  }
};

struct ProjectState {
  std::shared_ptr<ServerState> server;
  std::filesystem::path path;
  ProjectModel model;
  mutable std::mutex mutex;  // guards the children of every node
  std::atomic<bool> closed{false};

  void CheckOpen() const {
    if (closed.load()) FailState("the project '" + model.name + "' has been closed");
  }
};

// A call on an object of an open project: fails with a state error once the
// project has been closed.
template <class Body>
HRESULT GuardOpen(const ProjectState& project, BSTR* e, Body&& body) {
  return GuardCall(e, [&] {
    project.CheckOpen();
    body();
  });
}

// The objects that one file makes for another, each held by its one
// reference until a method hands it out (Detach into the out-parameter).
Handed NewVideoOptions(std::shared_ptr<ProjectState> project, const Node* source);
Handed NewAudioOptions();
// The options behind `options` when it is an options object of this server.
std::optional<VideoOptions> VideoOptionsOf(IUnknown* options);
std::optional<AudioOptions> AudioOptionsOf(IUnknown* options);
Handed NewRenderer(std::shared_ptr<ProjectState> project, const Node* source);
// Null for a null node.
Handed NewItem(const std::shared_ptr<ProjectState>& project, Node* node);
Handed NewProject(std::shared_ptr<ProjectState> state);
// The project's state when `project` is a project object of this server.
std::shared_ptr<ProjectState> ProjectStateOf(IUnknown* project);
// The source with GUID `id`; fails with an argument error otherwise.
Node* FindSource(const std::shared_ptr<ProjectState>& state, const GUID& id);

}  // namespace objects
}  // namespace linkserver
