// A primal active-set solver for convex quadratic programmes with simple bounds and linear rows,
// the fast path of SLSQP's subproblem; usable on its own. It starts from the zero step (which the
// bounds always admit), keeps simple bounds as bounds, and updates a Cholesky factor of the free
// variables' block of B as variables join or leave their bounds.
#pragma once

#include <vector>

#include <Eigen/Dense>

namespace minimize {

// Which constraints hold with equality at a subproblem's solution.
struct ActiveSet {
    std::vector<signed char> bound;  // per variable: -1 at its lower bound, +1 at its upper, 0 free
    std::vector<char> inequality;    // per inequality row: active or not
    bool known = false;              // false until a subproblem was solved
    int skip = 0;                    // subproblems to leave to the least-squares path after a miss
    int backoff = 0;                 // the last such pause; doubles with each miss in a row
};

// The Cholesky factor of B's block on the free variables at the end of a solve, kept for the next
// solve on the same B: one that starts from the same free variables takes it instead of
// factorising again (n³/3 multiplications). Call reset() whenever B changes.
class FreeBlockFactor {
public:
    void reset() { valid_ = false; }

private:
    friend struct FreeBlockFactorAccess;
    Eigen::MatrixXd lower_;           // the factor, in the leading block of free_.size() rows
    std::vector<Eigen::Index> free_;  // the free variables, in the factor's order
    int updates_ = 0;                 // joins and leaves since it was last factorised afresh
    bool valid_ = false;
};

// Solves min ½ sᵀBs + gᵀs subject to A.topRows(me) s = b.head(me), A.bottomRows s >= b.tail,
// lo <= s <= up (B symmetric positive definite, infinite sides absent, lo <= 0 <= up), starting
// from s = 0 and the working set `active`. Returns false, without touching the outputs, when the
// bounds exclude s = 0, the working constraints become dependent, a factor fails or the step limit
// is reached. On success `s`, the row multipliers `r` (B s + g = Aᵀ r + bound multipliers) and
// `active` describe the solution. With `reuse`, the factor it holds is taken where it fits, and it
// holds the solution's factor afterwards (none after a failure).
bool primal_active_set_qp(const Eigen::MatrixXd& B, const Eigen::VectorXd& g, const Eigen::MatrixXd& A,
                          const Eigen::VectorXd& b, Eigen::Index me, const Eigen::VectorXd& lo,
                          const Eigen::VectorXd& up, ActiveSet& active, Eigen::VectorXd& s, Eigen::VectorXd& r,
                          FreeBlockFactor* reuse = nullptr);

}  // namespace minimize
