#include "minimize/diagonal_plus_low_rank.hpp"
#include "minimize/products.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace minimize {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

DiagonalPlusLowRank::DiagonalPlusLowRank(VectorXd d, MatrixXd U) : d_(std::move(d)) {
    if (U.rows() != d_.size()) throw std::invalid_argument("diagonal and low-rank factor differ in size");
    U_ = std::make_shared<const MatrixXd>(std::move(U));
}

const MatrixXd& DiagonalPlusLowRank::no_factor() {
    static const MatrixXd none;
    return none;
}

VectorXd DiagonalPlusLowRank::operator*(const VectorXd& x) const {
    VectorXd y = d_.cwiseProduct(x);
    if (rank() > 0) y.noalias() += U() * (U().transpose() * x);
    return y;
}

double DiagonalPlusLowRank::quadratic_form(const VectorXd& x) const {
    double q = x.dot(d_.cwiseProduct(x));
    if (rank() > 0) q += (U().transpose() * x).squaredNorm();
    return q;
}

VectorXd DiagonalPlusLowRank::diagonal() const { return d_ + U().rowwise().squaredNorm(); }

VectorXd DiagonalPlusLowRank::row(Index i) const {
    VectorXd r = VectorXd::Zero(size());
    if (rank() > 0) r.noalias() = U() * U().row(i).transpose();
    r[i] += d_[i];
    return r;
}

MatrixXd DiagonalPlusLowRank::dense() const {
    MatrixXd m(size(), size());
    dense_into(m);
    return m;
}

void DiagonalPlusLowRank::dense_into(MatrixXd& m) const {
    m.resize(size(), size());
    m.triangularView<Eigen::Lower>().setZero();
    if (rank() > 0) add_lower_gram(m, U());
    m.triangularView<Eigen::StrictlyUpper>() = m.transpose();
    m.diagonal() += d_;
}

WoodburySolver::WoodburySolver(const DiagonalPlusLowRank& m, const VectorXd& shift) { compute(m, shift); }

WoodburySolver::WoodburySolver(const DiagonalPlusLowRank& m, double shift) {
    compute(m, VectorXd::Constant(m.size(), shift));
}

void WoodburySolver::compute(const DiagonalPlusLowRank& m, const VectorXd& shift) {
    if (shift.size() != m.size()) throw std::invalid_argument("shift and matrix differ in size");
    const VectorXd lambda = m.d() + shift;
    for (Index i = 0; i < lambda.size(); ++i)
        if (!(lambda[i] > 0.0) || !std::isfinite(lambda[i]))
            throw std::invalid_argument("shifted diagonal is not positive");
    inv_sqrt_lambda_ = lambda.cwiseSqrt().cwiseInverse();
    U_ = m.U_ ? m.U_ : std::make_shared<const MatrixXd>();
    const Index k = m.rank();
    capacitance_matrix_.setIdentity(k, k);
    // WᵀW, its columns of W formed a tile at a time inside add_lower_gram.
    if (k > 0) add_lower_gram(capacitance_matrix_, (inv_sqrt_lambda_.asDiagonal() * *U_).transpose());
    capacitance_.compute(capacitance_matrix_);  // I + WᵀW is positive definite: its eigenvalues are at least 1
}

// K⁻¹ = Λ^{-1/2} (I − W (I + WᵀW)⁻¹ Wᵀ) Λ^{-1/2}, with W Y = Λ^{-1/2} (U Y) and Wᵀ Y = Uᵀ (Λ^{-1/2} Y).
MatrixXd WoodburySolver::apply_inverse(const MatrixXd& R) const {
    MatrixXd Y = inv_sqrt_lambda_.asDiagonal() * R;
    if (U_->cols() > 0) {
        const MatrixXd Z = capacitance_.solve(U_->transpose() * (inv_sqrt_lambda_.asDiagonal() * Y));
        Y.noalias() -= inv_sqrt_lambda_.asDiagonal() * (*U_ * Z);
    }
    return inv_sqrt_lambda_.asDiagonal() * Y;
}

// K = Λ^{1/2} (I + W Wᵀ) Λ^{1/2}
MatrixXd WoodburySolver::apply(const MatrixXd& Z) const {
    MatrixXd Y = inv_sqrt_lambda_.cwiseInverse().asDiagonal() * Z;
    if (U_->cols() > 0) {
        const MatrixXd V = U_->transpose() * (inv_sqrt_lambda_.asDiagonal() * Y);
        Y.noalias() += inv_sqrt_lambda_.asDiagonal() * (*U_ * V);
    }
    return inv_sqrt_lambda_.cwiseInverse().asDiagonal() * Y;
}

MatrixXd WoodburySolver::solve(const MatrixXd& R) const {
    // One step of refinement on the residual: with a diagonal spread over many orders of magnitude
    // the first solve leaves residuals far above rounding on the rows with a small diagonal.
    MatrixXd Z = apply_inverse(R);
    Z += apply_inverse(R - apply(Z));
    return Z;
}

VectorXd WoodburySolver::solve(const VectorXd& r) const { return solve(MatrixXd(r)).col(0); }

}  // namespace minimize
