// The tables against the interface declarations they describe, and the
// stub engine that serves them.
#include "RpcTestSupport.h"

#include "ServerDispatch.h"

#include <stdexcept>

using namespace moravane;

namespace rpctest {
namespace {

TEST(ProxyStubTables, EveryRowIsTheSlotItsMemberFunctionHas) {
  int count = 0;
  const rpc::InterfaceInfo* const* interfaces = LinkServerInterfaces(count);
  ASSERT_EQ(9, count);
  const int methods[] = {12, 4, 4, 2, 10, 8, 23, 8, 3};
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE(interfaces[i]->name);
    EXPECT_EQ(methods[i], interfaces[i]->methodCount);
    for (int row = 0; row < interfaces[i]->methodCount; ++row) EXPECT_EQ(3 + row, interfaces[i]->abiSlots[row]);
    EXPECT_TRUE(rpc::RegisterInterface(*interfaces[i]));
    EXPECT_EQ(interfaces[i], rpc::FindInterface(*interfaces[i]->iid));
  }
}

// Rows in consecutive order but naming the wrong member functions: the
// compiler cannot see it, registration must.
struct IMisdeclared : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE First(LONG* value, BSTR* errorText) = 0;
  virtual HRESULT STDMETHODCALLTYPE Second(LONG* value, BSTR* errorText) = 0;
};
const IID IID_IMisdeclared = {0x0BADF00D, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};

}  // namespace
}  // namespace rpctest

RPC_INTERFACE_ID(rpctest::IMisdeclared, rpctest::IID_IMisdeclared);

namespace rpctest {
namespace {

TEST(ProxyStubTables, ARowNamingAnotherSlotIsRejected) {
  using Swapped = rpc::InterfaceTable<IMisdeclared, rpc::Row<3, &IMisdeclared::Second, rpc::Out, rpc::Out>,
                                      rpc::Row<4, &IMisdeclared::First, rpc::Out, rpc::Out>>;
  EXPECT_FALSE(rpc::RegisterInterface(Swapped::Info()));
  EXPECT_EQ(nullptr, rpc::FindInterface(IID_IMisdeclared));
  using Right = rpc::InterfaceTable<IMisdeclared, rpc::Row<3, &IMisdeclared::First, rpc::Out, rpc::Out>,
                                    rpc::Row<4, &IMisdeclared::Second, rpc::Out, rpc::Out>>;
  EXPECT_TRUE(rpc::RegisterInterface(Right::Info()));
}

// An object whose SendFile throws, served through the stub engine directly.
class ThrowingExtras final : public IOrraExtras2 {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    *object = iid == IID_IUnknown || iid == IID_IOrraExtras2 ? this : nullptr;
    return *object ? (AddRef(), S_OK) : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }
  HRESULT STDMETHODCALLTYPE SendFile(BSTR, BSTR*) override { throw std::runtime_error("thrown by the object"); }
  HRESULT STDMETHODCALLTYPE AnnounceSelfLink(BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE WithdrawSelfLink(BSTR*) override { return S_OK; }
  ULONG References() const { return m_refs; }

 private:
  ULONG m_refs = 1;
};

// Sends one call on `state` and returns the reply's flags and HRESULT; the
// reply size is 0 when the connection would be closed.
struct Answer {
  std::size_t size;
  std::uint16_t flags;
  HRESULT hr;
};
Answer CallSlot(rpc::ConnectionState& state, rpc::ObjectId id, std::uint32_t slot, const Bytes& args) {
  const Bytes message = Wire().Call(id, IID_IOrraExtras2, slot).Add(args).Message(rpc::MessageKind::kCall);
  Bytes reply(rpc::kMaxMessage);
  const std::size_t size = rpc::HandleMessage(state, message.data(), message.size(), reply.data()).replySize;
  const ReplyView read = ReadReply(reply.data(), size);
  return {size, read.flags, read.hr};
}

TEST(StubEngine, AThrowInsideAStubFailsTheCallAndTheConnectionGoesOn) {
  ASSERT_TRUE(RegisterLinkServerProxyStubs());
  ThrowingExtras object;
  const std::int64_t bstrsBefore = platformdebug::LiveBstrCount();
  {
    rpc::ConnectionState state;
    state.session = rpc::OpenSession();
    const rpc::ObjectId id = state.session->Export(&object);
    ASSERT_NE(0u, id);

    const Answer thrown = CallSlot(state, id, 3, Bstr(u"C:\\clip.mov"));
    ASSERT_NE(0u, thrown.size) << "the connection would have been closed";
    EXPECT_EQ(rpc::kNotDelivered, thrown.flags);
    EXPECT_EQ(rpc::kServerFault, thrown.hr);
    // The decoded path was freed by the unwinding.
    EXPECT_EQ(bstrsBefore, platformdebug::LiveBstrCount());

    const Answer next = CallSlot(state, id, 4, {});
    ASSERT_NE(0u, next.size);
    EXPECT_EQ(0, next.flags);
    EXPECT_EQ(S_OK, next.hr);
  }
  // The session's table and the calls hold no reference any more.
  EXPECT_EQ(1u, object.References());
}

}  // namespace
}  // namespace rpctest
