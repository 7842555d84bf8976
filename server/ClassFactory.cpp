// The class object of the reference link server: every activation makes a
// new server whose renders map the host's sections through `sections`.
#include "ComObject.h"
#include "LinkServer.h"

#include <comsupport/ClassFactory.h>
#include <comsupport/ComPtr.h>

namespace linkserver {

namespace {

class ServerClassFactory final : public ComObject<IClassFactory> {
 public:
  explicit ServerClassFactory(std::shared_ptr<SectionProvider> sections) : m_sections(std::move(sections)) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return comsupport::HandOut(CreateLinkServer(m_sections), iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 protected:
  IUnknown* Find(REFIID iid) override { return IsEqualIID(iid, IID_IClassFactory) ? Identity() : nullptr; }

 private:
  std::shared_ptr<SectionProvider> m_sections;
};

}  // namespace

comsupport::CComPtr<IClassFactory> CreateLinkServerFactory(std::shared_ptr<SectionProvider> sections) {
  return comsupport::CComPtr<IClassFactory>::Adopt(new ServerClassFactory(std::move(sections)));
}

}  // namespace linkserver
