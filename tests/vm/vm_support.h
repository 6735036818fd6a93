#pragma once
// Helpers for the check programs that run inside the test machine: a report
// of PASS/FAIL lines on the console, child processes (ip, can-utils), capture
// of the transport's printed lines with their arrival times, a candump
// session delimited by marker frames, and a receive-callback collector.

#include <canbase/CanBaseDef.h>
#include <linux/can.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kav {
namespace vmtest {

using Clock = std::chrono::steady_clock;
using hw_interface::CanFrame;

/// Prints one line per check on the console ("PASS: group: what" or
/// "FAIL: group: what -- detail") and counts them. The host-side runner reads
/// these lines from the serial console.
class Report {
 public:
  /// Keeps its own copy of the current standard output as the console, so
  /// capturing standard output later does not swallow the report.
  Report();
  ~Report();
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;

  void group(const std::string& title);
  /// Records one check; returns @p ok so a group can stop on a failure.
  bool check(bool ok, const std::string& what, const std::string& detail = "");
  /// An informative line (measurements), prefixed "NOTE: ".
  void note(const std::string& text);
  /// Writes a raw line to the console.
  void line(const std::string& text) const;
  int consoleFd() const { return console_; }
  /// Prints the closing line and returns the process exit code.
  int finish(const std::string& program) const;

 private:
  int console_;
  std::string group_;
  int passed_ = 0;
  int failed_ = 0;
};

/// Starts a program found on PATH. Its standard output goes to @p stdout_path
/// when given, else to standard error (never into a capture of standard
/// output). Returns the process id, or -1 when it could not be started.
pid_t spawn(const std::vector<std::string>& argv, const std::string& stdout_path = "");
/// Waits for a child: its exit code, 128 + signal when killed, -1 on error.
int waitExit(pid_t pid);
/// Waits at most @p limit for a child: its exit code as waitExit gives it, or
/// -2 when it is still running.
int waitExitWithin(pid_t pid, std::chrono::milliseconds limit);
/// Runs a program to its end; returns its exit code as waitExit does.
int run(const std::vector<std::string>& argv);
/// The same, for a command line split at blanks (no quoting).
int run(const std::string& command);

/// Redirects standard output (file descriptor 1) into a pipe while it lives
/// and keeps every line with the time it arrived. Lines are echoed to the
/// console with a "  | " prefix so the log shows them in place.
class StdoutLines {
 public:
  struct Line {
    Clock::time_point at;
    std::string text;
  };
  explicit StdoutLines(int echo_fd);
  ~StdoutLines();
  StdoutLines(const StdoutLines&) = delete;
  StdoutLines& operator=(const StdoutLines&) = delete;

  /// Restores standard output; the lines seen so far stay available.
  void stop();
  std::vector<Line> lines() const;
  /// All lines joined with line breaks (for failure details).
  std::string text() const;
  /// Waits until a line matching @p pattern (see matchesPattern) arrived at
  /// or after @p since.
  bool waitFor(const std::string& pattern, std::chrono::milliseconds timeout,
               Clock::time_point since = Clock::time_point());
  /// Waits until at least @p count lines match @p pattern.
  bool waitForCount(const std::string& pattern, std::size_t count, std::chrono::milliseconds timeout);

 private:
  void readLoop();

