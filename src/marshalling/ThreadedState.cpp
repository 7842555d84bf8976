#include <moravane/ThreadedState.h>

#include <atomic>

namespace moravane {
namespace ThreadedState {

namespace {
// Read on every dispatch, written by the self link and the host with no lock.
// A relaxed atomic costs the same as a plain bool and keeps a flip made on
// one thread while another dispatches a defined (if unordered) event.
std::atomic<bool> g_freeThreaded{false};
}  // namespace

bool GetFreeThreaded() { return g_freeThreaded.load(std::memory_order_relaxed); }

void SetFreeThreaded(bool freeThreaded) { g_freeThreaded.store(freeThreaded, std::memory_order_relaxed); }

}  // namespace ThreadedState
}  // namespace moravane
