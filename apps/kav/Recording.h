#pragma once
// Recordings of the bus that kav record writes: every decoded command and
// feedback frame, per motor, with its time. The HDF5 file is declared here,
// the MCAP file in McapRecording.h.

#include <hdf5.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BusDecoder.h"

namespace kav {
namespace tool {

/// A recording being written, whatever the file's format.
class BusRecording {
 public:
  virtual ~BusRecording() = default;
  /// The instant that time 0 of the recording stands for.
  Clock::time_point start() const { return start_; }
  /// Buffers the commands and feedback among @p events (others are skipped)
  /// and, where the format keeps them, the raw @p frames.
  virtual void add(const std::vector<BusEvent>& events, const std::vector<SeenFrame>& frames) = 0;
  /// Writes what is buffered to the file and hands it to the operating system.
  /// @throw std::runtime_error when writing fails
  virtual void flush() = 0;
  /// What was written or buffered so far: "N commands, M feedback" and, where
  /// the format keeps raw frames, ", K frames".
  std::string counts() const;

 protected:
  /// Counts the commands and feedback among @p events.
  void count(const std::vector<BusEvent>& events);

  Clock::time_point start_;
  bool keeps_frames_ = false;
  std::uint64_t commands_ = 0, feedback_ = 0, frames_ = 0;
};

/// One HDF5 file being written. Layout:
///   /commands/<joint>  time, kp, kd, position, velocity, torque (float64),
///                      kind (int8: 0 hybrid, 1 enable, 2 disable, 3 set zero,
///                      4 clear error)
///   /feedback/<joint>  time, position, velocity, current (float64), error (int32)
/// for <joint> joint1 ... joint6 and gripper; time in seconds since the start;
/// root attributes bus and start_time (ISO 8601 UTC, microseconds). Every
/// dataset is one-dimensional, chunked and grows as rows are appended.
class Recording : public BusRecording {
 public:
  /// Creates @p path and starts the clock of the recording.
  /// @param replace replace an existing file instead of refusing it
  /// @throw std::runtime_error when the file exists (and @p replace is
  ///        false) or cannot be created
  Recording(const std::string& path, const std::string& bus, bool replace);
  /// Writes what is buffered and closes the file.
  ~Recording() override;
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  /// Buffers rows for the commands and feedback among @p events; an HDF5
  /// recording keeps no raw frames.
  void add(const std::vector<BusEvent>& events, const std::vector<SeenFrame>& frames) override;
  /// Appends the buffered rows to the datasets and flushes the file to disk.
  void flush() override;

 private:
  class Table;
  hid_t file_ = -1;
  std::array<std::unique_ptr<Table>, config::kMotors> command_tables_;
  std::array<std::unique_ptr<Table>, config::kMotors> feedback_tables_;
};

/// @p time as ISO 8601 in UTC with microseconds: 2026-01-31T12:00:00.123456Z.
std::string isoTime(std::chrono::system_clock::time_point time);

}  // namespace tool
}  // namespace kav
