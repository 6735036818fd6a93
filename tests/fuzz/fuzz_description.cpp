// Fuzzes the robot description loader: any bytes as the URDF text of a
// KinematicDynamicSolver, from text (inputs of even length) or from a file
// (odd length). A description that loads is used once: forward kinematics
// and gravity torques at the zero configuration, and the reach bound.
// Property: no crash (deep nesting and long chains are refused before the
// parser or the tree builder recurse through them), no sanitizer report, no
// exception but std::runtime_error, and finite kinematics from a
// description that loads.
#include <solver/kinematic_dynamic_solver.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>

#include "fuzz_check.h"

namespace {

// The file that descriptions are loaded from, one per process, removed at exit.
struct DescriptionFile {
  const std::string path = "/tmp/kav-fuzz-description-" + std::to_string(::getpid()) + ".urdf";
  ~DescriptionFile() { ::unlink(path.c_str()); }
} description_file;

void use(kav::KinematicDynamicSolver& solver) {
  KDL::JntArray zero(6);
  const KDL::Frame pose = solver.computeForwardKinematics(zero);
  for (int i = 0; i < 3; ++i) {
    kav_fuzz::check(std::isfinite(pose.p(i)),
                    "fuzz_description: a loaded description gave a pose that is not finite", i, pose.p(i));
    for (int j = 0; j < 3; ++j) {
      kav_fuzz::check(std::isfinite(pose.M(i, j)),
                      "fuzz_description: a loaded description gave a rotation that is not finite", i,
                      pose.M(i, j));
    }
  }
  solver.computeGravityCompensationTorque(zero);
  solver.isOutOfReach(KDL::Vector(0.1, 0.2, 0.3));
}

void load(const std::string& text, bool from_file) {
  if (!from_file) {
    kav::KinematicDynamicSolver solver(text);
    use(solver);
    return;
  }
  {
    std::ofstream file(description_file.path, std::ios::binary | std::ios::trunc);
    file << text;
  }
  kav::KinematicDynamicSolver solver(description_file.path, "base_link", "link6");
  use(solver);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    load(text, size % 2 == 1);
  } catch (const std::runtime_error&) {
    // The loader's documented failure.
  } catch (const std::exception& error) {
    kav_fuzz::fail(
        std::string("fuzz_description: the loader threw something else than std::runtime_error: ") +
        error.what());
  } catch (...) {
    kav_fuzz::fail("fuzz_description: the loader threw something that is not a std::exception");
  }
  return 0;
}
