#include "vm_support.h"

#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace kav {
namespace vmtest {

namespace {

constexpr uint32_t kMarkerId = CAN_EFF_FLAG | 0x1FFFFF00u;

void writeAll(int fd, const std::string& text) {
  const char* at = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t written = ::write(fd, at, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    at += written;
    left -= static_cast<std::size_t>(written);
  }
}

bool hexValue(const std::string& text, uint32_t* value) {
  if (text.empty()) return false;
  uint32_t result = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      return false;
    result = result * 16 + static_cast<uint32_t>(digit);
  }
  *value = result;
  return true;
}

}  // namespace

// ---------------------------------------------------------------- Report

Report::Report() : console_(::dup(STDOUT_FILENO)) {}

Report::~Report() {
  if (console_ != -1) ::close(console_);
}

void Report::group(const std::string& title) {
  group_ = title;
  line("");
  line("== " + title);
}

bool Report::check(bool ok, const std::string& what, const std::string& detail) {
  if (ok) {
    ++passed_;
    line("PASS: " + group_ + ": " + what);
  } else {
    ++failed_;
    std::string text = "FAIL: " + group_ + ": " + what;
    if (!detail.empty()) {
      // The detail follows indented, so only the first line starts with FAIL.
      text += "\n    ";
      for (char c : detail.substr(0, detail.find_last_not_of('\n') + 1)) {
        text += c;
        if (c == '\n') text += "    ";
      }
    }
    line(text);
  }
  return ok;
}

void Report::note(const std::string& text) { line("NOTE: " + text); }

void Report::line(const std::string& text) const { writeAll(console_, text + "\n"); }

int Report::finish(const std::string& program) const {
  line("");
  line("CHECKS " + program + ": " + std::to_string(passed_) + " of " + std::to_string(passed_ + failed_) +
       " checks passed");
  return failed_ == 0 && passed_ > 0 ? 0 : 1;
}

// ---------------------------------------------------------------- processes

pid_t spawn(const std::vector<std::string>& argv, const std::string& stdout_path) {
  if (argv.empty()) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_path.empty()) {
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", args[0], std::strerror(error));
    return -1;
  }
  return pid;
}

int waitExit(pid_t pid) {
  if (pid <= 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int waitExitWithin(pid_t pid, std::chrono::milliseconds limit) {
  if (pid <= 0) return -1;
  const auto end = Clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (done == -1 && errno != EINTR) return -1;
    if (Clock::now() >= end) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

int run(const std::vector<std::string>& argv) { return waitExit(spawn(argv)); }

int run(const std::string& command) {
  std::istringstream words(command);
  std::vector<std::string> argv;
  for (std::string word; words >> word;) argv.push_back(word);
  return run(argv);
}

// ---------------------------------------------------------------- stdout capture

StdoutLines::StdoutLines(int echo_fd) : echo_fd_(echo_fd) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    std::perror("pipe2");
    return;
  }
  std::fflush(stdout);
  saved_stdout_ = ::dup(STDOUT_FILENO);
  ::dup2(ends[1], STDOUT_FILENO);
  ::close(ends[1]);
  read_end_ = ends[0];
  reader_ = std::thread([this] { readLoop(); });
}

StdoutLines::~StdoutLines() { stop(); }

void StdoutLines::stop() {
  if (saved_stdout_ == -1) return;
  std::fflush(stdout);
  // Dropping the last write end lets the reader see the end of the pipe.
  ::dup2(saved_stdout_, STDOUT_FILENO);
  ::close(saved_stdout_);
  saved_stdout_ = -1;
  if (reader_.joinable()) reader_.join();
  ::close(read_end_);
  read_end_ = -1;
}

void StdoutLines::readLoop() {
  std::string pending;
  char buffer[512];
  for (;;) {
    ssize_t got = ::read(read_end_, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      std::string text = pending.substr(0, end);
      pending.erase(0, end + 1);
      writeAll(echo_fd_, "  | " + text + "\n");
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back({Clock::now(), text});
      arrived_.notify_all();
    }
  }
  if (!pending.empty()) {
    writeAll(echo_fd_, "  | " + pending + "\n");
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({Clock::now(), pending});
    arrived_.notify_all();
  }
}

std::vector<StdoutLines::Line> StdoutLines::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::string StdoutLines::text() const {
  std::string out;
  for (const auto& l : lines()) out += l.text + "\n";
  return out;
}

bool StdoutLines::waitFor(const std::string& pattern, std::chrono::milliseconds timeout,
                          Clock::time_point since) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] {
    for (const auto& l : lines_)
      if (l.at >= since && matchesPattern(l.text, pattern)) return true;
    return false;
  });
}

