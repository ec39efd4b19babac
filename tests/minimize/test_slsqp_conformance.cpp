// SLSQP against SciPy on generated portfolio-style problems (n from 2 to 60): the budget, bounds
// with absent sides, group limits, exact gradients and forward differences, iteration limits,
// incompatible limits and a non-smooth objective.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "json_matrix.hpp"
#include "minimize/minimize.hpp"

namespace {

using minimize::Vector;
using Matrix = Eigen::MatrixXd;
using json = nlohmann::json;
using kv_test::matrix;
using kv_test::vector;

struct Problem {
    minimize::Objective f;
    minimize::Gradient grad;
    std::vector<minimize::Bound> bounds;
    std::vector<minimize::Constraint> cons;
};

Problem problem(const json& cs) {
    const Matrix c = matrix(cs["c"]);
    const std::string kind = cs["kind"];
    Problem p;
    if (kind == "min_variance") {
        p.f = [c](const Vector& x) { return x.dot(c * x); };
        p.grad = [c](const Vector& x) -> Vector { return 2.0 * c * x; };
    } else if (kind == "mean_variance") {
        const double lam = cs["lam"];
        const Vector mu = vector(cs["mu"]);
        p.f = [c, lam, mu](const Vector& x) { return lam * x.dot(c * x) - mu.dot(x); };
        p.grad = [c, lam, mu](const Vector& x) -> Vector { return 2.0 * lam * (c * x) - mu; };
    } else if (kind == "tracking_error") {
        const Matrix d = matrix(cs["d"]);
        const Vector b = vector(cs["b"]);
        p.f = [d, b](const Vector& x) { return (b - d * x).squaredNorm(); };
    } else {
        p.f = [c](const Vector& x) {
            const Vector t = x.cwiseProduct(c * x);
            double sum = 0.0;
            for (Eigen::Index i = 0; i < t.size(); ++i)
                for (Eigen::Index j = i + 1; j < t.size(); ++j) sum += std::abs(t[i] - t[j]);
            return sum;
        };
    }
    if (!cs["jac"].get<bool>()) p.grad = nullptr;
    for (std::size_t i = 0; i < cs["lower"].size(); ++i) {
        minimize::Bound b{cs["lower"][i].get<double>(), std::nullopt};
        if (!cs["upper"][i].is_null()) b.upper = cs["upper"][i].get<double>();
        p.bounds.push_back(b);
    }
    p.cons.push_back({minimize::Constraint::Type::eq, [](const Vector& x) { return x.sum() - 1.0; }, {}});
    for (const auto& g : cs["groups"]) {
        const Vector in = [&] {
            Vector v = Vector::Zero(c.rows());
            for (const auto& i : g["members"]) v[i.get<Eigen::Index>()] = 1.0;
            return v;
        }();
        const double lo = g["lower"], hi = g["upper"];
        p.cons.push_back({minimize::Constraint::Type::ineq, [in, lo](const Vector& x) { return in.dot(x) - lo; },
                          [in](const Vector&) -> Vector { return in; }});
        p.cons.push_back({minimize::Constraint::Type::ineq, [in, hi](const Vector& x) { return hi - in.dot(x); },
                          [in](const Vector&) -> Vector { return -in; }});
    }
    return p;
}

TEST(minimize_conformance, GeneratedPortfolioProblemsAgreeWithTheReference) {
    std::ifstream in(KV_SLSQP_FIXTURE);
    ASSERT_TRUE(in) << "missing fixture " << KV_SLSQP_FIXTURE;
    const auto cases = json::parse(in);
    ASSERT_GE(cases.size(), 50u);
    int same_nit = 0, smooth = 0;
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const auto& cs = cases[k];
        const std::string kind = cs["kind"];
        const auto n = static_cast<Eigen::Index>(cs["n"].get<int>());
        SCOPED_TRACE("case " + std::to_string(k) + ": " + kind + " n=" + std::to_string(n) +
                     (cs["jac"].get<bool>() ? " jac" : " differences"));
        const Problem p = problem(cs);
        const auto r = minimize::slsqp(p.f, p.grad, Vector::Constant(n, 1.0 / static_cast<double>(n)), p.bounds,
                                       p.cons, {cs["maxiter"].get<int>(), 1e-8});
        const int status = cs["status"];
        EXPECT_EQ(r.status, status);
        if (status == 8) continue;  // incompatible limits: the class of the outcome is what is defined
        const Vector want = vector(cs["x"]);
        const double want_fun = cs["fun"];
        // Every answer is feasible.
        EXPECT_NEAR(r.x.sum(), 1.0, 1e-9);
        for (Eigen::Index i = 0; i < n; ++i) {
            EXPECT_GE(r.x[i], p.bounds[static_cast<std::size_t>(i)].lower.value_or(-1e300) - 1e-12);
            EXPECT_LE(r.x[i], p.bounds[static_cast<std::size_t>(i)].upper.value_or(1e300) + 1e-12);
        }
        if (kind == "risk_contributions") {
            // Non-smooth: the paths part early; the end point must be as good, on the scale of
            // the objective at the start.
            const double start = p.f(Vector::Constant(n, 1.0 / static_cast<double>(n)));
            EXPECT_LE(r.fun, want_fun + 1e-4 * start);
            continue;
        }
        if (status == 9) {
            EXPECT_EQ(r.nit, cs["nit"].get<int>());
            EXPECT_LE((r.x - want).cwiseAbs().maxCoeff(), 1e-8);
            continue;
        }
        ++smooth;
        same_nit += r.nit == cs["nit"].get<int>();
        EXPECT_LE(std::abs(r.nit - cs["nit"].get<int>()), 2);
        EXPECT_LE((r.x - want).cwiseAbs().maxCoeff(), 1e-6);
        EXPECT_LE(r.fun, want_fun + (cs["jac"].get<bool>() ? 1e-9 : 1e-8) * std::abs(want_fun));
    }
    // Rounding may move a stop by an iteration now and then, not as a rule.
    EXPECT_GE(same_nit, smooth * 3 / 4) << same_nit << " of " << smooth << " stop at the same iteration";
}

}  // namespace
