#pragma once
// Standard output and error redirected into one full pipe that nobody reads,
// for tests of what a stalled console must not hold up.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

namespace kav_test {

class UnreadConsole {
 public:
  UnreadConsole() {
    std::fflush(stdout);
    std::fflush(stderr);
    EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0);
    fcntl(fds_[1], F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (write(fds_[1], block.data(), block.size()) > 0) {
    }
    fcntl(fds_[1], F_SETFL, 0);
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    dup2(fds_[1], 1);
    dup2(fds_[1], 2);
  }
  /// Starts reading (and discarding) what was written, so writers go on.
  void drain() {
    reader_ = std::thread([this] {
      char buffer[65536];
      while (read(fds_[0], buffer, sizeof(buffer)) > 0) {
      }
    });
  }
  ~UnreadConsole() {
    if (!reader_.joinable()) drain();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
    close(saved_out_);
    close(saved_err_);
    close(fds_[1]);
    reader_.join();
    close(fds_[0]);
  }
  UnreadConsole(const UnreadConsole&) = delete;
  UnreadConsole& operator=(const UnreadConsole&) = delete;

 private:
  int fds_[2] = {-1, -1};
  int saved_out_ = -1, saved_err_ = -1;
  std::thread reader_;
};

}  // namespace kav_test
