#include <solver/kinematic_dynamic_solver.h>

#include <kdl/chaindynparam.hpp>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/chainiksolverpos_lma.hpp>
#include <kdl_parser/kdl_parser.hpp>

#include <cmath>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace kav {

namespace {

constexpr double kIkEps = 1e-6;
constexpr int kIkMaxIterations = 500;
constexpr double kIkEpsJoints = 1e-15;
constexpr unsigned int kArmJoints = 6;

// Fixed factors applied to the model's gravity torques, per joint group.
constexpr double kProximalTorqueScale = 0.8;  // joints 1-3
constexpr double kDistalTorqueScale = 1.32;   // joints 4-6

[[noreturn]] void fail(const char* line, const char* message) {
    std::cerr << line << std::endl;
    throw std::runtime_error(message);
}

bool allFinite(const KDL::JntArray& q) {
    return q.data.allFinite();
}

bool allFinite(const KDL::Frame& f) {
    for (int i = 0; i < 3; ++i) {
        if (!std::isfinite(f.p(i))) return false;
        for (int j = 0; j < 3; ++j) {
            if (!std::isfinite(f.M(i, j))) return false;
        }
    }
    return true;
}

bool readFile(const std::string& path, std::string& contents) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    contents = text.str();
    return in.good() && !contents.empty();
}

}  // namespace

KinematicDynamicSolver::KinematicDynamicSolver(const std::string& urdf_path,
                                               const std::string& base_link,
                                               const std::string& end_effector_link) {
    // kdl_parser::treeFromFile dereferences a null model when the file is
    // missing or not URDF, so the file is read here and parsed as text.
    std::string urdf_xml;
    if (!readFile(urdf_path, urdf_xml) || !kdl_parser::treeFromString(urdf_xml, tree_)) {
        fail("Failed to parse URDF file.", "URDF parsing failed");
    }
    if (!tree_.getChain(base_link, end_effector_link, chain_)) {
        std::cerr << "Failed to get chain from " << base_link << " to " << end_effector_link << "."
                  << std::endl;
        throw std::runtime_error("Chain extraction failed");
    }
    buildSolvers();
}

KinematicDynamicSolver::KinematicDynamicSolver(const std::string& urdf_xml) {
    if (!kdl_parser::treeFromString(urdf_xml, tree_)) {
        fail("Failed to URDF XML.", "URDF parsing failed");
    }
    if (!tree_.getChain("base_link", "link6", chain_)) {
        fail("Failed to get chain from base_link to link6.", "Chain extraction failed");
    }
    buildSolvers();
}

KinematicDynamicSolver::~KinematicDynamicSolver() = default;

void KinematicDynamicSolver::buildSolvers() {
    fk_solver_ = std::make_unique<KDL::ChainFkSolverPos_recursive>(chain_);
    ik_solver_ = std::make_unique<KDL::ChainIkSolverPos_LMA>(chain_, kIkEps, kIkMaxIterations,
                                                             kIkEpsJoints);
    gravity_ = KDL::Vector(0.0, 0.0, -9.81);
    dyn_param_solver_ = std::make_unique<KDL::ChainDynParam>(chain_, gravity_);

    // init_frame_ is still the identity here, so this yields the chain's own
    // zero-configuration frame; a chain without exactly six joints fails.
    KDL::JntArray zero(kArmJoints);
    KDL::SetToZero(zero);
    init_frame_ = computeForwardKinematics(zero);
}

KDL::Frame KinematicDynamicSolver::computeForwardKinematics(const KDL::JntArray& joint_angles) {
    KDL::Frame frame = KDL::Frame::Identity();
    if (!allFinite(joint_angles) || fk_solver_->JntToCart(joint_angles, frame, -1) < 0) {
        fail("Forward kinematics computation failed.", "Forward kinematics computation failed");
    }
    frame.p -= init_frame_.p;
    return frame;
}

KDL::JntArray KinematicDynamicSolver::computeInverseKinematics(KDL::Frame& target_pose,
                                                               const KDL::JntArray& initial_guess) {
    KDL::JntArray result(chain_.getNrOfJoints());
    target_pose.p += init_frame_.p;
    if (!allFinite(target_pose) || !allFinite(initial_guess) ||
        ik_solver_->CartToJnt(initial_guess, target_pose, result) < 0) {
        fail("Inverse kinematics computation failed.", "Inverse kinematics computation failed");
    }
    return result;
}

KDL::JntArray KinematicDynamicSolver::computeGravityCompensationTorque(
    const KDL::JntArray& joint_angles) {
    KDL::JntArray torques(chain_.getNrOfJoints());
    if (!allFinite(joint_angles) || dyn_param_solver_->JntToGravity(joint_angles, torques) < 0) {
        fail("Dynamics computation failed.", "Dynamics computation failed");
    }
    for (unsigned int i = 0; i < torques.rows(); ++i) {
        torques(i) *= i < 3 ? kProximalTorqueScale : kDistalTorqueScale;
    }
    return torques;
}

}  // namespace kav
