#include "sim/Lockstep.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <optional>
#include <stdexcept>

#include "Arbitration.h"
#include "ArmModel.h"
#include "canbase/MemoryTransport.h"
#include "config/ArmConfig.h"
#include "controller/ArmPlatform.h"

namespace kav {
namespace sim {

namespace {

using hw_interface::CanFrame;
using time_point = rt::Clock::time_point;

constexpr time_point kNever = time_point::max();
constexpr std::uint32_t kLowestBitrate = 1000;
constexpr std::uint32_t kHighestBitrate = 1000000;

// The members of the rig's bus, in the order that breaks arbitration ties.
enum Member : std::size_t { kHost = 0, kArm = 1, kOther = 2, kMembers = 3 };
// Transmit queues on a timed bus: the host's, one per motor for the arm (as
// on a real bus, where each motor is a node), and room for a third member.
constexpr std::array<std::size_t, kMembers> kTransmitQueue{10, 10 * config::kMotors, 1000};

SimulatedArmOptions armOptions(const LockstepOptions& options) {
  if (options.bitrate != 0 && (options.bitrate < kLowestBitrate || options.bitrate > kHighestBitrate)) {
    throw std::invalid_argument("Lockstep: bitrate must be 0 (instant) or 1000 to 1000000 bit/s, got " +
                                std::to_string(options.bitrate));
  }
  SimulatedArmOptions arm;
  arm.start_pose = options.start_pose;
  arm.variant = options.variant;
  arm.reply_latency = options.reply_latency;
  if (options.noise) arm.noise_seed = options.seed;
  arm.drop_seed = options.seed;
  arm.physics = options.physics;
  arm.current_noise = options.current_noise;
  return arm;
}

}  // namespace

class Lockstep::impl final : public t8::CycleDriver {
 public:
  impl(const LockstepOptions& options, std::unique_ptr<SimulatedArm> arm, ArmModel& model)
      : bitrate_(options.bitrate),
        latency_(options.reply_latency),
        record_frames_(options.record_frames),
        arm_(std::move(arm)),
        model_(model) {
    clock_.setAdvance([this](time_point until) { advanceTo(until); });
    start_ = clock_.now();
    next_physics_ = start_ + ArmModel::kStep;
  }

  ~impl() override {
    // The arm shuts down (its damping hold) while the simulation still runs.
    facade_.reset();
    scripting_.reset();
  }

  void bringUp(const std::string& urdf_path, int variant, bool scripting) {
    auto transport = std::make_unique<hw_interface::MemoryTransport>(
        clock_, [this](const CanFrame& frame) { return send(kHost, frame); });
    host_ = transport.get();
    t8::ArmPlatform platform;
    platform.transport = std::move(transport);
    platform.clock = &clock_;
    platform.cycles = this;
    try {
      if (scripting) {
        scripting_ = std::make_unique<t8::InterfacesPy>(urdf_path, "lockstep", variant, std::move(platform));
      } else {
        facade_ = std::make_unique<t8::InterfacesThread>(urdf_path, "lockstep", variant, std::move(platform));
      }
    } catch (...) {
      host_ = nullptr;  // the failed controller closed and destroyed it
      throw;
    }
  }

  // ---- CycleDriver: the controller's cycles, every 5 ms of simulated time
  void start(std::function<bool()> cycle, std::function<void()> finished) override {
    cycle_ = std::move(cycle);
    finished_ = std::move(finished);
    cycles_running_ = true;
    finished_called_ = false;
    next_cycle_ = clock_.now();
  }

  void stop() override {
    if (!cycles_running_) return;
    cycles_running_ = false;
    finish();
  }

  void advance(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) {
      throw std::invalid_argument("Lockstep::advance: seconds must be a finite number, at least 0");
    }
    clock_.waitUntil(clock_.now() +
                     std::chrono::duration_cast<rt::Clock::duration>(std::chrono::duration<double>(seconds)));
  }

  double now() const { return std::chrono::duration<double>(clock_.now() - start_).count(); }

  /// A frame of @p member onto the bus: at once, or into its transmit queue.
  /// @return false when the queue is full (the frame is refused)
  bool send(Member member, const CanFrame& frame) {
    if (bitrate_ == 0) {
      carry(member, frame);
      return true;
    }
    std::deque<CanFrame>& queue = queues_[member];
    if (queue.size() >= kTransmitQueue[member]) {
      if (member == kHost) ++host_refused_;
      return false;
    }
    queue.push_back(frame);
    if (!transmission_) startTransmission();
    return true;
  }

  rt::SimulatedClock clock_;
  const std::uint32_t bitrate_;
  const std::chrono::microseconds latency_;
  const bool record_frames_;
  std::unique_ptr<SimulatedArm> arm_;
  ArmModel& model_;
  hw_interface::MemoryTransport* host_ = nullptr;  // owned by the controller
  std::vector<BusRecord> frames_;
  std::uint64_t host_refused_ = 0;
  // One of the two facades; last: they go first.
  std::unique_ptr<t8::InterfacesThread> facade_;
  std::unique_ptr<t8::InterfacesPy> scripting_;

 private:
  struct Reply {
    time_point due;
    int joint;
  };
  struct Transmission {
    Member member;
    time_point end;
  };

