// END_CONTROL against the simulated arm: reachable, clamped and unreachable
// targets, the gains of the state, the joint-limit clamp, and the first
// entries (no pose set yet, no solution yet). Each case brings up an arm of
// its own on the lockstep rig and waits in simulated time.
//
// Several cases freeze the set-points (interpolation limits 0): the joints
// then stay put while the law goes on computing its joint targets from the
// measured joints, and the correction torque of joints 1-3,
// 1.5 (target - measured) - 0.6 velocity on top of the gravity torque, shows
// the target it computed.
#include <config/ArmConfig.h>
#include <solver/Exercise.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "rig_fixture.h"

using namespace kav_test;
using kav::t8::ControllerBase;

namespace {

using Joints = std::array<double, 6>;
using PoseVector = std::array<double, 6>;

using kav::config::kDeg85;
const PoseVector kBoxLower = kav::config::kEndEffectorLower;
const PoseVector kBoxUpper = kav::config::kEndEffectorUpper;
const Joints kJointLower{kav::config::kJointLower[0], kav::config::kJointLower[1],
                         kav::config::kJointLower[2], kav::config::kJointLower[3],
                         kav::config::kJointLower[4], kav::config::kJointLower[5]};
const Joints kJointUpper{kav::config::kJointUpper[0], kav::config::kJointUpper[1],
                         kav::config::kJointUpper[2], kav::config::kJointUpper[3],
                         kav::config::kJointUpper[4], kav::config::kJointUpper[5]};

// A configuration where the law's steady-state offset (gravity compensated
// at 0.8 on joints 1-3 and 1.32 on joints 4-6) moves the end effector by
// only 0.25 mm and 0.0012 rad, and one beside it from which the solver
// converges to it.
const Joints kLowSag{-0.442, 1.995, 0.040, 0.899, 0.239, -0.592};
const Joints kBesideLowSag{-0.358, 2.190, 0.130, 1.029, 0.163, -0.514};
// A pose with pitch 85 degrees and x = 0 is solvable near this one.
const Joints kTilted{0.005, 2.087, 0.020, 0.804, -0.154, -0.640};

PoseVector toVector(const Eigen::Isometry3d& pose) {
  const std::vector<double> v = kav::solve::Isometry2Xyzrpy(pose);
  return {v[0], v[1], v[2], v[3], v[4], v[5]};
}

Eigen::Isometry3d toPose(const PoseVector& v) { return kav::solve::Xyzrpy2Isometry(v.data()); }

bool insideBox(const Eigen::Isometry3d& pose) {
  const PoseVector v = toVector(pose);
  for (int i = 0; i < 6; ++i) {
    if (v[i] < kBoxLower[i] || v[i] > kBoxUpper[i]) return false;
  }
  return true;
}

double positionError(const Eigen::Isometry3d& a, const Eigen::Isometry3d& b) {
  return (a.translation() - b.translation()).norm();
}

double rotationError(const Eigen::Isometry3d& a, const Eigen::Isometry3d& b) {
  return Eigen::AngleAxisd(a.linear().transpose() * b.linear()).angle();
}

/// The end-effector law worked out directly on a solver of the test's own:
/// workspace clamp, one solve from the measured joints, otherwise the
/// ten-step bisection from the measured pose, then the joint-limit clamp.
class Reference {
 public:
  Reference() : solver_(urdfPath(), "base_link", "link6") {}

  Eigen::Isometry3d poseOf(const Joints& q) {
    const KDL::Frame frame = solver_.computeForwardKinematics(array(q));
    double v[6] = {frame.p.x(), frame.p.y(), frame.p.z(), 0, 0, 0};
    frame.M.GetRPY(v[3], v[4], v[5]);
    return kav::solve::Xyzrpy2Isometry(v);
  }

  bool solve(const Joints& seed, const PoseVector& pose, Joints& solution) {
    KDL::Frame frame(KDL::Rotation::RPY(pose[3], pose[4], pose[5]), KDL::Vector(pose[0], pose[1], pose[2]));
    try {
      const KDL::JntArray result = solver_.computeInverseKinematics(frame, array(seed));
      for (int i = 0; i < 6; ++i) solution[i] = result(i);
      return true;
    } catch (const std::runtime_error&) {
      return false;
    }
  }

