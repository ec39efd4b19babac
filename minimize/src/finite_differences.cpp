#include "finite_differences.hpp"

#include <cfloat>
#include <cmath>
#include <limits>

namespace minimize::detail {

double step(const Vector& x, Eigen::Index i, double eps, const std::vector<Bound>& bounds, bool any_finite_bound) {
    double h = eps;
    const double xi = x[i];
    if ((xi + h) - xi == 0.0) h = std::sqrt(DBL_EPSILON) * (xi >= 0 ? 1.0 : -1.0) * std::max(1.0, std::abs(xi));
    if (!any_finite_bound) return h;
    const auto& b = bounds[static_cast<std::size_t>(i)];
    const double lb = b.lower ? *b.lower : -std::numeric_limits<double>::infinity();
    const double ub = b.upper ? *b.upper : std::numeric_limits<double>::infinity();
    const double x1 = xi + h;
    if (x1 < lb || x1 > ub) {
        const double dl = xi - lb, du = ub - xi;
        if (std::abs(h) <= std::max(dl, du))
            h = -h;
        else
            h = du >= dl ? du : -dl;
    }
    return h;
}

Vector forward_difference(const Objective& f, const Vector& x, double fx, const std::vector<Bound>& bounds, double eps,
                          int& nfev) {
    bool any_finite = false;
    for (const auto& b : bounds)
        if ((b.lower && std::isfinite(*b.lower)) || (b.upper && std::isfinite(*b.upper))) any_finite = true;
    Vector g(x.size());
    Vector xp = x;
    for (Eigen::Index i = 0; i < x.size(); ++i) {
        const double h = step(x, i, eps, bounds, any_finite);
        xp[i] = x[i] + h;
        const double delta = xp[i] - x[i];
        g[i] = (f(xp) - fx) / delta;
        ++nfev;
        xp[i] = x[i];
    }
    return g;
}

}  // namespace minimize::detail
