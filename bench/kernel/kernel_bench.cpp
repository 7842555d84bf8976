// Costs of the kernel objects on the paths the library uses: taking and
// giving back the named mutex (against a process-local std::mutex), and
// making, mapping and dropping a named section (against anonymous memory).
#include <benchmark/benchmark.h>
#include <windows.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

namespace {

std::u16string BenchName(const char* tag) {
  const std::string narrow = "moravane-bench-" + std::to_string(::getpid()) + "-" + tag;
  return std::u16string(narrow.begin(), narrow.end());
}

void BM_StdMutexLockUnlock(benchmark::State& state) {
  std::mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    mutex.unlock();
  }
}
BENCHMARK(BM_StdMutexLockUnlock);

void BM_NamedMutexWaitRelease(benchmark::State& state) {
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, BenchName("mutex").c_str());
  for (auto _ : state) {
    benchmark::DoNotOptimize(::WaitForSingleObject(mutex, INFINITE));
    ::ReleaseMutex(mutex);
  }
  ::CloseHandle(mutex);
}
BENCHMARK(BM_NamedMutexWaitRelease);

void BM_AnonymousMapTouchUnmap(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    std::memset(memory, 1, size);
    benchmark::ClobberMemory();
    ::munmap(memory, size);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_AnonymousMapTouchUnmap)->Arg(1920 * 1080 * 4)->Unit(benchmark::kMicrosecond);

void BM_NamedSectionCreateMapTouchClose(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const std::u16string name = BenchName("section");
  for (auto _ : state) {
    HANDLE section =
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), name.c_str());
    void* view = ::MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    std::memset(view, 1, size);
    benchmark::ClobberMemory();
    ::UnmapViewOfFile(view);
    ::CloseHandle(section);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_NamedSectionCreateMapTouchClose)->Arg(1920 * 1080 * 4)->Unit(benchmark::kMicrosecond);

void BM_MappedSectionReuse(benchmark::State& state) {
  // What a render loop pays per frame once the section is mapped.
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  HANDLE section = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size),
                                        BenchName("reuse").c_str());
  void* view = ::MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  for (auto _ : state) {
    std::memset(view, 1, size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
  ::UnmapViewOfFile(view);
  ::CloseHandle(section);
}
BENCHMARK(BM_MappedSectionReuse)->Arg(1920 * 1080 * 4)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
