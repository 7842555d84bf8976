// The tables against the interface declarations they describe.
#include "RpcTestSupport.h"

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

}  // namespace
}  // namespace rpctest
