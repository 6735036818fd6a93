#include "solver/DynamicsIdentification.h"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <stdexcept>

namespace kav {
namespace identify {

namespace {

using config::kArmJoints;

const KDL::Vector kGravity(0.0, 0.0, -9.81);
constexpr int kFlange = kScaledLinks;  // index of the flange's mass among the parameters

// The index of the link each segment belongs to (-1 before the first joint).
std::vector<int> linksOf(const KDL::Chain& chain) {
  std::vector<int> links;
  int link = -1;
  for (const KDL::Segment& segment : chain.segments) {
    if (segment.getJoint().getType() != KDL::Joint::None) ++link;
    links.push_back(link);
  }
  return links;
}

KDL::Chain massless(const KDL::Chain& chain) {
  KDL::Chain result = chain;
  for (KDL::Segment& segment : result.segments) segment.setInertia(KDL::RigidBodyInertia::Zero());
  return result;
}

}  // namespace

GravityRegressor::GravityRegressor(const KDL::Chain& chain)
    : q_(kArmJoints),
      qd_(kArmJoints),
      qdd_(kArmJoints),
      torque_(kArmJoints),
      wrenches_(chain.getNrOfSegments(), KDL::Wrench::Zero()),
      nominal_(GravityParameters::Zero()) {
  if (chain.getNrOfJoints() != static_cast<unsigned>(kArmJoints)) {
    throw std::invalid_argument("GravityRegressor: the chain has not six joints");
  }
  const std::vector<int> links = linksOf(chain);
  if (chain.segments.back().getJoint().getType() == KDL::Joint::None) {
    throw std::invalid_argument("GravityRegressor: link 6 must be the chain's last segment");
  }
  for (int l = 0; l < kScaledLinks; ++l) {
    auto part = std::make_unique<KDL::Chain>(massless(chain));
    for (std::size_t s = 0; s < part->segments.size(); ++s) {
      if (links[s] == l) part->segments[s].setInertia(chain.segments[s].getInertia());
    }
    parts_.push_back(std::make_unique<KDL::ChainDynParam>(*part, kGravity));
    inverse_.push_back(std::make_unique<KDL::ChainIdSolver_RNE>(*part, kGravity));
    chains_.push_back(std::move(part));
    nominal_(l) = 1.0;
  }
  // Unit masses at the origin and at e_x, e_y, e_z, the latter without
  // rotational inertia about the origin (their rotational inertia about
  // their centre cancels m |c|^2): less the first, pure first moments.
  const KDL::RigidBodyInertia bodies[5] = {
      KDL::RigidBodyInertia(1.0, KDL::Vector::Zero()),
      KDL::RigidBodyInertia(1.0, KDL::Vector(1, 0, 0), KDL::RotationalInertia(0, -1, -1, 0, 0, 0)),
      KDL::RigidBodyInertia(1.0, KDL::Vector(0, 1, 0), KDL::RotationalInertia(-1, 0, -1, 0, 0, 0)),
      KDL::RigidBodyInertia(1.0, KDL::Vector(0, 0, 1), KDL::RotationalInertia(-1, -1, 0, 0, 0, 0)),
      // Link 6's rotational inertia about the flange alone: a known term.
      KDL::RigidBodyInertia(0.0, KDL::Vector::Zero(),
                            KDL::RigidBodyInertia(chain.segments.back().getInertia()).getRotationalInertia()),
  };
  for (const KDL::RigidBodyInertia& body : bodies) {
    auto part = std::make_unique<KDL::Chain>(massless(chain));
    part->segments.back().setInertia(body);
    parts_.push_back(std::make_unique<KDL::ChainDynParam>(*part, kGravity));
    inverse_.push_back(std::make_unique<KDL::ChainIdSolver_RNE>(*part, kGravity));
    chains_.push_back(std::move(part));
  }
  const KDL::RigidBodyInertia& link6 = chain.segments.back().getInertia();
  nominal_(kFlange) = link6.getMass();
  const KDL::Vector moment = link6.getMass() * link6.getCOG();
  for (int k = 0; k < 3; ++k) nominal_(kFlange + 1 + k) = moment(k);
}

GravityRegressor::~GravityRegressor() = default;

void GravityRegressor::columns(const ArmDynamics::Vector& q, GravityColumns& out) {
  q_.data = q;
  for (int p = 0; p < kScaledLinks + 4; ++p) {
    parts_[static_cast<std::size_t>(p)]->JntToGravity(q_, torque_);
    out.col(p) = torque_.data;
  }
  // A unit mass at e_k less one at the origin: the torque per unit of first moment.
  for (int k = 1; k <= 3; ++k) out.col(kFlange + k) -= out.col(kFlange);
}

void GravityRegressor::dynamicColumns(const ArmDynamics::Vector& q, const ArmDynamics::Vector& qd,
                                      const ArmDynamics::Vector& qdd, GravityColumns& out) {
  q_.data = q;
  qd_.data = qd;
  qdd_.data = qdd;
  for (int p = 0; p < kScaledLinks + 4; ++p) {
    inverse_[static_cast<std::size_t>(p)]->CartToJnt(q_, qd_, qdd_, wrenches_, torque_);
    out.col(p) = torque_.data;
  }
  for (int k = 1; k <= 3; ++k) out.col(kFlange + k) -= out.col(kFlange);
}

void GravityRegressor::flangeRotation(const ArmDynamics::Vector& q, const ArmDynamics::Vector& qd,
                                      const ArmDynamics::Vector& qdd, ArmDynamics::Vector& out) {
  q_.data = q;
  qd_.data = qd;
  qdd_.data = qdd;
  inverse_.back()->CartToJnt(q_, qd_, qdd_, wrenches_, torque_);
  out = torque_.data;
}

GravityParameters GravityRegressor::parametersOf(const JointCalibration& joint) {
  GravityParameters p;
  for (int l = 0; l < kScaledLinks; ++l) p(l) = joint.link_mass_scale[l];
  p(kFlange) = joint.flange_mass;
  for (int k = 0; k < 3; ++k) p(kFlange + 1 + k) = joint.flange_moment(k);
  return p;
}

void GravityRegressor::gravity(const DynamicsCalibration& calibration, const ArmDynamics::Vector& q,
                               ArmDynamics::Vector& out) {
  columns(q, columns_);
  for (int i = 0; i < kArmJoints; ++i) out(i) = columns_.row(i).dot(parametersOf(calibration.joints[i]));
}

DynamicsCalibration nominalCalibration(const KDL::Chain& chain) {
  GravityRegressor regressor(chain);
  const GravityParameters& p = regressor.nominal();
  DynamicsCalibration calibration;
  for (int i = 0; i < kArmJoints; ++i) {
    JointCalibration& joint = calibration.joints[i];
    joint.command_per_newton_metre = config::kTorqueCommandPerNewtonMetre[i];
    joint.viscous = config::kViscousFriction[i];
    joint.coulomb = config::kCoulombFriction[i];
    for (int l = 0; l < kScaledLinks; ++l) joint.link_mass_scale[l] = p(l);
    joint.flange_mass = p(kFlange);
    joint.flange_moment = p.segment<3>(kFlange + 1);
  }
  return calibration;
}

// ------------------------------------------------------------- excitation

namespace {

constexpr double kLimitMargin = 0.15;  // rad inside each joint limit
constexpr double kRangeUsed = 0.8;     // of each joint's half range about its centre
constexpr double kFade = 8.0;          // s: slow enough that the fade's own accelerations stay small
constexpr double kBasePeriod = 40.0;   // s

// 10 u^3 - 15 u^4 + 6 u^5 and its derivatives: 0 to 1 at rest at both ends.
void fade(double u, double& e, double& de, double& dde) {
  u = std::clamp(u, 0.0, 1.0);
  e = u * u * u * (10.0 + u * (-15.0 + 6.0 * u));
  de = 30.0 * u * u * (1.0 - u) * (1.0 - u);
  dde = 60.0 * u * (1.0 - u) * (1.0 - 2.0 * u);
}

}  // namespace

Excitation::Excitation(double duration, double speed_scale, unsigned seed)
    : duration_(duration), fade_(kFade) {
  if (!(duration >= 30.0 && duration <= motion::kMaxTrajectoryDuration)) {
    throw std::invalid_argument("Excitation: the duration must be 30 to 3600 s");
  }
  if (!(speed_scale > 0.0 && speed_scale <= 1.0)) {
    throw std::invalid_argument("Excitation: the speed scale must be above 0 and at most 1");
  }
  // Whole base periods of about 30 s between the fades.
  const double steady = duration - 2.0 * fade_;
  base_ = steady / std::max(1.0, std::round(steady / kBasePeriod));
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (int j = 0; j < kArmJoints; ++j) {
    centre_[j] = 0.5 * (config::kJointLower[j] + config::kJointUpper[j]);
    // Falling as 1/k^4, so that the base harmonic carries the range and the
    // higher ones add accelerations falling as 1/k^2; signs and sizes at random.
    for (int k = 0; k < kHarmonics; ++k) {
      const double weight = 1.0 / std::pow(k + 1.0, 4);
      const double draw = uniform(random);
      sine_[j][k] = weight * std::copysign(0.5 + 0.5 * std::fabs(draw), draw);
    }
  }
  // Scale each joint's harmonics to the tightest of its limits (the motion is
  // linear in them), sampled finely.
  const double velocity_limit = 0.9 * config::kMaxVelocity * speed_scale;
  const double acceleration_limit = 0.9 * config::kMaxAcceleration * speed_scale * speed_scale;
  ArmDynamics::Vector q, qd, qdd, deviation = ArmDynamics::Vector::Zero(), speed = deviation,
                                  accel = deviation;
  for (double t = 0.0; t <= duration_; t += 0.01) {
    sample(t, q, qd, qdd);
    for (int j = 0; j < kArmJoints; ++j) {
      deviation(j) = std::max(deviation(j), std::fabs(q(j) - centre_[j]));
      speed(j) = std::max(speed(j), std::fabs(qd(j)));
      accel(j) = std::max(accel(j), std::fabs(qdd(j)));
    }
  }
  for (int j = 0; j < kArmJoints; ++j) {
    const double half_range = 0.5 * (config::kJointUpper[j] - config::kJointLower[j]) - kLimitMargin;
    double scale = kRangeUsed * half_range / std::max(deviation(j), 1e-9);
    scale = std::min(scale, velocity_limit / std::max(speed(j), 1e-9));
    scale = std::min(scale, acceleration_limit / std::max(accel(j), 1e-9));
    for (int k = 0; k < kHarmonics; ++k) sine_[j][k] *= scale;
  }
}

void Excitation::sample(double t, ArmDynamics::Vector& q, ArmDynamics::Vector& qd,
                        ArmDynamics::Vector& qdd) const {
  t = std::clamp(t, 0.0, duration_);
  double e, de, dde;
  if (t < fade_) {
    fade(t / fade_, e, de, dde);
  } else if (t > duration_ - fade_) {
    fade((duration_ - t) / fade_, e, de, dde);
    de = -de;
  } else {
    e = 1.0, de = 0.0, dde = 0.0;
  }
  de /= fade_;
  dde /= fade_ * fade_;
  const double w = 2.0 * M_PI / base_;
  for (int j = 0; j < kArmJoints; ++j) {
    double s = 0.0, ds = 0.0, dds = 0.0;
    for (int k = 0; k < kHarmonics; ++k) {
      const double wk = w * (k + 1);
      // Sines: zero at t = 0, about the centre.
      s += sine_[j][k] * std::sin(wk * t);
      ds += wk * sine_[j][k] * std::cos(wk * t);
      dds += -wk * wk * sine_[j][k] * std::sin(wk * t);
    }
    q(j) = centre_[j] + e * s;
    qd(j) = de * s + e * ds;
    qdd(j) = dde * s + 2.0 * de * ds + e * dds;
  }
}

std::vector<motion::TrajectoryPoint> Excitation::points(double step) const {
  std::vector<motion::TrajectoryPoint> points;
  const int count = static_cast<int>(std::ceil(duration_ / step));
  ArmDynamics::Vector q, qd, qdd;
  for (int n = 1; n <= count; ++n) {
    const double t = std::min(duration_, n * step);
    sample(t, q, qd, qdd);
    motion::TrajectoryPoint point;
    point.positions.assign(q.data(), q.data() + kArmJoints);
    point.velocities.assign(qd.data(), qd.data() + kArmJoints);
    point.accelerations.assign(qdd.data(), qdd.data() + kArmJoints);
    if (n == count) {
      std::fill(point.velocities.begin(), point.velocities.end(), 0.0);
      std::fill(point.accelerations.begin(), point.accelerations.end(), 0.0);
    }
    point.time_from_start = t;
    points.push_back(std::move(point));
  }
  return points;
}

void differentiate(std::vector<Sample>& samples, const std::vector<double>& times, int half_window) {
  const int n = static_cast<int>(samples.size());
  // Velocities averaged over the same window: a reading's noise is about as
  // large as the Coulomb friction's velocity scale, and would blur its sign.
  std::vector<ArmDynamics::Vector> smoothed(samples.size());
  for (int k = 0; k < n; ++k) {
    const int a = std::max(0, k - half_window), b = std::min(n - 1, k + half_window);
    const double span = b > a ? times[b] - times[a] : 0.0;
    samples[k].qdd =
        span > 0.0 ? ((samples[b].qd - samples[a].qd) / span).eval() : ArmDynamics::Vector::Zero();
    ArmDynamics::Vector sum = ArmDynamics::Vector::Zero();
    for (int m = a; m <= b; ++m) sum += samples[m].qd;
    smoothed[k] = sum / (b - a + 1);
  }
  for (int k = 0; k < n; ++k) samples[k].qd = smoothed[k];
}

// ------------------------------------------------------------------ the fit

namespace {

// Columns of one joint's model: the rigid-body parameters, the rotor's
// inertial torque (its factor: the torque per command unit against the
// nominal one), viscous and Coulomb friction.
constexpr int kDynamics = kGravityParameters;
constexpr int kViscous = kDynamics + 1;
constexpr int kCoulomb = kDynamics + 2;
constexpr int kColumns = kCoulomb + 1;

struct Solved {
  Eigen::VectorXd x;
  double condition = 0.0;
  int rank = 0;
};

// How far each parameter may plausibly lie from its nominal value: the
// columns are scaled by it, so that the least-squares change is the smallest
// in these units and a direction counts as determined only when it changes
// the torque noticeably within them.
double plausibleChange(int column) {
  if (column < kScaledLinks) return 0.5;  // a link's mass factor
  if (column == kFlange) return 1.0;      // kg
  if (column < kDynamics) return 0.1;     // kg·m
  if (column == kDynamics) return 0.5;    // the torque per command unit's factor
  return 0.5;                             // N·m·s/rad, N·m
}

// Least squares about x0 (the smallest change in the scaled columns),
// columns outside @p use kept at x0. A direction is determined when its
// singular value is above 1e-4 of the largest and it changes the torque by
// more than 1 mN·m RMS.
Solved solveAbout(const Eigen::MatrixXd& a, const Eigen::VectorXd& y, const Eigen::VectorXd& x0,
                  const std::vector<bool>& use) {
  const Eigen::Index n = a.rows();
  const Eigen::VectorXd r = y - a * x0;
  std::vector<int> kept;
  for (int c = 0; c < a.cols(); ++c)
    if (use[c] && a.col(c).norm() > 0.0) kept.push_back(c);
  Eigen::MatrixXd scaled(n, static_cast<Eigen::Index>(kept.size()));
  for (std::size_t k = 0; k < kept.size(); ++k) scaled.col(k) = a.col(kept[k]) * plausibleChange(kept[k]);
  const Eigen::MatrixXd normal = scaled.transpose() * scaled;
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(normal);
  const Eigen::VectorXd& lambda = eigen.eigenvalues();
  const double top = lambda.maxCoeff();
  const double floor = std::max(1e-8 * top, 1e-6 * static_cast<double>(n));
  const Eigen::VectorXd projected = eigen.eigenvectors().transpose() * (scaled.transpose() * r);
  Eigen::VectorXd delta = Eigen::VectorXd::Zero(scaled.cols());
  Solved solved;
  double smallest = top;
  for (Eigen::Index k = 0; k < lambda.size(); ++k) {
    if (!(lambda(k) > floor)) continue;  // not determined: stays nominal
    ++solved.rank;
    smallest = std::min(smallest, lambda(k));
    const Eigen::VectorXd v = eigen.eigenvectors().col(k);
    delta += (projected(k) / lambda(k)) * v;
  }
  solved.condition = solved.rank > 0 ? std::sqrt(top / smallest) : 0.0;
  solved.x = x0;
  for (std::size_t k = 0; k < kept.size(); ++k) solved.x(kept[k]) += delta(k) * plausibleChange(kept[k]);
  return solved;
}

double rms(const Eigen::VectorXd& v) {
  return std::sqrt(v.squaredNorm() / std::max<Eigen::Index>(1, v.size()));
}

}  // namespace

FitResult fitDynamics(const KDL::Chain& chain, const std::vector<Sample>& samples) {
  if (samples.size() < 50) throw std::invalid_argument("fitDynamics: fewer than 50 samples");
  for (const Sample& s : samples) {
    if (!s.q.allFinite() || !s.qd.allFinite() || !s.qdd.allFinite() || !s.current.allFinite()) {
      throw std::invalid_argument("fitDynamics: a sample holds a value that is not finite");
    }
  }
  GravityRegressor regressor(chain);
  const DynamicsCalibration nominal = nominalCalibration(chain);
  const Eigen::Index n = static_cast<Eigen::Index>(samples.size());

  // Every joint's columns and measurements, N·m through the nominal torque per command unit.
  std::array<Eigen::MatrixXd, kArmJoints> a;
  std::array<Eigen::VectorXd, kArmJoints> y;
  for (int i = 0; i < kArmJoints; ++i) {
    a[i].resize(n, kColumns);
    y[i].resize(n);
  }
  GravityColumns g;
  ArmDynamics::Vector rotation;
  for (Eigen::Index k = 0; k < n; ++k) {
    const Sample& s = samples[static_cast<std::size_t>(k)];
    regressor.dynamicColumns(s.q, s.qd, s.qdd, g);
    regressor.flangeRotation(s.q, s.qd, s.qdd, rotation);
    for (int i = 0; i < kArmJoints; ++i) {
      a[i].block(k, 0, 1, kGravityParameters) = g.row(i);
      a[i](k, kDynamics) = config::kRotorInertia[i] * s.qdd(i);
      a[i](k, kViscous) = s.qd(i);
      a[i](k, kCoulomb) = std::tanh(s.qd(i) / config::kCoulombVelocity);
      y[i](k) = s.current(i) / config::kTorqueCommandPerNewtonMetre[i] - rotation(i);
    }
  }

  FitResult result;
  result.samples = samples.size();
  result.calibration = nominal;
  for (int i = 0; i < kArmJoints; ++i) {
    Eigen::VectorXd x0(kColumns);
    x0.head(kGravityParameters) = GravityRegressor::parametersOf(nominal.joints[i]);
    x0(kDynamics) = 1.0;
    x0(kViscous) = nominal.joints[i].viscous;
    x0(kCoulomb) = nominal.joints[i].coulomb;
    std::vector<bool> use(kColumns, true);
    // Link 5 acts nearly as the flange body does (the wrist's links sit close
    // to the wrist's centre): its factor stays nominal and the flange body
    // takes up its error, rather than the two trading ill-determined halves.
    use[kScaledLinks - 1] = false;
    // The torque per command unit scales every column alike; only the rotors'
    // inertial torques could tell it from the masses, and within the motion
    // limits they are far below the noise: it stays nominal.
    use[kDynamics] = false;
    const Solved solved = solveAbout(a[i], y[i], x0, use);
    JointFitReport& report = result.joints[i];
    const Eigen::VectorXd& x = solved.x;
    const double alpha = x(kDynamics);
    report.rms_before = rms(y[i] - a[i] * x0);
    report.rms_after = rms(y[i] - a[i] * x);
    report.condition = solved.condition;
    report.base_parameters = solved.rank;
    JointCalibration& joint = result.calibration.joints[i];
    joint.command_per_newton_metre = alpha * config::kTorqueCommandPerNewtonMetre[i];
    for (int l = 0; l < kScaledLinks; ++l) joint.link_mass_scale[l] = x(l) / alpha;
    joint.flange_mass = x(kFlange) / alpha;
    joint.flange_moment = x.segment<3>(kFlange + 1) / alpha;
    joint.viscous = std::max(0.0, x(kViscous) / alpha);
    joint.coulomb = std::max(0.0, x(kCoulomb) / alpha);
  }
  std::vector<ArmDynamics::Vector> poses;
  for (std::size_t k = 0; k < samples.size(); k += std::max<std::size_t>(1, samples.size() / 400))
    poses.push_back(samples[k].q);
  result.calibration.payload = payloadOf(chain, result.calibration, poses);
  result.calibration.has_payload = true;
  return result;
}

namespace {

// Least squares for the payload (mass, first moment) from rows of flange
// columns and their torques; joints 2-6.
PayloadCalibration solvePayload(const std::vector<GravityColumns>& columns,
                                const std::vector<ArmDynamics::Vector>& torques) {
  Eigen::Matrix4d normal = Eigen::Matrix4d::Zero();
  Eigen::Vector4d right = Eigen::Vector4d::Zero();
  for (std::size_t k = 0; k < columns.size(); ++k) {
    for (int i = 1; i < kArmJoints; ++i) {
      const Eigen::Vector4d row = columns[k].row(i).segment<4>(kFlange).transpose();
      normal += row * row.transpose();
      right += row * torques[k](i);
    }
  }
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix4d> eigen(normal);
  if (!(eigen.eigenvalues()(0) > 1e-8 * eigen.eigenvalues()(3))) {
    throw std::invalid_argument("fitPayload: the poses do not determine the payload");
  }
  const Eigen::Vector4d pi = normal.ldlt().solve(right);
  PayloadCalibration payload;
  payload.mass = std::max(0.0, pi(0));
  if (payload.mass > 1e-3) payload.centre_of_mass = pi.tail<3>() / pi(0);
  return payload;
}

}  // namespace

PayloadCalibration fitPayload(const KDL::Chain& chain, const DynamicsCalibration& base,
                              const std::vector<Sample>& samples) {
  if (samples.size() < 3) throw std::invalid_argument("fitPayload: fewer than 3 poses");
  GravityRegressor regressor(chain);
  std::vector<GravityColumns> columns(samples.size());
  std::vector<ArmDynamics::Vector> torques(samples.size());
  ArmDynamics::Vector arm;
  for (std::size_t k = 0; k < samples.size(); ++k) {
    const Sample& s = samples[k];
    if (!s.q.allFinite() || !s.current.allFinite())
      throw std::invalid_argument("fitPayload: a sample holds a value that is not finite");
    regressor.gravity(base, s.q, arm);
    regressor.columns(s.q, columns[k]);
    for (int i = 0; i < kArmJoints; ++i)
      torques[k](i) = s.current(i) / base.joints[i].command_per_newton_metre - arm(i);
  }
  return solvePayload(columns, torques);
}

PayloadCalibration payloadOf(const KDL::Chain& chain, const DynamicsCalibration& fitted,
                             const std::vector<ArmDynamics::Vector>& poses) {
  GravityRegressor regressor(chain);
  std::vector<GravityColumns> columns(poses.size());
  std::vector<ArmDynamics::Vector> torques(poses.size());
  for (std::size_t k = 0; k < poses.size(); ++k) {
    regressor.columns(poses[k], columns[k]);
    for (int i = 0; i < kArmJoints; ++i) {
      const Eigen::Vector4d flange = GravityRegressor::parametersOf(fitted.joints[i]).segment<4>(kFlange) -
                                     regressor.nominal().segment<4>(kFlange);
      torques[k](i) = columns[k].row(i).segment<4>(kFlange).dot(flange);
    }
  }
  return solvePayload(columns, torques);
}

std::string FitResult::json() const {
  std::string text = "{\"samples\": " + std::to_string(samples) + ", \"joints\": [";
  char buffer[256];
  for (int i = 0; i < kArmJoints; ++i) {
    const JointFitReport& r = joints[i];
    std::snprintf(buffer, sizeof(buffer),
                  "%s{\"residual_before_newton_metre\": %.6g, \"residual_after_newton_metre\": %.6g, "
                  "\"condition_number\": %.6g, \"base_parameters\": %d}",
                  i == 0 ? "" : ", ", r.rms_before, r.rms_after, r.condition, r.base_parameters);
    text += buffer;
  }
  return text + "]}";
}

}  // namespace identify
}  // namespace kav
