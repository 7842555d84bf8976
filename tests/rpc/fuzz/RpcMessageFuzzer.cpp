// Fuzzes the decoding of messages on both sides of the out-of-process link.
//
// Input byte 0 chooses the side:
//   even: the server. The rest is a run of messages, each prefixed with its
//         16-bit little-endian length, handled on one connection that has
//         attached and activated a server object (id 1) first.
//   odd:  the client. Byte 1 chooses a method; the rest is the server's
//         reply to that call, decoded by the generated proxy.
// After each input every object, proxy and BSTR must be back to baseline.
#include <contract/LinkServer.h>
#include <contract/LinkServerProxyStub.h>
#include "rpc/ServerDispatch.h"

#include <comsupport/ClassFactory.h>
#include <platformdebug.h>
#include <rpc/Rpc.h>
#include <rpc/Wire.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace moravane;

namespace {

const CLSID kFuzzClass = {0xF022F022, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 1}};

std::atomic<long> g_live{0};

// One object behind several interfaces, handing out itself as every object.
class FuzzObject final : public IServer2, public IContainer2, public IRenderer2 {
 public:
  FuzzObject() { ++g_live; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IServer2) {
      *object = static_cast<IServer2*>(this);
    } else if (iid == IID_IContainer2) {
      *object = static_cast<IContainer2*>(this);
    } else if (iid == IID_IRenderer2) {
      *object = static_cast<IRenderer2*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --m_refs;
    if (left == 0) {
      --g_live;
      delete this;
    }
    return left;
  }
  HRESULT Self(IUnknown** out) {
    *out = static_cast<IServer2*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetVersion(LONG* version, BSTR*) override { return *version = 7, S_OK; }
  HRESULT STDMETHODCALLTYPE GetMinimumMemoryRequirements(ULONGLONG* bytes, BSTR*) override { return *bytes = 1, S_OK; }
  HRESULT STDMETHODCALLTYPE SetIdleTimeMemoryUsage(ULONGLONG, BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetTemporaryMemoryUsage(ULONGLONG, BSTR* errorText) override {
    *errorText = SysAllocString(u"no");
    return E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE GetCurrentMemoryUsage(ULONGLONG* bytes, BSTR*) override { return *bytes = 2, S_OK; }
  HRESULT STDMETHODCALLTYPE PurgeMemory(BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE CacheFinalFrame(LONG, BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetProjectExtension(BSTR* extension, BSTR*) override {
    *extension = SysAllocString(u".x");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenProject(BSTR, IUnknown** project, BSTR*) override { return Self(project); }
  HRESULT STDMETHODCALLTYPE OpenProjectShowSource(BSTR, GUID*, IUnknown** project, IUnknown** source, BSTR*) override {
    Self(project);
    return Self(source);
  }
  HRESULT STDMETHODCALLTYPE CloseProject(IUnknown*, BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE CreateSource(BSTR, LONG, LONG, LONG, LONG, LONG, LONG, double, IUnknown** project,
                                         IUnknown** source, BSTR*) override {
    Self(project);
    return Self(source);
  }
  HRESULT STDMETHODCALLTYPE GetFirstItem(IUnknown** first, BSTR*) override { return Self(first); }
  HRESULT STDMETHODCALLTYPE GetNextItem(IUnknown*, IUnknown** next, BSTR*) override { return Self(next); }
  HRESULT STDMETHODCALLTYPE CreateVideoRenderOptions(IUnknown** options, BSTR*) override { return Self(options); }
  HRESULT STDMETHODCALLTYPE CreateAudioRenderOptions(IUnknown** options, BSTR*) override { return Self(options); }
  HRESULT STDMETHODCALLTYPE StartVideoRender(IVideoRenderOptions2*, BSTR, ULONGLONG, BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RenderVideo(LONG, LONG, ULONGLONG* value, BSTR*) override { return *value = 3, S_OK; }
  HRESULT STDMETHODCALLTYPE EndVideoRender(BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE StartAudioRender(LONG, LONG, LONG, IAudioRenderOptions2*, BSTR, ULONGLONG, BSTR*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextAudioBuffer(ULONGLONG* value, BSTR*) override { return *value = 4, S_OK; }
  HRESULT STDMETHODCALLTYPE EndAudioRender(BSTR*) override { return S_OK; }

 private:
  std::atomic<ULONG> m_refs{1};
};

comsupport::StaticClassFactory g_factory([](REFIID iid, void** object) {
  return comsupport::HandOut(new FuzzObject, iid, object);
});

IUnknown* FindFactory(REFCLSID clsid) { return IsEqualCLSID(clsid, kFuzzClass) ? &g_factory : nullptr; }

std::vector<std::uint8_t> Message(rpc::MessageKind kind, const void* body, std::size_t size) {
  rpc::Header header{rpc::kMagic, static_cast<std::uint32_t>(sizeof header + size), static_cast<std::uint16_t>(kind), 0,
                     1};
  std::vector<std::uint8_t> message(sizeof header + size);
  std::memcpy(message.data(), &header, sizeof header);
  if (size != 0) std::memcpy(message.data() + sizeof header, body, size);
  return message;
}

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
  }
}

void FuzzServer(const std::uint8_t* data, std::size_t size) {
  static std::vector<std::uint8_t> reply(rpc::kMaxMessage);
  {
    rpc::ConnectionState state;
    state.factories = &FindFactory;
    const std::uint64_t token = 0;
    auto attach = Message(rpc::MessageKind::kAttach, &token, sizeof token);
    Check(rpc::HandleMessage(state, attach.data(), attach.size(), reply.data(), reply.size()) != 0, "attach");
    std::uint8_t activation[32];
    std::memcpy(activation, &kFuzzClass, 16);
    std::memcpy(activation + 16, &IID_IServer2, 16);
    auto activate = Message(rpc::MessageKind::kActivate, activation, sizeof activation);
    Check(rpc::HandleMessage(state, activate.data(), activate.size(), reply.data(), reply.size()) != 0, "activate");

    while (size >= 2) {
      const std::size_t length = std::min<std::size_t>(data[0] | (data[1] << 8), size - 2);
      data += 2;
      size -= 2;
      std::vector<std::uint8_t> message(data, data + length);  // exact size, so overreads are caught
      data += length;
      size -= length;
      if (rpc::HandleMessage(state, message.data(), message.size(), reply.data(), reply.size()) == 0) break;
    }
  }
  Check(g_live.load() == 0, "every server object released with the session");
}

// Answers queries and releases itself and every call with the fuzz input.
struct Replies {
  const std::uint8_t* data;
  std::size_t size;
};

std::size_t Answer(const Replies& replies, const std::uint8_t* request, std::size_t, std::uint8_t* reply,
                   std::size_t capacity) {
  rpc::Header header;
  std::memcpy(&header, request, sizeof header);
  if (header.kind != static_cast<std::uint16_t>(rpc::MessageKind::kCall)) {
    const HRESULT ok = S_OK;
    auto message = Message(rpc::MessageKind::kReply, &ok, sizeof ok);
    std::memcpy(reply, message.data(), message.size());
    return message.size();
  }
  const std::size_t size = std::min(replies.size, capacity);
  if (size != 0) std::memcpy(reply, replies.data, size);
  return size;
}

template <class I>
I* As(IUnknown* proxy, const IID& iid) {
  I* typed = nullptr;
  proxy->QueryInterface(iid, reinterpret_cast<void**>(&typed));
  return typed;
}

void Free(BSTR& text) {
  SysFreeString(text);
  text = nullptr;
}
void Free(IUnknown*& object) {
  if (object != nullptr) object->Release();
  object = nullptr;
}

void FuzzClient(std::uint8_t method, const std::uint8_t* data, std::size_t size) {
  const std::int64_t bstrs = platformdebug::LiveBstrCount();
  Replies replies{data, size};
  IUnknown* proxy = rpc::debug::LoopbackProxy(
      [&replies](const std::uint8_t* request, std::size_t length, std::uint8_t* reply, std::size_t capacity) {
        return Answer(replies, request, length, reply, capacity);
      });
  {
    BSTR text = nullptr, errorText = nullptr;
    IUnknown *first = nullptr, *second = nullptr;
    LONG a = 0, b = 0;
    ULONGLONG big = 0;
    double rate = 0;
    GUID id{};
    switch (method % 6) {
      case 0: {
        IServer2* server = As<IServer2>(proxy, IID_IServer2);
        BSTR path = SysAllocString(u"p");
        server->OpenProjectShowSource(path, &id, &first, &second, &errorText);
        SysFreeString(path);
        server->Release();
        break;
      }
      case 1: {
        ISource2* source = As<ISource2>(proxy, IID_ISource2);
        source->GetDuration(&a, &b, &errorText);
        source->Release();
        break;
      }
      case 2: {
        IItem2* item = As<IItem2>(proxy, IID_IItem2);
        item->GetID(&id, &errorText);
        Free(errorText);
        item->GetName(&text, &errorText);
        item->Release();
        break;
      }
      case 3: {
        ISource2* source = As<ISource2>(proxy, IID_ISource2);
        source->GetFrameRate(&rate, &errorText);
        source->Release();
        break;
      }
      case 4: {
        IServer2* server = As<IServer2>(proxy, IID_IServer2);
        server->GetMinimumMemoryRequirements(&big, &errorText);
        Free(errorText);
        server->GetProjectExtension(&text, &errorText);
        server->Release();
        break;
      }
      default: {
        IContainer2* container = As<IContainer2>(proxy, IID_IContainer2);
        container->GetNextItem(proxy, &first, &errorText);
        container->Release();
        break;
      }
    }
    Free(text);
    Free(errorText);
    Free(first);
    Free(second);
  }
  proxy->Release();
  Check(rpc::debug::LiveProxyObjects() == 0, "every proxy released");
  Check(platformdebug::LiveBstrCount() == bstrs, "every BSTR freed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool registered = RegisterLinkServerProxyStubs();
  (void)registered;
  if (size < 2) return 0;
  if (data[0] % 2 == 0) {
    FuzzServer(data + 1, size - 1);
  } else {
    FuzzClient(data[1], data + 2, size - 2);
  }
  return 0;
}
