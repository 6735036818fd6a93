#pragma once
// Where the tool's own output goes. The library prints its diagnostic lines
// on standard output; the tool moves them to standard error so that standard
// output carries only the tool's view or lines, and a pipe gets nothing else.

#include <string>

namespace kav {
namespace tool {

/// The tool's standard output: a live view redrawn in place when it is a
/// terminal, plain lines otherwise.
class Console {
 public:
  /// Keeps the real standard output for the tool and points descriptor 1
  /// (the library's printf) at standard error. Ignores SIGPIPE: a closed
  /// pipe must never kill a process that drives an arm before its damping
  /// hold. Call once, before the library prints anything.
  static void take();
  /// Whether the output is a terminal (the view is redrawn in place).
  static bool live();
  /// Replaces the screen with @p screen (terminal), or prints it (otherwise).
  static void show(const std::string& screen);
  /// Prints one line (a line end is added).
  static void line(const std::string& text);
};

/// printf into a std::string.
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tool
}  // namespace kav
