// kav record: a passive member of the bus that writes every decoded command
// and feedback frame to an HDF5 file, or to an MCAP file together with the
// raw frames.
#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "BusListener.h"
#include "Commands.h"
#include "Console.h"
#include "McapRecording.h"
#include "Recording.h"
#include "StopSignals.h"

namespace kav {
namespace tool {

namespace {

struct RecordOptions {
  std::string bus;
  std::string out;
  double duration = 0.0;  // 0: until interrupted
  bool replace = false;
};

// Frames and decoded frames handed over from the receive thread to the
// writing thread.
class Inbox {
 public:
  explicit Inbox(bool keep_frames) : keep_frames_(keep_frames) {}
  void put(const BusEvent& event) {
    if (event.kind == BusEvent::Kind::kOther) return;
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  void put(const SeenFrame& frame) {
    if (!keep_frames_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(frame);
  }
  // Hands everything received so far to @p recording.
  void deliver(BusRecording& recording) {
    std::vector<BusEvent> events;
    std::vector<SeenFrame> frames;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events.swap(events_);
      frames.swap(frames_);
    }
    recording.add(events, frames);
  }

 private:
  const bool keep_frames_;
  std::mutex mutex_;
  std::vector<BusEvent> events_;
  std::vector<SeenFrame> frames_;
};

bool isMcap(const std::string& path) {
  const std::string extension = ".mcap";
  return path.size() > extension.size() &&
         path.compare(path.size() - extension.size(), extension.size(), extension) == 0;
}

std::unique_ptr<BusRecording> openRecording(const RecordOptions& options) {
  if (isMcap(options.out)) return std::make_unique<McapRecording>(options.out, options.bus, options.replace);
  return std::make_unique<Recording>(options.out, options.bus, options.replace);
}

int runRecord(const RecordOptions& options) {
  StopSignals stop;
  Console::take();
  const std::unique_ptr<BusRecording> file = openRecording(options);
  BusRecording& recording = *file;
  Inbox inbox(isMcap(options.out));
  {
    BusListener listener(
        options.bus, [&inbox](const BusEvent& event) { inbox.put(event); },
        [&inbox](const SeenFrame& frame) { inbox.put(frame); });
    const auto start = recording.start();
    const auto end = options.duration > 0.0 ? start + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(options.duration))
                                            : Clock::time_point::max();
    auto next = start + std::chrono::seconds(1);  // the file is flushed at least once a second
    for (;;) {
      const bool stopping = stop.sleepFor(std::min(next, end) - Clock::now());
      inbox.deliver(recording);
      recording.flush();
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const std::string status =
          format("recording %s: %.0f s, %s", options.out.c_str(), elapsed, recording.counts().c_str());
      if (Console::live()) {
        Console::show(status + "   (Ctrl-C stops)\n");
      } else {
        Console::line(status);
      }
      if (stopping || Clock::now() >= end) break;
      next += std::chrono::seconds(1);
    }
  }  // the bus is left before the last frames are taken
  inbox.deliver(recording);
  recording.flush();
  Console::line(format("saved %s: %s", options.out.c_str(), recording.counts().c_str()));
  return 0;
}

}  // namespace

Command addRecord(CLI::App& kav) {
  auto options = std::make_shared<RecordOptions>();
  CLI::App* app = kav.add_subcommand(
      "record", "record every command and feedback frame on the bus to an HDF5 or MCAP file");
  app->footer(
      "Record every command and feedback frame on the arm's bus to an HDF5 file, without\n"
      "sending anything; works whatever program drives the arm. A name ending in .mcap\n"
      "writes MCAP instead: the raw frames too, JSON messages in zstd-compressed chunks of\n"
      "at most one second, with an index for viewers. The file is flushed every second\n"
      "and closed cleanly on Ctrl-C, SIGTERM or at the end of --duration.");
  app->add_option("--can", options->bus, "the bus: a CAN interface (can0) or a local-socket bus (unix:@name)")
      ->required();
  app->add_option("--out,out", options->out, "the file to write: FILE.h5 (HDF5) or FILE.mcap (MCAP)")
      ->required();
  app->add_option("--duration", options->duration, "stop after this many seconds (default: until Ctrl-C)")
      ->check(kPositiveSeconds);
  app->add_flag("--replace", options->replace, "replace the file if it exists");
  return {app, [options] { return runRecord(*options); }};
}

}  // namespace tool
}  // namespace kav
