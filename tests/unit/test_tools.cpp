// Forward-kinematics tools and their two facades.
#include <gtest/gtest.h>
#include <interfaces/InterfaceTools.h>
#include <interfaces/InterfaceToolsPy.h>
#include <solver/Exercise.h>
#include <tools/tools.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

using kav::t8::InterfacesTools;
using kav::t8::InterfacesToolsPy;
using kav::t8::Tools;

TEST(Tools, ReturnsTheAnalyticPoseOfTheFirstSixJoints) {
  std::vector<double> joints = {0.3, 0.8, 1.2, -0.2, 0.4, 0.9};
  double q[6], expected[6];
  for (int i = 0; i < 6; ++i) q[i] = joints[i];
  kav::solve::q7_fk(q, expected);

  Tools tools(0);
  EXPECT_EQ(tools.forwardKinematicsRPY(joints), std::vector<double>(expected, expected + 6));
  joints.push_back(5.0);  // the gripper, if a caller passes it, is ignored
  EXPECT_EQ(tools.forwardKinematicsRPY(joints), std::vector<double>(expected, expected + 6));
  EXPECT_EQ(Tools(1).forwardKinematicsRPY(joints), tools.forwardKinematicsRPY(joints));
}

TEST(Tools, FacadesReturnExactlyWhatToolsReturns) {
  const std::vector<double> joints = {-1.1, 0.4, 2.0, 0.7, -0.9, 1.5};
  const std::vector<double> expected = Tools(0).forwardKinematicsRPY(joints);
  InterfacesTools native(0);
  InterfacesToolsPy scripting(1);
  EXPECT_EQ(native.ForwardKinematicsRpy(joints), expected);
  EXPECT_EQ(scripting.forward_kinematics_rpy(joints), expected);
}

TEST(Tools, RejectsTooFewOrNonFiniteJoints) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::vector<double>> bad = {
      {}, {0, 0, 0, 0, 0}, {0, 0, nan, 0, 0, 0}, {0, 0, 0, 0, 0, -inf}};
  Tools tools(0);
  InterfacesTools native(0);
  InterfacesToolsPy scripting(0);
  for (const auto& joints : bad) {
    EXPECT_THROW(tools.forwardKinematicsRPY(joints), std::invalid_argument);
    EXPECT_THROW(native.ForwardKinematicsRpy(joints), std::invalid_argument);
    EXPECT_THROW(scripting.forward_kinematics_rpy(joints), std::invalid_argument);
  }
  try {
    tools.forwardKinematicsRPY({0, 0, 0, inf, 0, 0});
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "joint_pos[3] is not a finite number");
  }
  // Only the first six values are read.
  EXPECT_NO_THROW(tools.forwardKinematicsRPY({0, 0, 0, 0, 0, 0, nan}));
}
