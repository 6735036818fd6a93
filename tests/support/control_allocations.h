#pragma once
// Counts every heap allocation made on the control thread (the thread named
// "kav-control") by interposing the C allocator's entry points. Include it in
// exactly one source file of a program. The sanitizers bring their own
// allocator, so in their builds nothing is counted and
// kKavCountsAllocations is false.
#include <errno.h>
#include <sys/prctl.h>

#include <atomic>
#include <cstddef>
#include <string_view>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KAV_COUNTS_ALLOCATIONS 0
#else
#define KAV_COUNTS_ALLOCATIONS 1
#endif

namespace kav_test {

constexpr bool kKavCountsAllocations = KAV_COUNTS_ALLOCATIONS;

inline std::atomic<long> g_control_allocations{0};

/// Heap allocations on the control thread since the program started.
inline long controlThreadAllocations() { return g_control_allocations.load(); }

}  // namespace kav_test

#if KAV_COUNTS_ALLOCATIONS
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

namespace {
// 0 not looked at yet, 1 the control thread, 2 another thread. A thread is
// looked at once, at its first allocation after it was named.
__thread int t_thread_kind = 0;

void countAllocation() {
  if (t_thread_kind == 0) {
    char name[16] = {};
    prctl(PR_GET_NAME, name);
    if (std::string_view(name) == "kav-control") {
      t_thread_kind = 1;
    } else if (name[0] != '\0' && std::string_view(name).rfind("kav-", 0) != 0) {
      t_thread_kind = 2;  // threads not yet named stay unknown
    }
  }
  if (t_thread_kind == 1) kav_test::g_control_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

void* malloc(std::size_t size) {
  countAllocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  countAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  countAllocation();
  return __libc_realloc(block, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  countAllocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
  countAllocation();
  *block = __libc_memalign(alignment, size);
  return *block ? 0 : ENOMEM;
}
}  // extern "C"
#endif
