// The objectives of the five problems and their gradients.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "internal.hpp"

namespace kelvane_mod_optimizer {

double barrier_value(const Vector& x, const Vector& cx) {
    double log_sum = 0.0;
    for (Eigen::Index i = 0; i < x.size(); ++i) log_sum += std::log(x[i]);
    return x.dot(cx) - kBarrierWeight * log_sum;
}

Vector barrier_gradient(const Vector& x, const Vector& cx) {
    return 2.0 * cx.array() - kBarrierWeight * x.array().inverse();
}

double log_barrier_risk_parity_obj_fun(const Matrix& C, const Vector& x) { return barrier_value(x, C * x); }

Vector log_barrier_risk_parity_gradient(const Matrix& C, const Vector& x) { return barrier_gradient(x, C * x); }

namespace {

// Risk contributions t = x ⊙ Cx with their ranks: s_i = 2·rank_i − n − 1 weighs t_i in the
// sum over pairs of |t_i − t_j|.
struct Spread {
    Vector cx;
    Vector t;
    Vector s;
    double value = 0.0;
};

Spread risk_contribution_spread(const Matrix& C, const Vector& x) {
    Spread sp;
    sp.cx = C * x;
    sp.t = x.cwiseProduct(sp.cx);
    const Eigen::Index n = x.size();
    std::vector<Eigen::Index> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), Eigen::Index{0});
    std::sort(order.begin(), order.end(), [&](Eigen::Index a, Eigen::Index b) { return sp.t[a] < sp.t[b]; });
    sp.s.resize(n);
    for (Eigen::Index k = 0; k < n; ++k) {
        const double weight = static_cast<double>(2 * k - n + 1);
        sp.s[order[static_cast<std::size_t>(k)]] = weight;
        sp.value += weight * sp.t[order[static_cast<std::size_t>(k)]];
    }
    return sp;
}

}  // namespace

double sorted_spread(Vector t) {
    std::sort(t.begin(), t.end());
    const Eigen::Index n = t.size();
    double s = 0.0;
    for (Eigen::Index k = 0; k < n; ++k) s += static_cast<double>(2 * k - n + 1) * t[k];
    return s;
}

double risk_parity_with_con_obj_fun(const Matrix& C, const Vector& x) {
    const Vector t = x.cwiseProduct(C * x);
    if (!t.allFinite()) {
        // Pairwise differences keep NaN and infinities as the plain sum over pairs would.
        double sum = 0.0;
        for (Eigen::Index i = 0; i < t.size(); ++i)
            for (Eigen::Index j = i + 1; j < t.size(); ++j) sum += std::abs(t[i] - t[j]);
        return sum;
    }
    return risk_contribution_spread(C, x).value;
}

Vector risk_parity_with_con_gradient(const Matrix& C, const Vector& x) {
    const Spread sp = risk_contribution_spread(C, x);
    return sp.s.cwiseProduct(sp.cx) + C * sp.s.cwiseProduct(x);
}

double min_variance_obj_fun(const Matrix& C, const Vector& x) { return (x.transpose() * C).dot(x); }

Vector min_variance_gradient(const Matrix& C, const Vector& x) { return 2.0 * (C * x); }

double mean_variance_obj_fun(const Matrix& C, double risk_aversion, const Vector& mu, const Vector& x) {
    return risk_aversion / 2.0 * (x.transpose() * C).dot(x) - x.dot(mu);
}

Vector mean_variance_gradient(const Matrix& C, double risk_aversion, const Vector& mu, const Vector& x) {
    return risk_aversion * (C.transpose() * x) - mu;
}

double min_TE_obj_fun(const Matrix& D, const Vector& b, const Vector& x) {
    const Vector e = b - D * x;
    return e.dot(e);
}

Vector min_TE_gradient(const Matrix& D, const Vector& b, const Vector& x) {
    return -2.0 * (D.transpose() * (b - D * x));
}

}  // namespace kelvane_mod_optimizer
