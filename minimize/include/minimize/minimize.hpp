// Bound- and constraint-aware minimisers (SLSQP and L-BFGS-B) on Eigen vectors.
// Independent of the host and of the optimiser; usable on their own.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Dense>

namespace minimize {

using Vector = Eigen::VectorXd;
using Objective = std::function<double(const Vector& x)>;
using Gradient = std::function<Vector(const Vector& x)>;

// Bounds on one variable; an absent side means unbounded on that side.
struct Bound {
    std::optional<double> lower;
    std::optional<double> upper;
};

// c(x) == 0 (eq) or c(x) >= 0 (ineq). Without `jac` its gradient is taken by finite differences.
struct Constraint {
    enum class Type { eq, ineq };
    Type type = Type::eq;
    std::function<double(const Vector& x)> fun;
    Gradient jac;  // optional: gradient of fun with respect to x
};

// Outcome of one minimisation.
struct Result {
    bool success = false;  // the method's convergence test passed
    int nit = 0;           // iterations performed
    int status = 0;        // exit code (see each method)
    std::string message;   // how it stopped
    Vector x;              // final point
    double fun = 0.0;      // objective at x
    int nfev = 0;          // objective evaluations (finite-difference ones included)
    int njev = 0;          // gradient evaluations
};

struct SlsqpOptions {
    int maxiter = 100;                    // iteration limit; the core runs at most maxiter - 1 QPs
    double ftol = 1e-6;                   // accuracy of the convergence test
    double eps = 1.4901161193847656e-08;  // absolute forward-difference step
};

// Exit codes of slsqp(), as Kraft's method numbers them.
namespace slsqp_status {
inline constexpr int success = 0;
inline constexpr int more_equalities_than_variables = 2;
inline constexpr int lsq_iteration_limit = 3;
inline constexpr int incompatible_constraints = 4;
inline constexpr int singular_e = 5;
inline constexpr int singular_c = 6;
inline constexpr int rank_deficient_hfti = 7;
inline constexpr int positive_directional_derivative = 8;
inline constexpr int iteration_limit = 9;
}  // namespace slsqp_status

// Sequential least-squares quadratic programming. `gradient` empty: forward differences.
// `bounds` empty: no bounds; otherwise one entry per variable.
Result slsqp(const Objective& objective, const Gradient& gradient, const Vector& x0,
             const std::vector<Bound>& bounds, const std::vector<Constraint>& constraints,
             const SlsqpOptions& options = {});

struct LbfgsbOptions {
    int maxiter = 15000;                 // iteration limit
    int maxcor = 10;                     // number of correction pairs kept
    double ftol = 2.2204460492503131e-09;  // relative reduction test on f
    double gtol = 1e-5;                  // projected-gradient test
    int maxfun = 15000;                  // evaluation limit
    double eps = 1e-8;                   // finite-difference step when no gradient is given
};

// Exit codes of lbfgsb().
namespace lbfgsb_status {
inline constexpr int converged = 0;      // the reduction or projected-gradient test passed
inline constexpr int limit_reached = 1;  // iteration or evaluation limit
inline constexpr int abnormal = 2;       // the line search or the method stopped otherwise
}  // namespace lbfgsb_status

Result lbfgsb(const Objective& objective, const Gradient& gradient, const Vector& x0,
              const std::vector<Bound>& bounds, const LbfgsbOptions& options = {});

}  // namespace minimize
