// A primal active-set solver for SLSQP's quadratic subproblem: it starts from the zero step (which
// the bounds always admit), keeps simple bounds as bounds, and updates a Cholesky factor of the
// free variables' block of B as variables join or leave their bounds.
#pragma once

#include <Eigen/Dense>

#include "active_set_qp.hpp"

namespace minimize::detail {

// Solves min ½ sᵀBs + gᵀs subject to A.topRows(me) s = b.head(me), A.bottomRows s >= b.tail,
// lo <= s <= up (B symmetric positive definite, infinite sides absent, lo <= 0 <= up), starting
// from s = 0 and the working set `active`. Returns false, without touching the outputs, when the
// bounds exclude s = 0, the working constraints become dependent, a factor fails or the step limit
// is reached. On success `s`, the row multipliers `r` (B s + g = Aᵀ r + bound multipliers) and
// `active` describe the solution.
bool primal_active_set_qp(const Eigen::MatrixXd& B, const Eigen::VectorXd& g, const Eigen::MatrixXd& A,
                          const Eigen::VectorXd& b, Eigen::Index me, const Eigen::VectorXd& lo,
                          const Eigen::VectorXd& up, ActiveSet& active, Eigen::VectorXd& s, Eigen::VectorXd& r);

}  // namespace minimize::detail
