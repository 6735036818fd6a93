#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <solver/kinematic_dynamic_solver.h>
#include <solver/kinematic_solver.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Eigen/Geometry>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <kdl/chaindynparam.hpp>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <stdexcept>
#include <string>

namespace {

using kav::KinematicDynamicSolver;
using ::testing::HasSubstr;

const std::string kShippedUrdf = KAV_SOURCE_DIR "/share/urdf/vorlan_v1.1_aa.urdf";

// The zero-configuration end-effector position in the base frame.
const KDL::Vector kZeroPosition(0.0952, 0.0010004, 0.1565);

// The two -3.1416 rolls in the chain leave 2*pi - 6.2832 about x.
constexpr double kZeroRoll = -1.4693e-5;

// The arm as its description states it, transcribed here for calculations
// that do not go through the parser.
struct JointData {
  Eigen::Vector3d xyz, rpy, axis;
};
struct LinkData {
  Eigen::Vector3d com;
  double mass;
};
const std::array<JointData, 6> kJoints{{
    {{0, 0, 0.0603}, {0, 0, 0}, {0, 0, 1}},
    {{0.02, 0, 0.0402}, {0, 0, 0}, {0, 1, 0}},
    {{-0.264, 0, 0}, {-3.1416, 0, 0}, {0, 1, 0}},
    {{0.245, 0, -0.056}, {0, 0, 0}, {0, 1, 0}},
    {{0.06575, -0.001, -0.0825}, {0, 0, 0}, {0, 0, 1}},
    {{0.02845, 0, 0.0825}, {-3.1416, 0, 0}, {1, 0, 0}},
}};
const std::array<LinkData, 6> kLinks{{
    {{0.0060953, -0.0042968, 0.017959}, 0.060835},
    {{-0.13238, 0.0022038, 0.00011179}, 1.0733},
    {{0.1872, -0.00030568, -0.051483}, 0.4994},
    {{0.038888, 0.0029517, -0.035328}, 0.080971},
    {{0.0028996, 3.1583E-05, 0.052619}, 0.60236},
    {{0.0448060032633747, 4.61631715961057E-05, -0.000190936703812095}, 0.6000},
}};

Eigen::Matrix3d rpyMatrix(const Eigen::Vector3d& rpy) {
  return (Eigen::AngleAxisd(rpy.z(), Eigen::Vector3d::UnitZ()) *
          Eigen::AngleAxisd(rpy.y(), Eigen::Vector3d::UnitY()) *
          Eigen::AngleAxisd(rpy.x(), Eigen::Vector3d::UnitX()))
      .toRotationMatrix();
}

// Static gravity torques by summing, for each joint, the moments of the
// weights of all links beyond it about the joint axis; the sign is that of
// the torque the joint must apply to hold the arm.
std::array<double, 6> gravityTorques(const std::array<double, 6>& q) {
  const Eigen::Vector3d g(0, 0, -9.81);
  std::array<Eigen::Vector3d, 6> axis, origin, com;
  Eigen::Isometry3d link = Eigen::Isometry3d::Identity();
  for (int i = 0; i < 6; ++i) {
    link.translate(kJoints[i].xyz);
    link.rotate(rpyMatrix(kJoints[i].rpy));
    axis[i] = link.linear() * kJoints[i].axis;
    origin[i] = link.translation();
    link.rotate(Eigen::AngleAxisd(q[i], kJoints[i].axis));
    com[i] = link * kLinks[i].com;
  }
  std::array<double, 6> tau{};
  for (int i = 0; i < 6; ++i) {
    Eigen::Vector3d moment = Eigen::Vector3d::Zero();
    for (int j = i; j < 6; ++j) moment += (com[j] - origin[i]).cross(kLinks[j].mass * g);
    tau[i] = -axis[i].dot(moment);
  }
  return tau;
}

KDL::JntArray joints(const std::array<double, 6>& q) {
  KDL::JntArray a(6);
  for (int i = 0; i < 6; ++i) a(i) = q[i];
  return a;
}

// The solver itself, built once: every parse prints a warning from the parser.
KinematicDynamicSolver& embedded() {
  static KinematicDynamicSolver solver(kav::urdf_xml_g);
  return solver;
}

const std::array<std::array<double, 6>, 5> kConfigurations{{
    {0.3, 0.5, -0.4, 0.2, 0.6, -0.3},
    {-0.8, 1.1, 0.9, -0.5, 0.4, 1.2},
    {1.5, -0.3, 0.7, 1.0, -0.9, 0.1},
    {0.05, 0.8, -1.2, -0.7, 1.3, -2.0},
    {-2.2, 0.2, 0.3, 0.4, -0.5, 0.6},
}};

std::string writeTemp(const std::string& name, const std::string& text) {
  const std::string path = std::string(KAV_BINARY_DIR) + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// Runs f, expecting a std::runtime_error with `message`; returns standard error.
template <typename F>
std::string expectFailure(F f, const std::string& message) {
  ::testing::internal::CaptureStderr();
  try {
    f();
    ADD_FAILURE() << "no exception, expected " << message;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
  return ::testing::internal::GetCapturedStderr();
}

TEST(ChainSolver, ZeroConfigurationIsTheOriginWithATinyRollAboutX) {
  KDL::JntArray zero(6);
  const KDL::Frame frame = embedded().computeForwardKinematics(zero);
  EXPECT_EQ(frame.p.Norm(), 0.0);
  double roll, pitch, yaw;
  frame.M.GetRPY(roll, pitch, yaw);
  EXPECT_NEAR(roll, kZeroRoll, 1e-9);
  EXPECT_NEAR(pitch, 0.0, 1e-12);
  EXPECT_NEAR(yaw, 0.0, 1e-12);
}

TEST(ChainSolver, ForwardKinematicsMatchesTheDescribedJointFrames) {
  for (const auto& q : kConfigurations) {
    Eigen::Isometry3d link = Eigen::Isometry3d::Identity();
    Eigen::Isometry3d zero = Eigen::Isometry3d::Identity();
    for (int i = 0; i < 6; ++i) {
      for (Eigen::Isometry3d* t : {&link, &zero}) {
        t->translate(kJoints[i].xyz);
        t->rotate(rpyMatrix(kJoints[i].rpy));
      }
      link.rotate(Eigen::AngleAxisd(q[i], kJoints[i].axis));
    }
    const KDL::Frame frame = embedded().computeForwardKinematics(joints(q));
    const Eigen::Vector3d expected = link.translation() - zero.translation();
    for (int r = 0; r < 3; ++r) {
      EXPECT_NEAR(frame.p(r), expected(r), 1e-12);
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(frame.M(r, c), link.linear()(r, c), 1e-12);
    }
  }
}

TEST(ChainSolver, InverseKinematicsReturnsTheJointsFromANearbySeed) {
  for (const auto& q : kConfigurations) {
    KDL::Frame target = embedded().computeForwardKinematics(joints(q));
    const KDL::Frame relative = target;
    KDL::JntArray seed = joints(q);
    for (int i = 0; i < 6; ++i) seed(i) += (i % 2 ? -0.1 : 0.1);

    const KDL::JntArray solution = embedded().computeInverseKinematics(target, seed);
    // The solver stops once its weighted pose error is below 1e-6, with
    // rotation weighted 0.01: up to 1e-4 rad of orientation error remains.
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(solution(i), q[i], 1e-3) << "joint " << i;
    const KDL::Frame reached = embedded().computeForwardKinematics(solution);
    EXPECT_LT((reached.p - relative.p).Norm(), 1e-6);
    EXPECT_LT(KDL::diff(reached.M, relative.M).Norm(), 1e-4);
    // The caller's frame now holds the absolute target.
    EXPECT_NEAR((target.p - relative.p - kZeroPosition).Norm(), 0.0, 1e-6);
  }
}

TEST(ChainSolver, UnreachablePoseFailsShiftsTheTargetAndLeavesTheSolverUsable) {
  KDL::Frame target(KDL::Vector(1.0, 0.0, 0.0));
  KDL::JntArray seed(6);
  const std::string err = expectFailure([&] { embedded().computeInverseKinematics(target, seed); },
                                        "Inverse kinematics computation failed");
  EXPECT_THAT(err, HasSubstr("Inverse kinematics computation failed.\n"));
  EXPECT_NEAR((target.p - KDL::Vector(1.0, 0.0, 0.0) - kZeroPosition).Norm(), 0.0, 1e-6);

  KDL::Frame reachable = embedded().computeForwardKinematics(joints(kConfigurations[0]));
  const KDL::JntArray solution = embedded().computeInverseKinematics(reachable, joints(kConfigurations[0]));
  EXPECT_NEAR(solution(0), kConfigurations[0][0], 1e-6);
}

TEST(ChainSolver, WrongSizesAndNonFiniteValuesFailWithTheOperationsMessages) {
  KDL::JntArray five(5);
  KDL::JntArray bad(6);
  bad(2) = std::nan("");
  for (const KDL::JntArray& q : {five, bad}) {
    EXPECT_THAT(expectFailure([&] { embedded().computeForwardKinematics(q); },
                              "Forward kinematics computation failed"),
                HasSubstr("Forward kinematics computation failed.\n"));
    EXPECT_THAT(
        expectFailure([&] { embedded().computeGravityCompensationTorque(q); }, "Dynamics computation failed"),
        HasSubstr("Dynamics computation failed.\n"));
    KDL::Frame target = KDL::Frame::Identity();
    EXPECT_THAT(expectFailure([&] { embedded().computeInverseKinematics(target, q); },
                              "Inverse kinematics computation failed"),
                HasSubstr("Inverse kinematics computation failed.\n"));
  }
  KDL::Frame nan_target(KDL::Vector(std::nan(""), 0, 0));
  expectFailure([&] { embedded().computeInverseKinematics(nan_target, KDL::JntArray(6)); },
                "Inverse kinematics computation failed");
}

TEST(ChainSolver, GravityTorquesAreTheStaticModelScaledPerJointGroup) {
  const std::array<double, 6> scale{0.8, 0.8, 0.8, 1.32, 1.32, 1.32};
  std::array<std::array<double, 6>, 6> configurations{};
  std::copy(kConfigurations.begin(), kConfigurations.end(), configurations.begin() + 1);
  for (const auto& q : configurations) {
    const KDL::JntArray tau = embedded().computeGravityCompensationTorque(joints(q));
    const std::array<double, 6> expected = gravityTorques(q);
    for (int i = 0; i < 6; ++i) {
      EXPECT_NEAR(tau(i) / scale[i], expected[i], 1e-9) << "joint " << i;
    }
  }
  // Not a vacuous comparison: the shoulder carries most of the arm.
  EXPECT_GT(std::fabs(gravityTorques({0, 0, 0, 0, 0, 0})[1]), 0.5);
}

TEST(ChainSolver, GravityScalingAgainstUnscaledDynamicsOfTheSameChain) {
  // The chain built from the transcribed tables, with KDL's own dynamics.
  KDL::Chain chain;
  for (int i = 0; i < 6; ++i) {
    const JointData& j = kJoints[i];
    const KDL::Frame origin(KDL::Rotation::RPY(j.rpy.x(), j.rpy.y(), j.rpy.z()),
                            KDL::Vector(j.xyz.x(), j.xyz.y(), j.xyz.z()));
    const KDL::Joint joint("joint", origin.p, origin.M * KDL::Vector(j.axis.x(), j.axis.y(), j.axis.z()),
                           KDL::Joint::RotAxis);
    const KDL::RigidBodyInertia inertia(kLinks[i].mass,
                                        KDL::Vector(kLinks[i].com.x(), kLinks[i].com.y(), kLinks[i].com.z()));
    chain.addSegment(KDL::Segment("link", joint, origin, inertia));
  }
  KDL::ChainDynParam dynamics(chain, KDL::Vector(0, 0, -9.81));
  for (const auto& q : kConfigurations) {
    KDL::JntArray unscaled(6);
    ASSERT_GE(dynamics.JntToGravity(joints(q), unscaled), 0);
    const KDL::JntArray tau = embedded().computeGravityCompensationTorque(joints(q));
    for (int i = 0; i < 6; ++i) {
      EXPECT_NEAR(tau(i), unscaled(i) * (i < 3 ? 0.8 : 1.32), 1e-9) << "joint " << i;
    }
  }
}

TEST(ChainSolverConstruction, FileWithTheEmbeddedTextBuildsTheSameChain) {
  KinematicDynamicSolver from_file(kShippedUrdf, "base_link", "link6");
  for (const auto& q : kConfigurations) {
    EXPECT_TRUE(KDL::Equal(from_file.computeForwardKinematics(joints(q)),
                           embedded().computeForwardKinematics(joints(q)), 1e-15));
  }
}

TEST(ChainSolverConstruction, MissingOrMalformedFileFailsParsing) {
  const std::string not_urdf = writeTemp("not_a_robot.urdf", "<html><body>no robot</body></html>");
  for (const std::string& path : {std::string("/nonexistent/arm.urdf"), not_urdf}) {
    const std::string err =
        expectFailure([&] { KinematicDynamicSolver s(path, "base_link", "link6"); }, "URDF parsing failed");
    EXPECT_THAT(err, HasSubstr("Failed to parse URDF file.\n")) << path;
  }
}

TEST(ChainSolverConstruction, WhatCannotBeADescriptionFileIsRefusedBeforeReading) {
  // Both readers of description files refuse it: the solver and the file
  // parser that the bridge uses.
  auto expectRefused = [](const std::string& path, const std::string& reason) {
    auto messageOf = [](const auto& read) {
      try {
        read();
      } catch (const std::runtime_error& error) {
        return std::string(error.what());
      }
      return std::string("no error");
    };
    EXPECT_THAT(messageOf([&] { kav::KinematicDynamicSolver solver(path, "base_link", "link6"); }),
                HasSubstr(reason));
    EXPECT_THAT(messageOf([&] {
                  KDL::Tree tree;
                  kav::parseDescriptionFile(path, tree);
                }),
                HasSubstr(reason));
  };
  // A device would be read until memory runs out, a FIFO would block for ever.
  expectRefused("/dev/zero", "is not a regular file");
  const std::string fifo = testing::TempDir() + "kav-description-fifo";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  expectRefused(fifo, "is not a regular file");
  ::unlink(fifo.c_str());
  const std::string large = testing::TempDir() + "kav-description-large.urdf";
  std::ofstream(large) << std::string((1 << 20) + 1, ' ');
  expectRefused(large, "is larger than 1 MiB");
  ::unlink(large.c_str());
}

TEST(ChainSolverConstruction, LinksThatFormALoopAreRefusedWithoutRecursingForEver) {
  // link1 -> link2 -> link1 below the root: the parser accepts it, the tree
  // builder would recurse until the stack overflowed.
  auto joint = [](const std::string& name, const std::string& parent, const std::string& child) {
    return "<joint name=\"" + name + "\" type=\"revolute\"><parent link=\"" + parent + "\"/><child link=\"" +
           child +
           "\"/><axis xyz=\"0 0 1\"/><limit lower=\"-1\" upper=\"1\" effort=\"1\" velocity=\"1\"/></joint>";
  };
  const std::string loop =
      "<robot name=\"loop\"><link name=\"base_link\"/><link name=\"link1\"/><link name=\"link2\"/>" +
      joint("j1", "base_link", "link1") + joint("j2", "link1", "link2") + joint("j3", "link2", "link1") +
      "</robot>";
  const std::string err = expectFailure([&] { KinematicDynamicSolver s(loop); }, "URDF parsing failed");
  EXPECT_THAT(err, HasSubstr("form a loop"));
  const std::string path = writeTemp("loop.urdf", loop);
  expectFailure([&] { KinematicDynamicSolver s(path, "base_link", "link2"); }, "URDF parsing failed");
}

TEST(ChainSolverConstruction, DescriptionsThatWouldOverflowTheStackOrGiveNanPosesAreRefused) {
  auto refusal = [](const std::string& text) {
    return expectFailure([&] { KinematicDynamicSolver s(text); }, "URDF parsing failed");
  };
  // The XML parser recursed once per level of nesting: 200 000 levels crashed.
  std::string deep = "<robot name=\"deep\">";
  for (int i = 0; i < 200000; ++i) deep += "<a>";
  EXPECT_THAT(refusal(deep), HasSubstr("nests elements deeper than 64 levels"));
  // Quoted '>', comments and stray end tags do not hide nesting.
  std::string hidden = "<robot name=\"x\"><!-- <a> --></b></b>";
  for (int i = 0; i < 70; ++i) hidden += "<a b='>'>";
  EXPECT_THAT(refusal(hidden), HasSubstr("deeper than 64"));
  std::string many = "<robot name=\"many\">";
  for (int i = 0; i < 10001; ++i) many += "<a/>";
  EXPECT_THAT(refusal(many), HasSubstr("more than 10000 elements"));

  auto joint = [](int i, const std::string& axis) {
    return "<link name=\"l" + std::to_string(i + 1) + "\"/><joint name=\"j" + std::to_string(i) +
           "\" type=\"revolute\"><parent link=\"l" + std::to_string(i) + "\"/><child link=\"l" +
           std::to_string(i + 1) + "\"/><axis xyz=\"" + axis +
           "\"/><limit lower=\"-1\" upper=\"1\" effort=\"1\" velocity=\"1\"/></joint>";
  };
  // The tree builder recursed once per link of a chain.
  std::string chain = "<robot name=\"chain\"><link name=\"l0\"/>";
  for (int i = 0; i < 300; ++i) chain += joint(i, "0 0 1");
  EXPECT_THAT(refusal(chain + "</robot>"), HasSubstr("chain of more than 256 links"));
  // A zero axis gave NaN poses, a long one scaled nothing but was accepted.
  for (const std::string axis : {"0 0 0", "0 0 2", "1e-9 0 0"}) {
    const std::string arm =
        "<robot name=\"a\"><link name=\"l0\"/>" + joint(0, "0 0 1") + joint(1, axis) + "</robot>";
    EXPECT_THAT(refusal(arm), HasSubstr("axis of joint \"j1\" is not of unit length")) << axis;
  }
}

TEST(ChainSolverConstruction, MalformedTextFailsParsing) {
  const std::string err =
      expectFailure([] { KinematicDynamicSolver s("<robot name=\"x\">"); }, "URDF parsing failed");
  EXPECT_THAT(err, HasSubstr("Failed to URDF XML.\n"));
}

TEST(ChainSolverConstruction, MissingLinkNamesBothLinks) {
  const std::string err = expectFailure([] { KinematicDynamicSolver s(kShippedUrdf, "base_link", "tool"); },
                                        "Chain extraction failed");
  EXPECT_THAT(err, HasSubstr("Failed to get chain from base_link to tool.\n"));

  std::string renamed = kav::urdf_xml_g;
  for (size_t at = renamed.find("\"link6\""); at != std::string::npos; at = renamed.find("\"link6\"")) {
    renamed.replace(at, 7, "\"tool\"");
  }
  const std::string text_err =
      expectFailure([&] { KinematicDynamicSolver s(renamed); }, "Chain extraction failed");
  EXPECT_THAT(text_err, HasSubstr("Failed to get chain from base_link to link6.\n"));
}

TEST(ChainSolverConstruction, ChainsWithoutSixJointsAreRefused) {
  for (const char* end : {"link5", "link1"}) {
    const std::string err = expectFailure([&] { KinematicDynamicSolver s(kShippedUrdf, "base_link", end); },
                                          "Forward kinematics computation failed");
    EXPECT_THAT(err, HasSubstr("Forward kinematics computation failed.\n")) << end;
  }
}

}  // namespace
