#include "engine/significance/small_sample_excess.h"

#include <array>
#include <cmath>

#include "engine/significance/logistic_regression.h"

namespace {

// Position of the pair a <= b among the d (d + 1) / 2 pairs taken row by row.
Eigen::Index pairIndex(Eigen::Index a, Eigen::Index b, Eigen::Index d) {
  if (a > b) std::swap(a, b);
  return a * d - a * (a - 1) / 2 + (b - a);
}

}  // namespace

void lawleyMoments(const Eigen::Ref<const Eigen::MatrixXd>& dense, const Eigen::Ref<const Eigen::VectorXd>& eta,
                   const Eigen::Ref<const Eigen::VectorXd>& y, const LogisticKernels& kernels, LawleyMoments& out) {
  const Eigen::Index n = eta.size();
  const Eigen::Index d = dense.cols();
  out.w.resize(n);
  out.w1.resize(n);
  out.w2.resize(n);
  // The fit's own pass gives w = p (1 - p) and y - p, its exponentials in
  // vector registers where the path has them. Buffers kept per thread: a
  // run takes moments of as many sample sets as it tests rows.
  thread_local Eigen::VectorXd sign;
  thread_local Eigen::VectorXd residual;
  sign = 2.0 * y.array() - 1.0;
  residual.resize(n);
  double least = 0;
  double most = 0;
  kernels.sweep(eta.data(), sign.data(), n, out.w.data(), residual.data(), &least, &most);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double p = y[i] - residual[i];
    out.w1[i] = out.w[i] * (1.0 - 2.0 * p);
    out.w2[i] = out.w[i] * (1.0 - 6.0 * out.w[i]);
  }
  out.gram = dense.transpose() * out.w.asDiagonal() * dense;
  out.third.resize(d * d * d);
  thread_local Eigen::VectorXd product;
  product.resize(n);
  for (Eigen::Index a = 0; a < d; ++a)
    for (Eigen::Index b = a; b < d; ++b) {
      product = out.w1.cwiseProduct(dense.col(a)).cwiseProduct(dense.col(b));
      for (Eigen::Index c = b; c < d; ++c) {
        const double t = product.dot(dense.col(c));
        for (const auto& [i0, i1, i2] : {std::array<Eigen::Index, 3>{a, b, c}, {a, c, b}, {b, a, c}, {b, c, a}, {c, a, b}, {c, b, a}})
          out.third[i0 + d * (i1 + d * i2)] = t;
      }
    }
}

