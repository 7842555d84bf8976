// The deferred call: one remote operation packaged so that it can run on
// whichever thread the dispatch rule picks. It writes its outcome only into
// the caller's frame (the result through the bound result address, the
// error text and the result code through its two pointers).
#pragma once

#include <moravane/LinkError.h>

#include <cstddef>

namespace moravane {
namespace detail {

class Executor {
 public:
  virtual ~Executor();
  // Runs the call once; a LinkError or a thrown `long` becomes the caller's
  // (error text, result code). Any other exception leaves Execute().
  virtual void Execute() = 0;

  // Deferred calls come from the small-block allocator: one allocation per
  // remote call, usually served from a thread-local free list. A deferred
  // call may be freed on another thread than the one that made it.
  static void* operator new(std::size_t size);
  static void operator delete(void* block, std::size_t size) noexcept;
};

template <class F>
class ExecutorImpl : public Executor {
 public:
  ExecutorImpl(const F& call, WideString* errorText, LONG* result)
      : m_call(call), m_errorText(errorText), m_result(result) {}

  void Execute() override {
    try {
      m_call();
    } catch (const LinkError& error) {
      *m_errorText = error.GetErrorString();
      *m_result = error.GetError();
    } catch (long) {
      *m_result = kThrownLong;
    }
  }

 private:
  F m_call;
  WideString* m_errorText;
  LONG* m_result;
};

}  // namespace detail
}  // namespace moravane
