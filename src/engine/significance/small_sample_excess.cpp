#include "engine/significance/small_sample_excess.h"

#include <cmath>

namespace {

// The fitter's bound on a column's weighted sum of squares, scaled to 1,
// that neither the factor nor the columns before it explain.
constexpr double kRankTolerance = 1e-9;

}  // namespace

void LawleyExcess::at(const Eigen::Ref<const Eigen::MatrixXd>& dense, const Eigen::Ref<const Eigen::VectorXd>& eta) {
  dense_ = dense;
  const Eigen::Index n = eta.size();
  w_.resize(n);
  w1_.resize(n);
  w2_.resize(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    // Both tails from their own exponential, so that a probability near 1
    // keeps its complement's digits.
    const double p = 1.0 / (1.0 + std::exp(-eta[i]));
    const double q = 1.0 / (1.0 + std::exp(eta[i]));
    w_[i] = p * q;
    w1_[i] = w_[i] * (q - p);
    w2_[i] = w_[i] * (1.0 - 6.0 * w_[i]);
  }
  gram_ = dense_.transpose() * w_.asDiagonal() * dense_;
}

double LawleyExcess::of(const std::vector<int>& level, int levels) {
  const Eigen::Index n = w_.size();
  const Eigen::Index d = dense_.cols();
  weight_.setZero(levels);
  w1_sum_.setZero(levels);
  level_mean_.setZero(levels, d);
  for (Eigen::Index i = 0; i < n; ++i) {
    weight_[level[i]] += w_[i];
    w1_sum_[level[i]] += w1_[i];
    level_mean_.row(level[i]) += w_[i] * dense_.row(i);
  }
  // The dense block of (X'WX)^-1 is the inverse of the factor's Schur
  // complement: the weighted scatter of the columns about their level means.
  Eigen::MatrixXd schur = gram_;
  for (int l = 0; l < levels; ++l) {
    if (weight_[l] <= 0) continue;
    schur.noalias() -= level_mean_.row(l).transpose() * level_mean_.row(l) / weight_[l];
    level_mean_.row(l) /= weight_[l];
  }
  // Columns kept in order, as the fit keeps them (scaled to a unit diagonal
  // of X'WX); the Cholesky factor of the kept ones whitens them, so that
  // z_ij = [same level] / weight + y_i . y_j.
  Eigen::VectorXd scale(d);
  for (Eigen::Index c = 0; c < d; ++c) scale[c] = gram_(c, c) > 0 ? 1.0 / std::sqrt(gram_(c, c)) : 0.0;
  const Eigen::MatrixXd scaled = scale.asDiagonal() * schur * scale.asDiagonal();
  Eigen::MatrixXd factor = Eigen::MatrixXd::Zero(d, d);
  std::vector<Eigen::Index> kept;
  for (Eigen::Index c = 0; c < d; ++c) {
    const auto r = static_cast<Eigen::Index>(kept.size());
    double unexplained = scaled(c, c);
    for (Eigen::Index j = 0; j < r; ++j) unexplained -= factor(c, j) * factor(c, j);
    if (!(unexplained > kRankTolerance)) continue;
    const double pivot = std::sqrt(unexplained);
    for (Eigen::Index row = c + 1; row < d; ++row) {
      double entry = scaled(row, c);
      for (Eigen::Index j = 0; j < r; ++j) entry -= factor(row, j) * factor(c, j);
      factor(row, r) = entry / pivot;
    }
    factor(c, r) = pivot;
    kept.push_back(c);
  }
  const auto r = static_cast<Eigen::Index>(kept.size());
  Eigen::MatrixXd chol(r, r);
  for (Eigen::Index a = 0; a < r; ++a)
    for (Eigen::Index b = 0; b < r; ++b) chol(a, b) = factor(kept[a], b);
  whitened_.resize(n, r);
  for (Eigen::Index a = 0; a < r; ++a) {
    const Eigen::Index c = kept[a];
    for (Eigen::Index i = 0; i < n; ++i) whitened_(i, a) = scale[c] * (dense_(i, c) - level_mean_(level[i], c));
  }
  if (r > 0) chol.triangularView<Eigen::Lower>().transpose().solveInPlace<Eigen::OnTheRight>(whitened_);

  // The diagonal terms, and the third one as c'Zc with c_i = w1_i z_ii.
  double diagonal = 0;
  per_level_.setZero(levels);
  Eigen::VectorXd c_weighted = Eigen::VectorXd::Zero(r);
  m_.setZero(levels, r);
  for (Eigen::Index i = 0; i < n; ++i) {
    const int l = level[i];
    const double z = 1.0 / weight_[l] + whitened_.row(i).squaredNorm();
    diagonal += w2_[i] * z * z;
    per_level_[l] += w1_[i] * z;
    c_weighted += (w1_[i] * z) * whitened_.row(i).transpose();
    m_.row(l) += w1_[i] * whitened_.row(i);
  }
  double quadratic = c_weighted.squaredNorm();
  for (int l = 0; l < levels; ++l)
    if (weight_[l] > 0) quadratic += per_level_[l] * per_level_[l] / weight_[l];

  // sum_ij w1_i w1_j z_ij^3 with z_ij = [same level] a + g_ij: the part
  // over the whitened columns is the squared norm of the tensor
  // sum_i w1_i y_i (x) y_i (x) y_i, the rest sums within levels.
  const Eigen::Index pairs = r * (r + 1) / 2;
  products_.resize(n, pairs);
  Eigen::VectorXd multiplicity(pairs);
  for (Eigen::Index a = 0, ab = 0; a < r; ++a)
    for (Eigen::Index b = a; b < r; ++b, ++ab) {
      products_.col(ab) = w1_.cwiseProduct(whitened_.col(a)).cwiseProduct(whitened_.col(b));
      multiplicity[ab] = a == b ? 1.0 : 2.0;
    }
  const Eigen::MatrixXd tensor = products_.transpose() * whitened_;
  double cubic = multiplicity.dot(tensor.rowwise().squaredNorm());
  level_products_.setZero(levels, pairs);
  for (Eigen::Index i = 0; i < n; ++i) level_products_.row(level[i]) += products_.row(i);
  for (int l = 0; l < levels; ++l) {
    if (weight_[l] <= 0) continue;
    const double a = 1.0 / weight_[l];
    cubic += w1_sum_[l] * w1_sum_[l] * a * a * a + 3.0 * a * a * m_.row(l).squaredNorm() +
             3.0 * a * multiplicity.dot(level_products_.row(l).cwiseAbs2().transpose());
  }
  return -diagonal / 4.0 + cubic / 6.0 + quadratic / 4.0;
}
