// kav record: a passive member of the bus that writes every decoded command
// and feedback frame to an HDF5 file.
#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "BusListener.h"
#include "Commands.h"
#include "Console.h"
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

// Frames handed over from the receive thread to the writing thread.
class Inbox {
 public:
  void put(const BusEvent& event) {
    if (event.kind == BusEvent::Kind::kOther) return;
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  std::vector<BusEvent> take() {
    std::vector<BusEvent> taken;
    std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(events_);
    return taken;
  }

 private:
  std::mutex mutex_;
  std::vector<BusEvent> events_;
};

std::string status(const Recording& recording, double elapsed, const std::string& path) {
  return format("recording %s: %.0f s, %llu commands, %llu feedback", path.c_str(), elapsed,
                static_cast<unsigned long long>(recording.commands()),
                static_cast<unsigned long long>(recording.feedback()));
}

int runRecord(const RecordOptions& options) {
  StopSignals stop;
  Console::take();
  Recording recording(options.out, options.bus, options.replace);
  Inbox inbox;
  {
    BusListener listener(options.bus, [&inbox](const BusEvent& event) { inbox.put(event); });
    const auto start = recording.start();
    const auto end = options.duration > 0.0 ? start + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(options.duration))
                                            : Clock::time_point::max();
    auto next = start + std::chrono::seconds(1);  // the file is flushed at least once a second
    for (;;) {
      const bool stopping = stop.sleepFor(std::min(next, end) - Clock::now());
      recording.add(inbox.take());
      recording.flush();
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      if (Console::live()) {
        Console::show(status(recording, elapsed, options.out) + "   (Ctrl-C stops)\n");
      } else {
        Console::line(status(recording, elapsed, options.out));
      }
      if (stopping || Clock::now() >= end) break;
      next += std::chrono::seconds(1);
    }
  }  // the bus is left before the last frames are taken
  recording.add(inbox.take());
  recording.flush();
  Console::line(format("saved %s: %llu commands, %llu feedback", options.out.c_str(),
                       static_cast<unsigned long long>(recording.commands()),
                       static_cast<unsigned long long>(recording.feedback())));
  return 0;
}

}  // namespace

Command addRecord(CLI::App& kav) {
  auto options = std::make_shared<RecordOptions>();
  CLI::App* app =
      kav.add_subcommand("record", "record every command and feedback frame on the bus to an HDF5 file");
  app->footer(
      "Record every command and feedback frame on the arm's bus to an HDF5 file, without\n"
      "sending anything; works whatever program drives the arm. The file is flushed every\n"
      "second and closed cleanly on Ctrl-C, SIGTERM or at the end of --duration.");
  app->add_option("--can", options->bus, "the bus: a CAN interface (can0) or a local-socket bus (unix:@name)")
      ->required();
  app->add_option("--out", options->out, "the HDF5 file to write (FILE.h5)")->required();
  app->add_option("--duration", options->duration, "stop after this many seconds (default: until Ctrl-C)")
      ->check(kPositiveSeconds);
  app->add_flag("--replace", options->replace, "replace the file if it exists");
  return {app, [options] { return runRecord(*options); }};
}

}  // namespace tool
}  // namespace kav
