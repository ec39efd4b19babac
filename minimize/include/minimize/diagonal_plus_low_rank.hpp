// A symmetric matrix diag(d) + U Uᵀ kept in factor form (U is n × k with k small), and a solver for
// the shifted systems (diag(d + shift) + U Uᵀ) z = r that Newton methods on such matrices need.
// Products and solves cost O(n·k); nothing of size n × n is formed except by dense() and dense_into().
#pragma once

#include <memory>

#include <Eigen/Dense>

namespace minimize {

// diag(d) + U Uᵀ, n × n, symmetric positive semidefinite when d ≥ 0. Copies share U, which is never
// changed (a copy costs O(n)).
class DiagonalPlusLowRank {
public:
    DiagonalPlusLowRank() = default;
    // d has n entries, U is n × k (k may be 0). Throws std::invalid_argument on mismatched sizes.
    DiagonalPlusLowRank(Eigen::VectorXd d, Eigen::MatrixXd U);

    Eigen::Index size() const { return d_.size(); }
    Eigen::Index rank() const { return U().cols(); }  // k, the width of the low-rank factor
    const Eigen::VectorXd& d() const { return d_; }
    const Eigen::MatrixXd& U() const { return U_ ? *U_ : no_factor(); }

    Eigen::VectorXd operator*(const Eigen::VectorXd& x) const;  // the product M x
    double quadratic_form(const Eigen::VectorXd& x) const;      // xᵀ M x
    Eigen::VectorXd diagonal() const;                           // d + the squared row norms of U
    Eigen::VectorXd row(Eigen::Index i) const;                  // row i, equal to column i
    Eigen::MatrixXd dense() const;                              // the n × n matrix
    void dense_into(Eigen::MatrixXd& m) const;                  // the same in m's storage (resized)

private:
    friend class WoodburySolver;  // keeps a share of U
    static const Eigen::MatrixXd& no_factor();  // the U of a default-constructed or moved-from matrix
    Eigen::VectorXd d_;
    std::shared_ptr<const Eigen::MatrixXd> U_;  // null only where no_factor() stands for it
};

// Solves (diag(d + shift) + U Uᵀ) z = r by the Woodbury identity. The k × k capacitance matrix
// I + Wᵀ W, with W = Λ^{-1/2} U and Λ = diag(d + shift), is formed and factorised once (cost n·k²);
// each solve (with one step of refinement) then costs O(n·k). Scaling U by Λ^{-1/2} keeps the
// capacitance matrix well conditioned when some entries of Λ are huge (a Newton diagonal near a
// bound). The solver shares the matrix's U and applies Λ^{-1/2} as it goes: W is never formed.
class WoodburySolver {
public:
    // Every entry of d + shift must be positive and finite; throws std::invalid_argument otherwise.
    WoodburySolver(const DiagonalPlusLowRank& m, const Eigen::VectorXd& shift);
    // The same with a common shift on every diagonal entry.
    WoodburySolver(const DiagonalPlusLowRank& m, double shift);

    // Factorises another matrix of the same kind in the storage of this one (a Newton method's
    // next step: nothing of size n·k is allocated again); the same checks as the constructor,
    // which leave the solver as it was when they fail.
    void compute(const DiagonalPlusLowRank& m, const Eigen::VectorXd& shift);

    Eigen::VectorXd solve(const Eigen::VectorXd& r) const;
    Eigen::MatrixXd solve(const Eigen::MatrixXd& R) const;  // one solve per column

private:
    Eigen::MatrixXd apply_inverse(const Eigen::MatrixXd& R) const;  // the Woodbury formula
    Eigen::MatrixXd apply(const Eigen::MatrixXd& Z) const;          // K Z from the scaled factor

    Eigen::VectorXd inv_sqrt_lambda_;  // Λ^{-1/2}
    std::shared_ptr<const Eigen::MatrixXd> U_;  // the matrix's U, shared
    Eigen::MatrixXd capacitance_matrix_;  // I + WᵀW, kept for the next compute
    Eigen::LLT<Eigen::MatrixXd> capacitance_;
};

}  // namespace minimize