double LawleyExcess::of(const LawleyMoments& moments, const Eigen::Ref<const Eigen::MatrixXd>& dense,
                        const std::vector<int>& level, int levels) {
  const Eigen::Index n = moments.w.size();
  const Eigen::Index d = dense.cols();
  const Eigen::Index pairs = d * (d + 1) / 2;
  // Per-level sums run by run of neighbours sharing a level (a caller
  // sorting its samples by level makes few): summing sample by sample into
  // the level's entry would chain every addition on the one before.
  runs_.clear();
  for (Eigen::Index i = 0; i < n; ++i)
    if (i == 0 || level[i] != level[i - 1]) runs_.push_back(i);
  runs_.push_back(n);
  const auto runs = static_cast<Eigen::Index>(runs_.size()) - 1;
  auto run_level = [&](Eigen::Index run) { return level[runs_[run]]; };
  auto segment = [&](const auto& column, Eigen::Index run) {
    return column.segment(runs_[run], runs_[run + 1] - runs_[run]);
  };
  weight_.setZero(levels);
  w1_sum_.setZero(levels);
  level_mean_.setZero(levels, d);
  level_first_.setZero(levels, d);
  level_second_.setZero(levels, pairs);
  for (Eigen::Index run = 0; run < runs; ++run) {
    weight_[run_level(run)] += segment(moments.w, run).sum();
    w1_sum_[run_level(run)] += segment(moments.w1, run).sum();
  }
  for (Eigen::Index a = 0, ab = 0; a < d; ++a) {
    product_ = moments.w1.cwiseProduct(dense.col(a));
    for (Eigen::Index run = 0; run < runs; ++run) {
      level_mean_(run_level(run), a) += segment(moments.w, run).dot(segment(dense.col(a), run));
      level_first_(run_level(run), a) += segment(product_, run).sum();
    }
    for (Eigen::Index b = a; b < d; ++b, ++ab)
      for (Eigen::Index run = 0; run < runs; ++run)
        level_second_(run_level(run), ab) += segment(product_, run).dot(segment(dense.col(b), run));
  }
  // The dense block of (X'WX)^-1 is the inverse of the factor's Schur
  // complement: the weighted scatter of the columns about their level means.
  Eigen::MatrixXd schur = moments.gram;
  for (int l = 0; l < levels; ++l) {
    if (weight_[l] <= 0) continue;
    schur.noalias() -= level_mean_.row(l).transpose() * level_mean_.row(l) / weight_[l];
    level_mean_.row(l) /= weight_[l];
  }
  // Columns kept in order, as the fit keeps them (scaled to a unit diagonal
  // of X'WX); the inverse Cholesky factor of the kept ones, times their
  // scales, whitens them: z_ij = [same level] / weight + y_i . y_j with
  // y_i = whiten (x_i - level mean).
  scale_.resize(d);
  for (Eigen::Index c = 0; c < d; ++c) scale_[c] = moments.gram(c, c) > 0 ? 1.0 / std::sqrt(moments.gram(c, c)) : 0.0;
  Eigen::MatrixXd factor;
  const std::vector<Eigen::Index> kept = keptDenseColumns(schur, moments.gram.diagonal(), &factor);
  const auto r = static_cast<Eigen::Index>(kept.size());
  Eigen::MatrixXd cholesky(r, r);
  for (Eigen::Index a = 0; a < r; ++a)
    for (Eigen::Index b = 0; b < r; ++b) cholesky(a, b) = factor(kept[a], b);
  Eigen::MatrixXd whiten = cholesky.triangularView<Eigen::Lower>().solve(Eigen::MatrixXd::Identity(r, r));
  for (Eigen::Index b = 0; b < r; ++b) whiten.col(b) *= scale_[kept[b]];

  // Per sample: z_ii, for the diagonal term and the third as c'Zc with
  // c_i = w1_i z_ii.
  whitened_.resize(n, r);
  for (Eigen::Index a = 0; a < r; ++a)
    for (Eigen::Index run = 0; run < runs; ++run)
      whitened_.col(a).segment(runs_[run], runs_[run + 1] - runs_[run]) =
          scale_[kept[a]] * (segment(dense.col(kept[a]), run).array() - level_mean_(run_level(run), kept[a]));
  if (r > 0) cholesky.transpose().triangularView<Eigen::Upper>().solveInPlace<Eigen::OnTheRight>(whitened_);
  z_ = whitened_.rowwise().squaredNorm();
  per_level_.setZero(levels);
  double diagonal = 0;
  for (Eigen::Index run = 0; run < runs; ++run) {
    auto z = z_.segment(runs_[run], runs_[run + 1] - runs_[run]);
    z.array() += 1.0 / weight_[run_level(run)];
    diagonal += segment(moments.w2, run).dot(z.cwiseAbs2());
    z.array() *= segment(moments.w1, run).array();
    per_level_[run_level(run)] += z.sum();
  }
  double quadratic = (whitened_.transpose() * z_).squaredNorm();

  // sum_ij w1_i w1_j z_ij^3, z_ij = [same level] a + g_ij: within each
  // level a^3, 3 a^2 g and 3 a g^2 from its first and second w1-moments,
  // and over all pairs g^3, the squared norm of the third moments centred
  // on the level means and whitened.
  double cubic = 0;
  Eigen::MatrixXd second(r, r);
  Eigen::VectorXd first(r);
  for (int l = 0; l < levels; ++l) {
    if (weight_[l] <= 0) continue;
    const double a = 1.0 / weight_[l];
    quadratic += per_level_[l] * per_level_[l] * a;
    for (Eigen::Index x = 0; x < r; ++x) {
      const Eigen::Index kx = kept[x];
      const double bx = level_mean_(l, kx);
      first[x] = level_first_(l, kx) - w1_sum_[l] * bx;
      for (Eigen::Index y = 0; y < r; ++y) {
        const Eigen::Index ky = kept[y];
        const double by = level_mean_(l, ky);
        second(x, y) = level_second_(l, pairIndex(kx, ky, d)) - level_first_(l, kx) * by - bx * level_first_(l, ky) +
                       w1_sum_[l] * bx * by;
      }
    }
    cubic += w1_sum_[l] * w1_sum_[l] * a * a * a + 3.0 * a * a * (whiten * first).squaredNorm() +
             3.0 * a * (whiten * second * whiten.transpose()).squaredNorm();
  }
  if (r > 0) {
    // Centring sum_l sum_{i in l} w1_i (x_i - b_l)^(x)3 on the raw moments.
    Eigen::MatrixXd products(levels, pairs);  // b_a b_b per level
    for (Eigen::Index a = 0, ab = 0; a < d; ++a)
      for (Eigen::Index b = a; b < d; ++b, ++ab) products.col(ab) = level_mean_.col(a).cwiseProduct(level_mean_.col(b));
    const Eigen::MatrixXd second_mean = level_second_.transpose() * level_mean_;  // [ab, c]
    const Eigen::MatrixXd first_products = level_first_.transpose() * products;  // [a, bc]
    const Eigen::MatrixXd cubes = (level_mean_.array().colwise() * w1_sum_.array()).matrix().transpose() * products;
    Eigen::VectorXd tensor(r * r * r);
    for (Eigen::Index z = 0; z < r; ++z)
      for (Eigen::Index y = 0; y < r; ++y)
        for (Eigen::Index x = 0; x < r; ++x) {
          const Eigen::Index a = kept[x], b = kept[y], c = kept[z];
          tensor[x + r * (y + r * z)] =
              moments.third[a + d * (b + d * c)] -
              (second_mean(pairIndex(a, b, d), c) + second_mean(pairIndex(a, c, d), b) +
               second_mean(pairIndex(b, c, d), a)) +
              (first_products(a, pairIndex(b, c, d)) + first_products(b, pairIndex(a, c, d)) +
               first_products(c, pairIndex(a, b, d))) -
              cubes(a, pairIndex(b, c, d));
        }
    // Whitened along each index in turn: as an r x r^2 matrix, whitening
    // the first index and transposing leaves the next one first.
    for (int turn = 0; turn < 3; ++turn) {
      const Eigen::MatrixXd rotated = (whiten * Eigen::Map<const Eigen::MatrixXd>(tensor.data(), r, r * r)).transpose();
      tensor = Eigen::Map<const Eigen::VectorXd>(rotated.data(), r * r * r);
    }
    cubic += tensor.squaredNorm();
  }
  return -diagonal / 4.0 + cubic / 6.0 + quadratic / 4.0;
}

double factorExcess(const std::vector<double>& samples, const std::vector<double>& p) {
  double excess = 0;
  for (std::size_t l = 0; l < samples.size(); ++l) {
    if (samples[l] <= 0) continue;
    const double w = p[l] * (1.0 - p[l]);
    excess += (1.0 - w) / (6.0 * samples[l] * w);
  }
  return excess;
}
