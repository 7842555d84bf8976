#include "marshalling/CommunicationThread.h"

#include "marshalling/IdleLock.h"

#include <objbase.h>

#include <atomic>
#include <boost/bind/bind.hpp>
#include <mutex>

namespace moravane {

namespace {

std::atomic<CommunicationThread*> g_instance{nullptr};
std::mutex g_creation;

}  // namespace

CommunicationThread::CommunicationThread()
    : stopRequested(false),
      startupBarrier("CommunicationStartupBarrier", 2),
      idleBarrier("CommunicationIdleBarrier", 2),
      thread(nullptr),
      threadId(0) {
  thread = new kelvex::threads::Thread("CommunicationThread", boost::bind(&CommunicationThread::Run, this));
}

CommunicationThread* CommunicationThread::Instance() {
  CommunicationThread* instance = g_instance.load(std::memory_order_acquire);
  if (instance != nullptr) return instance;
  // First use. The singleton is published only after the startup meeting,
  // so no caller can see it before its thread id and idle lock are set; a
  // second thread arriving meanwhile waits here for the first.
  std::lock_guard<std::mutex> creation(g_creation);
  instance = g_instance.load(std::memory_order_acquire);
  if (instance == nullptr) {
    instance = new CommunicationThread;
    instance->startupBarrier.Wait();
    g_instance.store(instance, std::memory_order_release);
  }
  return instance;
}

void CommunicationThread::Wake() { Instance()->idleBarrier.Wait(); }

void CommunicationThread::Run() {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // served whatever it returns
  threadId = kelvex::threads::GetCurrentThreadID();
  detail::IdleLock::Install(new detail::idlelockclient::MoraVaneIdleLock);
  startupBarrier.Wait();
  while (!stopRequested) {
    try {
      Serve();
    } catch (...) {
      // An executor let an exception other than LinkError or `long` escape.
      // RunPending has already released its caller (who sees result 0) and
      // freed the call; the exception ends the serving loop, and the thread
      // starts a new one so that later callers are still served.
    }
  }
  detail::IdleLock::Current()->StopAllExecution();
  ::CoUninitialize();
}

void CommunicationThread::Serve() {
  // The flag is tested before the first wait and after each served call,
  // never while the thread waits.
  while (!stopRequested) {
    idleBarrier.Wait();
    detail::IdleLock::Current()->RunPending();
  }
}

}  // namespace moravane