bool StdoutLines::waitForCount(const std::string& pattern, std::size_t count,
                               std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return countMatching(lines_, pattern) >= count; });
}

bool matchesPattern(const std::string& line, const std::string& pattern) {
  std::size_t at = 0;
  std::size_t from = 0;
  for (;;) {
    const std::size_t hole = pattern.find("%d", from);
    const std::string literal =
        pattern.substr(from, hole == std::string::npos ? std::string::npos : hole - from);
    if (line.compare(at, literal.size(), literal) != 0) return false;
    at += literal.size();
    if (hole == std::string::npos) return at == line.size();
    if (at < line.size() && line[at] == '-') ++at;
    const std::size_t digits = at;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
    if (at == digits) return false;
    from = hole + 2;
  }
}

std::size_t countMatching(const std::vector<StdoutLines::Line>& lines, const std::string& pattern) {
  std::size_t count = 0;
  for (const auto& l : lines)
    if (matchesPattern(l.text, pattern)) ++count;
  return count;
}

bool linesInOrder(const std::vector<StdoutLines::Line>& lines, const std::vector<std::string>& patterns) {
  std::size_t next = 0;
  for (const auto& l : lines) {
    if (next < patterns.size() && matchesPattern(l.text, patterns[next])) ++next;
  }
  return next == patterns.size();
}

bool linesFollow(const std::vector<StdoutLines::Line>& lines, const std::string& first,
                 const std::vector<std::string>& next) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!matchesPattern(lines[i].text, first)) continue;
    if (i + next.size() >= lines.size()) return false;
    for (std::size_t k = 0; k < next.size(); ++k)
      if (!matchesPattern(lines[i + 1 + k].text, next[k])) return false;
    return true;
  }
  return false;
}

std::vector<Clock::time_point> timesOf(const std::vector<StdoutLines::Line>& lines,
                                       const std::string& pattern) {
  std::vector<Clock::time_point> times;
  for (const auto& l : lines)
    if (matchesPattern(l.text, pattern)) times.push_back(l.at);
  return times;
}

// ---------------------------------------------------------------- frames

CanFrame makeFrame(uint32_t id, uint8_t dlc, std::vector<uint8_t> data) {
  CanFrame frame{};
  frame.can_id = id;
  frame.can_dlc = dlc;
  for (std::size_t i = 0; i < data.size() && i < 8; ++i) frame.data[i] = data[i];
  return frame;
}

CanFrame onTheWire(const CanFrame& frame) {
  CanFrame wire{};
  wire.can_id = frame.can_id;
  wire.can_dlc = frame.can_dlc;
  if (!(frame.can_id & CAN_RTR_FLAG)) {
    for (int i = 0; i < frame.can_dlc && i < 8; ++i) wire.data[i] = frame.data[i];
  }
  return wire;
}

std::string describe(const CanFrame& frame) {
  char text[64];
  int at;
  if (frame.can_id & CAN_EFF_FLAG)
    at = std::snprintf(text, sizeof(text), "%08X#", frame.can_id & CAN_EFF_MASK);
  else
    at = std::snprintf(text, sizeof(text), "%03X#", frame.can_id & CAN_SFF_MASK);
  if (frame.can_id & CAN_RTR_FLAG) {
    at += std::snprintf(text + at, sizeof(text) - at, "R");
  } else {
    for (int i = 0; i < frame.can_dlc && i < 8; ++i)
      at += std::snprintf(text + at, sizeof(text) - at, "%02X", frame.data[i]);
  }
  std::snprintf(text + at, sizeof(text) - at, "[%u]", frame.can_dlc);
  return text;
}

