// No answer breaks what the caller asked for: weights that miss a bound, a group limit or the
// budget end in OptimizationFailed naming the worst violation, and a meaningless iteration
// limit is refused before anything is solved.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

#include "expect_message.hpp"
#include "internal.hpp"
#include "kelvane/data_proxy.hpp"
#include "kelvane/environment.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"
#include "vec.hpp"

namespace kmo = kelvane_mod_optimizer;
using kelvane::DateTime;
using kelvane::KVInvalidArgument;
using kmo::Matrix;
using kmo::OptimizeMethod;
using kmo::Vector;

namespace {

// Two sector indices over 60 days: their Ledoit-Wolf covariance.
kmo::LabelledMatrix two_sectors() {
    kmo::LabelledMatrix c_m;
    c_m.labels = {"A", "B"};
    c_m.values.resize(2, 2);
    c_m.values << 6.5390804224230717e-05, 4.0009651676739043e-05, 4.0009651676739043e-05, 7.0079650508712344e-05;
    return c_m;
}

}  // namespace

TEST(Feasibility, RequestsThatUsedToReturnWrongWeightsFail) {
    kelvane::Environment env(nullptr);
    env.data_proxy = std::make_shared<kelvane::DataProxy>(
        std::make_shared<kelvane::BaseDataSource>(std::string(KV_SOURCE_DIR) + "/data/sample_bundle"));
    const std::vector<std::string> ids{"601398.XSHG", "600519.XSHG"};
    const DateTime date(2014, 1, 3);
    // Stopped at the iteration limit below the caller's lower bound.
    EXPECT_THROW_MESSAGE(kmo::optimize(ids, date, {.method = OptimizeMethod::MIN_VARIANCE,
                                                   .bnds = kmo::Bounds{{"601398.XSHG", {0.9, 1}}}, .max_iteration = 1}),
                         kmo::OptimizationFailed, "OPTIMIZER: 优化结果违反合约 601398.XSHG 的下限 0.9，相差 0.257");
    // The equal starting weights, accepted as if they were the optimum.
    for (int limit : {-5, 0})
        EXPECT_THROW_MESSAGE(kmo::optimize(ids, date, {.max_iteration = limit}), KVInvalidArgument,
                             "max_iteration （最大迭代次数）不能小于1，传入值为：" + std::to_string(limit));
}

// No weights satisfy these limits (A <= 0.2 forces B >= 0.8 > 0.69): no constrained solver
// returns weights. Stopped at the iteration limit, the failure names the group; a minimiser that
// finds the limits incompatible first fails with its own message.
TEST(Feasibility, ContradictoryGroupCapFailsInEverySolver) {
    const auto c_m = two_sectors();
    kmo::Grouping groups;
    groups.insert_or_assign("Financials", {0});
    groups.insert_or_assign("Energy", {1});
    const auto cons = kmo::_to_constraint(groups, kmo::Rules{{"Financials", {0, 0.2}}});
    const kmo::BoundsList bounds(2, {0.0, 0.69});
    const Vector start = vec({0.5, 0.5});
    kmo::ReturnTable df;
    df.columns = c_m.labels;
    df.values.resize(60, 2);
    for (Eigen::Index t = 0; t < 60; ++t) df.values.row(t) << 0.01 * std::sin(t), 0.01 * std::cos(3.0 * t);
    const Vector benchmark = df.values.col(0);
    const std::string group_cap = "OPTIMIZER: 优化结果违反约束 Financials 的上限，相差 0.11";
    const std::string incompatible = "Inequality constraints incompatible";
    const std::pair<std::function<kmo::WeightMap(int)>, std::string> cases[] = {
        {[&](int it) { return kmo::min_variance_optimize(c_m, start, bounds, cons, it, 1e-8); }, incompatible},
        {[&](int it) { return kmo::risk_parity_with_cons_optimize(c_m, start, bounds, cons, it, 1e-8); }, incompatible},
        {[&](int it) { return kmo::mean_variance_optimize(c_m, start, 1, vec({1e-3, 0}), bounds, cons, it, 1e-8); },
         incompatible},
        {[&](int it) { return kmo::min_tracking_error_optimize(start, benchmark, df, bounds, cons, it, 1e-8); },
         "OPTIMIZER: 优化无法收敛到足够精度"},
    };
    for (const auto& [solve, message] : cases) {
        EXPECT_THROW_MESSAGE(solve(1000), kmo::OptimizationFailed, message);
        EXPECT_THROW_MESSAGE(solve(5), kmo::OptimizationFailed, group_cap);
    }
}

TEST(Feasibility, TheWorstViolationIsNamedAndTinyOnesPass) {
    const std::vector<std::string> labels{"A", "B", "C"};
    kmo::Grouping groups;
    groups.insert_or_assign("G", {0, 1});
    groups.insert_or_assign("H", {2});
    const auto cons = kmo::_to_constraint(groups, kmo::Rules{{"G", {0.5, 0.7}}, {"H", {0.2, 0.6}}});
    const kmo::BoundsList bounds{{0.1, 0.4}, {0.0, 0.4}, {0.0, std::nullopt}};
    struct Case {
        Vector weights;
        const char* message;  // nullptr: passes
    };
    const Case cases[] = {
        {vec({0.3, 0.3, 0.4}), nullptr},
        {vec({0.1 - 1e-9, 0.4 + 1e-9, 0.5}), nullptr},
        {vec({0.05, 0.45, 0.5}), "OPTIMIZER: 优化结果违反合约 A 的下限 0.1，相差 0.05"},
        {vec({0.35, 0.45, 0.2}), "OPTIMIZER: 优化结果违反约束 G 的上限，相差 0.1"},
        {vec({0.15, 0.2, 0.65}), "OPTIMIZER: 优化结果违反约束 G 的下限，相差 0.15"},
        {vec({0.3, 0.3, 0.3}), "OPTIMIZER: 优化结果的权重之和为 0.8999999999999999，不等于1"},
    };
    for (const auto& c : cases) {
        if (c.message)
            EXPECT_THROW_MESSAGE(kmo::certify_feasible(labels, c.weights, bounds, cons), kmo::OptimizationFailed,
                                 c.message);
        else
            EXPECT_NO_THROW(kmo::certify_feasible(labels, c.weights, bounds, cons));
    }
}
