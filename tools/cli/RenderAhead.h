// The command line's render ahead: the next frame's render on a thread of
// its own while the current frame is converted or encoded.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace cli {

// The next frame's render, run while this thread converts or encodes the
// current one. One thread for the whole command, started with its first
// task: a thread per frame cost a clone and a stack every frame, and the
// link placed a new caller each time. Without a thread (nothing to
// overlap) a task runs on the caller's thread when it is waited for.
class RenderAhead {
 public:
  explicit RenderAhead(bool overlap) : m_overlap(overlap) {}
  RenderAhead(const RenderAhead&) = delete;
  RenderAhead& operator=(const RenderAhead&) = delete;
  // The task given last finishes before the thread goes: an error may be
  // unwinding, and the render that task fills must not end under it.
  ~RenderAhead() {
    if (!m_thread.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }
  void Start(std::function<void()> task) {
    if (!m_overlap) {
      m_task = std::move(task);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_task = std::move(task);
      m_done = false;
    }
    if (!m_thread.joinable()) {
      m_thread = std::thread([this] { Run(); });
    } else {
      m_changed.notify_all();
    }
  }
  // Waits for the task started last, if any; its failure is thrown here.
  void Wait() {
    if (!m_overlap) {
      std::function<void()> task = std::exchange(m_task, nullptr);
      if (task) task();
      return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_done; });
    if (m_failure) std::rethrow_exception(std::exchange(m_failure, nullptr));
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_changed.wait(lock, [this] { return m_stop || m_task; });
      if (!m_task) return;  // stopping, and nothing left to finish
      std::function<void()> task = std::exchange(m_task, nullptr);
      lock.unlock();
      std::exception_ptr failure;
      try {
        task();
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      m_failure = failure;
      m_done = true;
      m_changed.notify_all();
    }
  }

  const bool m_overlap;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::function<void()> m_task;  // given, not yet taken
  bool m_done = true;            // the last task given has finished
  bool m_stop = false;
  std::exception_ptr m_failure;
  std::thread m_thread;
};

}  // namespace cli
