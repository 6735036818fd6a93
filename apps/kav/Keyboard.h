#pragma once
// Single keys from standard input: on a terminal without waiting for Enter
// and without echo; from a pipe or file, character by character.

#include <termios.h>

#include <chrono>
#include <optional>

namespace kav {
namespace tool {

/// Standard input, key by key. On a terminal it switches off line editing
/// and echo for its lifetime.
class Keyboard {
 public:
  Keyboard();
  /// Restores the terminal.
  ~Keyboard();
  Keyboard(const Keyboard&) = delete;
  Keyboard& operator=(const Keyboard&) = delete;

  /// The next key, waiting at most @p timeout; Enter comes as '\n'.
  /// @return no value when none came in time; kEnd once input has ended
  std::optional<char> next(std::chrono::milliseconds timeout);
  /// What next() returns at the end of input.
  static constexpr char kEnd = '\0';

 private:
  bool restore_ = false;
  termios saved_{};
};

}  // namespace tool
}  // namespace kav