  /// Whether a probe of the bisection from @p q toward @p target has a
  /// solution; @p solution gets that of the last one.
  bool bisect(const Joints& q, const PoseVector& target, Joints& solution) {
    const PoseVector from = toVector(poseOf(q));
    PoseVector probe = from, error;
    for (int i = 0; i < 6; ++i) error[i] = target[i] - from[i];
    double flag = 1;
    bool solved = false;
    for (int step = 0; step < 10; ++step) {
      for (int i = 0; i < 6; ++i) {
        error[i] /= 2;
        probe[i] += error[i] * flag;
      }
      flag = solve(q, probe, solution) ? 1 : -1;
      solved = solved || flag > 0;
    }
    return solved;
  }

  /// The joint targets the law commands from the measured joints @p q, or
  /// nothing when neither the target nor a probe has a solution.
  std::optional<Joints> jointTargets(const Joints& q, const Eigen::Isometry3d& target) {
    PoseVector command = toVector(target);
    for (int i = 0; i < 6; ++i) command[i] = std::clamp(command[i], kBoxLower[i], kBoxUpper[i]);
    Joints solution{};
    if (!solve(q, command, solution) && !bisect(q, command, solution)) return std::nullopt;
    for (int i = 0; i < 6; ++i) solution[i] = std::clamp(solution[i], kJointLower[i], kJointUpper[i]);
    return solution;
  }

 private:
  static KDL::JntArray array(const Joints& q) {
    KDL::JntArray a(6);
    for (int i = 0; i < 6; ++i) a(i) = q[i];
    return a;
  }

  kav::KinematicDynamicSolver solver_;
};

Joints measured(Rig& rig) {
  const std::vector<double> q = rig.arm().getJointPositons();
  return {q[0], q[1], q[2], q[3], q[4], q[5]};
}

/// Runs until no arm joint has moved by more than 1 mrad (between two and
/// three steps of the position readings) for 300 ms.
bool settle(Rig& rig, double timeout = 15.0) {
  const double end = rig.now() + timeout;
  Joints last = measured(rig);
  double still_since = rig.now();
  while (rig.now() < end) {
    rig.run(0.02);
    const Joints now = measured(rig);
    bool moved = false;
    for (int i = 0; i < 6; ++i) moved = moved || std::fabs(now[i] - last[i]) > 1e-3;
    if (moved) {
      last = now;
      still_since = rig.now();
    } else if (rig.now() - still_since > 0.3) {
      return true;
    }
  }
  return false;
}

/// Hands @p target over, then selects END_CONTROL. The state takes effect at
/// the next cycle but the pose only after the next exchange, so the pose goes
/// first: otherwise the first cycle would solve the previous pose.
void enterEndControl(Rig& rig, const Eigen::Isometry3d& target) {
  rig.arm().setEndPose(target);
  rig.run(0.03);
  rig.arm().setArmStatus(ControllerBase::END_CONTROL);
}

void moveTo(Rig& rig, const Joints& q) {
  rig.arm().setJointPositions(std::vector<double>(q.begin(), q.end()));
  rig.arm().setArmStatus(ControllerBase::POSITION_CONTROL);
  ASSERT_TRUE(rig.runUntil([&] {
    const Joints now = measured(rig);
    for (int i = 0; i < 6; ++i) {
      if (std::fabs(now[i] - q[i]) > 0.03) return false;
    }
    return true;
  })) << "the arm did not reach its joint targets";
  ASSERT_TRUE(settle(rig));
}

/// The joint targets of joints 1-3 that the newest commands' correction
/// torques stand for, read once the arm has come to rest, with the joints
/// they were read at.
struct ReadTargets {
  Joints at{};
  std::array<double, 3> target{};
};

ReadTargets readTargets(Rig& rig) {
  EXPECT_TRUE(settle(rig));
  rig.sim().clearReceivedCommands();
  rig.run(0.03);
  ReadTargets read;
  const std::vector<double> gravity = scaledGravityAt(rig.sim());
  read.at = measured(rig);
  const auto states = rig.sim().jointStates();
  for (int joint = 0; joint < 3; ++joint) {
    const std::vector<kav::sim::ReceivedCommand> received = rig.sim().receivedCommands(joint);
    EXPECT_FALSE(received.empty());
    if (received.empty()) continue;
    const double pd = received.back().command.torque - gravity[joint] + 0.6 * states[joint].velocity;
    read.target[joint] = pd / 1.5 + read.at[joint];
  }
  return read;
}

// Reading a target through a torque: the wire's torque step over 1.5 is
// 0.01 rad; the rest is room for the steps of the readings.
constexpr double kReadTolerance = 0.03;
// The coarser velocity step of the two wire protocols (12 bits over +-45 rad/s), with room.
constexpr double kVelocityStep = 90.0 / 4095 * 1.5;

}  // namespace

