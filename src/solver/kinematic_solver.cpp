#include <solver/kinematic_dynamic_solver.h>
#include <solver/kinematic_solver.h>
#include <unistd.h>

#include <cmath>
#include <stdexcept>

#include "solver/RestartSearch.h"

namespace kav {

std::string defaultDescriptionPath() {
  const std::string file = "vorlan_v1.1_aa.urdf";
  std::string installed = "../share/kav_t8/urdf/" + file;
  char self[4096] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    const std::string exe(self, static_cast<std::size_t>(length));
    installed = exe.substr(0, exe.rfind('/') + 1) + installed;
  }
  for (const std::string& path : {installed, std::string(KAV_SOURCE_DIR) + "/share/urdf/" + file}) {
    if (::access(path.c_str(), R_OK) == 0) return path;
  }
  return installed;
}

// The same text, byte for byte, is share/urdf/vorlan_v1.1_aa.urdf.
std::string urdf_xml_g = R"urdf(
<robot name="vorlan_v1.1_aa">
    <link name="base_link">
        <inertial>
            <origin xyz="-2.9972E-05 3.056E-05 0.027301" rpy="0 0 0"/>
            <mass value="0.44038"/>
            <inertia ixx="0.00017" ixy="0.00000" ixz="0.00000" iyy="0.00018" iyz="0.00000" izz="0.00016"/>
        </inertial>
        <visual>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/base_link.STL"/>
            </geometry>
            <material name="">
                <color rgba="0.75294 0.75294 0.75294 1"/>
            </material>
        </visual>
        <collision>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/base_link.STL"/>
            </geometry>
        </collision>
    </link>
    <link name="link1">
        <inertial>
            <origin xyz="0.0060953 -0.0042968 0.017959" rpy="0 0 0"/>
            <mass value="0.060835"/>
            <inertia ixx="0.00008" ixy="0.00000" ixz="0.00001" iyy="0.00003" iyz="0.00000" izz="0.00007"/>
        </inertial>
        <visual>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/link1.STL"/>
            </geometry>
            <material name="">
                <color rgba="0.75294 0.75294 0.75294 1"/>
            </material>
        </visual>
        <collision>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/link1.STL"/>
            </geometry>
        </collision>
    </link>
    <joint name="joint1" type="revolute">
        <origin xyz="0 0 0.0603" rpy="0 0 0"/>
        <parent link="base_link"/>
        <child link="link1"/>
        <axis xyz="0 0 1"/>
        <limit lower="-10" upper="10" effort="100" velocity="1000"/>
    </joint>
    <link name="link2">
        <inertial>
            <origin xyz="-0.13238 0.0022038 0.00011179" rpy="0 0 0"/>
            <mass value="1.0733"/>
            <inertia ixx="0.00050" ixy="0.00000" ixz="-0.00004" iyy="0.01596" iyz="0.00000" izz="0.01602"/>
        </inertial>
        <visual>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/link2.STL"/>
            </geometry>
            <material name="">
                <color rgba="0.75294 0.75294 0.75294 1"/>
            </material>
        </visual>
        <collision>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/link2.STL"/>
            </geometry>
        </collision>
    </link>
    <joint name="joint2" type="revolute">
        <origin xyz="0.02 0 0.0402" rpy="0 0 0"/>
        <parent link="link1"/>
        <child link="link2"/>
        <axis xyz="0 1 0"/>
        <limit lower="-10" upper="10" effort="100" velocity="1000"/>
    </joint>
    <link name="link3">
        <inertial>
            <origin xyz="0.1872 -0.00030568 -0.051483" rpy="0 0 0"/>
            <mass value="0.4994"/>
            <inertia ixx="0.00033" ixy="-0.00006" ixz="-0.00039" iyy="0.00387" iyz="0.00001" izz="0.00383"/>
        </inertial>
        <visual>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/link3.STL"/>
            </geometry>
            <material name="">
                <color rgba="0.75294 0.75294 0.75294 1"/>
            </material>
        </visual>
        <collision>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/link3.STL"/>
            </geometry>
        </collision>
    </link>
    <joint name="joint3" type="revolute">
        <origin xyz="-0.264 0 0" rpy="-3.1416 0 0"/>
        <parent link="link2"/>
        <child link="link3"/>
        <axis xyz="0 1 0"/>
        <limit lower="-10" upper="10" effort="100" velocity="1000"/>
    </joint>
    <link name="link4">
        <inertial>
            <origin xyz="0.038888 0.0029517 -0.035328" rpy="0 0 0"/>
            <mass value="0.080971"/>
            <inertia ixx="0.00013" ixy="-0.00001" ixz="-0.00006" iyy="0.00016" iyz="0.00001" izz="0.00010"/>
        </inertial>
        <visual>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/link4.STL"/>
            </geometry>
            <material name="">
                <color rgba="0.89804 0.91765 0.92941 1"/>
            </material>
        </visual>
        <collision>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/link4.STL"/>
            </geometry>
        </collision>
    </link>
    <joint name="joint4" type="revolute">
        <origin xyz="0.245 0 -0.056" rpy="0 0 0"/>
        <parent link="link3"/>
        <child link="link4"/>
        <axis xyz="0 1 0"/>
        <limit lower="-10" upper="10" effort="100" velocity="1000"/>
    </joint>
    <link name="link5">
        <inertial>
            <origin xyz="0.0028996 3.1583E-05 0.052619" rpy="0 0 0"/>
            <mass value="0.60236"/>
            <inertia ixx="0.00072" ixy="0.00000" ixz="0.00005" iyy="0.00069" iyz="0.00000" izz="0.00021"/>
        </inertial>
        <visual>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/link5.STL"/>
            </geometry>
            <material name="">
                <color rgba="0.75294 0.75294 0.75294 1"/>
            </material>
        </visual>
        <collision>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/link5.STL"/>
            </geometry>
        </collision>
    </link>
    <joint name="joint5" type="revolute">
        <origin xyz="0.06575 -0.001 -0.0825" rpy="0 0 0"/>
        <parent link="link4"/>
        <child link="link5"/>
        <axis xyz="0 0 1"/>
        <limit lower="-10" upper="10" effort="100" velocity="1000"/>
    </joint>
    <link name="link6">
        <inertial>
            <origin xyz="0.0448060032633747 4.61631715961057E-05 -0.000190936703812095" rpy="0 0 0"/>
            <mass value="0.6000"/>
            <inertia ixx="0.00029" ixy="0.00000" ixz="0.00000" iyy="0.00028" iyz="-0.00001" izz="0.00045"/>
        </inertial>
        <visual>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/link6.STL"/>
            </geometry>
            <material name="">
                <color rgba="0.89804 0.91765 0.92941 1"/>
            </material>
        </visual>
        <collision>
            <origin xyz="0 0 0" rpy="0 0 0"/>
            <geometry>
                <mesh filename="package://vorlan_v1.1_aa/meshes/link6.STL"/>
            </geometry>
        </collision>
    </link>
    <joint name="joint6" type="revolute">
        <origin xyz="0.02845 0 0.0825" rpy="-3.1416 0 0"/>
        <parent link="link5"/>
        <child link="link6"/>
        <axis xyz="1 0 0"/>
        <limit lower="-10" upper="10" effort="100" velocity="1000"/>
    </joint>
