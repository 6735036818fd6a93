#pragma once
/// @file Priority.h
/// Scheduling of the library's threads, best effort: a process without the
/// privilege for real-time scheduling runs them at normal priority.

namespace kav {
namespace rt {

/// Asks for SCHED_FIFO at @p priority (1-99) for the calling thread.
/// @return whether it was granted
bool preferRealtime(int priority);

/// Normal scheduling at niceness @p nice for the calling thread, even when
/// the thread that created it runs in real time (threads inherit their
/// creator's policy).
void preferNormal(int nice);

}  // namespace rt
}  // namespace kav
