#include "Keyboard.h"

#include <poll.h>
#include <unistd.h>

namespace kav {
namespace tool {

Keyboard::Keyboard() {
  if (::isatty(STDIN_FILENO) != 1) return;
  if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
  termios raw = saved_;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  restore_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

Keyboard::~Keyboard() {
  if (restore_) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

std::optional<char> Keyboard::next(std::chrono::milliseconds timeout) {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  const int ready = ::poll(&input, 1, static_cast<int>(timeout.count()));
  if (ready <= 0) return std::nullopt;
  char key = 0;
  const ssize_t got = ::read(STDIN_FILENO, &key, 1);
  if (got <= 0) return kEnd;
  return key == '\r' ? '\n' : key;
}

}  // namespace tool
}  // namespace kav
