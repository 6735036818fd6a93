// Testing a host program without hardware and without waiting: the arm and a
// simulated arm run in lockstep on a simulated clock, much faster than real
// time and the same on every run.
//
//   lockstep_test URDF
//
// pickAndPlace() stands for the host program under test: it only uses the
// arm's facade, so the same function drives a real arm. On the rig its
// blocking calls (the motions' waits) advance simulated time.
#include <sim/Lockstep.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace {

// The host program: open the gripper, move over the part, close the
// gripper on it, carry it to the drop point.
void pickAndPlace(kav::t8::InterfacesThread& arm) {
  arm.setCatch(0.8);
  arm.moveJoints({0.4, 0.9, 0.7, 0.0, 0.4, 0.0});
  if (!arm.waitMotion(10.0)) throw std::runtime_error("the approach did not finish");
  arm.setCatch(0.0);
  arm.moveJoints({-0.4, 0.7, 0.5, 0.0, 0.4, 0.0}, 0.5);
  if (!arm.waitMotion(15.0)) throw std::runtime_error("the transfer did not finish");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: lockstep_test URDF\n");
    return 2;
  }
  const auto wall_start = std::chrono::steady_clock::now();
  kav::sim::Lockstep rig(argv[1]);  // brings the arm up in simulated time
  kav::t8::InterfacesThread& arm = rig.arm();

  pickAndPlace(arm);
  rig.advance(0.5);  // let the arm settle

  // What the test asserts: the arm is where the program put it, nothing
  // went wrong, and the motors were never asked for more than they may do.
  const std::vector<double> target{-0.4, 0.7, 0.5, 0.0, 0.4, 0.0};
  const auto truth = rig.simulatedArm().jointStates();
  int failures = 0;
  for (int joint = 0; joint < 6; ++joint) {
    if (std::fabs(truth[joint].position - target[joint]) > 0.02) {
      std::printf("FAIL: joint %d at %.4f rad, expected %.4f\n", joint + 1, truth[joint].position,
                  target[joint]);
      ++failures;
    }
  }
  if (!arm.getErrorCode().empty()) {
    std::printf("FAIL: error code %d\n", arm.getErrorCode().front());
    ++failures;
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  std::printf("%s: %.2f s of arm time in %.3f s, %zu frames on the bus\n", failures ? "FAILED" : "passed",
              rig.now(), wall, rig.frames().size());
  return failures ? 1 : 0;
}
