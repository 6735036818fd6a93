#pragma once
/// @file Console.h
/// The library's console lines, written so that a real-time thread never
/// waits for standard output.
///
/// Threads that must not block (the control thread, the bus receive thread,
/// the inverse-kinematics worker) mark themselves with markRealtimeThread().
/// Their lines go into a bounded queue that a writer thread of normal
/// priority writes out in order; when the queue is full, lines are dropped
/// and counted, and the writer reports "N console messages dropped" once it
/// can. Lines printed by any other thread are written at once, as printf
/// would. A standard output that nobody reads (a full pipe, a stalled
/// terminal) therefore delays only the writer thread and the host's own
/// threads, never a control cycle.
///
/// Safe to call from the control thread: print(), markRealtimeThread(),
/// droppedMessages().

#include <chrono>
#include <cstdint>

namespace kav {
namespace console {

/// Where a line goes.
enum class Stream { kOut, kErr };

/// Routes the calling thread's lines through the queue from now on.
void markRealtimeThread();

/// True when the calling thread was marked with markRealtimeThread().
bool onRealtimeThread();

/// Prints one formatted line (printf format; include the line end). On a
/// marked thread it never blocks and never allocates: the text is formatted
/// into a queue slot (at most 511 bytes, longer lines are cut), or dropped
/// and counted when the queue is full.
void print(Stream stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// Waits until every line queued so far has been written (and lines dropped
/// so far reported), or @p timeout passed. Hosts call it before printing a line that must follow the lines
/// of a real-time thread (e.g. after joining it).
/// @return false when the time ran out first (the writer is stuck on a
///         standard output that nobody reads, or no writer runs)
bool flush(std::chrono::milliseconds timeout);

/// Lines dropped so far because the queue was full.
std::uint64_t droppedMessages();

/// Keeps the writer thread running while at least one lease exists. Every
/// object that starts a real-time thread holds one; the writer starts with
/// the first lease and stops with the last, after writing what is queued
/// (waiting at most 0.2 s for a standard output that nobody reads, then
/// leaving the writer to finish on its own).
class WriterLease {
 public:
  WriterLease();
  ~WriterLease();
  WriterLease(const WriterLease&) = delete;
  WriterLease& operator=(const WriterLease&) = delete;
};

}  // namespace console
}  // namespace kav
