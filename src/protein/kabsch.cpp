// Kabsch superposition RMSD.
#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <string>

#include "core/error.hpp"
#include "core/interrupt.hpp"
#include "protein/protein.hpp"

namespace lvx::protein {
namespace {

std::string shape_text(std::span<const Point> m) {
  return "[" + std::to_string(m.size()) + ", 3]";
}

// Rows between two interrupt polls.
constexpr std::uint64_t kPollRows = std::uint64_t{1} << 16;

Eigen::Vector3d centroid(std::span<const Point> m) {
  Eigen::Vector3d sum(0.0, 0.0, 0.0);
  polled_for(m.size(), kPollRows, [&](std::size_t i) {
    sum[0] += m[i][0];
    sum[1] += m[i][1];
    sum[2] += m[i][2];
  });
  return sum / static_cast<double>(m.size());
}

}  // namespace

double kabsch_rmsd(std::span<const Point> a, std::span<const Point> b) {
  if (a.size() != b.size())
    fail("kabsch_rmsd: shape mismatch (" + shape_text(a) + " vs " + shape_text(b) + ")");
  if (a.empty()) fail("kabsch_rmsd: empty input");

  // The centred rows p_i = a_i - ca and q_i = b_i - cb are formed on the fly
  // in each pass rather than stored: the same arithmetic, without two more
  // N x 3 copies.
  const Eigen::Vector3d ca = centroid(a), cb = centroid(b);
  const std::size_t n = a.size();
  auto p_row = [&](std::size_t i) {
    return Eigen::Vector3d(a[i][0] - ca[0], a[i][1] - ca[1], a[i][2] - ca[2]);
  };
  auto q_row = [&](std::size_t i) {
    return Eigen::Vector3d(b[i][0] - cb[0], b[i][1] - cb[1], b[i][2] - cb[2]);
  };

  Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
  polled_for(n, kPollRows, [&](std::size_t i) { h.noalias() += q_row(i) * p_row(i).transpose(); });

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
  polled_for(n, kPollRows, [&](std::size_t i) {
    const Eigen::Vector3d diff = p_row(i) - r * q_row(i);
    sum += diff[0] * diff[0];
    sum += diff[1] * diff[1];
    sum += diff[2] * diff[2];
  });
  return std::sqrt(sum / static_cast<double>(n));
}

}  // namespace lvx::protein
