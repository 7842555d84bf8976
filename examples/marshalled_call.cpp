// A small host that shows a marshalled call at work: a public method binds
// its executor, the dispatch hands it to the communication thread, and the
// result (or a LinkError) comes back on the host's thread.
#include "marshalling/Dispatch.h"

#include <kelvex/Strings.h>
#include <moravane/ThreadedState.h>

#include <boost/bind/bind.hpp>
#include <cstdio>

namespace {

class Greeter {
 public:
  // A public method in the library's pattern: result at its initial value,
  // an empty error text, bind, dispatch, return.
  LONG ThreadOfCall() {
    LONG result = 0;
    moravane::WideString errorText;
    moravane::detail::DispatchCall(boost::bind(&Greeter::ThreadOfCallExecutor, this, &result), errorText);
    return result;
  }
  void Fail(HRESULT code) {
    moravane::WideString errorText;
    moravane::detail::DispatchCall(boost::bind(&Greeter::FailExecutor, this, code), errorText);
  }

 private:
  void ThreadOfCallExecutor(LONG* result) { *result = static_cast<LONG>(kelvex::threads::GetCurrentThreadID()); }
  void FailExecutor(HRESULT code) {
    throw moravane::LinkError(kelvex::utility::AsciiToUTF16("the server said no"), code);
  }
};

}  // namespace

int main() {
  Greeter greeter;
  const unsigned long host = kelvex::threads::GetCurrentThreadID();
  const unsigned long marshalled = static_cast<unsigned long>(greeter.ThreadOfCall());
  std::printf("host thread %lu; marshalled call ran on thread %lu (%s)\n", host, marshalled,
              marshalled == moravane::CommunicationThread::Instance()->GetThreadId() ? "the communication thread"
                                                                                     : "unexpected");
  try {
    greeter.Fail(E_ACCESSDENIED);
  } catch (moravane::LinkError& error) {
    std::printf("LinkError 0x%08X \"%s\" caught on thread %lu\n", static_cast<unsigned>(error.GetError()),
                kelvex::utility::UTF16ToUTF8(error.GetErrorString()).c_str(), kelvex::threads::GetCurrentThreadID());
  }
  moravane::ThreadedState::SetFreeThreaded(true);
  std::printf("free-threaded call ran on thread %lu\n", static_cast<unsigned long>(greeter.ThreadOfCall()));
  return marshalled != host ? 0 : 1;
}
