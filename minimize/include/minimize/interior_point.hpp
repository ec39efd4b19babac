// A primal-dual interior-point method (Mehrotra's predictor-corrector) for convex quadratic
// programmes whose Hessian is diagonal plus low rank, with box bounds and a few dense rows:
//   minimise ½xᵀHx + qᵀx  subject to  A_eq x = b_eq,  A_in x ≤ b_in,  l ≤ x ≤ u.
// Each Newton step costs one Woodbury factorisation (n·k²) and a Schur complement of the rows.
#pragma once

#include <optional>

#include <Eigen/Dense>

#include "minimize/diagonal_plus_low_rank.hpp"

namespace minimize {

struct QuadraticProgram {
    DiagonalPlusLowRank H;  // Hessian, positive semidefinite
    Eigen::VectorXd q;      // linear term
    Eigen::MatrixXd A_eq;   // equality rows (me × n, me may be 0)
    Eigen::VectorXd b_eq;
    Eigen::MatrixXd A_in;   // inequality rows A_in x ≤ b_in (mi × n, mi may be 0)
    Eigen::VectorXd b_in;
    Eigen::VectorXd lower;  // l, −infinity where absent
    Eigen::VectorXd upper;  // u, +infinity where absent
    Eigen::MatrixXd H_dense;  // when not empty: the Hessian as a dense n × n matrix, used instead of H
};

struct InteriorPointOptions {
    int max_iterations = 100;  // Newton steps at most
    double tolerance = 1e-12;  // relative residuals and relative duality gap at which it stops
    // The sizes of the objective and of its gradient at a typical point (0: none): the duality gap
    // and the dual residual are measured relative to at least these, so that a problem whose
    // optimum is 0 (a benchmark reproduced exactly, a portfolio without variance) still converges.
    double objective_scale = 0.0;
    double gradient_scale = 0.0;
};

enum class QpStatus {
    converged,        // the optimality conditions hold to the tolerance
    iteration_limit,  // max_iterations steps without converging
    infeasible,       // a certificate that no x satisfies the rows and bounds was found
    failed,           // the method could not make progress (numerical trouble, unbounded problem)
};

struct QpResult {
    QpStatus status = QpStatus::failed;
    int iterations = 0;
    double objective = 0.0;  // ½xᵀHx + qᵀx at x
    Eigen::VectorXd x;
    Eigen::VectorXd y_eq;     // multipliers of the equality rows: Hx + q + A_eqᵀy_eq + A_inᵀz_in − z_l + z_u = 0
    Eigen::VectorXd z_in;     // multipliers of the inequality rows, ≥ 0
    Eigen::VectorXd z_lower;  // multipliers of the lower bounds, ≥ 0 (0 where absent)
    Eigen::VectorXd z_upper;  // multipliers of the upper bounds, ≥ 0 (0 where absent)
};

// When the optimum under the equality rows alone meets every bound and inequality row, it is the
// answer (found with one factorisation, 1 iteration). Throws std::invalid_argument when the sizes disagree or some l > u.
QpResult solve_qp(const QuadraticProgram& problem, const InteriorPointOptions& options = {});

// The minimiser under the equality rows alone (one factorisation) when it meets every bound and
// inequality row, and is then the optimum; none otherwise. Throws as solve_qp does.
std::optional<QpResult> equality_constrained_optimum(const QuadraticProgram& problem);

}  // namespace minimize
