// Covariance estimators of the return table.
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "internal.hpp"
#include "minimize/products.hpp"
#include "kelvane/exception.hpp"

namespace kelvane_mod_optimizer {
namespace {

// XᵀX: its lower triangle block by block (minimize/products.hpp), then mirrored.
Matrix gram(const Matrix& X) {
    Matrix product = reusable_matrix(X.cols(), X.cols());
    minimize::set_lower_product(product, X, X);
    product.triangularView<Eigen::StrictlyUpper>() = product.transpose();
    return product;
}

// The covariance of columns a and b over the rows where both cells are numbers, with the means of
// those rows; NaN when fewer than two such rows.
double pairwise_covariance(const Matrix& X, Eigen::Index a, Eigen::Index b) {
    double sum_a = 0.0, sum_b = 0.0;
    Eigen::Index k = 0;
    for (Eigen::Index t = 0; t < X.rows(); ++t) {
        if (std::isnan(X(t, a)) || std::isnan(X(t, b))) continue;
        sum_a += X(t, a);
        sum_b += X(t, b);
        ++k;
    }
    if (k < 2) return std::nan("");
    const double mean_a = sum_a / static_cast<double>(k);
    const double mean_b = sum_b / static_cast<double>(k);
    double s = 0.0;
    for (Eigen::Index t = 0; t < X.rows(); ++t) {
        if (std::isnan(X(t, a)) || std::isnan(X(t, b))) continue;
        s += (X(t, a) - mean_a) * (X(t, b) - mean_b);
    }
    return s / static_cast<double>(k - 1);
}

}  // namespace

LabelledMatrix sample_covariance(const ReturnTable& df) {
    const Matrix& X = df.values;
    const Eigen::Index T = X.rows();
    const Eigen::Index n = X.cols();
    // Columns without a missing cell share all their rows, so their block is one centred Gram
    // matrix; only the pairs with a column that has gaps are taken pair by pair.
    std::vector<Eigen::Index> complete;
    std::vector<char> gaps(static_cast<std::size_t>(n), 0);
    for (Eigen::Index j = 0; j < n; ++j) {
        if (X.col(j).array().isNaN().any())
            gaps[static_cast<std::size_t>(j)] = 1;
        else
            complete.push_back(j);
    }
    const auto nc = static_cast<Eigen::Index>(complete.size());
    Matrix centred = reusable_matrix(T, nc);
    for (Eigen::Index c = 0; c < nc; ++c) centred.col(c) = X.col(complete[c]).array() - X.col(complete[c]).mean();
    Matrix block = gram(centred);
    reuse_later(std::move(centred));
    block /= static_cast<double>(T - 1);
    if (nc == n) return {df.columns, std::move(block)};

    Matrix cov(n, n);
    for (Eigen::Index b = 0; b < nc; ++b)
        for (Eigen::Index a = 0; a < nc; ++a) cov(complete[a], complete[b]) = block(a, b);
    for (Eigen::Index a = 0; a < n; ++a) {
        if (!gaps[static_cast<std::size_t>(a)]) continue;
        for (Eigen::Index b = 0; b < n; ++b) {
            if (gaps[static_cast<std::size_t>(b)] && b < a) continue;  // done as the pair (b, a)
            cov(a, b) = cov(b, a) = pairwise_covariance(X, a, b);
        }
    }
    return {df.columns, std::move(cov)};
}

namespace {

// The rows of the table where every instrument has a return: the only rows the Ledoit-Wolf
// estimate uses. At least two, or the estimate is refused.
std::vector<Eigen::Index> complete_rows(const Matrix& values) {
    std::vector<Eigen::Index> rows;
    rows.reserve(static_cast<std::size_t>(values.rows()));
    for (Eigen::Index t = 0; t < values.rows(); ++t)
        if (values.row(t).allFinite()) rows.push_back(t);
    if (rows.size() < 2)
        throw kelvane::KVInvalidArgument(fmt::format(
            "OPTIMIZER: 所有合约均有收益率数据的交易日只有 {} 个，不足以估计协方差矩阵（至少需要2个）", rows.size()));
    return rows;
}

// Those rows, each column less its mean over them.
Matrix complete_centred_rows(const ReturnTable& df) {
    const std::vector<Eigen::Index> rows = complete_rows(df.values);
    const auto T = static_cast<Eigen::Index>(rows.size());
    Matrix X = reusable_matrix(T, df.values.cols());
    for (Eigen::Index i = 0; i < T; ++i) X.row(i) = df.values.row(rows[static_cast<std::size_t>(i)]);
    X.rowwise() -= X.colwise().mean();
    return X;
}

// The Ledoit-Wolf shrinkage intensity towards mu·I (mu the mean variance) of T centred rows, given
// each instrument's sum of squares over them, the sum over the rows of their squared sums of
// squares (the sum of all entries of (X∘X)ᵀ(X∘X)) and delta_sum = ‖XᵀX‖²_F / T², with mu.
struct Shrinkage {
    double intensity = 0.0;
    double mu = 0.0;
};
Shrinkage shrinkage_of(const Vector& squares, double beta_sum, double t, double delta_sum) {
    const double p = static_cast<double>(squares.size());
    const Vector emp_cov_trace = squares / t;
    const double mu = emp_cov_trace.sum() / p;
    double beta = 1.0 / (p * t) * (beta_sum / t - delta_sum);
    double delta = delta_sum - 2.0 * mu * emp_cov_trace.sum() + p * mu * mu;
    delta /= p;
    beta = std::min(beta, delta);
    return {beta == 0.0 ? 0.0 : beta / delta, mu};
}

}  // namespace

LabelledMatrix _cov_shrinkage(const ReturnTable& df) {
    Matrix X = complete_centred_rows(df);
    const Eigen::Index n = X.cols();
    // Each n-by-n temporary costs fresh pages at this size, so the one matrix is scaled in place.
    const double t = static_cast<double>(X.rows());
    Matrix S = gram(X);
    const double delta_sum = S.array().square().sum() / (t * t);
    S /= t;
    if (n == 1) {
        reuse_later(std::move(X));
        return {df.columns, std::move(S)};
    }
    const Shrinkage s = shrinkage_of(X.array().square().colwise().sum().transpose(),
                                     X.array().square().rowwise().sum().square().sum(), t, delta_sum);
    S *= 1.0 - s.intensity;
    S.diagonal().array() += s.intensity * s.mu;
    reuse_later(std::move(X));
    return {df.columns, std::move(S)};
}

minimize::DiagonalPlusLowRank shrinkage_factor(const ReturnTable& df) {
    // The factor is Xᵀ scaled, X the complete rows centred: it is built as Xᵀ from the start, so
    // that no second n × T matrix is formed.
    const std::vector<Eigen::Index> rows = complete_rows(df.values);
    const Eigen::Index n = df.values.cols();
    const auto T = static_cast<Eigen::Index>(rows.size());
    Matrix U(n, T);
    for (Eigen::Index i = 0; i < T; ++i) U.col(i) = df.values.row(rows[static_cast<std::size_t>(i)]).transpose();
    U.colwise() -= U.rowwise().mean();
    const double t = static_cast<double>(T);
    // ‖XᵀX‖_F = ‖XXᵀ‖_F: the T × T Gram matrix UᵀU gives the same sum without the n × n one.
    Matrix G(T, T);
    minimize::set_lower_product(G, U, U);
    G.triangularView<Eigen::StrictlyUpper>() = G.transpose();
    const double delta_sum = G.array().square().sum() / (t * t);
    const Shrinkage s = n == 1 ? Shrinkage{}
                               : shrinkage_of(U.array().square().rowwise().sum(),
                                              U.array().square().colwise().sum().square().sum(), t, delta_sum);
    U *= std::sqrt((1.0 - s.intensity) / t);
    return {Vector::Constant(n, s.intensity * s.mu), std::move(U)};
}

std::optional<minimize::DiagonalPlusLowRank> sample_covariance_factor(const ReturnTable& df) {
    const Matrix& X = df.values;
    const Eigen::Index T = X.rows(), n = X.cols();
    // With a gap anywhere the estimate is pairwise: the pairs with a gappy column use other rows
    // and other means, and the matrix is no Gram matrix of one table.
    if (T < 2 || !X.allFinite()) return std::nullopt;
    Matrix U = (X.rowwise() - X.colwise().mean()).transpose() / std::sqrt(static_cast<double>(T - 1));
    return minimize::DiagonalPlusLowRank(Vector::Zero(n), std::move(U));
}

}  // namespace kelvane_mod_optimizer
