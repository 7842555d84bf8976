#include "TestControl.h"

RPC_INTERFACE_ID(rpctest::ITestControl, rpctest::IID_ITestControl);

namespace rpctest {

using ControlTable = rpc::InterfaceTable<ITestControl,  //
                                         rpc::Row<3, &ITestControl::GetLiveObjects, rpc::Out, rpc::Out>,
                                         rpc::Row<4, &ITestControl::GetExportedObjects, rpc::Out, rpc::Out>,
                                         rpc::Row<5, &ITestControl::GetLiveBstrs, rpc::Out, rpc::Out>,
                                         rpc::Row<6, &ITestControl::GetCallerThread, rpc::Out, rpc::Out>,
                                         rpc::Row<7, &ITestControl::Sleep, rpc::In, rpc::Out>,
                                         rpc::Row<8, &ITestControl::GetProcessId, rpc::Out, rpc::Out>,
                                         rpc::Row<9, &ITestControl::IsOwnObject, rpc::In, rpc::Out, rpc::Out>>;

bool RegisterTestControl() { return rpc::RegisterInterface(ControlTable::Info()); }

}  // namespace rpctest
