// A class built like the library's handles, over a fake remote slot: its
// public methods bind their executors and dispatch them, and the executors
// call the slot and check its result exactly as the library's do.
#pragma once

#include "marshalling/Dispatch.h"

#include <comsupport/WideChars.h>

#include <kelvex/Threads.h>
#include <moravane/ThreadedState.h>

#include <boost/bind/bind.hpp>
#include <chrono>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>

namespace moravanetest {

using moravane::WideString;

// One slot of a remote interface: writes `value` through its out-parameter,
// then answers `hr` and, when `text` is set, a fresh BSTR error text that
// the caller must free.
struct FakeSlot {
  HRESULT hr = S_OK;
  std::optional<std::u16string> text;
  LONG value = 7;
  int calls = 0;
  unsigned long thread = 0;

  HRESULT Get(LONG* out, BSTR* errorText) {
    ++calls;
    thread = kelvex::threads::GetCurrentThreadID();
    *out = value;
    if (text) *errorText = ::SysAllocStringLen(comsupport::AsOleChars(text->data()), static_cast<UINT>(text->size()));
    return hr;
  }
};

class Probe {
 public:
  explicit Probe(FakeSlot* slot = nullptr) : m_slot(slot) {}
  virtual ~Probe() = default;

  // The slot writes straight into the result variable.
  LONG GetValue() {
    LONG result = 0;
    WideString errorText;
    moravane::detail::DispatchCall(boost::bind(&Probe::GetValueExecutor, this, &result), errorText);
    return result;
  }
  // The executor converts the slot's out-value after the check.
  LONG GetConverted() {
    LONG result = 0;
    WideString errorText;
    moravane::detail::DispatchCall(boost::bind(&Probe::GetConvertedExecutor, this, &result), errorText);
    return result;
  }
  // Runs `body` as the executor; returns what it left in the result.
  template <class Body>
  LONG Run(Body body) {
    LONG result = 0;
    WideString errorText;
    moravane::detail::DispatchCall(boost::bind(&Probe::RunExecutor<Body>, this, body, &result), errorText);
    return result;
  }
  template <class Body>
  void RunUnchecked(Body body) {
    LONG result = 0;
    moravane::detail::DispatchUnchecked(boost::bind(&Probe::RunExecutor<Body>, this, body, &result));
  }
  unsigned long ThreadOfCall() {
    return static_cast<unsigned long>(
        Run([](LONG* result) { *result = static_cast<LONG>(kelvex::threads::GetCurrentThreadID()); }));
  }

 protected:
  void GetValueExecutor(LONG* result) {
    BSTR errorText = nullptr;
    if (m_slot == nullptr) moravane::CheckServerResult(moravane::kNoRemoteObject, nullptr);
    const HRESULT hr = m_slot->Get(result, &errorText);
    moravane::CheckServerResult(hr, errorText);
  }
  void GetConvertedExecutor(LONG* result) {
    BSTR errorText = nullptr;
    if (m_slot == nullptr) moravane::CheckServerResult(moravane::kNoRemoteObject, nullptr);
    LONG out = 0;
    const HRESULT hr = m_slot->Get(&out, &errorText);
    moravane::CheckServerResult(hr, errorText);
    *result = out * 10;
  }
  template <class Body>
  void RunExecutor(Body body, LONG* result) {
    body(result);
  }

 private:
  FakeSlot* m_slot;
};

class FreeThreaded {
 public:
  FreeThreaded() { moravane::ThreadedState::SetFreeThreaded(true); }
  ~FreeThreaded() { moravane::ThreadedState::SetFreeThreaded(false); }
};

inline unsigned long CommunicationThreadId() { return moravane::CommunicationThread::Instance()->GetThreadId(); }

// Runs `body` on another thread and reports whether it finished in time: a
// deadlock fails the test instead of hanging it (the stuck thread is then
// left behind, and the process ends at the test's end).
template <class Body>
bool FinishesWithin(std::chrono::seconds limit, Body body) {
  auto task = std::make_shared<std::packaged_task<void()>>(body);
  std::future<void> done = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  if (done.wait_for(limit) != std::future_status::ready) return false;
  done.get();
  return true;
}

}  // namespace moravanetest
