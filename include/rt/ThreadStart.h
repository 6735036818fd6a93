#pragma once
/// @file ThreadStart.h
/// Starting the library's own threads, with a seam for tests that need a
/// thread start to fail.

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

}  // namespace rt
}  // namespace kav