</robot>)urdf";

KDL::JntArray last_joint_angle_g(6);

namespace {

constexpr unsigned int kJoints = 6;

void requireSix(const double* values, const char* name) {
  if (values == nullptr) {
    throw std::invalid_argument(std::string("KinematicSolver: ") + name + " is a null pointer");
  }
  for (unsigned int i = 0; i < kJoints; ++i) {
    if (!std::isfinite(values[i])) {
      throw std::invalid_argument(std::string("KinematicSolver: ") + name + "[" + std::to_string(i) +
                                  "] is not finite");
    }
  }
}

void requireOutput(const double* values, const char* name) {
  if (values == nullptr) {
    throw std::invalid_argument(std::string("KinematicSolver: ") + name + " is a null pointer");
  }
}

constexpr std::chrono::seconds kLongestRobustBudget{60};

void requireUsable(const RobustIkOptions& options) {
  if (options.budget < std::chrono::microseconds::zero() || options.budget > kLongestRobustBudget) {
    throw std::invalid_argument("KinematicSolver::solveRobust: the budget must lie within 0 and 60 s");
  }
  if (options.max_solutions < 1) {
    throw std::invalid_argument("KinematicSolver::solveRobust: max_solutions must be at least 1");
  }
}

KDL::JntArray jointArray(const double* values) {
  KDL::JntArray q(kJoints);
  for (unsigned int i = 0; i < kJoints; ++i) q(i) = values[i];
  return q;
}

KDL::Frame frameOf(const double* pose) {
  return KDL::Frame(KDL::Rotation::RPY(pose[3], pose[4], pose[5]), KDL::Vector(pose[0], pose[1], pose[2]));
}

}  // namespace

class KinematicSolver::impl : public KinematicDynamicSolver {
 public:
  explicit impl(const std::string& urdf_xml) : KinematicDynamicSolver(urdf_xml), restarts(chain()) {}

  RestartSearch restarts;
};

KinematicSolver::KinematicSolver() : pimpl(std::make_unique<impl>(urdf_xml_g)) {
  last_joint_angle_g.resize(kJoints);
  KDL::SetToZero(last_joint_angle_g);
}

KinematicSolver::~KinematicSolver() = default;

void KinematicSolver::computeForwardKinematics(const double* joint_angles, double* end_effector_pose) {
  requireSix(joint_angles, "joint_angles");
  requireOutput(end_effector_pose, "end_effector_pose");
  const KDL::Frame frame = pimpl->computeForwardKinematics(jointArray(joint_angles));
  for (int i = 0; i < 3; ++i) end_effector_pose[i] = frame.p(i);
  frame.M.GetRPY(end_effector_pose[3], end_effector_pose[4], end_effector_pose[5]);
}

void KinematicSolver::computeInverseKinematics(const double* target_pose, double* joint_angles) {
  requireSix(target_pose, "target_pose");
  requireOutput(joint_angles, "joint_angles");
  KDL::Frame target = frameOf(target_pose);
  const KDL::JntArray solution = pimpl->computeInverseKinematics(target, last_joint_angle_g);
  last_joint_angle_g = solution;
  for (unsigned int i = 0; i < kJoints; ++i) joint_angles[i] = solution(i);
}

RobustIkResult KinematicSolver::solveRobust(const double* target_pose, const double* seed,
                                            double* joint_angles, const RobustIkOptions& options) {
  requireSix(target_pose, "target_pose");
  requireSix(seed, "seed");
  requireOutput(joint_angles, "joint_angles");
  requireUsable(options);
  KDL::Frame target = frameOf(target_pose);
  if (pimpl->isOutOfReach(target.p)) return RobustIkResult();
  target.p += pimpl->zeroFrame().p;

  KDL::JntArray solution(kJoints);
  const RobustIkResult result = pimpl->restarts.solve(target, jointArray(seed), options, solution);
  if (result.found) {
    for (unsigned int i = 0; i < kJoints; ++i) joint_angles[i] = solution(i);
  }
  return result;
}

}  // namespace kav
