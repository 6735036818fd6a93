#pragma once
/// @file Seams.h
/// Starting the library's own threads, and seams through which tests make a
/// thread start or a control cycle fail.

#include <pthread.h>

#include <string>

namespace kav {
namespace rt {

/// Starts @p body(@p argument) on a new thread, as pthread_create does.
/// @return 0, or the error number (also the one a test asked for with
///         failNextThreadStart for @p name)
int startThread(pthread_t* thread, const char* name, void* (*body)(void*), void* argument);

/// For tests: the next startThread() for a thread named @p name fails with
/// @p error without starting anything. Error 0 clears the request.
void failNextThreadStart(const std::string& name, int error);

/// For tests: the next control cycle of any controller raises
/// std::runtime_error(@p what) before it sends anything.
void failNextCycle(const std::string& what);

/// Raises the failure failNextCycle asked for, once; otherwise does nothing
/// (one atomic load). Called by the control cycle.
void raiseRequestedCycleFailure();

}  // namespace rt
}  // namespace kav