  // Runs everything due up to @p until in time order. Called (also nested)
  // whenever the clock is waited on; a cycle never starts inside another.
  void advanceTo(time_point until) {
    for (;;) {
      const time_point bus = transmission_ ? transmission_->end : kNever;
      const time_point reply = replies_.empty() ? kNever : replies_.front().due;
      const time_point cycle = cycles_running_ && !in_cycle_ ? next_cycle_ : kNever;
      const time_point next = std::min({bus, reply, next_physics_, cycle});
      if (next > until) break;
      clock_.set(next);
      if (bus == next) {
        endTransmission();
      } else if (reply == next) {
        const int joint = replies_.front().joint;
        replies_.pop_front();
        answer(joint);
      } else if (next_physics_ == next) {
        model_.stepPhysics(clock_.now());
        next_physics_ += ArmModel::kStep;
      } else {
        runCycle();
      }
    }
    clock_.set(until);
  }

  void runCycle() {
    in_cycle_ = true;
    bool more = false;
    try {
      more = cycle_();
    } catch (...) {
      in_cycle_ = false;
      throw;
    }
    in_cycle_ = false;
    if (!more) {
      cycles_running_ = false;
      finish();
      return;
    }
    // As the real-time thread: no catching up after an overrun.
    next_cycle_ += config::kCyclePeriod;
    if (next_cycle_ < clock_.now()) next_cycle_ = clock_.now();
  }

  void finish() {
    if (finished_called_) return;
    finished_called_ = true;
    finished_();
  }

  // The frame is on the bus now: every other member receives it.
  void carry(Member member, const CanFrame& frame) {
    BusRecord record{now(), frame.can_id, frame.can_dlc, {}, member == kHost};
    std::copy(std::begin(frame.data), std::end(frame.data), record.data.begin());
    if (record_frames_) frames_.push_back(record);
    if (member != kHost && host_ != nullptr) host_->receive(frame);
    if (member == kArm) return;
    const int joint = model_.accept(frame, clock_.now());
    if (joint < 0) return;
    if (latency_.count() == 0) {
      answer(joint);
    } else {
      replies_.push_back({clock_.now() + latency_, joint});
    }
  }

  void answer(int joint) {
    const std::optional<CanFrame> feedback = model_.feedbackFrame(joint, clock_.now());
    if (!feedback) return;
    if (send(kArm, *feedback)) {
      model_.countSent();
    } else {
      model_.countRefused();
    }
  }

  // Arbitration when the bus is free: the lowest identifier among the
  // frames waiting wins; on a tie, the lower member.
  void startTransmission() {
    std::optional<Member> winner;
    for (std::size_t m = 0; m < kMembers; ++m) {
      if (queues_[m].empty()) continue;
      if (!winner || arbitrationKey(queues_[m].front()) < arbitrationKey(queues_[*winner].front())) {
        winner = static_cast<Member>(m);
      }
    }
    if (!winner) return;
    transmission_ = Transmission{*winner, clock_.now() + frameDuration(queues_[*winner].front(), bitrate_)};
  }

  void endTransmission() {
    const Member member = transmission_->member;
    const CanFrame frame = queues_[member].front();
    queues_[member].pop_front();
    transmission_.reset();
    carry(member, frame);
    if (!transmission_) startTransmission();
  }

  time_point start_{};
  time_point next_physics_{};
  std::deque<Reply> replies_;
  std::array<std::deque<CanFrame>, kMembers> queues_;
  std::optional<Transmission> transmission_;
  std::function<bool()> cycle_;
  std::function<void()> finished_;
  bool cycles_running_ = false;
  bool finished_called_ = false;
  bool in_cycle_ = false;
  time_point next_cycle_{};
};

ArmModel& Lockstep::modelOf(SimulatedArm& arm) { return arm.model(); }

std::unique_ptr<SimulatedArm> Lockstep::steppedArm(const SimulatedArmOptions& options) {
  return std::unique_ptr<SimulatedArm>(new SimulatedArm(options, SimulatedArm::Stepped{}));
}

Lockstep::Lockstep(const std::string& urdf_path, LockstepOptions options) {
  std::unique_ptr<SimulatedArm> arm = steppedArm(armOptions(options));
  ArmModel& model = modelOf(*arm);
  pimpl = std::make_unique<impl>(options, std::move(arm), model);
  if (options.before_bring_up) options.before_bring_up(*pimpl->arm_);
  pimpl->bringUp(urdf_path, options.variant, options.scripting);
}

Lockstep::~Lockstep() = default;

t8::InterfacesThread& Lockstep::arm() {
  if (pimpl->scripting_) throw std::logic_error("Lockstep::arm: this rig holds the scripting facade");
  if (!pimpl->facade_) throw std::logic_error("Lockstep::arm: the arm was shut down");
  return *pimpl->facade_;
}

t8::InterfacesPy& Lockstep::scripting() {
  if (pimpl->facade_) throw std::logic_error("Lockstep::scripting: this rig holds the native facade");
  if (!pimpl->scripting_) throw std::logic_error("Lockstep::scripting: the arm was shut down");
  return *pimpl->scripting_;
}

void Lockstep::advance(double seconds) { pimpl->advance(seconds); }

double Lockstep::now() const { return pimpl->now(); }

const std::vector<BusRecord>& Lockstep::frames() const { return pimpl->frames_; }

SimulatedArm& Lockstep::simulatedArm() { return *pimpl->arm_; }

void Lockstep::shutDown() {
  pimpl->facade_.reset();
  pimpl->scripting_.reset();
  pimpl->host_ = nullptr;
}

void Lockstep::sendFrame(const CanFrame& frame) { pimpl->send(kOther, frame); }

std::uint64_t Lockstep::framesRefusedByBus() const { return pimpl->host_refused_; }

}  // namespace sim
}  // namespace kav
