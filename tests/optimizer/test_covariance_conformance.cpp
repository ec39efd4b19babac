// Compares the covariance estimators with values computed by scikit-learn and NumPy.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

#include <nlohmann/json.hpp>

#include "internal.hpp"
#include "json_matrix.hpp"

namespace kmo = kelvane_mod_optimizer;

// A gap in a return row is a NaN.
static kmo::Matrix matrix(const nlohmann::json& rows) {
    return kv_test::matrix(rows, std::nullopt, std::numeric_limits<double>::quiet_NaN());
}

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
