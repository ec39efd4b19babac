// optimize_report() and the checks made before solving: the report beside the weights, the
// refusal of limits that admit no weights, and the lone instrument against the caller's limits.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include <fmt/format.h>

#include "expect_message.hpp"
#include "fake_host.hpp"
#include "internal.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kmo = kelvane_mod_optimizer;
using kelvane::DateTime;
using kelvane::KVInvalidArgument;
using kmo::OptimizeMethod;
using kmo::OptimizationFailed;
using testing_host::HostFixture;
using testing_host::walk;

namespace {

const DateTime DATE(2014, 1, 4);
const std::vector<OptimizeMethod> METHODS{OptimizeMethod::RISK_PARITY, OptimizeMethod::MIN_VARIANCE,
                                          OptimizeMethod::MEAN_VARIANCE, OptimizeMethod::MIN_TRACKING_ERROR};

// `financials` stocks in "Financials" and `energy` in "Energy", 132 unsuspended closes each, and
// an index for the tracking-error method.
struct Sectors : HostFixture {
    std::vector<std::string> ids;
    Sectors(int financials, int energy) {
        for (int k = 0; k < financials + energy; ++k) {
            const std::string id = fmt::format("6{:05d}.XSHG", k);
            proxy->add(id, "CS", walk(132, static_cast<unsigned>(k + 1)), std::vector<bool>(132, false),
                       k < financials ? "Financials" : "Energy");
            ids.push_back(id);
        }
        proxy->add("000300.XSHG", "INDX", walk(132, 99, 0.012), std::vector<bool>(132, false));
    }
    kmo::OptimizeOptions options(OptimizeMethod method) const {
        kmo::OptimizeOptions o;
        o.method = method;
        o.quiet = true;
        if (method == OptimizeMethod::MIN_TRACKING_ERROR) o.benchmark = "000300.XSHG";
        return o;
    }
};

std::shared_ptr<kmo::GICSConstraint> gics(kmo::Rules rules) { return std::make_shared<kmo::GICSConstraint>(rules); }

// A caller's own records: x[0] <= 0.2, then the budget.
struct CapFirst : kmo::ConstraintProvider {
    std::vector<kmo::ConstraintRecord> to_constraint(const std::vector<std::string>&, const DateTime&) const override {
        kmo::ConstraintRecord cap;
        cap.type = kmo::ConstraintRecord::Type::ineq;
        cap.fun = [](const kmo::Vector& x) { return 0.2 - x[0]; };
        return {cap, kmo::budget_constraint()};
    }
};

}  // namespace

// The lone instrument, given alone or left alone by screening, takes the whole weight only when
// the caller's bounds and group limits allow it, and is certified as any answer: a record of the
// caller's own that forbids a weight of 1 refuses it as it would two instruments.
TEST(LoneInstrument, KeepsTheCallersLimits) {
    Sectors s(2, 0);
    s.proxy->add("short", "CS", walk(20, 40), std::vector<bool>(132, false));
    const auto own = std::make_shared<CapFirst>();
    const std::string lone = s.ids[0];
    for (const auto& ids : {std::vector<std::string>{lone}, {lone, "short"}}) {
        SCOPED_TRACE(ids.size());
        EXPECT_THROW_MESSAGE(kmo::optimize(ids, DATE, {.bnds = kmo::Bounds{{lone, {0, 0.5}}}, .quiet = true}),
                             KVInvalidArgument, "OPTIMIZER: 经过剔除后，bnds 上限之和小于1");
        EXPECT_THROW_MESSAGE(kmo::optimize(ids, DATE, {.cons = gics({{"Financials", {0, 0.4}}}), .quiet = true}),
                             KVInvalidArgument, "OPTIMIZER: 约束的上限之和小于1");
        EXPECT_THROW_MESSAGE(kmo::optimize(ids, DATE, {.cons = own, .quiet = true}), OptimizationFailed,
                             "OPTIMIZER: 优化结果违反第 1 个约束条件，相差 0.8");
        EXPECT_EQ(kmo::optimize(ids, DATE,
                                {.bnds = kmo::Bounds{{"*", {0.2, 1}}}, .cons = gics({{"Financials", {0, 1}}}), .quiet = true}),
                  (kmo::WeightMap{{lone, 1.0}}));
        const auto report = kmo::optimize_report(ids, DATE, {.cons = gics({{"Energy", {0, 1}}}), .quiet = true});
        EXPECT_EQ(report.weights, (kmo::WeightMap{{lone, 1.0}}));
        EXPECT_EQ(report.solve.outcome, kmo::SolveOutcome::lone_instrument);
        EXPECT_EQ(report.unmatched_rules, std::vector<std::string>{"Energy"});
    }
    // Two instruments under the same record: weights that meet it exist and are found.
    const std::vector<std::string> two{s.ids[0], s.ids[1]};
    EXPECT_NO_THROW(kmo::optimize(two, DATE, {.method = OptimizeMethod::MIN_VARIANCE, .cons = own, .quiet = true}));
}

