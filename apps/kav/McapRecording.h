#pragma once
// A recording of the bus in an MCAP file: every raw frame and every decoded
// command and feedback frame, JSON-encoded with JSON schemas, in chunks of at
// most one second.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Mcap.h"
#include "Recording.h"

namespace kav {
namespace tool {

/// One MCAP file being written. Channels (message encoding json, schema
/// encoding jsonschema):
///   /frames             every frame seen, in arrival order: {"id", "data": [bytes]}
///   /commands/<joint>   {"kind", "kp", "kd", "position", "velocity", "torque"}
///                       (kind: 0 hybrid, 1 enable, 2 disable, 3 set zero, 4 clear error)
///   /feedback/<joint>   {"position", "velocity", "current", "error"}
/// for <joint> joint1 ... joint6 and gripper. Log time = publish time = the
/// time the frame was seen, in nanoseconds since the Unix epoch. A metadata
/// record "recording" holds bus and start_time (ISO 8601 UTC, microseconds;
/// the log time that time 0 of the recording stands for).
class McapRecording : public BusRecording {
 public:
  /// Creates @p path and writes the schemas, channels and metadata.
  /// @param replace replace an existing file instead of refusing it
  /// @throw std::runtime_error when the file exists (and @p replace is
  ///        false) or cannot be created
  McapRecording(const std::string& path, const std::string& bus, bool replace);

  void add(const std::vector<BusEvent>& events, const std::vector<SeenFrame>& frames) override;
  /// Closes the open chunk, so that everything added so far is in the file.
  void flush() override;

 private:
  std::uint64_t logTime(Clock::time_point time) const;

  McapWriter writer_;
  std::uint64_t start_ns_ = 0;  // the log time of start_
  std::uint16_t frames_channel_ = 0;
  std::array<std::uint16_t, config::kMotors> command_channels_{}, feedback_channels_{};
};

}  // namespace tool
}  // namespace kav
