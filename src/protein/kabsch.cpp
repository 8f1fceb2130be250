// Kabsch superposition and its RMSD.
#include <Eigen/Dense>
#include <algorithm>
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

// The weights of a fit: weights[i], or none at all. A weight of 1 would
// multiply exactly, so the unweighted fit is the weighted one with all 1, but
// it skips the multiplications.
template <bool Weighted>
struct Weights {
  std::span<const double> w;
  // x times the weight of point i.
  template <class X>
  auto operator()(std::size_t i, const X& x) const {
    if constexpr (Weighted)
      return w[i] * x;
    else
      return x;
  }
};

template <bool Weighted>
Eigen::Vector3d centroid(std::span<const Point> m, const Weights<Weighted>& weigh, double total) {
  Eigen::Vector3d sum(0.0, 0.0, 0.0);
  polled_for(m.size(), kPollRows, [&](std::size_t i) {
    sum[0] += weigh(i, m[i][0]);
    sum[1] += weigh(i, m[i][1]);
    sum[2] += weigh(i, m[i][2]);
  });
  return sum / total;
}

// The best proper rotation `r` that turns b, centred on its (weighted)
// centroid cb, onto a centred on ca, and the weighted RMSD that remains.
// `finite` is false, and the rest meaningless, when the coordinates are not
// finite: there is no rotation to find then.
struct Fit {
  Eigen::Vector3d ca, cb;
  Eigen::Matrix3d r;
  double rmsd = 0.0;
  bool finite = true;
};

template <bool Weighted>
Fit fit(std::span<const Point> a, std::span<const Point> b, const Weights<Weighted>& weigh, double total) {
  // The centred rows p_i = a_i - ca and q_i = b_i - cb are formed on the fly
  // in each pass rather than stored: the same arithmetic, without two more
  // N x 3 copies.
  Fit f;
  f.ca = centroid(a, weigh, total);
  f.cb = centroid(b, weigh, total);
  const std::size_t n = a.size();
  auto p_row = [&](std::size_t i) {
    return Eigen::Vector3d(a[i][0] - f.ca[0], a[i][1] - f.ca[1], a[i][2] - f.ca[2]);
  };
  auto q_row = [&](std::size_t i) {
    return Eigen::Vector3d(b[i][0] - f.cb[0], b[i][1] - f.cb[1], b[i][2] - f.cb[2]);
  };

  Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
  polled_for(n, kPollRows, [&](std::size_t i) { h.noalias() += weigh(i, q_row(i)) * p_row(i).transpose(); });

  // Non-finite coordinates carry into H; there is no meaningful rotation to
  // find, so answer NaN rather than hand such a matrix to the decomposition.
  if (!h.allFinite()) {
    f.finite = false;
    f.rmsd = std::numeric_limits<double>::quiet_NaN();
    return f;
  }

  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success || !svd.computeU()) fail("kabsch_rmsd: SVD did not produce U");
  const Eigen::Matrix3d& u = svd.matrixU();
  const Eigen::Matrix3d& v = svd.matrixV();

  const double d = (v * u.transpose()).determinant() < 0.0 ? -1.0 : 1.0;
  f.r = v * Eigen::Vector3d(1.0, 1.0, d).asDiagonal() * u.transpose();

  double sum = 0.0;
  polled_for(n, kPollRows, [&](std::size_t i) {
    const Eigen::Vector3d diff = p_row(i) - f.r * q_row(i);
    sum += weigh(i, diff[0] * diff[0]);
    sum += weigh(i, diff[1] * diff[1]);
    sum += weigh(i, diff[2] * diff[2]);
  });
  f.rmsd = std::sqrt(sum / total);
  return f;
}

}  // namespace

double kabsch_rmsd(std::span<const Point> a, std::span<const Point> b) {
  if (a.size() != b.size())
    fail("kabsch_rmsd: shape mismatch (" + shape_text(a) + " vs " + shape_text(b) + ")");
  if (a.empty()) fail("kabsch_rmsd: empty input");
  return fit(a, b, Weights<false>{}, static_cast<double>(a.size())).rmsd;
}

Superposition superpose(std::span<const Point> a, std::span<const Point> b,
                        std::optional<std::span<const double>> weights) {
  const std::size_t n = a.size();
  if (b.size() != n)
    fail("superpose: a and b must hold the same number of points (" + std::to_string(n) + " vs " +
         std::to_string(b.size()) + ")");
  double total = static_cast<double>(n);
  if (weights) {
    if (weights->size() != n)
      fail("superpose: weights must hold one number per point (" + std::to_string(weights->size()) + " for " +
           std::to_string(n) + " points)");
    total = 0.0;
    for (const double w : *weights) {
      if (!(std::isfinite(w) && w >= 0.0)) fail("superpose: weights must be finite and non-negative");
      total += w;
    }
    if (n > 0 && !(total > 0.0)) fail("superpose: weights must not all be 0");
  }

  Superposition s;
  s.fitted = Array<double>({n, 3});
  if (n == 0) {
    s.rotation = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
    return s;
  }
  const Fit f = weights ? fit(a, b, Weights<true>{*weights}, total) : fit(a, b, Weights<false>{}, total);
  s.rmsd = f.rmsd;
  if (!f.finite) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    s.rotation.fill(nan);
    s.translation.fill(nan);
    std::fill_n(s.fitted.data(), s.fitted.size(), nan);
    return s;
  }
  // r turns b onto a; its transpose turns a onto b.
  const Eigen::Matrix3d rot = f.r.transpose();
  const Eigen::Vector3d t = f.cb - rot * f.ca;
  for (int i = 0; i < 3; ++i) {
    s.translation[static_cast<std::size_t>(i)] = t[i];
    for (int j = 0; j < 3; ++j) s.rotation[static_cast<std::size_t>(3 * i + j)] = rot(i, j);
  }
  double* out = s.fitted.data();
  polled_for(n, kPollRows, [&](std::size_t i) {
    const Eigen::Vector3d moved = rot * Eigen::Vector3d(a[i][0], a[i][1], a[i][2]) + t;
    for (int k = 0; k < 3; ++k) *out++ = moved[k];
  });
  return s;
}

}  // namespace lvx::protein
