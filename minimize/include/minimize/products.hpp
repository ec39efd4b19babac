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
// A product of a deeper operand is summed over slices of this many rows; with square blocks of
// kStackNumbers / kDepthSlice columns its packing buffers then fit the allowance (n × n products,
// n = 300 to 1,500: 12-18 % slower than one whole product where the buffers' pages stay mapped,
// against 25-37 % with the whole depth and narrower blocks).
inline constexpr Eigen::Index kDepthSlice = 256;
// A Gram matrix of more rows than kStackNumbers / kNarrowest would take blocks of X too thin to be
// efficient: it is then computed whole.
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
    const Eigen::Index n = H.rows(), depth = A.rows();
    // Eigen's products read a first coefficient even of an empty operand.
    if (depth == 0) {
        H.triangularView<Eigen::Lower>().setZero();
        return;
    }
    const Eigen::Index slice = std::min(depth, kDepthSlice);
    const Eigen::Index width = kStackNumbers / slice;  // at least 64
    for (Eigen::Index j = 0; j < n; j += width) {
        const Eigen::Index nj = std::min(width, n - j);
        for (Eigen::Index i = j; i < n; i += width) {
            const Eigen::Index ni = std::min(width, n - i);
            auto block = H.block(i, j, ni, nj);
            for (Eigen::Index k = 0; k < depth; k += slice) {
                const Eigen::Index nk = std::min(slice, depth - k);
                const auto a = A.block(k, i, nk, ni);
                const auto b = B.block(k, j, nk, nj);
                if (i == j && k == 0)
                    block.triangularView<Eigen::Lower>() = a.transpose() * b;
                else if (i == j)
                    block.triangularView<Eigen::Lower>() += a.transpose() * b;
                else if (k == 0)
                    block.noalias() = a.transpose() * b;
                else
                    block.noalias() += a.transpose() * b;
            }
        }
    }
}

}  // namespace minimize
