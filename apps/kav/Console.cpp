#include "Console.h"

#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace kav {
namespace tool {

namespace {

FILE* output = stdout;
bool terminal = false;
bool first_screen = true;

}  // namespace

void Console::take() {
  ::signal(SIGPIPE, SIG_IGN);
  std::fflush(stdout);
  const int own = ::dup(STDOUT_FILENO);
  if (own < 0) return;
  FILE* stream = ::fdopen(own, "w");
  if (stream == nullptr) {
    ::close(own);
    return;
  }
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // the library's lines in order with ours
  output = stream;
  terminal = ::isatty(own) == 1;
}

bool Console::live() { return terminal; }

void Console::show(const std::string& screen) {
  if (terminal) {
    // Home, draw each line clearing its rest, then clear below: no flicker.
    std::string text = first_screen ? "\033[2J\033[H" : "\033[H";
    first_screen = false;
    std::size_t start = 0;
    while (start < screen.size()) {
      std::size_t end = screen.find('\n', start);
      if (end == std::string::npos) end = screen.size();
      text.append(screen, start, end - start).append("\033[K\n");
      start = end + 1;
    }
    text += "\033[J";
    std::fputs(text.c_str(), output);
  } else {
    std::fputs(screen.c_str(), output);
    if (!screen.empty() && screen.back() != '\n') std::fputc('\n', output);
  }
  std::fflush(output);
}

void Console::line(const std::string& text) {
  std::fputs(text.c_str(), output);
  std::fputc('\n', output);
  std::fflush(output);
}

std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, pattern, copy);
  va_end(copy);
  std::vector<char> buffer(size > 0 ? size + 1 : 1);
  std::vsnprintf(buffer.data(), buffer.size(), pattern, args);
  va_end(args);
  return std::string(buffer.data(), size > 0 ? size : 0);
}

}  // namespace tool
}  // namespace kav
