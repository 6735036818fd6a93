// The arm model on its own, stepped by hand: deterministic, no bus, no clock.
#include <config/ArmConfig.h>
#include <gtest/gtest.h>
#include <sim/ArmPhysics.h>
#include <sim/SimulatedArm.h>
#include <solver/ArmDynamics.h>
#include <solver/kinematic_solver.h>

#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "ArmModel.h"

namespace {

using kav::sim::ArmPhysics;
using kav::sim::JointDrive;
using kav::sim::kSimArmJoints;
using kav::sim::kSimJoints;
using kav::sim::PhysicsParameters;
using Drives = std::array<JointDrive, kSimJoints>;
using Pose = std::array<double, kSimJoints>;

constexpr double kDt = 1e-3;
const Pose kBent{0.3, 1.2, 0.9, 0.4, -0.5, 0.6, 0.0};  // gravity loads joints 2-5

void run(ArmPhysics& arm, const Drives& drives, int steps) {
  for (int i = 0; i < steps; ++i) arm.step(drives, kDt);
}

std::array<double, kSimArmJoints> armPart(const Pose& pose) {
  std::array<double, kSimArmJoints> q{};
  for (int i = 0; i < kSimArmJoints; ++i) q[i] = pose[i];
  return q;
}

// The motors are told torque commands: 0.8 (joints 1-3) and 1.32 (joints
// 4-6) per N·m at the joint.
TEST(ArmPhysics, ExactGravityCommandAloneHoldsTheArmStill) {
  ArmPhysics arm(kav::urdf_xml_g, kBent);
  const auto gravity = arm.gravityTorques(armPart(kBent));
  EXPECT_GT(std::abs(gravity[1]), 1.0);  // the pose really loads the shoulder
  Drives drives{};
  for (int i = 0; i < kSimArmJoints; ++i) drives[i].torque = kav::torqueCommand(i, gravity[i]);
  run(arm, drives, 2000);
  for (int i = 0; i < kSimArmJoints; ++i) {
    EXPECT_NEAR(arm.state()[i].position, kBent[i], 1e-9) << "joint " << i;
    EXPECT_NEAR(arm.state()[i].torque, gravity[i], 1e-9) << "joint " << i;
    EXPECT_NEAR(arm.state()[i].command, drives[i].torque, 1e-9) << "joint " << i;
  }
  // Gravity given one to one is too little on joints 1-3 and too much on
  // joints 4-6: the arm does not stay.
  ArmPhysics unscaled(kav::urdf_xml_g, kBent);
  for (int i = 0; i < kSimArmJoints; ++i) drives[i].torque = gravity[i];
  run(unscaled, drives, 500);
  EXPECT_GT(std::abs(unscaled.state()[1].position - kBent[1]), 0.01);
}

TEST(ArmPhysics, AnUnheldArmFallsUntilItRestsOnEndStops) {
  ArmPhysics arm(kav::urdf_xml_g, kBent);
  const auto gravity = arm.gravityTorques(armPart(kBent));
  run(arm, Drives{}, 50);
  // Gravity does work on a falling arm: the motion has a negative component
  // along the holding torques (the torques that would keep it still).
  double work = 0.0;
  for (int i = 0; i < kSimArmJoints; ++i) {
    work += gravity[i] * (arm.state()[i].position - kBent[i]);
    EXPECT_DOUBLE_EQ(arm.state()[i].torque, 0.0);
  }
  EXPECT_LT(work, -1e-3);
  run(arm, Drives{}, 5000);
  const PhysicsParameters& p = arm.parameters();
  int resting = 0;
  for (int i = 0; i < kSimJoints; ++i) {
    const double q = arm.state()[i].position;
    EXPECT_GE(q, p.lower_stop[i]) << "joint " << i;
    EXPECT_LE(q, p.upper_stop[i]) << "joint " << i;
    if (q == p.lower_stop[i] || q == p.upper_stop[i]) ++resting;
  }
  EXPECT_GT(resting, 0);
}

TEST(ArmPhysics, HybridLawReachesItsTargetWithGravityFeedForward) {
  // Without Coulomb friction, which would stop a joint short of its target
  // by up to its Coulomb torque over its stiffness.
  PhysicsParameters frictionless;
  frictionless.coulomb.fill(0.0);
  ArmPhysics arm(kav::urdf_xml_g, kBent, frictionless);
  const Pose target{0.5, 1.0, 1.1, 0.2, -0.3, 0.9, 0.0};
  const auto gravity = arm.gravityTorques(armPart(target));
  const auto& kp = kav::config::kPositionGains.k_p;
  const auto& kd = kav::config::kPositionGains.k_d;
  Drives drives{};
  for (int i = 0; i < kSimArmJoints; ++i)
    drives[i] = {kp[i], kd[i], target[i], 0.0, kav::torqueCommand(i, gravity[i])};
  run(arm, drives, 6000);  // joints 2 and 3 share a lightly damped mode
  for (int i = 0; i < kSimArmJoints; ++i) {
    EXPECT_NEAR(arm.state()[i].position, target[i], 1e-4) << "joint " << i;
    EXPECT_NEAR(arm.state()[i].velocity, 0.0, 1e-3) << "joint " << i;
  }
}

TEST(ArmPhysics, StiffGainsOnTheLightestJointsStayStable) {
  Pose start{};
  ArmPhysics arm(kav::urdf_xml_g, start);
  Drives drives{};
  for (int i = 3; i < kSimJoints; ++i) drives[i] = {500.0, 5.0, 0.5, 0.0, 0.0};
  drives[1] = {150.0, 1.0, 0.0, 0.0, 0.0};
  drives[2] = {150.0, 1.0, 0.0, 0.0, 5.3};
  run(arm, drives, 1000);
  for (int i = 3; i < kSimJoints; ++i) {
    EXPECT_NEAR(arm.state()[i].position, 0.5, 0.01) << "joint " << i;
    EXPECT_LT(std::abs(arm.state()[i].velocity), 0.05) << "joint " << i;
  }
}

TEST(ArmPhysics, MotorTorqueIsLimited) {
  ArmPhysics arm(kav::urdf_xml_g, Pose{});
  Drives drives{};
  drives[0] = {500.0, 0.0, 2.0, 0.0, 0.0};  // asks for 1000 N·m
  drives[5] = {0.0, 0.0, 0.0, 0.0, -50.0};
  arm.step(drives, kDt);
  EXPECT_DOUBLE_EQ(arm.state()[0].command, 30.0);
  EXPECT_DOUBLE_EQ(arm.state()[5].command, -10.0);
  EXPECT_DOUBLE_EQ(arm.state()[0].torque, 30.0 / 0.8);
  EXPECT_DOUBLE_EQ(arm.state()[5].torque, -10.0 / 1.32);
  EXPECT_GT(arm.state()[0].velocity, 0.0);
}

TEST(ArmPhysics, GripperRunsIntoItsEndStopAndPressesThere) {
  ArmPhysics arm(kav::urdf_xml_g, Pose{});
  Drives drives{};
  drives[6] = {0.0, 0.2, 0.0, -5.0, 0.0};  // a constant velocity command towards the stop
  run(arm, drives, 100);
  EXPECT_LT(arm.state()[6].velocity, -1.0);
  run(arm, drives, 1500);
  EXPECT_DOUBLE_EQ(arm.state()[6].position, -1.0);
  EXPECT_DOUBLE_EQ(arm.state()[6].velocity, 0.0);
  EXPECT_DOUBLE_EQ(arm.state()[6].torque, -1.0);  // k_d (v_ref - 0) at rest
  // Driven away from the stop, it leaves it.
  drives[6] = {0.0, 0.2, 0.0, 5.0, 0.0};
  run(arm, drives, 50);
  EXPECT_GT(arm.state()[6].position, -1.0);
}

TEST(ArmPhysics, FrictionSlowsAFreeGripper) {
  ArmPhysics arm(kav::urdf_xml_g, Pose{});
  Drives drives{};
  drives[6].torque = 0.2;
  run(arm, drives, 600);  // ten time constants of inertia / friction
  const double spinning = arm.state()[6].velocity;
  // Steady state: torque balances friction, 0.2 / 0.05 rad/s.
  EXPECT_NEAR(spinning, 4.0, 0.05);
  run(arm, Drives{}, 300);
  EXPECT_LT(arm.state()[6].velocity, 0.1 * spinning);
  EXPECT_GT(arm.state()[6].velocity, 0.0);
}

// Joint 1 turns about the vertical: only friction resists a push.
TEST(ArmPhysics, CoulombFrictionHoldsAJointAgainstAPushBelowIt) {
  ArmPhysics arm(kav::urdf_xml_g, Pose{});
  Drives drives{};
  drives[0].external = 0.5 * kav::config::kCoulombFriction[0];
  run(arm, drives, 1000);
  EXPECT_LT(std::abs(arm.state()[0].velocity), kav::config::kCoulombVelocity);  // a creep
  drives[0].external = 3.0 * kav::config::kCoulombFriction[0];
  run(arm, drives, 1000);
  EXPECT_GT(arm.state()[0].velocity, 0.1);
}

TEST(ArmPhysics, ExternalTorqueActsBesideTheMotorAndIsNotReported) {
  ArmPhysics arm(kav::urdf_xml_g, Pose{});
  Drives drives{};
  drives[6].external = 0.2;  // a free gripper pushed by hand: the same balance as a motor's torque
  run(arm, drives, 600);
  EXPECT_NEAR(arm.state()[6].velocity, 4.0, 0.05);
  EXPECT_DOUBLE_EQ(arm.state()[6].torque, 0.0);
  // A motor holding joint 1 at its limit (command 30, 37.5 N·m) is pushed away by 50 N·m from outside.
  drives[0] = {500.0, 0.0, 0.0, 0.0, 0.0};
  drives[0].external = 50.0;
  run(arm, drives, 200);
  EXPECT_GT(arm.state()[0].position, 0.05);
  EXPECT_DOUBLE_EQ(arm.state()[0].command, -30.0);
  drives[0].external = std::numeric_limits<double>::infinity();
  EXPECT_THROW(arm.step(drives, kDt), std::invalid_argument);
}

TEST(ArmPhysics, UnusableInputIsRefusedAndChangesNothing) {
  EXPECT_THROW(ArmPhysics("<robot", Pose{}), std::invalid_argument);
  EXPECT_THROW(ArmPhysics("<robot name=\"r\"><link name=\"base_link\"/></robot>", Pose{}),
               std::invalid_argument);
  Pose beyond{};
  beyond[2] = 4.0;
  EXPECT_THROW(ArmPhysics(kav::urdf_xml_g, beyond), std::invalid_argument);
  Pose nan{};
  nan[0] = std::nan("");
  EXPECT_THROW(ArmPhysics(kav::urdf_xml_g, nan), std::invalid_argument);
  PhysicsParameters negative;
  negative.friction[3] = -0.1;
  EXPECT_THROW(ArmPhysics(kav::urdf_xml_g, Pose{}, negative), std::invalid_argument);

  ArmPhysics arm(kav::urdf_xml_g, kBent);
  Drives drives{};
  drives[4].k_p = std::numeric_limits<double>::infinity();
  EXPECT_THROW(arm.step(drives, kDt), std::invalid_argument);
  EXPECT_THROW(arm.step(Drives{}, 0.0), std::invalid_argument);
  EXPECT_THROW(arm.step(Drives{}, std::nan("")), std::invalid_argument);
  for (int i = 0; i < kSimJoints; ++i) EXPECT_EQ(arm.state()[i].position, kBent[i]);
  EXPECT_THROW(arm.gravityTorques({0, std::nan(""), 0, 0, 0, 0}), std::invalid_argument);
}

}  // namespace