std::string describe(const std::vector<CanFrame>& frames) {
  std::string out = std::to_string(frames.size()) + " frames:";
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (i == 24) {
      out += " ...";
      break;
    }
    out += " " + describe(frames[i]);
  }
  return out;
}

bool sameBytes(const CanFrame& a, const CanFrame& b) { return std::memcmp(&a, &b, sizeof(CanFrame)) == 0; }

bool sameOnTheWire(const std::vector<CanFrame>& a, const std::vector<CanFrame>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!sameBytes(onTheWire(a[i]), onTheWire(b[i]))) return false;
  return true;
}

bool parseCandumpLine(const std::string& line, std::string* interface, CanFrame* frame) {
  std::istringstream in(line);
  std::string stamp, name, body;
  if (!(in >> stamp >> name >> body)) return false;
  if (stamp.front() != '(' || stamp.back() != ')') return false;
  const std::size_t hash = body.find('#');
  if (hash == std::string::npos) return false;
  const std::string id = body.substr(0, hash);
  const std::string data = body.substr(hash + 1);
  uint32_t value = 0;
  if ((id.size() != 3 && id.size() != 8) || !hexValue(id, &value)) return false;
  CanFrame parsed{};
  parsed.can_id = id.size() == 8 ? (value | CAN_EFF_FLAG) : value;
  if (!data.empty() && data[0] == '#') return false;  // a CAN FD frame
  if (!data.empty() && data[0] == 'R') {
    parsed.can_id |= CAN_RTR_FLAG;
    if (data.size() > 1) {
      uint32_t length = 0;
      if (!hexValue(data.substr(1), &length) || length > 8) return false;
      parsed.can_dlc = static_cast<uint8_t>(length);
    }
  } else {
    if (data.size() % 2 != 0 || data.size() > 16) return false;
    for (std::size_t i = 0; i < data.size(); i += 2) {
      uint32_t byte = 0;
      if (!hexValue(data.substr(i, 2), &byte)) return false;
      parsed.data[i / 2] = static_cast<uint8_t>(byte);
    }
    parsed.can_dlc = static_cast<uint8_t>(data.size() / 2);
  }
  *interface = name;
  *frame = parsed;
  return true;
}

bool isMarker(const CanFrame& frame) { return frame.can_id == kMarkerId && frame.can_dlc == 4; }

int markerNumber(const CanFrame& frame) {
  return (frame.data[0] << 24) | (frame.data[1] << 16) | (frame.data[2] << 8) | frame.data[3];
}

// ---------------------------------------------------------------- candump

Candump::Candump(std::string interface, std::string log_path, std::vector<std::string> options, int niceness)
    : interface_(std::move(interface)),
      log_path_(std::move(log_path)),
      options_(std::move(options)),
      niceness_(niceness) {}

Candump::~Candump() { stop(); }

bool Candump::start() {
  socket_ = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  if (socket_ == -1) return false;
  sockaddr_can addr{};
  addr.can_family = AF_CAN;
  addr.can_ifindex = static_cast<int>(if_nametoindex(interface_.c_str()));
  if (addr.can_ifindex == 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    return false;
  std::vector<std::string> argv{"candump"};
  argv.insert(argv.end(), options_.begin(), options_.end());
  argv.push_back("-L");
  argv.push_back(interface_);
  pid_ = spawn(argv, log_path_);
  if (pid_ == -1) return false;
  // candump has a single thread: its niceness is the process's.
  if (niceness_ > 0 && ::setpriority(PRIO_PROCESS, static_cast<id_t>(pid_), niceness_) != 0) {
    std::perror("setpriority");
    return false;
  }
  // candump is ready once it shows a marker; until then markers are lost.
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < end) {
    const int number = next_marker_++;
    if (!sendMarker(number)) return false;
    for (int i = 0; i < 10; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (shown(number)) return true;
    }
  }
  return false;
}