class EndControl : public testing::Test {
 protected:
  static void SetUpTestSuite() { reference_ = new Reference(); }
  static void TearDownTestSuite() { delete reference_; }

  void freezeSetPoints() { rig_.arm().kav_x(0.0, 0.0, 0.0); }
  void releaseSetPoints() { rig_.arm().kav_x(500.0, 2000.0, 0.0); }

  Rig rig_;
  static Reference* reference_;
};

Reference* EndControl::reference_ = nullptr;

// On an arm that never had a pose or a solution.
using EndControlFirstEntry = EndControl;

TEST_F(EndControl, ReachableTargetIsReachedWithTheGainsOfTheState) {
  moveTo(rig_, kBesideLowSag);
  const Eigen::Isometry3d target = reference_->poseOf(kLowSag);
  ASSERT_TRUE(insideBox(target));
  enterEndControl(rig_, target);
  ASSERT_TRUE(settle(rig_));
  const Eigen::Isometry3d reached = rig_.arm().getEndPose();
  EXPECT_LT(positionError(reached, target), 1e-3);
  EXPECT_LT(rotationError(reached, target), 0.01);

  const auto& kp = kav::config::kEndControlGains.k_p;
  const auto& kd = kav::config::kEndControlGains.k_d;
  const std::vector<double> gravity = scaledGravityAt(rig_.sim());
  for (int joint = 0; joint < 6; ++joint) {
    const auto commands = rig_.commandsDuring(joint, 0.03);
    ASSERT_FALSE(commands.empty());
    EXPECT_NEAR(commands.back().k_p, kp[joint], 0.2) << "joint " << joint;
    EXPECT_NEAR(commands.back().k_d, kd[joint], 0.02) << "joint " << joint;
    if (joint >= 3) {
      EXPECT_NEAR(commands.back().torque, gravity[joint], 0.02) << "joints 4-6 carry no correction torque";
    }
  }
}

TEST_F(EndControl, TargetsOutsideTheWorkspaceBoxAreClamped) {
  moveTo(rig_, kTilted);
  // x -0.2 and pitch 1.5 lie outside the box; both have solutions, so only
  // the clamp keeps the arm at x 0 and pitch 85 degrees.
  PoseVector outside = toVector(reference_->poseOf(kTilted));
  outside[0] = -0.2;
  outside[4] = 1.5;
  PoseVector clamped = outside;
  clamped[0] = 0.0;
  clamped[4] = kDeg85;
  Joints solution{};
  ASSERT_TRUE(reference_->solve(kTilted, outside, solution)) << "the unclamped target has a solution";
  ASSERT_TRUE(reference_->solve(kTilted, clamped, solution));

  enterEndControl(rig_, toPose(outside));
  ASSERT_TRUE(settle(rig_));
  const Eigen::Isometry3d reached = rig_.arm().getEndPose();
  EXPECT_LT(positionError(reached, toPose(clamped)), 1e-3);
  EXPECT_LT(rotationError(reached, toPose(clamped)), 0.005);
  EXPECT_NEAR(toVector(reached)[4], kDeg85, 0.005);
}

TEST_F(EndControl, SolutionsBeyondTheJointLimitsAreClamped) {
  // The target's solution near the arm has joint 2 at 3.7, beyond its limit 3.6.
  const Joints start{-0.943, 3.45, 2.557, 1.006, -0.040, 1.395};
  Joints beyond = start;
  beyond[1] = 3.7;
  ASSERT_TRUE(insideBox(reference_->poseOf(beyond)));
  moveTo(rig_, start);
  freezeSetPoints();
  enterEndControl(rig_, reference_->poseOf(beyond));
  const ReadTargets read = readTargets(rig_);
  EXPECT_NEAR(read.target[1], 3.6, kReadTolerance) << "the correction torque uses the clamped target";
  EXPECT_NEAR(read.target[0], start[0], kReadTolerance);
  EXPECT_NEAR(read.target[2], start[2], kReadTolerance);
}

