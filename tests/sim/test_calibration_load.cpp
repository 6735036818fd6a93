// Loading an identified model into a running arm (lockstep rig): a bad file
// is refused and changes nothing; a good one changes the gravity
// feed-forward of the joints it changes and nothing else.
#include <controller/ControllerBase.h>
#include <gtest/gtest.h>
#include <sim/Lockstep.h>
#include <solver/DynamicsIdentification.h>
#include <solver/kinematic_dynamic_solver.h>
#include <solver/kinematic_solver.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <kdl/tree.hpp>

namespace {

using kav::config::kArmJoints;

std::array<kav::hw_interface::MotorCommand, kArmJoints> lastCommands(kav::sim::Lockstep& rig) {
  std::array<kav::hw_interface::MotorCommand, kArmJoints> commands;
  for (int j = 0; j < kArmJoints; ++j) commands[j] = rig.simulatedArm().receivedCommands(j).back().command;
  return commands;
}

TEST(CalibrationLoad, ABadFileChangesNothingAGoodOneOnlyTheFeedForward) {
  const std::string urdf = kav::defaultDescriptionPath();
  KDL::Tree tree;
  KDL::Chain chain;
  ASSERT_TRUE(kav::parseDescriptionFile(urdf, tree) && tree.getChain("base_link", "link6", chain));
  kav::sim::LockstepOptions options;
  options.record_frames = false;
  options.start_pose = {0.3, 1.2, 0.9, 0.4, 0.5, 0.2, 0.0};
  kav::sim::Lockstep rig(urdf, options);
  rig.arm().moveJoints({0.3, 1.2, 0.9, 0.4, 0.5, 0.2});
  ASSERT_TRUE(rig.arm().waitMotion(60.0));
  rig.arm().setArmStatus(kav::t8::ControllerBase::G_COMPENSATION);
  rig.advance(0.5);
  const auto before = lastCommands(rig);

  const std::string path = ::testing::TempDir() + "load-" + std::to_string(::getpid()) + ".json";
  kav::DynamicsCalibration calibration = kav::identify::nominalCalibration(chain);
  calibration.joints[2].flange_mass += 0.5;  // joint 3 alone holds more
  std::string text = kav::dynamicsJson(calibration, "");
  std::ofstream(path) << std::string(text).replace(text.find("\"version\": 1"), 12, "\"version\": 7");
  try {
    rig.arm().loadDynamics(path);
    ADD_FAILURE() << "a file of another version was loaded";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("version"), std::string::npos) << error.what();
  }
  EXPECT_THROW(rig.arm().loadDynamics(path + ".missing"), std::invalid_argument);
  rig.advance(0.05);
  const auto refused = lastCommands(rig);
  for (int j = 0; j < kArmJoints; ++j)
    EXPECT_NEAR(refused[j].torque, before[j].torque, 0.02) << "joint " << j + 1;

  std::ofstream(path) << text;
  rig.arm().loadDynamics(path);
  rig.advance(0.015);
  const auto loaded = lastCommands(rig);
  std::remove(path.c_str());
  for (int j = 0; j < kArmJoints; ++j) {
    EXPECT_EQ(loaded[j].k_p, before[j].k_p);
    EXPECT_EQ(loaded[j].k_d, before[j].k_d);
    if (j == 2) {
      EXPECT_GT(std::fabs(loaded[j].torque - before[j].torque), 0.5) << "joint 3's feed-forward";
    } else {
      EXPECT_NEAR(loaded[j].torque, before[j].torque, 0.02) << "joint " << j + 1;
    }
  }
}

}  // namespace
