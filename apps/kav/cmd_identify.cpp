// kav identify: drives the arm through an excitation motion (or, with
// --payload-only, a few slow wrist poses), records its feedback and fits the
// arm's dynamics (or its payload) by least squares; writes a JSON file the
// library loads (InterfacesThread::loadDynamics, docs/tools.md).
#include <sim/Lockstep.h>
#include <solver/DynamicsIdentification.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "BringUp.h"
#include "Commands.h"
#include "Console.h"
#include "Description.h"
#include "ModelErrorOptions.h"
#include "StopSignals.h"

namespace kav {
namespace tool {

namespace {

struct IdentifyOptions {
  std::string bus;
  bool sim = false;
  bool lockstep = false;
  std::string description;
  int type = 0;
  std::string out;
  bool replace = false;
  double seconds = 120.0;
  double speed_scale = 0.5;
  bool payload_only = false;
  std::string dynamics;  // the arm's calibration, for --payload-only
  ModelErrorOptions model_error;
};

// The arm and its time: on real threads the wall clock, on the lockstep rig
// the simulated one (advanced by waiting).
struct Session {
  t8::InterfacesThread* arm = nullptr;
  std::function<void(double)> wait;
  std::function<double()> now;
  StopSignals* stop = nullptr;
};

// Why a run ends before it is done.
struct Interrupted : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void checkArm(const Session& s, std::size_t known_errors) {
  if (s.stop->requested()) throw Interrupted("stopped on request");
  const std::string reflex = s.arm->lastReflex();
  if (!reflex.empty()) throw std::runtime_error("the collision reflex fired: " + reflex);
  if (!s.arm->controlActive()) throw std::runtime_error("control ended on a fault");
  const std::vector<int> codes = s.arm->getErrorCode();
  if (codes.size() > known_errors)
    throw std::runtime_error(format("the arm reported error code %d", codes.back()));
}

identify::Sample read(t8::InterfacesThread& arm) {
  const std::vector<hw_interface::HybridJointStatus> status = arm.getJointStatus();
  identify::Sample sample;
  for (int j = 0; j < config::kArmJoints; ++j) {
    sample.q(j) = status[j].position;
    sample.qd(j) = status[j].velocity;
    sample.current(j) = status[j].current;
  }
  sample.qdd.setZero();
  return sample;
}

// Waits until the running motion is done, recording a sample every cycle
// when @p samples is given; @p label names the phase in the progress.
void follow(const Session& s, const std::string& label, double expected,
            std::vector<identify::Sample>* samples, std::vector<double>* times, std::size_t known_errors) {
  const double start = s.now();
  double next_progress = start;
  const double progress_period = Console::live() ? 0.25 : 5.0;
  while (!s.arm->motionDone()) {
    s.wait(0.005);
    try {
      checkArm(s, known_errors);
    } catch (const Interrupted&) {
      s.arm->stopMotion();
      s.arm->waitMotion(5.0);
      throw;
    }
    if (samples != nullptr) {
      samples->push_back(read(*s.arm));
      times->push_back(s.now());
    }
    if (s.now() >= next_progress) {
      const double elapsed = s.now() - start;
      Console::show(format("kav identify: %s  %5.1f of %5.1f s%s", label.c_str(), elapsed, expected,
                           samples != nullptr ? format(", %zu samples", samples->size()).c_str() : ""));
      next_progress += progress_period;
    }
  }
}

// The time a synchronised move over @p distance takes at @p speed_scale.
double moveTime(double distance, double speed_scale) {
  const double v = config::kMaxVelocity * speed_scale,
               a = config::kMaxAcceleration * speed_scale * speed_scale;
  return distance >= v * v / a ? distance / v + v / a : 2.0 * std::sqrt(distance / a);
}

void writeFile(const IdentifyOptions& options, const std::string& text) {
  std::ofstream out(options.out);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + options.out);
}

std::string fitTable(const identify::FitResult& fit) {
  std::string table = "joint  residual before  after [N·m]  condition  parameters  torque/command unit\n";
  for (int j = 0; j < config::kArmJoints; ++j) {
    const identify::JointFitReport& r = fit.joints[j];
    table += format("  %d    %10.4f   %10.4f   %9.1f   %6d      %.4f\n", j + 1, r.rms_before, r.rms_after,
                    r.condition, r.base_parameters, fit.calibration.joints[j].command_per_newton_metre);
  }
  const PayloadCalibration& p = fit.calibration.payload;
  return table + format("payload beyond link 6: %.3f kg at (%.3f, %.3f, %.3f) m\n", p.mass,
                        p.centre_of_mass.x(), p.centre_of_mass.y(), p.centre_of_mass.z());
}

// The excitation's share of --seconds, with the moves from @p home to its
// start and back.
// @throw UsageError when it would be shorter than 30 s
double excitationTime(const IdentifyOptions& options, const std::vector<double>& home) {
  const identify::Excitation probe(30.0, options.speed_scale);
  double distance = 0.0;
  for (int j = 0; j < config::kArmJoints; ++j)
    distance = std::max(distance, std::fabs(probe.centre()[j] - home[j]));
  const double transit = moveTime(distance, options.speed_scale) + 0.5;
  const double excitation_time = options.seconds - 2.0 * transit - 1.0;
  if (excitation_time < 30.0) {
    throw UsageError(
        format("--seconds %.0f leaves %.0f s of excitation after the moves to and from its start "
               "(%.0f s each); it needs 30: give at least %.0f",
               options.seconds, excitation_time, transit, options.seconds - excitation_time + 30.0));
  }
  return excitation_time;
}

int identifyDynamics(const IdentifyOptions& options, const Session& s, const KDL::Chain& chain) {
  t8::InterfacesThread& arm = *s.arm;
  const std::vector<double> home_now = arm.getJointPositons();
  const std::vector<double> home(home_now.begin(), home_now.begin() + config::kArmJoints);
  const double excitation_time = excitationTime(options, home);
  const double transit = 0.5 * (options.seconds - excitation_time - 1.0);
  const identify::Excitation excitation(excitation_time, options.speed_scale);
  const std::size_t known_errors = arm.getErrorCode().size();

  arm.moveJoints(std::vector<double>(excitation.centre().begin(), excitation.centre().end()),
                 options.speed_scale);
  follow(s, "to the excitation's start", transit, nullptr, nullptr, known_errors);
  std::vector<identify::Sample> samples;
  std::vector<double> times;
  arm.followJointTrajectory(excitation.points(0.05));
  follow(s, "excitation", excitation.duration(), &samples, &times, known_errors);
  arm.moveJoints(home, options.speed_scale);
  follow(s, "back home", transit, nullptr, nullptr, known_errors);

  identify::differentiate(samples, times, 10);
  const identify::FitResult fit = identify::fitDynamics(chain, samples);
  checkCalibration(fit.calibration, true);
  Console::line(
      format("kav identify: %zu samples over %.1f s of excitation", samples.size(), excitation.duration()));
  Console::line(fitTable(fit));
  writeFile(options, dynamicsJson(fit.calibration, fit.json()));
  Console::line("wrote " + options.out);
  return 0;
}

// Slow wrist poses at which the payload's torques differ: the shoulder and
// elbow raised, the wrist turned through its range.
std::vector<std::vector<double>> payloadPoses() {
  const double wrist[][3] = {{0.0, 0.0, 0.0},  {0.8, 0.6, 0.0},    {-0.8, 0.6, 1.2}, {0.0, -0.9, -1.2},
                             {0.8, -0.6, 1.5}, {-0.8, -0.6, -1.5}, {0.0, 0.9, 0.7},  {0.0, 0.0, 1.57}};
  std::vector<std::vector<double>> poses;
  for (double shoulder : {0.9, 1.5}) {
    for (const auto& w : wrist) poses.push_back({0.0, shoulder, 1.0, w[0], w[1], w[2]});
  }
  return poses;
}

int identifyPayload(const IdentifyOptions& options, const Session& s, const KDL::Chain& chain) {
  t8::InterfacesThread& arm = *s.arm;
  const DynamicsCalibration base = options.dynamics.empty() ? identify::nominalCalibration(chain)
                                                            : readCalibrationFile(options.dynamics, true);
  const std::vector<double> home_now = arm.getJointPositons();
  const std::vector<double> home(home_now.begin(), home_now.begin() + config::kArmJoints);
  const std::size_t known_errors = arm.getErrorCode().size();
  const auto poses = payloadPoses();
  std::vector<identify::Sample> held;
  for (std::size_t p = 0; p < poses.size(); ++p) {
    arm.moveJoints(poses[p], options.speed_scale);
    follow(s, format("to pose %zu of %zu", p + 1, poses.size()), 10.0, nullptr, nullptr, known_errors);
    // Settle, then average the holding currents over a second.
    s.wait(1.5);
    checkArm(s, known_errors);
    identify::Sample mean = read(arm);
    const int count = 200;
    for (int k = 1; k < count; ++k) {
      s.wait(0.005);
      const identify::Sample next = read(arm);
      mean.q += next.q;
      mean.current += next.current;
    }
    mean.q /= count;
    mean.current /= count;
    mean.qd.setZero();
    held.push_back(mean);
  }
  arm.moveJoints(home, options.speed_scale);
  follow(s, "back home", 15.0, nullptr, nullptr, known_errors);
  const PayloadCalibration payload = identify::fitPayload(chain, base, held);
  DynamicsCalibration check;
  check.has_payload = true;
  check.payload = payload;
  checkCalibration(check, false);
  Console::line(
      format("kav identify: payload %.3f kg, centre of mass (%.4f, %.4f, %.4f) m in the flange frame, "
             "from %zu poses%s",
             payload.mass, payload.centre_of_mass.x(), payload.centre_of_mass.y(), payload.centre_of_mass.z(),
             held.size(), options.dynamics.empty() ? " (the arm as described)" : ""));
  writeFile(options, payloadJson(payload, format("{\"poses\": %zu}", held.size())));
  Console::line("wrote " + options.out);
  return 0;
}

int runIdentify(IdentifyOptions options) {
  const int targets = (options.sim ? 1 : 0) + (options.lockstep ? 1 : 0) + (options.bus.empty() ? 0 : 1);
  if (targets != 1) throw UsageError("give one of --can IF, --sim or --lockstep");
  const sim::ModelError model_error = options.model_error.parsed(options.sim || options.lockstep);
  if (!options.dynamics.empty() && !options.payload_only)
    throw UsageError("--dynamics goes with --payload-only");
  struct stat existing;
  if (!options.replace && ::stat(options.out.c_str(), &existing) == 0) {
    throw std::runtime_error(options.out + " exists (--replace overwrites it)");
  }
  if (!options.dynamics.empty()) readCalibrationFile(options.dynamics, true);  // refuses a bad file first
  // The arm comes up at home, all joints at 0.
  if (!options.payload_only) excitationTime(options, std::vector<double>(config::kArmJoints, 0.0));
  const KDL::Chain chain = armChain(options.description);

  StopSignals stop;
  Console::take();
  Session session;
  session.stop = &stop;
  std::unique_ptr<sim::Lockstep> rig;
  std::unique_ptr<OwnSimulatedArm> simulated;
  std::vector<std::unique_ptr<t8::InterfacesThread>> arms;
  if (options.lockstep) {
    sim::LockstepOptions rig_options;
    rig_options.variant = options.type;
    rig_options.physics = model_error.physics;
    rig_options.current_noise = model_error.current_noise;
    rig_options.noise = true;
    rig_options.record_frames = false;
    Console::line("kav identify: bringing up the arm on the lockstep rig (simulated time)");
    rig = std::make_unique<sim::Lockstep>(options.description, rig_options);
    session.arm = &rig->arm();
    sim::Lockstep* r = rig.get();
    session.wait = [r](double seconds) { r->advance(seconds); };
    session.now = [r] { return r->now(); };
  } else {
    if (options.sim) {
      simulated = std::make_unique<OwnSimulatedArm>(options.type, model_error);
      options.bus = simulated->endpoint();
    }
    arms = bringUp({{"the arm", options.description, options.bus, options.type}});
    session.arm = arms.front().get();
    const auto start = std::chrono::steady_clock::now();
    session.wait = [](double seconds) {
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    };
    session.now = [start] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
  }
  if (stop.requested()) return 0;
  try {
    return options.payload_only ? identifyPayload(options, session, chain)
                                : identifyDynamics(options, session, chain);
  } catch (const Interrupted&) {
    Console::line("kav identify: stopped on request; the arm was brought to rest, nothing written");
    return 1;
  }
}

}  // namespace

Command addIdentify(CLI::App& kav) {
  auto options = std::make_shared<IdentifyOptions>();
  options->description = defaultDescription();
  CLI::App* app =
      kav.add_subcommand("identify", "identify the arm's dynamics or its payload into a JSON file");
  app->footer(
      "Drives the arm from home through a smooth excitation motion (a Fourier series per\n"
      "joint within the joint limits and the motion limits times --speed-scale, the\n"
      "collision reflex armed) and back home, records its feedback and fits per joint\n"
      "the gravity terms, viscous and Coulomb friction and the torque per command unit\n"
      "by least squares. Prints the fit's quality and writes the model (docs/tools.md).\n"
      "With --payload-only: a few slow wrist poses, the payload's mass and centre of mass\n"
      "(with --dynamics, against that calibration of the arm without the payload).\n"
      "Ctrl-C stops the motion and writes nothing. --lockstep runs the controller and a\n"
      "simulated arm on one simulated clock: deterministic, faster than real time.");
  app->add_option("--can", options->bus, "the arm's bus: a CAN interface (can0) or a local-socket bus");
  app->add_flag("--sim", options->sim, "a simulated arm on a bus of its own");
  app->add_flag("--lockstep", options->lockstep, "a simulated arm on the lockstep rig (simulated time)");
  options->model_error.addTo(app);
  app->add_option("--out", options->out, "the JSON file to write")->required();
  app->add_flag("--replace", options->replace, "replace the file if it exists");
  app->add_option("--seconds", options->seconds, "the whole motion's duration, from home back home")
      ->capture_default_str()
      ->check(CLI::Range(30.0, 3600.0));
  app->add_option("--speed-scale", options->speed_scale,
                  "factor on the motion limits (accelerations: its square)")
      ->capture_default_str()
      ->check(CLI::Range(0.05, 1.0));
  app->add_flag("--payload-only", options->payload_only, "identify only the payload");
  app->add_option("--dynamics", options->dynamics, "the arm's calibration (with --payload-only)")
      ->check(CLI::ExistingFile);
  app->add_option("--type", options->type, "arm variant (2 drives the gripper by position)")
      ->capture_default_str();
  app->add_option("--urdf", options->description, "robot description file")
      ->capture_default_str()
      ->check(CLI::ExistingFile);
  return {app, [options] { return runIdentify(*options); }};
}

}  // namespace tool
}  // namespace kav
