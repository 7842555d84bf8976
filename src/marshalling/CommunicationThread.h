// The library's own thread, on which every remote call of the process is
// made unless the process is free-threaded. Created on first use, it lives
// in the COM multithreaded apartment and serves one deferred call at a time
// until the process ends; the library never stops, joins or frees it.
#pragma once

#include <chrono>

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
  // Keeps this thread on its callers' CPU while the calls it runs are
  // remote, and lets it go after a run of local ones (see the definition).
  void Place(std::chrono::steady_clock::duration call);

  bool stopRequested;
  kelvex::threads::Barrier startupBarrier;
  kelvex::threads::Barrier idleBarrier;
  kelvex::threads::Thread* thread;
  unsigned long threadId;
  // Place's record: the caller's CPU last seen away from this thread's and
  // on how many remote calls running; whether the thread is kept on a CPU,
  // and how many local calls ran since the last remote one.
  int followCpu = -1;
  int followStreak = 0;
  bool kept = false;
  int shortRun = 0;
};

}  // namespace moravane
