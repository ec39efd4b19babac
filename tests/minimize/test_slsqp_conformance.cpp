// SLSQP against SciPy on random minimum-variance problems with a budget and upper bounds.
#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "minimize/minimize.hpp"

using minimize::Vector;

TEST(minimize_conformance, RandomMinimumVarianceProblems) {
    std::ifstream in(KV_SLSQP_FIXTURE);
    ASSERT_TRUE(in) << "missing fixture " << KV_SLSQP_FIXTURE;
    const auto cases = nlohmann::json::parse(in);
    ASSERT_GE(cases.size(), 10u);
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const auto& cs = cases[k];
        const auto n = static_cast<Eigen::Index>(cs["x"].size());
        Eigen::MatrixXd c(n, n);
        Vector want(n);
        std::vector<minimize::Bound> bounds;
        for (Eigen::Index i = 0; i < n; ++i) {
            for (Eigen::Index j = 0; j < n; ++j) c(i, j) = cs["c"][i][j];
            want[i] = cs["x"][i];
            bounds.push_back({0.0, cs["upper"][i].get<double>()});
        }
        minimize::Gradient jac;
        if (cs["jac"].get<bool>()) jac = [&c](const Vector& x) -> Vector { return 2.0 * c * x; };
        const minimize::Constraint budget{minimize::Constraint::Type::eq,
                                          [](const Vector& x) { return x.sum() - 1.0; }, {}};
        const auto r = minimize::slsqp([&c](const Vector& x) { return x.dot(c * x); }, jac,
                                       Vector::Constant(n, 1.0 / static_cast<double>(n)), bounds, {budget},
                                       {1000, 1e-8});
        SCOPED_TRACE("case " + std::to_string(k));
        EXPECT_EQ(r.status, cs["status"].get<int>());
        EXPECT_EQ(r.nit, cs["nit"].get<int>());
        EXPECT_LE((r.x - want).cwiseAbs().maxCoeff(), 1e-6);
        EXPECT_NEAR(r.fun, cs["fun"].get<double>(), 1e-9 * std::abs(cs["fun"].get<double>()));
    }
}