// Limits that admit no weights fail before solving in every method, naming the group and the
// numbers, and the failed call's report keeps what was found on the way (the dropped instrument)
// and the failure; the same request with room enough is answered.
TEST(AdmissibleLimits, ContradictionNamedInEveryMethod) {
    Sectors s(10, 10);
    s.proxy->add("600999.XSHG", "CS", walk(20, 41), std::vector<bool>(132, false));
    auto ids = s.ids;
    ids.push_back("600999.XSHG");
    const kmo::Bounds five{{"*", {0, 0.05}}};
    const std::string floor = "OPTIMIZER: 约束 Financials 要求权重之和至少为 0.6，但其合约的上限之和只有 0.5";
    for (const auto method : METHODS) {
        SCOPED_TRACE(kmo::value_text(method));
        kmo::OptimizeOptions o = s.options(method);
        o.bnds = five;
        o.cons = gics({{"Financials", {0.6, 1}}});
        EXPECT_THROW_MESSAGE(kmo::optimize(ids, DATE, o), OptimizationFailed, floor);
        kmo::Report r;
        EXPECT_THROW(kmo::optimize_report(ids, DATE, o, r), OptimizationFailed);
        EXPECT_EQ(r.solve.outcome, kmo::SolveOutcome::failed);
        EXPECT_EQ(r.solve.message, floor);
        EXPECT_TRUE(r.weights.empty());
        EXPECT_EQ(r.dropped.size(), 1u);
        o.bnds = kmo::Bounds{{"*", {0.02, 1}}};
        o.cons = gics({{"Financials", {0, 0.1}}});
        EXPECT_THROW_MESSAGE(kmo::optimize(ids, DATE, o), OptimizationFailed,
                             "OPTIMIZER: 约束 Financials 要求权重之和至多为 0.1，但其合约的下限之和已达 0.2");
        o.bnds = five;
        o.cons = gics({{"Financials", {0, 0.3}}});
        EXPECT_THROW_MESSAGE(kmo::optimize(ids, DATE, o), OptimizationFailed,
                             "OPTIMIZER: 在 bnds 与约束的上限之下，权重之和至多为 0.8，无法等于1");
        // Exactly at the edge: the members' caps hold the floor.
        o.cons = gics({{"Financials", {0.5, 1}}});
        const auto w = kmo::optimize(ids, DATE, o);
        double financials = 0.0;
        for (int k = 0; k < 10; ++k) financials += w.at(s.ids[static_cast<std::size_t>(k)]);
        EXPECT_NEAR(financials, 0.5, 1e-7);
    }
}

// Overlapping groups (two classifications joined in one list of records) are checked one by one;
// the total is left to the minimiser.
TEST(AdmissibleLimits, GroupsReadBackFromTheirRecords) {
    const kmo::Grouping by_sector{{"A", {0, 1}}, {"B", {2, 3}}};
    const auto records = kmo::_to_constraint(by_sector, kmo::Rules{{"A", {0.2, 0.7}}, {"B", {0, 0.9}}});
    const auto groups = kmo::group_ranges(records, 4);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].label, "A");
    EXPECT_EQ(groups[0].positions, (std::vector<int>{0, 1}));
    EXPECT_DOUBLE_EQ(groups[0].lower, 0.2);
    EXPECT_DOUBLE_EQ(groups[0].upper, 0.7);
    EXPECT_DOUBLE_EQ(groups[1].upper, 0.9);
    // A second classification over instruments 1 and 2: its own range is checked ...
    const kmo::BoundsList box(4, minimize::Bound{0.0, 0.2});
    auto joined = records;
    const auto other = kmo::_to_constraint(kmo::Grouping{{"C", {1, 2}}, {"D", {0, 3}}},
                                           kmo::Rules{{"C", {0.5, 1}}});
    joined.insert(joined.end(), other.begin(), other.end());
    EXPECT_THROW_MESSAGE(kmo::check_limits_admit_weights(box, joined), OptimizationFailed,
                         "OPTIMIZER: 约束 C 要求权重之和至少为 0.5，但其合约的上限之和只有 0.4");
    // ... the total is not: the groups overlap.
    const kmo::BoundsList wider(4, minimize::Bound{0.0, 0.25});
    EXPECT_NO_THROW(kmo::check_limits_admit_weights(wider, joined));
}

