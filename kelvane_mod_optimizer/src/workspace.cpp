// Large matrices kept per thread between calls. With glibc's default thresholds a freed block
// of a few hundred kilobytes goes back to the system, and the next call pays a page fault for
// every page it touches again: at 300 instruments more than the arithmetic of the covariance.
#include <algorithm>
#include <vector>

#include "internal.hpp"

namespace kelvane_mod_optimizer {

namespace {

constexpr std::size_t kKept = 4;

// Each thread's spare matrices; nothing else sees them.
thread_local std::vector<Matrix> spares;

}  // namespace

Matrix reusable_matrix(Eigen::Index rows, Eigen::Index cols) {
    const auto it = std::find_if(spares.begin(), spares.end(), [&](const Matrix& m) { return m.size() == rows * cols; });
    if (it == spares.end()) return Matrix(rows, cols);
    Matrix m = std::move(*it);
    spares.erase(it);
    m.resize(rows, cols);  // the same number of entries: the storage stays
    return m;
}

void reuse_later(Matrix&& m) noexcept {
    if (m.size() == 0) return;
    if (spares.size() < kKept) {
        try {
            spares.push_back(std::move(m));
        } catch (...) {  // out of memory: the matrix is simply freed
        }
        return;
    }
    auto smallest = std::min_element(spares.begin(), spares.end(),
                                     [](const Matrix& a, const Matrix& b) { return a.size() < b.size(); });
    if (smallest->size() < m.size()) *smallest = std::move(m);
}

}  // namespace kelvane_mod_optimizer