TEST_F(EndControl, UnreachableTargetLeadsToTheEdgeThatTheBisectionFinds) {
  moveTo(rig_, kBesideLowSag);
  Eigen::Isometry3d target = reference_->poseOf(kBesideLowSag);
  target.translation() += Eigen::Vector3d(0.35, 0.25, -0.2);
  ASSERT_TRUE(insideBox(target));
  Joints ignored{};
  ASSERT_FALSE(reference_->solve(kBesideLowSag, toVector(target), ignored)) << "the target is unreachable";

  // With the set-points frozen the joints stay where they are, and the
  // targets the law computes must be those of the bisection from there.
  freezeSetPoints();
  enterEndControl(rig_, target);
  const ReadTargets read = readTargets(rig_);
  const std::optional<Joints> expected = reference_->jointTargets(read.at, target);
  ASSERT_TRUE(expected.has_value());
  for (int joint = 0; joint < 3; ++joint) {
    EXPECT_NEAR(read.target[joint], (*expected)[joint], kReadTolerance) << "joint " << joint;
  }
  EXPECT_GT(std::fabs((*expected)[0] - read.at[0]) + std::fabs((*expected)[1] - read.at[1]), 0.1)
      << "the edge lies well away from the start";

  // Released, the arm moves until the bisection from where it stands leads
  // nowhere else: it rests at the edge the bisection finds. At the
  // interpolation's ceilings joint 2 overshoots its limit into the simulated
  // arm's end stop, which the collision observer rightly reads as a push
  // (about 22 N·m): the reflex is off for this run.
  rig_.arm().setCollisionThresholds(std::vector<double>(6, 1000.0), std::vector<double>(6, 1000.0));
  const double start_distance = positionError(rig_.arm().getEndPose(), target);
  releaseSetPoints();
  ASSERT_TRUE(settle(rig_, 30.0));
  const Joints rest = measured(rig_);
  const std::optional<Joints> from_rest = reference_->jointTargets(rest, target);
  if (from_rest) {
    for (int joint = 0; joint < 6; ++joint) {
      EXPECT_NEAR((*from_rest)[joint], rest[joint], 0.03) << "joint " << joint;
    }
  }
  EXPECT_LT(positionError(rig_.arm().getEndPose(), target), start_distance - 0.05);
}

TEST_F(EndControlFirstEntry, BeforeAnyPoseIsSetTheTargetIsTheIdentityPose) {
  moveTo(rig_, {0.0, 0.8, 0.8, 0.0, 0.3, 0.0});
  rig_.arm().setArmStatus(ControllerBase::END_CONTROL);
  ASSERT_TRUE(settle(rig_));
  // The identity pose is the zero configuration's (up to a roll of 1.5e-5),
  // where the law's steady-state offset is about 1.8 mm.
  const Eigen::Isometry3d identity = Eigen::Isometry3d::Identity();
  EXPECT_LT(positionError(rig_.arm().getEndPose(), identity), 3e-3);
  EXPECT_LT(rotationError(rig_.arm().getEndPose(), identity), 0.01);
}

TEST_F(EndControlFirstEntry, WithoutAnySolutionTheArmHoldsStill) {
  // Elbow straight: nothing on the line outward from here has a solution,
  // not even 1/1024 of the way.
  moveTo(rig_, {0.276, 2.264, 2.93, -1.015, 1.259, -0.441});
  const Joints start = measured(rig_);
  Eigen::Isometry3d target = reference_->poseOf(start);
  // Joint 2's origin, relative to the end point of the zero configuration.
  const Eigen::Vector3d shoulder(0.02 * std::cos(start[0]) - 0.0952, 0.02 * std::sin(start[0]) - 0.0010004,
                                 0.1005 - 0.1565);
  target.translation() += 0.2 * (target.translation() - shoulder).normalized();
  ASSERT_TRUE(insideBox(target));
  ASSERT_FALSE(reference_->jointTargets(start, target).has_value()) << "some probe has a solution";

  // The search's answer comes at the cycle after the entry: every command
  // from the entry on holds the arm.
  enterEndControl(rig_, target);
  rig_.sim().clearReceivedCommands();
  rig_.run(2.0);
  for (int joint = 0; joint < 6; ++joint) {
    const auto received = rig_.sim().receivedCommands(joint);
    ASSERT_FALSE(received.empty());
    for (const auto& r : received) {
      EXPECT_NEAR(r.command.position, start[joint], 0.02) << "joint " << joint;
      EXPECT_NEAR(r.command.velocity, 0.0, kVelocityStep) << "joint " << joint;
    }
  }
  const Joints after = measured(rig_);
  for (int joint = 0; joint < 6; ++joint) EXPECT_NEAR(after[joint], start[joint], 0.005) << "joint " << joint;
}
