// The least-squares subproblems of SLSQP (Lawson & Hanson): NNLS, LDP, LSI, HFTI and LSEI.
#pragma once

#include <Eigen/Dense>

namespace minimize::detail {

using Matrix = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;

// The rank threshold SLSQP uses in its tests (a literal, not DBL_EPSILON).
inline constexpr double kEpsK = 2.22e-16;

// Mode codes shared with SLSQP's exit codes; 1 means solved.
inline constexpr int kSolved = 1;

// min ‖M u − e‖ subject to u ≥ 0. Returns kSolved or 3 (iteration limit / emptied set).
int nnls(Matrix M, Vector e, Vector& u, double& residual_norm);

// min ½‖z‖² subject to G z ≥ h; multipliers λ ≥ 0 for the rows of G.
int ldp(const Matrix& G, const Vector& h, Vector& z, Vector& lambda);

// min ‖E x − f‖ subject to G x ≥ h (E has at least as many rows as columns).
int lsi(Matrix E, Vector f, const Matrix& G, const Vector& h, Vector& x, Vector& lambda);

// min ‖E x − f‖ by QR with column pivoting; returns 7 when the pseudo-rank is below the column count.
int hfti(const Matrix& E, const Vector& f, Vector& x);

// min ‖E x − f‖ subject to C x = d and G x ≥ h. `multipliers` receives the equality
// multipliers followed by those of the rows of G.
int lsei(Matrix C, const Vector& d, Matrix E, const Vector& f, Matrix G, const Vector& h, Vector& x,
         Vector& multipliers);

}  // namespace minimize::detail