// The report of a converged solve under a binding group cap: the weights are optimize()'s, the
// contributions add up to the variance, the cap binds with no slack, the rule that matched no
// instrument is listed, the dropped instrument is named with its reason.
TEST(Report, DescribesTheAnswer) {
    Sectors s(4, 4);
    s.proxy->add("600999.XSHG", "CS", walk(20, 41), std::vector<bool>(132, false));
    auto ids = s.ids;
    ids.push_back("600999.XSHG");
    for (const auto method : {OptimizeMethod::RISK_PARITY, OptimizeMethod::MIN_VARIANCE}) {
        SCOPED_TRACE(kmo::value_text(method));
        kmo::OptimizeOptions o = s.options(method);
        o.bnds = kmo::Bounds{{"*", {0, 0.3}}};
        o.cons = gics({{"Financials", {0, 0.2}}, {"Financial", {0, 0.5}}});
        const kmo::Report r = kmo::optimize_report(ids, DATE, o);
        EXPECT_EQ(r.weights, kmo::optimize(ids, DATE, o));
        ASSERT_EQ(r.risk.size(), 8u);
        double total = 0.0, shares = 0.0;
        auto w = r.weights.begin();
        for (const auto& risk : r.risk) {
            EXPECT_EQ(risk.order_book_id, w->first);
            EXPECT_EQ(risk.weight, w->second);
            total += risk.risk_contribution;
            shares += risk.risk_share;
            ++w;
        }
        EXPECT_GT(r.variance, 0.0);
        EXPECT_NEAR(total, r.variance, 1e-12 * r.variance);
        EXPECT_NEAR(shares, 1.0, 1e-12);
        EXPECT_NEAR(r.volatility * r.volatility, r.variance, 1e-12 * r.variance);
        ASSERT_EQ(r.groups.size(), 1u);
        EXPECT_EQ(r.groups[0].name, "Financials");
        EXPECT_NEAR(r.groups[0].value, 0.2, 1e-8);
        EXPECT_NEAR(r.groups[0].upper_slack, 0.0, 1e-8);
        EXPECT_TRUE(r.groups[0].binds);
        EXPECT_EQ(r.unmatched_rules, std::vector<std::string>{"Financial"});
        ASSERT_EQ(r.bounds.size(), 8u);
        for (const auto& b : r.bounds) EXPECT_NEAR(b.upper_slack, 0.3 - r.weights.at(b.name), 1e-15);
        ASSERT_EQ(r.dropped.size(), 1u);
        EXPECT_EQ(r.dropped[0].order_book_id, "600999.XSHG");
        EXPECT_EQ(r.dropped[0].reason, "OPTIMIZER: 600999.XSHG 上市时间过短, 被剔除");
        ASSERT_TRUE(r.solve.objective);
        EXPECT_GT(r.seconds.solve, 0.0);
    }
}

