// The library's own thread, on which every remote call of the process is
// made unless the process is free-threaded. Created on first use, it lives
// in the COM multithreaded apartment and serves one deferred call at a time
// until the process ends; the library never stops, joins or frees it.
#pragma once

#include <kelvex/Threads.h>

namespace moravane {

class CommunicationThread {
 public:
  // The singleton; the first call creates the thread and returns once the
  // thread has recorded its id and installed the idle lock. Safe to call
  // from several threads at once: later callers wait for the first.
  static CommunicationThread* Instance();
  // Meets the idle communication thread at the idle barrier.
  static void Wake();

  // The thread's body.
  void Run();

  unsigned long GetThreadId() const { return threadId; }

 private:
  CommunicationThread();
  CommunicationThread(const CommunicationThread&) = delete;
  CommunicationThread& operator=(const CommunicationThread&) = delete;

  void Serve();
  // Moves this thread to its callers' CPU (see the definition for why).
  void FollowCaller();

  bool stopRequested;
  kelvex::threads::Barrier startupBarrier;
  kelvex::threads::Barrier idleBarrier;
  kelvex::threads::Thread* thread;
  unsigned long threadId;
  // FollowCaller's record: the caller's CPU last seen away from this
  // thread's, and on how many calls running.
  int followCpu = -1;
  int followStreak = 0;
};

}  // namespace moravane
