#include "console/Console.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <thread>

namespace kav {
namespace console {

namespace {

constexpr std::size_t kSlots = 256;  // a power of two
constexpr std::size_t kSlotBytes = 512;
constexpr auto kStopWait = std::chrono::milliseconds(200);
constexpr long kIdleWaitNs = 100000000;  // the writer looks for a stop request every 0.1 s

// One queued line. seq tells producers and the writer whose turn the slot is
// (a bounded multi-producer queue after D. Vyukov): seq == position means free
// for the producer claiming that position, position + 1 means written and
// ready for the writer.
struct Slot {
  std::atomic<std::size_t> seq;
  Stream stream;
  std::size_t length;
  char text[kSlotBytes];
};

// Trivially destructible state only: a writer left running at process exit
// (stuck on a standard output nobody reads) must not outlive what it uses.
std::array<Slot, kSlots> g_slots;
std::atomic<std::size_t> g_enqueue{0};
std::atomic<std::size_t> g_dequeue{0};
std::atomic<std::size_t> g_written{0};
std::atomic<std::uint64_t> g_dropped{0};
std::atomic<std::uint64_t> g_reported{0};  // drops already reported
sem_t g_wake;
std::once_flag g_init;

std::mutex g_lease_mutex;  // taken by host threads and the writer only
int g_leases = 0;
bool g_stop_requested = false;
std::atomic<bool> g_writer_running{false};

thread_local bool t_realtime = false;

void initialise() {
  std::call_once(g_init, [] {
    for (std::size_t i = 0; i < kSlots; ++i) g_slots[i].seq.store(i, std::memory_order_relaxed);
    sem_init(&g_wake, 0, 0);
  });
}

FILE* fileOf(Stream stream) { return stream == Stream::kOut ? stdout : stderr; }

bool enqueue(Stream stream, const char* format, va_list args) {
  std::size_t position = g_enqueue.load(std::memory_order_relaxed);
  Slot* slot = nullptr;
  for (;;) {
    slot = &g_slots[position & (kSlots - 1)];
    const std::size_t seq = slot->seq.load(std::memory_order_acquire);
    const auto difference = static_cast<std::ptrdiff_t>(seq) - static_cast<std::ptrdiff_t>(position);
    if (difference == 0) {
      if (g_enqueue.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) break;
    } else if (difference < 0) {
      return false;  // full
    } else {
      position = g_enqueue.load(std::memory_order_relaxed);
    }
  }
  const int length = std::vsnprintf(slot->text, kSlotBytes, format, args);
  slot->stream = stream;
  slot->length = length < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(length), kSlotBytes - 1);
  slot->seq.store(position + 1, std::memory_order_release);
  return true;
}

// Writes the next queued line, if one is ready.
bool writeOne() {
  const std::size_t position = g_dequeue.load(std::memory_order_relaxed);
  Slot& slot = g_slots[position & (kSlots - 1)];
  if (slot.seq.load(std::memory_order_acquire) != position + 1) return false;
  FILE* file = fileOf(slot.stream);
  std::fwrite(slot.text, 1, slot.length, file);
  std::fflush(file);
  g_dequeue.store(position + 1, std::memory_order_relaxed);
  slot.seq.store(position + kSlots, std::memory_order_release);
  g_written.fetch_add(1, std::memory_order_release);
  return true;
}

void writerLoop() {
  pthread_setname_np(pthread_self(), "kav-console");
  // Normal scheduling even when started from a real-time thread's creator.
  sched_param normal{};
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  // A standard output whose reader went away fails the write, never the process.
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
  for (;;) {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += kIdleWaitNs;
    if (until.tv_nsec >= 1000000000L) {
      until.tv_nsec -= 1000000000L;
      ++until.tv_sec;
    }
    sem_timedwait(&g_wake, &until);
    while (writeOne()) {
    }
    const std::uint64_t dropped = g_dropped.load(std::memory_order_relaxed);
    const std::uint64_t reported = g_reported.load(std::memory_order_relaxed);
    if (dropped > reported) {
      std::fprintf(stderr, "%llu console messages dropped\n",
                   static_cast<unsigned long long>(dropped - reported));
      g_reported.store(dropped, std::memory_order_release);
    }
    std::lock_guard<std::mutex> lock(g_lease_mutex);
    if (g_stop_requested && g_dequeue.load() == g_enqueue.load()) {
      g_writer_running.store(false);
      return;
    }
  }
}

}  // namespace

void markRealtimeThread() {
  initialise();
  t_realtime = true;
}

bool onRealtimeThread() { return t_realtime; }

void print(Stream stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (!t_realtime) {
    std::vfprintf(fileOf(stream), format, args);
  } else if (enqueue(stream, format, args)) {
    sem_post(&g_wake);
  } else {
    g_dropped.fetch_add(1, std::memory_order_relaxed);
    sem_post(&g_wake);
  }
  va_end(args);
}

bool flush(std::chrono::milliseconds timeout) {
  const std::size_t target = g_enqueue.load();
  const std::uint64_t dropped = g_dropped.load();
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (g_written.load(std::memory_order_acquire) < target ||
         g_reported.load(std::memory_order_acquire) < dropped) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::uint64_t droppedMessages() { return g_dropped.load(); }

WriterLease::WriterLease() {
  initialise();
  std::lock_guard<std::mutex> lock(g_lease_mutex);
  ++g_leases;
  g_stop_requested = false;
  if (!g_writer_running.load()) {
    g_writer_running.store(true);
    // Detached from the start: nothing ever has to join a writer that a
    // standard output nobody reads keeps waiting.
    std::thread(writerLoop).detach();
  }
}

WriterLease::~WriterLease() {
  {
    std::lock_guard<std::mutex> lock(g_lease_mutex);
    if (--g_leases > 0) return;
    g_stop_requested = true;
  }
  sem_post(&g_wake);
  const auto until = std::chrono::steady_clock::now() + kStopWait;
  while (g_writer_running.load() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace console
}  // namespace kav
