// Symmetric products (Gram matrices, AᵀB known to be symmetric) computed a block at a time, so
// that Eigen's product kernel keeps its packing buffers on the stack. A product of whole large
// operands takes those buffers from the heap, in blocks of some hundred kilobytes that glibc's
// allocator by default hands back to the system when they are freed: every later product then
// pays a page fault for each of their pages again (on a virtual machine about 10 µs each, more
// than the arithmetic of a 300 × 131 Gram matrix).
#pragma once

#include <algorithm>

#include <Eigen/Dense>

namespace minimize {

namespace products_detail {

// Eigen's stack allowance, in numbers.
inline constexpr Eigen::Index kStackNumbers = EIGEN_STACK_ALLOCATION_LIMIT / sizeof(double);
// The deepest block of a product that Eigen packs at once (its depth block follows the L1 cache:
// about 250–380 on current x86-64).
inline constexpr Eigen::Index kDeepestBlock = 512;
// Narrower blocks than this make the products too thin to be efficient: the product is then
// computed whole.
inline constexpr Eigen::Index kNarrowest = 32;

}  // namespace products_detail

// Adds X Xᵀ to the lower triangle of G (G square, of X's rows), X taken a few columns at a time.
template <typename Derived>
void add_lower_gram(Eigen::MatrixXd& G, const Eigen::MatrixBase<Derived>& X) {
    using namespace products_detail;
    const Eigen::Index rows = G.rows();
    if (rows == 0 || X.cols() == 0) return;  // nothing to add (Eigen's kernels would read a coefficient)
    const Eigen::Index width = kStackNumbers / rows;
    if (width < kNarrowest) {
        G.selfadjointView<Eigen::Lower>().rankUpdate(X.derived());
        return;
    }
    for (Eigen::Index j = 0; j < X.cols(); j += width)
        G.selfadjointView<Eigen::Lower>().rankUpdate(X.middleCols(j, std::min(width, X.cols() - j)));
}

// Sets the lower triangle (the diagonal included) of H to Aᵀ B (A and B with as many rows, H
// square, of their columns), a square block at a time; the strict upper triangle is left as it is.
inline void set_lower_product(Eigen::MatrixXd& H, const Eigen::MatrixXd& A, const Eigen::MatrixXd& B) {
    using namespace products_detail;
    const Eigen::Index n = H.rows();
    const Eigen::Index depth = std::min(A.rows(), kDeepestBlock);
    // Eigen's products read a first coefficient even of an empty operand.
    if (A.rows() == 0) {
        H.triangularView<Eigen::Lower>().setZero();
        return;
    }
    const Eigen::Index width = kStackNumbers / depth;
    if (width < kNarrowest) {
        H.triangularView<Eigen::Lower>() = A.transpose() * B;
        return;
    }
    for (Eigen::Index j = 0; j < n; j += width) {
        const Eigen::Index nj = std::min(width, n - j);
        for (Eigen::Index i = j; i < n; i += width) {
            const Eigen::Index ni = std::min(width, n - i);
            if (i == j)
                H.block(i, j, ni, nj).triangularView<Eigen::Lower>() = A.middleCols(i, ni).transpose() * B.middleCols(j, nj);
            else
                H.block(i, j, ni, nj).noalias() = A.middleCols(i, ni).transpose() * B.middleCols(j, nj);
        }
    }
}

}  // namespace minimize