// How the solve ended: converged with its iterations, or stopped at the iteration limit with the
// starting weights; risk parity without limits answered in one piece.
TEST(Report, SaysHowTheSolveEnded) {
    Sectors s(6, 6);
    kmo::OptimizeOptions o = s.options(OptimizeMethod::MIN_VARIANCE);
    const kmo::Report converged = kmo::optimize_report(s.ids, DATE, o);
    EXPECT_EQ(converged.solve.outcome, kmo::SolveOutcome::converged);
    EXPECT_GE(converged.solve.iterations, 1);
    ASSERT_TRUE(converged.solve.objective);
    EXPECT_NEAR(*converged.solve.objective, converged.variance, 1e-6 * converged.variance);
    o.max_iteration = 1;
    const kmo::Report stopped = kmo::optimize_report(s.ids, DATE, o);
    EXPECT_EQ(stopped.solve.outcome, kmo::SolveOutcome::iteration_limit);
    EXPECT_EQ(stopped.solve.iterations, 1);
    EXPECT_EQ(stopped.weights, kmo::optimize(s.ids, DATE, o));
    EXPECT_EQ(kmo::outcome_text(stopped.solve.outcome), "iteration_limit");
}

namespace {

// Two providers joined by hand: the first's records but its budget, the second's as they come.
struct HandJoined : kmo::ConstraintProvider {
    std::shared_ptr<const kmo::ConstraintProvider> first, second;
    std::vector<kmo::ConstraintRecord> to_constraint(const std::vector<std::string>& ids,
                                                     const DateTime& date) const override {
        auto records = first->to_constraint(ids, date);
        records.pop_back();
        for (auto& r : second->to_constraint(ids, date)) records.push_back(std::move(r));
        return records;
    }
};

}  // namespace

// Constraint objects combined: every limit of each applies, with one budget record; the answer
// is that of the same records joined by hand, for every method; each part's rules are checked as
// that part alone checks them; the report knows the rules of every part.
TEST(JoinedConstraint, EqualsTheRecordsJoinedByHand) {
    Sectors s(4, 4);
    const auto sectors = gics({{"Financials", {0.1, 0.3}}, {"Utilities", {0, 0.5}}});
    const auto cap = std::make_shared<CapFirst>();
    const auto joined = std::make_shared<kmo::JoinedConstraint>(
        std::vector<std::shared_ptr<const kmo::ConstraintProvider>>{sectors, cap});
    const auto records = joined->to_constraint(s.ids, DATE);
    ASSERT_EQ(records.size(), 4u);  // Financials lower, upper, the cap, one budget
    EXPECT_EQ(records[0].group, "Financials");
    EXPECT_FALSE(records[2].budget);
    EXPECT_TRUE(records[3].budget);
    EXPECT_EQ(joined->rule_labels(), (std::vector<std::string>{"Financials", "Utilities"}));

    const auto by_hand = std::make_shared<HandJoined>();
    by_hand->first = sectors;
    by_hand->second = cap;
    for (const auto method : METHODS) {
        SCOPED_TRACE(kmo::value_text(method));
        kmo::OptimizeOptions o = s.options(method);
        o.cons = joined;
        const kmo::WeightMap got = kmo::optimize(s.ids, DATE, o);
        o.cons = by_hand;
        EXPECT_EQ(got, kmo::optimize(s.ids, DATE, o));
        double financials = 0.0;
        for (int k = 0; k < 4; ++k) financials += got.at(s.ids[static_cast<std::size_t>(k)]);
        EXPECT_GE(financials, 0.1 - 1e-8);
        EXPECT_LE(financials, 0.3 + 1e-8);
        EXPECT_LE(got.at(s.ids[0]), 0.2 + 1e-8);
    }

    kmo::OptimizeOptions o = s.options(OptimizeMethod::MIN_VARIANCE);
    o.cons = joined;
    EXPECT_EQ(kmo::optimize_report(s.ids, DATE, o).unmatched_rules, std::vector<std::string>{"Utilities"});

    // Rules naming every sector with upper bounds below 1 in all: refused as they are alone,
    // although the other part's records would leave room.
    o.cons = std::make_shared<kmo::JoinedConstraint>(std::vector<std::shared_ptr<const kmo::ConstraintProvider>>{
        cap, gics({{"Financials", {0, 0.3}}, {"Energy", {0, 0.3}}})});
    EXPECT_THROW_MESSAGE(kmo::optimize(s.ids, DATE, o), kelvane::KVInvalidArgument, "OPTIMIZER: 约束的上限之和小于1");
    // No part at all: the budget alone.
    const kmo::JoinedConstraint none({});
    ASSERT_EQ(none.to_constraint(s.ids, DATE).size(), 1u);
    EXPECT_TRUE(none.to_constraint(s.ids, DATE)[0].budget);
}
