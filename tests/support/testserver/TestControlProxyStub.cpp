// The proxy and stub of the test server's control interface, made like the
// link server's. A process that reaches a test server in another process,
// and the process that serves it, both register it.
#include "testserver/TestControl.h"

#include <rpc/ProxyStub.h>

RPC_INTERFACE_ID(testserver::ITestControl, testserver::IID_ITestControl);

namespace testserver {
namespace {

using comsupport::In;
using comsupport::Out;
using comsupport::Row;

using ControlTable =
    rpc::InterfaceTable<ITestControl,  //
                        Row<3, &ITestControl::CreateObject, In, Out>, Row<4, &ITestControl::GetObject, In, Out>,
                        Row<5, &ITestControl::IdentifyObject, In, Out>,
                        Row<6, &ITestControl::ScriptResult, In, In, In, In, In, In>,
                        Row<7, &ITestControl::ScriptOut, In, In, In, In, In, In, In, In, In, In>,
                        Row<8, &ITestControl::GetRecords, In, Out>, Row<9, &ITestControl::GetRefCount, In, Out>,
                        Row<10, &ITestControl::ClearRecords>, Row<11, &ITestControl::Probe, In, In, Out>>;

}  // namespace

const CLSID CLSID_TestServerHost = {0x4B8E2D17, 0x6A30, 0x4C1F, {0x8D, 0x52, 0x1E, 0x97, 0xA4, 0x3B, 0x60, 0xC5}};

bool RegisterTestControlProxyStub() {
  static const bool registered = rpc::RegisterInterface(ControlTable::Info());
  return registered;
}

}  // namespace testserver
