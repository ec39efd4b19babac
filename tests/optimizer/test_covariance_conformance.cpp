// Compares the covariance estimators with values computed by scikit-learn and NumPy.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include <nlohmann/json.hpp>

#include "internal.hpp"

namespace kmo = kelvane_mod_optimizer;

namespace {

kmo::Matrix matrix(const nlohmann::json& rows) {
    kmo::Matrix m(static_cast<Eigen::Index>(rows.size()), static_cast<Eigen::Index>(rows.at(0).size()));
    for (Eigen::Index i = 0; i < m.rows(); ++i)
        for (Eigen::Index j = 0; j < m.cols(); ++j) {
            const auto& v = rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
            m(i, j) = v.is_null() ? std::nan("") : v.get<double>();
        }
    return m;
}

}  // namespace

TEST(CovarianceConformance, MatchesScikitLearnAndPairwiseSampleCovariance) {
    std::ifstream in(KV_COVARIANCE_FIXTURE);
    ASSERT_TRUE(in) << "missing fixture " << KV_COVARIANCE_FIXTURE;
    const auto cases = nlohmann::json::parse(in);
    ASSERT_GE(cases.size(), 5u);
    for (std::size_t c = 0; c < cases.size(); ++c) {
        kmo::ReturnTable df;
        df.values = matrix(cases[c]["returns"]);
        for (Eigen::Index j = 0; j < df.values.cols(); ++j) df.columns.push_back(std::string("X").append(std::to_string(j)));
        const kmo::Matrix lw = matrix(cases[c]["ledoit_wolf"]);
        const kmo::Matrix got = kmo::_cov_shrinkage(df).values;
        EXPECT_LE((got - lw).cwiseAbs().maxCoeff(), 1e-12 * lw.cwiseAbs().maxCoeff()) << "case " << c;
        const kmo::Matrix sample = matrix(cases[c]["sample"]);
        const kmo::Matrix got_sample = kmo::sample_covariance(df).values;
        EXPECT_LE((got_sample - sample).cwiseAbs().maxCoeff(), 1e-12 * sample.cwiseAbs().maxCoeff()) << "case " << c;
    }
}