int Candump::mark() {
  if (pid_ == -1) return -1;
  const int number = next_marker_++;
  if (!sendMarker(number)) return -1;
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < end) {
    if (shown(number)) return number;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

bool Candump::sendMarker(int number) {
  CanFrame marker = makeFrame(kMarkerId, 4,
                              {static_cast<uint8_t>(number >> 24), static_cast<uint8_t>(number >> 16),
                               static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)});
  return ::write(socket_, &marker, sizeof(marker)) == static_cast<ssize_t>(sizeof(marker));
}

std::vector<CanFrame> Candump::frames() const {
  std::vector<CanFrame> out;
  std::ifstream log(log_path_);
  std::string line, name;
  CanFrame frame{};
  while (std::getline(log, line)) {
    if (parseCandumpLine(line, &name, &frame) && name == interface_) out.push_back(frame);
  }
  return out;
}

bool Candump::shown(int number) const {
  for (const auto& frame : frames())
    if (isMarker(frame) && markerNumber(frame) == number) return true;
  return false;
}

std::vector<CanFrame> Candump::between(int from, int to) const {
  std::vector<CanFrame> out;
  bool inside = false;
  for (const auto& frame : frames()) {
    if (isMarker(frame)) {
      if (markerNumber(frame) == from) inside = true;
      if (markerNumber(frame) == to) break;
      continue;
    }
    if (inside) out.push_back(frame);
  }
  return out;
}

void Candump::stop() {
  if (pid_ != -1) {
    ::kill(pid_, SIGTERM);
    waitExit(pid_);
    pid_ = -1;
  }
  if (socket_ != -1) {
    ::close(socket_);
    socket_ = -1;
  }
}

// ---------------------------------------------------------------- collector

std::function<void(CanFrame*)> Collector::callback() {
  return [this](CanFrame* frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(*frame);
    arrived_.notify_all();
  };
}

std::vector<CanFrame> Collector::frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

std::vector<CanFrame> Collector::payloadFrames() const {
  std::vector<CanFrame> out;
  for (const auto& frame : frames())
    if (!isMarker(frame)) out.push_back(frame);
  return out;
}

std::vector<CanFrame> Collector::between(int from, int to) const {
  std::vector<CanFrame> out;
  bool inside = false;
  for (const auto& frame : frames()) {
    if (isMarker(frame)) {
      if (markerNumber(frame) == from) inside = true;
      if (markerNumber(frame) == to) break;
      continue;
    }
    if (inside) out.push_back(frame);
  }
  return out;
}

bool Collector::waitForPayloadCount(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] {
    std::size_t n = 0;
    for (const auto& frame : frames_)
      if (!isMarker(frame)) ++n;
    return n >= count;
  });
}

bool Collector::waitForMarker(int number, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] {
    for (const auto& frame : frames_)
      if (isMarker(frame) && markerNumber(frame) == number) return true;
    return false;
  });
}

void Collector::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.clear();
}

// ---------------------------------------------------------------- wake-ups

WakeupWatch::WakeupWatch() {
  thread_ = std::thread([this] {
    const auto period = std::chrono::milliseconds(10);
    while (!stop_.load()) {
      const auto before = Clock::now();
      std::this_thread::sleep_for(period);
      const long long late =
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - before - period).count();
      late_us_ += late;
      if (late > longest_us_.load()) longest_us_.store(late);
    }
  });
}

WakeupWatch::~WakeupWatch() {
  stop_.store(true);
  thread_.join();
}

double WakeupWatch::lateSeconds() const { return late_us_.load() / 1e6; }

double WakeupWatch::longestSeconds() const { return longest_us_.load() / 1e6; }

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string formatSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f s", seconds);
  return text;
}

}  // namespace vmtest
}  // namespace kav