TEST(ArmPhysics, ScaledLinkMassesScaleGravityAndBadScalesAreRefused) {
  PhysicsParameters heavier;
  heavier.mass_scale = {1.1, 1.1, 1.1, 1.1, 1.1, 1.1};
  ArmPhysics nominal(kav::urdf_xml_g, kBent);
  ArmPhysics heavy(kav::urdf_xml_g, kBent, heavier);
  const auto g = nominal.gravityTorques(armPart(kBent));
  const auto g_heavy = heavy.gravityTorques(armPart(kBent));
  for (int j = 0; j < 6; ++j)
    EXPECT_NEAR(g_heavy[j], 1.1 * g[j], 1e-9 + 1e-9 * std::fabs(g[j])) << "joint " << j;

  PhysicsParameters bad;
  bad.mass_scale[3] = 0.0;
  EXPECT_THROW(ArmPhysics(kav::urdf_xml_g, kBent, bad), std::invalid_argument);
}

// On real threads the bus thread and the physics timer both bring the arm up
// to the clock before they act: a timer held off the processor for 20 ms
// leaves no pause in the arm's motion, and a stopped process (a lag over the
// longest one made up) leaves it where it was.
TEST(ArmModel, TheArmKeepsPaceWithTheClockAndAStoppedProcessIsPassedOver) {
  using kav::sim::ArmModel;
  kav::sim::SimulatedArmOptions options;
  options.start_pose = kBent;  // limp motors: the arm falls under gravity
  ArmModel caught(options), stepped(options);
  const ArmModel::time_point start{std::chrono::seconds(100)};
  caught.catchUp(start);
  stepped.catchUp(start);
  for (int i = 1; i <= 20; ++i) stepped.catchUp(start + i * ArmModel::kStep);
  caught.catchUp(start + 20 * ArmModel::kStep + ArmModel::kStep / 2);
  for (int j = 0; j < kSimArmJoints; ++j) {
    EXPECT_EQ(caught.jointStates()[j].position, stepped.jointStates()[j].position) << "joint " << j + 1;
  }
  EXPECT_GT(std::fabs(caught.jointStates()[1].position - kBent[1]), 1e-4) << "joint 2 did not fall";

  const auto before = caught.jointStates();
  caught.catchUp(start + 21 * ArmModel::kStep + ArmModel::kLongestLag + ArmModel::kStep);
  EXPECT_EQ(caught.jointStates()[1].position, before[1].position) << "a stopped process moved the arm";
  caught.catchUp(start + 23 * ArmModel::kStep + ArmModel::kLongestLag + ArmModel::kStep);
  EXPECT_NE(caught.jointStates()[1].position, before[1].position) << "the arm did not go on";
}