  int echo_fd_;
  int saved_stdout_ = -1;
  int read_end_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Line> lines_;
};

/// True when @p line equals @p pattern, where each "%d" in the pattern stands
/// for one decimal integer (optionally negative).
bool matchesPattern(const std::string& line, const std::string& pattern);
/// Number of lines matching @p pattern.
std::size_t countMatching(const std::vector<StdoutLines::Line>& lines, const std::string& pattern);
/// True when lines matching the patterns appear in this order (other lines may
/// come between them).
bool linesInOrder(const std::vector<StdoutLines::Line>& lines, const std::vector<std::string>& patterns);
/// True when the line matching @p first is followed directly by lines
/// matching @p next, one each, with nothing between them.
bool linesFollow(const std::vector<StdoutLines::Line>& lines, const std::string& first,
                 const std::vector<std::string>& next);
/// Arrival times of the lines matching @p pattern.
std::vector<Clock::time_point> timesOf(const std::vector<StdoutLines::Line>& lines,
                                       const std::string& pattern);

/// A frame with the payload bytes beyond its length and the three bytes after
/// the length set to zero: what a bus carries of a frame.
CanFrame onTheWire(const CanFrame& frame);
/// "123#DEADBEEF", "1ABCDEF0#00", "321#R" (candump's notation) plus "[dlc]".
std::string describe(const CanFrame& frame);
std::string describe(const std::vector<CanFrame>& frames);
bool sameBytes(const CanFrame& a, const CanFrame& b);
bool sameOnTheWire(const std::vector<CanFrame>& a, const std::vector<CanFrame>& b);
/// Reads one line of `candump -L` ("(stamp) vcan0 123#DEADBEEF").
bool parseCandumpLine(const std::string& line, std::string* interface, CanFrame* frame);

/// Marker frames delimit sections of a frame stream; they carry an extended
/// identifier that no check uses and a sequence number in the payload.
bool isMarker(const CanFrame& frame);
int markerNumber(const CanFrame& frame);

/// `candump -L` on one interface, writing to a file, plus a raw socket that
/// sends marker frames so sections of the dump can be cut out exactly.
class Candump {
 public:
  /// @p options are passed to candump before "-L" (for example "-r" with a
  /// receive buffer size, or "-d" to have dropped frames reported); with a
  /// @p niceness above 0 candump runs at that lower priority.
  Candump(std::string interface, std::string log_path, std::vector<std::string> options = {},
          int niceness = 0);
  ~Candump();
  Candump(const Candump&) = delete;
  Candump& operator=(const Candump&) = delete;

  /// Starts candump and waits until it shows a marker frame.
  bool start();
  /// Sends the next marker and waits until candump shows it; returns its
  /// number, or -1 when it did not appear within five seconds.
  int mark();
  /// The frames candump showed between two markers (markers excluded).
  std::vector<CanFrame> between(int from, int to) const;
  void stop();

 private:
  bool sendMarker(int number);
  bool shown(int number) const;
  std::vector<CanFrame> frames() const;

  std::string interface_;
  std::string log_path_;
  std::vector<std::string> options_;
  int niceness_ = 0;
  pid_t pid_ = -1;
  int socket_ = -1;
  int next_marker_ = 1;
};

/// Receive callback that keeps every frame; waiters are woken on arrival.
class Collector {
 public:
  std::function<void(CanFrame*)> callback();
  std::vector<CanFrame> frames() const;
  /// Frames other than markers.
  std::vector<CanFrame> payloadFrames() const;
  /// Frames after marker @p from and before marker @p to.
  std::vector<CanFrame> between(int from, int to) const;
  bool waitForPayloadCount(std::size_t count, std::chrono::milliseconds timeout);
  bool waitForMarker(int number, std::chrono::milliseconds timeout);
  void clear();

 private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<CanFrame> frames_;
};

/// Watches how late a thread that sleeps 10 ms at a time wakes up. An
/// emulated machine on a busy host can stand still for a while; timing
/// checks widen their bounds by what was measured here over the same span.
class WakeupWatch {
 public:
  WakeupWatch();
  ~WakeupWatch();
  WakeupWatch(const WakeupWatch&) = delete;
  WakeupWatch& operator=(const WakeupWatch&) = delete;

  /// Sum of the lateness of every wake-up so far, in seconds.
  double lateSeconds() const;
  /// The longest single lateness so far, in seconds.
  double longestSeconds() const;

 private:
  std::atomic<bool> stop_{false};
  std::atomic<long long> late_us_{0};
  std::atomic<long long> longest_us_{0};
  std::thread thread_;
};

/// Builds a frame from an identifier (with Linux flag bits), length and bytes.
CanFrame makeFrame(uint32_t id, uint8_t dlc, std::vector<uint8_t> data = {});
/// Seconds since @p start, for notes.
double secondsSince(Clock::time_point start);
std::string formatSeconds(double seconds);

}  // namespace vmtest
}  // namespace kav
