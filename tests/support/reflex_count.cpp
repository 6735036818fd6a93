// The listener of reflex_count.h, registered before main() runs: linked as
// an object into every test executable, it needs no call from the tests.
#include "reflex_count.h"

#include <controller/ControllerThread.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kav_test {

namespace {

std::atomic<bool> provoked{false};

std::uint64_t reflexes() { return kav::t8::ControllerThread::reflexesInProcess(); }

std::string counted(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " reflex" : " reflexes");
}

// Prints the line and appends it to the report. One write() of the whole
// line to a descriptor opened with O_APPEND: the lines of test processes
// running in parallel never interleave.
void report(const std::string& line) {
  std::fprintf(stderr, "[ REFLEXES ] %s (no test provoked them)\n", line.c_str());
  const char* path = std::getenv("KAV_REFLEX_REPORT");
  if (path == nullptr || *path == '\0') return;
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "[ REFLEXES ] cannot open %s: %s\n", path, std::strerror(errno));
    return;
  }
  const std::string text = line + "\n";
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    std::fprintf(stderr, "[ REFLEXES ] cannot append to %s: %s\n", path, std::strerror(errno));
  ::close(fd);
}

// Accounts every reflex to the test that ran when it was counted; those
// between tests (a suite's shared arm brought up or shut down, a reflex of
// a real-time thread that came after its test ended) to the suite or to the
// program.
class ReflexListener : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo& test) override {
    outsideTests(std::string(test.test_suite_name()) + " (outside its tests)");
    provoked = false;
  }

  void OnTestEnd(const testing::TestInfo& test) override {
    const std::uint64_t now = reflexes();
    if (now > seen_ && !provoked)
      report(std::string(test.test_suite_name()) + "." + test.name() + ": " + counted(now - seen_));
    seen_ = now;
    provoked = false;
  }

  void OnTestSuiteEnd(const testing::TestSuite& suite) override {
    outsideTests(std::string(suite.name()) + " (outside its tests)");
  }

  void OnTestProgramEnd(const testing::UnitTest&) override { outsideTests("(outside every test suite)"); }

 private:
  void outsideTests(const std::string& where) {
    const std::uint64_t now = reflexes();
    if (now > seen_) report(where + ": " + counted(now - seen_));
    seen_ = now;
  }

  std::uint64_t seen_ = reflexes();
};

struct Registration {
  Registration() { testing::UnitTest::GetInstance()->listeners().Append(new ReflexListener); }
} registration;

}  // namespace

void expectReflexes() { provoked = true; }

}  // namespace kav_test
