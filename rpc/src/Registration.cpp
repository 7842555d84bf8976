// The engine offers the platform's class table its reach into other
// processes as soon as the program that links it starts: a static archive
// member that nothing calls would be left out of the link, so consumers
// name `moravane_link_engine` as undefined (comsupport's link options) and
// this object, with the engine behind it, comes along.
#include <platformactivation.h>
#include <rpc/Rpc.h>

namespace {

constexpr platformactivation::OutOfProcessClasses kOutOfProcessClasses{&rpc::PublishClass, &rpc::WithdrawClass,
                                                                       &rpc::ActivateRemote};

}  // namespace

extern "C" {
extern const int moravane_link_engine;
const int moravane_link_engine = [] {
  platformactivation::InstallOutOfProcessClasses(&kOutOfProcessClasses);
  return 1;
}();
}
