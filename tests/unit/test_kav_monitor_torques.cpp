// kav monitor's external torques: the controller's observer stepped once per
// round of the arm's feedback, as a passive member of the bus decodes it.
#include <gmock/gmock.h>
#include <solver/kinematic_dynamic_solver.h>
#include <solver/kinematic_solver.h>

#include <cmath>
#include <kdl/chaindynparam.hpp>

#include "ExternalTorques.h"
#include "controller/CollisionObserver.h"

using namespace kav::tool;
using kav::config::kArmJoints;
using kav::config::kGripper;
using kav::config::kMotorTorqueConstant;
using kav::config::kObserverGain;

namespace {

constexpr auto kCycle = std::chrono::milliseconds(5);

// An arm at rest at a pose away from zero, its motors holding gravity and
// pushing back against a torque from outside.
class MonitorTorques : public testing::Test {
 protected:
  MonitorTorques()
      : solver_(kav::defaultDescriptionPath(), "base_link", "link6"),
        torques_(solver_.chain()),
        pose_(kArmJoints),
        gravity_(kArmJoints) {
    const double pose[kArmJoints] = {0.3, 0.8, 0.6, 0.2, -0.4, 0.5};
    for (int j = 0; j < kArmJoints; ++j) pose_(j) = pose[j];
    KDL::ChainDynParam(solver_.chain(), KDL::Vector(0.0, 0.0, -9.81)).JntToGravity(pose_, gravity_);
  }

  BusEvent feedback(int joint, double current) const {
    BusEvent event;
    event.kind = BusEvent::Kind::kFeedback;
    event.time = now_;
    event.joint = joint;
    event.feedback.position = joint < kArmJoints ? pose_(joint) : 0.0;
    event.feedback.current = current;
    return event;
  }

  // The six arm joints' feedback while @p external acts from outside;
  // whether the last one (and only it) completed a round.
  bool round(const JointTorques& external) {
    bool completed = false;
    for (int j = 0; j < kArmJoints; ++j) {
      EXPECT_FALSE(completed) << "a round completed before joint " << j + 1;
      completed = torques_.add(feedback(j, (gravity_(j) - external[j]) / kMotorTorqueConstant[j]));
    }
    return completed;
  }

  kav::KinematicDynamicSolver solver_;
  ExternalTorques torques_;
  KDL::JntArray pose_, gravity_;
  Clock::time_point now_{};
};

TEST_F(MonitorTorques, ResidualsFollowTheExternalTorqueAndStartAgainAfterAGap) {
  const JointTorques external{0.0, 2.0, 0.0, 0.0, -1.0, 0.0};
  // Neither the gripper's feedback nor commands make a round.
  BusEvent command = feedback(5, 0.0);
  command.kind = BusEvent::Kind::kCommand;
  EXPECT_FALSE(torques_.add(feedback(kGripper, 0.0)));
  EXPECT_FALSE(torques_.add(command));
  for (int k = 0; k < 100; ++k, now_ += kCycle) ASSERT_TRUE(round(external));
  EXPECT_THAT(torques_.residual(), testing::Pointwise(testing::DoubleNear(1e-3), external));

  now_ += std::chrono::milliseconds(100);  // the bus fell silent
  ASSERT_TRUE(round(external));
  EXPECT_THAT(torques_.residual(), testing::Each(0.0));
  now_ += kCycle;
  ASSERT_TRUE(round(external));
  // One step of 5 ms closes 1 - exp(-K_O x 5 ms) of the gap (about half).
  const double closed = 1.0 - std::exp(-kObserverGain[1] * 0.005);
  EXPECT_NEAR(torques_.residual()[1], 2.0 * closed, 1e-3);
  EXPECT_NEAR(torques_.residual()[4], -closed, 1e-3);
  // A late round (40 ms, a stalled machine) closes more of the gap but never
  // overshoots it.
  now_ += std::chrono::milliseconds(40);
  ASSERT_TRUE(round(external));
  EXPECT_GT(torques_.residual()[1], 2.0 * closed);
  EXPECT_LE(torques_.residual()[1], 2.0 + 1e-9);
  EXPECT_GE(torques_.residual()[4], -1.0 - 1e-9);
}

TEST(MonitorCollision, MarksTorquesAboveTheDefaultThresholdsEitherWay) {
  using kav::config::kCollisionThreshold;
  using kav::config::kContactThreshold;
  EXPECT_EQ(collisionOf(0, kContactThreshold[0] - 0.1), Collision::kNone);
  EXPECT_EQ(collisionOf(0, -kContactThreshold[0] - 0.1), Collision::kContact);
  EXPECT_EQ(collisionOf(0, kCollisionThreshold[0] + 0.1), Collision::kReflex);
  EXPECT_EQ(collisionOf(3, kContactThreshold[3] + 0.1), Collision::kContact);
  EXPECT_EQ(collisionOf(5, -kCollisionThreshold[5] - 0.1), Collision::kReflex);
  EXPECT_STREQ(collisionName(Collision::kReflex), "reflex");
}

// A step the controller does not trust (a stalled host: the replies need
// not have been sampled at the cycle's times) moves neither the residual nor
// the next step's starting momentum.
TEST_F(MonitorTorques, AStepWithoutEvidenceHoldsTheResidualAndTheMomentumMovesOn) {
  kav::t8::MomentumObserver observer(solver_.chain());
  kav::t8::laws::Feedback moving;
  for (int j = 0; j < kArmJoints; ++j) {
    moving.joints[j].position = pose_(j);
    moving.joints[j].current = gravity_(j) / kMotorTorqueConstant[j];
  }
  kav::t8::laws::Feedback resting = moving;
  moving.joints[1].velocity = 0.5;  // a jump of momentum no motor torque explains
  observer.update(resting, 0.0);
  observer.update(resting, 0.005);
  observer.hold(moving);
  EXPECT_THAT(observer.residual(), testing::Each(testing::DoubleNear(0.0, 1e-9)));
  observer.update(moving, 0.005);  // friction at the new speed only (0.125 N·m on joint 2)
  EXPECT_THAT(observer.residual(), testing::Each(testing::DoubleNear(0.0, 0.1)));
  // The same jump as evidence reads as a push.
  observer.update(resting, 0.005);
  EXPECT_LT(observer.residual()[1], -5.0);
}

}  // namespace
