// The dispatch of a deferred call: in place when the process is
// free-threaded or the caller is the communication thread itself, otherwise
// marshalled to the communication thread. One pair of runners exists per
// bound-call type, so every executor with the same parameter list shares it.
#pragma once

#include "marshalling/CommunicationThread.h"
#include "marshalling/ErrorChecks.h"
#include "marshalling/Executor.h"
#include "marshalling/IdleLock.h"

#include <moravane/ThreadedState.h>

#include <memory>

namespace moravane {
namespace detail {

// Packages `call` and hands it to `run`; returns its result code and leaves
// its error text in `errorText`. LinkError and `long`, from the call or from
// the hand-over, are caught; anything else passes to the caller.
template <class F, class Run>
LONG RunDeferred(const F& call, WideString& errorText, Run run) {
  LONG result = 0;
  try {
    std::unique_ptr<Executor> executor(new ExecutorImpl<F>(call, &errorText, &result));
    run(executor);
  } catch (const LinkError& error) {
    errorText = error.GetErrorString();
    result = error.GetError();
  } catch (long) {
    if (errorText.empty()) result = kThrownLong;
  }
  return result;
}

// Runs `call` on the calling thread.
template <class F>
LONG ExecuteInPlace(const F& call, WideString& errorText) {
  return RunDeferred(call, errorText, [](std::unique_ptr<Executor>& executor) { executor->Execute(); });
}

// Runs `call` on the communication thread and waits for it.
template <class F>
LONG ExecuteMarshalled(const F& call, WideString& errorText) {
  return RunDeferred(call, errorText, [](std::unique_ptr<Executor>& executor) {
    IdleLock::Current()->Submit(executor.get());
    // Submit returned: the communication thread ran and deleted the call.
    executor.release();
  });
}

// The dispatch rule, evaluated afresh on every call.
template <class F>
LONG Execute(const F& call, WideString& errorText) {
  if (ThreadedState::GetFreeThreaded()) return ExecuteInPlace(call, errorText);
  CommunicationThread* thread = CommunicationThread::Instance();
  if (kelvex::threads::GetCurrentThreadID() == thread->GetThreadId()) return ExecuteInPlace(call, errorText);
  return ExecuteMarshalled(call, errorText);
}

// A checked call: dispatch, then turn a failure into a LinkError thrown on
// the caller's thread.
template <class F>
void DispatchCall(const F& call, WideString& errorText) {
  const LONG result = Execute(call, errorText);
  CheckCallResult(result, errorText);
}

// The unchecked call of a handle's set-up and tear-down: the outcome is
// dropped and no LinkError is thrown (the stop signal still passes).
template <class F>
void DispatchUnchecked(const F& call) {
  WideString errorText;
  Execute(call, errorText);
}

}  // namespace detail
}  // namespace moravane
