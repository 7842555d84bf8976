// The proxy and stub of the test server's control interface, one table like
// the link server's interfaces. A process that reaches a test server in
// another process, and the process that serves it, both register it.
#include "testserver/TestControl.h"

#include <rpc/ProxyStub.h>

RPC_INTERFACE_ID(testserver::ITestControl, testserver::IID_ITestControl);

namespace testserver {
namespace {

using rpc::In;
using rpc::Out;
using rpc::Row;

using ControlTable = rpc::InterfaceTable<
    ITestControl,  //
    Row<3, &ITestControl::CreateObject, In, Out>, Row<4, &ITestControl::GetObject, In, Out>,
    Row<5, &ITestControl::IdentifyObject, In, Out>, Row<6, &ITestControl::ScriptResult, In, In, In, In, In, In>,
    Row<7, &ITestControl::ScriptOutLong, In, In, In, In, In>,
    Row<8, &ITestControl::ScriptOutULongLong, In, In, In, In, In>,
    Row<9, &ITestControl::ScriptOutDouble, In, In, In, In, In>,
    Row<10, &ITestControl::ScriptOutString, In, In, In, In, In, In>,
    Row<11, &ITestControl::ScriptOutGuid, In, In, In, In, In>,
    Row<12, &ITestControl::ScriptOutObject, In, In, In, In, In>, Row<13, &ITestControl::GetCallCount, Out>,
    Row<14, &ITestControl::GetCall, In, Out, Out, Out, Out, Out>, Row<15, &ITestControl::GetRefCount, In, Out>,
    Row<16, &ITestControl::GetRefEventCount, Out>, Row<17, &ITestControl::GetRefEvent, In, Out, Out, Out, Out>,
    Row<18, &ITestControl::ClearRecords>>;

}  // namespace

const CLSID CLSID_TestServerHost = {0x4B8E2D17, 0x6A30, 0x4C1F, {0x8D, 0x52, 0x1E, 0x97, 0xA4, 0x3B, 0x60, 0xC5}};

bool RegisterTestControlProxyStub() {
  static const bool registered = rpc::RegisterInterface(ControlTable::Info());
  return registered;
}

}  // namespace testserver
