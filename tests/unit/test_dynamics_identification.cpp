// The dynamics identification: the gravity regressor, the fit on data of an
// arm whose truth the test knows, the payload fit, and the calibration files.
#include <gtest/gtest.h>
#include <solver/DynamicsIdentification.h>
#include <solver/kinematic_dynamic_solver.h>
#include <solver/kinematic_solver.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <kdl/tree.hpp>
#include <random>

namespace {

using kav::ArmDynamics;
using kav::config::kArmJoints;
using namespace kav::identify;

KDL::Chain describedChain() {
  KDL::Tree tree;
  EXPECT_TRUE(kav::parseDescriptionFile(kav::defaultDescriptionPath(), tree));
  KDL::Chain chain;
  EXPECT_TRUE(tree.getChain("base_link", "link6", chain));
  return chain;
}

// The description with link l's mass and inertia times scale[l].
KDL::Chain scaledChain(const KDL::Chain& chain, const std::array<double, kArmJoints>& scale) {
  KDL::Chain result = chain;
  int link = -1;
  for (KDL::Segment& segment : result.segments) {
    if (segment.getJoint().getType() != KDL::Joint::None) ++link;
    if (link >= 0) segment.setInertia(scale[link] * segment.getInertia());
  }
  return result;
}

std::vector<ArmDynamics::Vector> randomPoses(int count) {
  std::mt19937 random(7);
  std::vector<ArmDynamics::Vector> poses;
  for (int n = 0; n < count; ++n) {
    ArmDynamics::Vector q;
    for (int j = 0; j < kArmJoints; ++j) {
      q(j) = std::uniform_real_distribution<double>(kav::config::kJointLower[j],
                                                    kav::config::kJointUpper[j])(random);
    }
    poses.push_back(q);
  }
  return poses;
}

// The arm the tests identify: masses off, more friction, other torque
// constants, a payload the model does not know of. Link 5's mass is as
// described: the fit keeps its factor nominal (the flange body takes up the
// wrist's errors), so an error there is outside the identified form.
struct TrueArm {
  std::array<double, kArmJoints> mass_scale{1.15, 0.85, 1.1, 0.9, 1.0, 0.88};
  std::array<double, kArmJoints> torque_scale{1.1, 0.9, 1.05, 0.92, 1.08, 0.95};
  kav::Payload payload{0.5, Eigen::Vector3d(0.0, 0.02, 0.08)};
  std::unique_ptr<ArmDynamics> model;

