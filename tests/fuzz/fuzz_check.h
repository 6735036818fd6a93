#pragma once
// A failed property of a fuzz target: the reason goes to standard error and,
// as the summary line, to the sanitizers' report descriptor (which stays
// open when libFuzzer closes standard error); then the process aborts, so
// that libFuzzer keeps the input.
#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kav_fuzz {

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  __sanitizer_report_error_summary(what.c_str());
  std::abort();
}

/// Fails with @p what, the joint index and the offending value unless
/// @p condition holds (the message is only built on failure).
inline void check(bool condition, const char* what, int joint = -1, double value = 0.0) {
  if (condition) return;
  char line[256];
  std::snprintf(line, sizeof line, "%s (joint index %d, value %.17g)", what, joint, value);
  fail(line);
}

}  // namespace kav_fuzz
