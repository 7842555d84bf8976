// Reference counting and QueryInterface for the server's COM objects. A
// class derives from ComObject<I1, I2, ...> and answers, in Find, which of
// its interfaces it offers for an IID (an item offers IContainer2 only when
// it is a bin). The count is atomic, so AddRef/Release may come from any
// thread; the last Release deletes the object.
#pragma once

#include <objbase.h>

#include <atomic>
#include <cstdint>

namespace linkserver {

namespace detail {
extern std::atomic<std::int64_t> g_liveObjects;
// Count the object and tell the process's hold (LinkServer.h).
void ObjectMade();
void ObjectGone();
}  // namespace detail

template <class First, class... Rest>
class ComObject : public First, public Rest... {
 public:
  ComObject() { detail::ObjectMade(); }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    IUnknown* found = IsEqualIID(iid, IID_IUnknown) ? Identity() : Find(iid);
    if (found == nullptr) return E_NOINTERFACE;
    found->AddRef();
    *object = found;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return m_references.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  // The pointer handed out for IUnknown and as every object out-parameter.
  IUnknown* Identity() { return static_cast<First*>(this); }

 protected:
  virtual ~ComObject() { detail::ObjectGone(); }
  // The interface for `iid` (without a reference), or null.
  virtual IUnknown* Find(REFIID iid) = 0;

 private:
  std::atomic<ULONG> m_references{1};
};

}  // namespace linkserver
