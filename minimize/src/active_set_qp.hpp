// A fast path for SLSQP's quadratic subproblem when its active set can be guessed from the
// previous one: simple bounds are kept as bounds, and only the free variables enter the linear
// algebra.
#pragma once

#include <functional>
#include <vector>

#include <Eigen/Dense>

#include "minimize/primal_qp.hpp"

namespace minimize::detail {

using minimize::ActiveSet;

// The equality-constrained step on the free variables with H = R Rᵀ, from the forward solves
// Z = R⁻¹A_Fᵀ and w = R⁻¹q: the multipliers λ of the rows A_F v = rhs, from (ZᵀZ) λ = rhs + Zᵀw,
// and y = Z λ - w; the minimiser of ½ vᵀHv + qᵀv on the rows is v = R⁻ᵀ y, one back solve away.
// Returns false when the rows are numerically dependent.
bool range_space_step(const Eigen::MatrixXd& Z, const Eigen::VectorXd& w, const Eigen::VectorXd& rhs,
                      Eigen::VectorXd& y, Eigen::VectorXd& lambda);

// Solves min ½ sᵀ(L D Lᵀ)s + gᵀs subject to A.topRows(me) s = b.head(me), A.bottomRows s >= b.tail,
// lo <= s <= up (L unit lower triangular, D > 0), starting from the guess `active` and adding
// violated or dropping wrongly signed constraints in blocks. Returns true only for a point that
// meets the optimality conditions to rounding; then `s`, the multipliers `r` of the rows of A
// (in the sign convention B s + g = Aᵀ r + bound multipliers) and `active` hold the answer.
// Returns false, leaving the guess untouched, when it cannot verify one within a few steps.
// `dense_B`, when given, returns L D Lᵀ as a dense matrix; it is asked for only when some variable
// is at a bound and more than a quarter are free, and the free block is then gathered from it
// instead of formed from the factors.
bool active_set_qp(const Eigen::MatrixXd& L, const Eigen::VectorXd& d, const Eigen::VectorXd& g,
                   const Eigen::MatrixXd& A, const Eigen::VectorXd& b, Eigen::Index me, const Eigen::VectorXd& lo,
                   const Eigen::VectorXd& up, ActiveSet& active, Eigen::VectorXd& s, Eigen::VectorXd& r,
                   const std::function<const Eigen::MatrixXd&()>& dense_B = {});

}  // namespace minimize::detail
