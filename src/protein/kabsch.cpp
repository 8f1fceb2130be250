// Kabsch superposition RMSD.
#include "core/error.hpp"
#include "protein/protein.hpp"

#include <Eigen/SVD>

#include <cmath>
#include <limits>
#include <string>

namespace lvx::protein {
namespace {

std::string shape_text(const PointMatrix& m) {
  return "[" + std::to_string(m.rows()) + ", " + std::to_string(m.cols()) + "]";
}

Eigen::Vector3d centroid(const PointMatrix& m) {
  Eigen::Vector3d sum(0.0, 0.0, 0.0);
  for (Eigen::Index i = 0; i < m.rows(); ++i) {
    sum[0] += m(i, 0);
    sum[1] += m(i, 1);
    sum[2] += m(i, 2);
  }
  return sum / static_cast<double>(m.rows());
}

}  // namespace

std::vector<Eigen::Vector3d> center_rows(const PointMatrix& m, const Eigen::Vector3d& c) {
  if (m.cols() < 3) panic("center_rows: matrix must have at least 3 columns");
  std::vector<Eigen::Vector3d> out;
  out.reserve(static_cast<std::size_t>(m.rows()));
  for (Eigen::Index i = 0; i < m.rows(); ++i) out.emplace_back(m(i, 0) - c[0], m(i, 1) - c[1], m(i, 2) - c[2]);
  return out;
}

double kabsch_rmsd(const PointMatrix& a, const PointMatrix& b) {
  if (a.cols() != 3) panic("kabsch_rmsd: a must be (N, 3)");
  if (b.cols() != 3) panic("kabsch_rmsd: b must be (N, 3)");
  if (a.rows() != b.rows()) fail("kabsch_rmsd: shape mismatch (" + shape_text(a) + " vs " + shape_text(b) + ")");
  if (a.rows() == 0) fail("kabsch_rmsd: empty input");

  const std::vector<Eigen::Vector3d> p = center_rows(a, centroid(a));
  const std::vector<Eigen::Vector3d> q = center_rows(b, centroid(b));

  Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
  for (std::size_t i = 0; i < p.size(); ++i) h.noalias() += q[i] * p[i].transpose();

  // Non-finite coordinates carry into H; there is no meaningful rotation to
  // find, so answer NaN rather than hand such a matrix to the decomposition.
  if (!h.allFinite()) return std::numeric_limits<double>::quiet_NaN();

  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success || !svd.computeU()) fail("kabsch_rmsd: SVD did not produce U");
  const Eigen::Matrix3d& u = svd.matrixU();
  const Eigen::Matrix3d& v = svd.matrixV();

  const double d = (v * u.transpose()).determinant() < 0.0 ? -1.0 : 1.0;
  const Eigen::Matrix3d r = v * Eigen::Vector3d(1.0, 1.0, d).asDiagonal() * u.transpose();

  double sum = 0.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const Eigen::Vector3d diff = p[i] - r * q[i];
    sum += diff[0] * diff[0];
    sum += diff[1] * diff[1];
    sum += diff[2] * diff[2];
  }
  return std::sqrt(sum / static_cast<double>(p.size()));
}

}  // namespace lvx::protein