  explicit TrueArm(const KDL::Chain& chain) {
    kav::DriveParameters drives;
    for (int i = 0; i < kArmJoints; ++i) {
      drives.viscous[i] *= 2.0;
      drives.coulomb[i] = 0.3;
      drives.command_per_newton_metre[i] /= torque_scale[i];
    }
    model = std::make_unique<ArmDynamics>(scaledChain(chain, mass_scale), drives, payload);
  }
  // The motors' currents along the excitation at t.
  Sample at(const Excitation& e, double t) {
    Sample s;
    e.sample(t, s.q, s.qd, s.qdd);
    ArmDynamics::Matrix m;
    ArmDynamics::Vector bias;
    model->inertia(s.q, m);
    model->bias(s.q, s.qd, bias);
    const ArmDynamics::Vector torque = m * s.qdd + bias;
    for (int i = 0; i < kArmJoints; ++i)
      s.current(i) = model->command(i, torque(i) + model->friction(i, s.qd(i)));
    return s;
  }
  ArmDynamics::Vector holdingCommands(const ArmDynamics::Vector& q) {
    ArmDynamics::Vector g;
    model->gravity(q, g);
    for (int i = 0; i < kArmJoints; ++i) g(i) = model->command(i, g(i));
    return g;
  }
};

TEST(GravityRegressor, TheDescriptionsParametersGiveItsGravity) {
  const KDL::Chain chain = describedChain();
  GravityRegressor regressor(chain);
  ArmDynamics model(chain);
  const kav::DynamicsCalibration nominal = nominalCalibration(chain);
  for (const ArmDynamics::Vector& q : randomPoses(20)) {
    ArmDynamics::Vector expected, got;
    model.gravity(q, expected);
    regressor.gravity(nominal, q, got);
    EXPECT_LT((got - expected).cwiseAbs().maxCoeff(), 1e-9);
  }
}

TEST(DynamicsFit, RecoversTheHoldingTorquesAndFrictionOfAKnownArm) {
  const KDL::Chain chain = describedChain();
  TrueArm truth(chain);
  const Excitation excitation(100.0, 0.5);
  std::vector<Sample> samples;
  for (double t = 0.0; t <= excitation.duration(); t += 0.005) samples.push_back(truth.at(excitation, t));
  const FitResult fit = fitDynamics(chain, samples);

  // Gravity at rest at 50 poses the motion went through (where a fit can
  // speak for the arm; docs/tools.md on poses beyond).
  GravityRegressor regressor(chain);
  std::vector<ArmDynamics::Vector> poses;
  std::mt19937 random(3);
  for (int n = 0; n < 50; ++n) {
    ArmDynamics::Vector q, qd, qdd;
    excitation.sample(std::uniform_real_distribution<double>(0.0, excitation.duration())(random), q, qd, qdd);
    poses.push_back(q);
  }
  ArmDynamics::Vector largest = ArmDynamics::Vector::Zero(), worst = largest;
  for (const ArmDynamics::Vector& q : poses) {
    ArmDynamics::Vector g;
    regressor.gravity(fit.calibration, q, g);
    const ArmDynamics::Vector expected = truth.holdingCommands(q);
    for (int i = 0; i < kArmJoints; ++i) {
      largest(i) = std::max(largest(i), std::fabs(expected(i)));
      worst(i) = std::max(worst(i),
                          std::fabs(g(i) * fit.calibration.joints[i].command_per_newton_metre - expected(i)));
    }
  }
  for (int i = 1; i < kArmJoints; ++i) EXPECT_LT(worst(i), 0.02 * largest(i)) << "joint " << i + 1;
  EXPECT_LT(worst(0), 0.01);  // the base joint's axis is vertical: no gravity
  for (int i = 0; i < kArmJoints; ++i) {
    const kav::JointCalibration& j = fit.calibration.joints[i];
    const double s_true = truth.model->drives().command_per_newton_metre[i];
    // Friction as the motors see it (commands), whatever the torque constant.
    EXPECT_NEAR(j.command_per_newton_metre * j.coulomb, s_true * 0.3, 0.02 * s_true * 0.3)
        << "joint " << i + 1;
    EXPECT_NEAR(j.command_per_newton_metre * j.viscous, s_true * truth.model->drives().viscous[i],
                0.1 * s_true * truth.model->drives().viscous[i])
        << "joint " << i + 1;
    EXPECT_LT(fit.joints[i].rms_after, 0.01 * fit.joints[i].rms_before + 1e-6) << "joint " << i + 1;
  }
}

TEST(DynamicsFit, PayloadFromHeldPoses) {
  const KDL::Chain chain = describedChain();
  const kav::Payload payload{0.5, Eigen::Vector3d(0.01, -0.02, 0.08)};
  ArmDynamics loaded(chain, kav::DriveParameters(), payload);
  std::vector<Sample> held;
  for (const ArmDynamics::Vector& q : randomPoses(12)) {
    Sample s;
    s.q = q;
    s.qd.setZero();
    s.qdd.setZero();
    loaded.gravity(q, s.current);
    for (int i = 0; i < kArmJoints; ++i) s.current(i) = loaded.command(i, s.current(i));
    held.push_back(s);
  }
  const kav::PayloadCalibration found = fitPayload(chain, nominalCalibration(chain), held);
  EXPECT_NEAR(found.mass, 0.5, 1e-6);
  EXPECT_LT((found.centre_of_mass - payload.centre_of_mass).norm(), 1e-6);
  EXPECT_THROW(
      fitPayload(chain, nominalCalibration(chain), std::vector<Sample>(held.begin(), held.begin() + 2)),
      std::invalid_argument);
}

class CalibrationFile : public ::testing::Test {
 protected:
  std::string path = ::testing::TempDir() + "calibration-" + std::to_string(::getpid()) + ".json";
  void TearDown() override { std::remove(path.c_str()); }
  void write(const std::string& text) { std::ofstream(path) << text; }
};

TEST_F(CalibrationFile, RoundTripsAndRefusesMalformedFilesNamingTheField) {
  kav::DynamicsCalibration c = nominalCalibration(describedChain());
  c.joints[2].link_mass_scale[1] = 1.2;
  c.has_payload = true;
  c.payload.mass = 0.4;
  c.payload.centre_of_mass = Eigen::Vector3d(0, 0, 0.05);
  write(kav::dynamicsJson(c, "{\"samples\": 1}"));
  const kav::DynamicsCalibration back = kav::readCalibrationFile(path, true);
  EXPECT_DOUBLE_EQ(back.joints[2].link_mass_scale[1], 1.2);
  EXPECT_DOUBLE_EQ(back.payload.centre_of_mass.z(), 0.05);

  const std::string good = kav::dynamicsJson(c, "");
  const struct {
    std::string text;
    const char* named;
  } cases[] = {
      {"{\"version\": 1, \"joints\": [", "not JSON"},
      {"[1, 2]", "JSON object"},
      {std::string(good).replace(good.find("\"version\": 1"), 12, "\"version\": 2"), "version"},
      {std::string(good).replace(good.find("\"coulomb_friction_newton_metre\""), 31, "\"coulomb\""),
       "joints[0].coulomb_friction_newton_metre"},
      {std::string(good).replace(good.find("\"mass_kg\": 0.4"), 14, "\"mass_kg\": 40"), "payload.mass_kg"},
      {std::string(good).replace(good.find("\"mass_kg\": 0.4"), 14, "\"mass_kg\": \"heavy\""),
       "payload.mass_kg"},
      {"{\"version\": 1, \"joints\": []}", "joints"},
  };
  for (const auto& bad : cases) {
    write(bad.text);
    try {
      kav::readCalibrationFile(path, true);
      ADD_FAILURE() << "accepted: " << bad.text;
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(bad.named), std::string::npos) << error.what();
    }
  }
  write("{\"version\": 1, \"payload\": {\"mass_kg\": 0.5, \"centre_of_mass_m\": [0, 0, 2]}}");
  EXPECT_THROW(kav::readCalibrationFile(path, false), std::invalid_argument);
  write("{\"version\": 1, \"payload\": {\"mass_kg\": 0.5, \"centre_of_mass_m\": [0, 0, 0.08]}}");
  EXPECT_DOUBLE_EQ(kav::readCalibrationFile(path, false).payload.mass, 0.5);
}

}  // namespace
