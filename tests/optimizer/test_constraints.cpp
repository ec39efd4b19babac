// Numbers printed as the caller wrote them, results ordered by weight; weight bounds and group
// limits: defaults, refusals with the caller's numbers, constraint records.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "dunlith/dunlith.hpp"
#include "expect_message.hpp"
#include "fake_host.hpp"
#include "internal.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"
#include "temp_dir.hpp"

namespace kmo = kelvane_mod_optimizer;
using kelvane::KVInvalidArgument;
using testing_host::HostFixture;

namespace {

using Pairs = std::vector<std::pair<double, double>>;

Pairs pairs(const std::vector<std::string>& ids, const std::optional<kmo::Bounds>& bounds) {
    Pairs out;
    for (const auto& b : kmo::_general_bnds(ids, bounds)) out.emplace_back(b.lower.value(), b.upper.value());
    return out;
}

const kmo::Vector X = (kmo::Vector(3) << 0.2, 0.5, 0.3).finished();

// The records' values at X, each within rounding of `want`.
void expect_values(const std::vector<kmo::ConstraintRecord>& records, const std::vector<double>& want) {
    ASSERT_EQ(records.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(records[i].fun(X), want[i], 1e-15) << "record " << i;
}

const std::vector<std::string> ABC{"A", "B", "C"};
const kelvane::DateTime DATE(2014, 1, 4);

}  // namespace

TEST(Number, PrintsIntegersPlainAndDoublesInShortestRoundTripForm) {
    for (const auto& [number, text] : std::vector<std::pair<kmo::Number, std::string>>{
             {1, "1"}, {0, "0"}, {1.0, "1.0"}, {-0.1, "-0.1"}, {1e-05, "1e-05"}, {0.0001, "0.0001"},
             {0.1 + 0.2, "0.30000000000000004"}, {1e16, "1e+16"}, {std::nan(""), "nan"}})
        EXPECT_EQ(number.to_string(), text);
}

TEST(SortedResult, AscendingWeightStableForTies) {
    const kmo::WeightMap r = kmo::_sorted_result({"600519.XSHG", "601398.XSHG", "601939.XSHG"},
                                                 (kmo::Vector(3) << 0.5, 0.25, 0.25).finished());
    using Entries = std::vector<std::pair<std::string, double>>;
    EXPECT_EQ(Entries(r.begin(), r.end()), (Entries{{"601398.XSHG", 0.25}, {"601939.XSHG", 0.25}, {"600519.XSHG", 0.5}}));
    EXPECT_THROW((void)r.at("000001.XSHE"), std::out_of_range);
}

TEST(GeneralBounds, DefaultsAndGeneralEntry) {
    HostFixture host;
    EXPECT_EQ(pairs(ABC, std::nullopt), Pairs(3, {0, 1}));
    EXPECT_EQ(pairs(ABC, kmo::Bounds{}), Pairs(3, {0, 1}));
    // An explicit entry wins over the general one whatever their order; (0.2, 0.2) fixes a weight.
    const Pairs want{{0.5, 0.5}, {0, 0.3}, {0.2, 0.2}};
    EXPECT_EQ(pairs(ABC, kmo::Bounds{{"A", {0.5, 0.5}}, {"*", {0, 0.3}}, {"C", {0.2, 0.2}}}), want);
    EXPECT_EQ(pairs(ABC, kmo::Bounds{{"*", {0, 0.3}}, {"C", {0.2, 0.2}}, {"A", {0.5, 0.5}}}), want);
    EXPECT_TRUE(host.log.empty());
    // An entry for an instrument no longer in the list is logged and ignored.
    EXPECT_EQ(pairs({"A", "B"}, kmo::Bounds{{"Z", {0.9, 0.1}}}), Pairs(2, {0, 1}));
    EXPECT_EQ(host.log, (decltype(host.log){{kelvane::LogLevel::info, "OPTIMIZER: 约束 Z 不在经剔除后的合约列表中，被忽略"}}));
}

TEST(GeneralBounds, RefusesInvalidEntriesWithNumbersAsWritten) {
    HostFixture host;
    const double nan = std::nan("");
    const std::vector<std::tuple<std::vector<std::string>, kmo::Bounds, std::string>> cases{
        {{}, {}, "经过剔除后，bnds 上限之和小于1"},
        {ABC, {{"*", {0, 0.3}}}, "经过剔除后，bnds 上限之和小于1"},
        {ABC, {{"*", {0.4, 1}}}, "bnds 下限之和大于1"},
        {ABC, {{"A", {1.5, 0.5}}}, "合约 A 的下限 1.5 高于上限 0.5"},
        {ABC, {{"A", {-0.1, 0.5}}}, "合约 A 的下限 -0.1 无效"},
        {ABC, {{"B", {0.2, 1.5}}}, "合约 B 的上限 1.5 无效"},
        {ABC, {{"A", {nan, 0.5}}}, "合约 A 的下限 nan 无效"},
        {ABC, {{"*", {0, nan}}}, "合约 * 的上限 nan 无效"},
        // The general entry is checked even when every instrument has its own.
        {{"A"}, {{"A", {0, 1}}, {"*", {0.5, 0.2}}}, "合约 * 的下限 0.5 高于上限 0.2"},
    };
    for (const auto& [ids, bounds, message] : cases)
        EXPECT_THROW_MESSAGE(kmo::_general_bnds(ids, bounds), KVInvalidArgument, "OPTIMIZER: " + message);
}

TEST(ToConstraint, RecordsInOrderWithExactGradients) {
    const auto records = kmo::_to_constraint(kmo::Grouping{{"A", {0, 2}}, {"B", {1}}},
                                             kmo::Rules{{"A", {0.1, 0.4}}, {"B", {0.2, 0.6}}});
    expect_values(records, {0.4, -0.1, 0.3, 0.1, 0.0});
    for (std::size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(records[i].type, i < 4 ? kmo::ConstraintRecord::Type::ineq : kmo::ConstraintRecord::Type::eq);
    EXPECT_EQ(records[1].jac(X), (kmo::Vector(3) << -1, 0, -1).finished());
    EXPECT_EQ(records[4].jac(X), kmo::Vector::Ones(3));
}

TEST(ToConstraint, FeasibilityChecks) {
    const kmo::Grouping three{{"P", {0}}, {"Q", {1}}, {"R", {2}}}, one{{"X", {0, 1, 2}}};
    EXPECT_EQ(kmo::_to_constraint(one, kmo::Rules{{"X", {0.2, 1}}}).size(), 3u);
    // A rule for a label that matches no group is never looked at.
    EXPECT_EQ(kmo::_to_constraint(three, kmo::Rules{{"none", {0.9, 0.1}}}).size(), 1u);
    const std::vector<std::tuple<kmo::Grouping, kmo::Rules, std::string>> cases{
        {kmo::Grouping{}, {}, "约束的上限之和小于1"},
        {one, {{"X", {0.2, 0.5}}}, "约束的上限之和小于1"},
        {three, {{"P", {0.6, 0.7}}, {"Q", {0.6, 0.9}}}, "约束的下限之和大于1"},
        {three, {{"P", {1.5, 0.5}}}, "约束 P 的下限 1.5 无效"},
        {three, {{"P", {0.5, 0.3}}}, "约束的下限 0.5 高于上限 0.3"},
        {three, {{"Q", {0, 1.2}}}, "约束 Q 的上限 1.2 无效"},
        {three, {{"Q", {0, std::nan("")}}}, "约束 Q 的上限 nan 无效"},
    };
    for (const auto& [grouping, rules, message] : cases)
        EXPECT_THROW_MESSAGE(kmo::_to_constraint(grouping, rules), KVInvalidArgument, "OPTIMIZER: " + message);
}

// Sectors from the instrument records; industry and fund-type tables served by the data client
// from a temporary directory.
TEST(GroupConstraints, GicsShenWanAndFundTypeGroups) {
    HostFixture host;
    host.proxy->add("a", "CS", {}, {}, "Energy");
    host.proxy->add("b", "CS", {}, {}, "Financials");
    host.proxy->add("c", "CS", {}, {}, "Energy");
    const auto gics = kmo::GICSConstraint(kmo::Rules{{"Energy", {0.1, 0.4}}}).to_constraint({"a", "b", "c"}, DATE);
    expect_values(gics, {0.4, -0.1, 0.0});  // a + c - 0.1, 0.4 - a - c, budget
    // Invalid rules are only reported when their group occurs.
    EXPECT_EQ(kmo::GICSConstraint(kmo::Rules{{"Utilities", {0.5, 0.3}}}).to_constraint({"a", "b"}, DATE).size(), 1u);

    kv_test::TempDir dir("kv-client");
    dir.write("shenwan.csv",
              "order_book_id,start_date,end_date,industry_code,industry_name\n"
              "a,2010-01-01,,801780,银行\nb,2010-01-01,2013-12-31,801020,采掘\nc,2010-01-01,,801780,银行\n");
    dir.write("funds.csv", "order_book_id,fund_type\nf1,Stock\nf2,Stock\n");
    dunlith::init("user", "password", {"localhost", 16003}, dir.dir());

    // b's industry ended before the date: it joins the "__NONE__" group, with a warning.
    const auto banks = kmo::ShenWanConstraint(kmo::Rules{{"银行", {0.3, 0.5}}}).to_constraint({"a", "b", "c"}, DATE);
    EXPECT_EQ(host.messages(),
              std::vector<std::string>{"OPTIMIZER: 在 2014-01-04 00:00:00 合约 b 没有申万行业分类信息，此合约被忽略"});
    expect_values(banks, {0.2, 0.0, 0.0});  // a + c - 0.3, 0.5 - a - c, budget
    const auto none = kmo::ShenWanConstraint(kmo::Rules{{"__NONE__", {0, 0.2}}}).to_constraint({"a", "b", "c"}, DATE);
    expect_values(none, {0.5, -0.3, 0.0});  // b - 0, 0.2 - b, budget

    EXPECT_EQ(kmo::FundTypeConstraint(kmo::Rules{{"Stock", {0, 1}}}).to_constraint({"f1", "f2"}, DATE).size(), 3u);
    EXPECT_THROW_MESSAGE(kmo::FundTypeConstraint(kmo::Rules{{"Stock", {0, 0.8}}}).to_constraint({"f1", "f2"}, DATE),
                         KVInvalidArgument, "OPTIMIZER: 约束的上限之和小于1");
}

// Records built for one list of instruments are refused on weights of another length: read on
// fewer weights they would reach beyond the vector, on more they would limit other instruments.
TEST(GroupConstraints, RecordsRefuseWeightsOfAnotherLength) {
    HostFixture host;
    host.proxy->add("a", "CS", {}, {}, "Energy");
    host.proxy->add("b", "CS", {}, {}, "Financials");
    host.proxy->add("c", "CS", {}, {}, "Energy");
    const auto records = kmo::GICSConstraint(kmo::Rules{{"Energy", {0.1, 0.4}}}).to_constraint({"a", "b", "c"}, DATE);
    const kmo::Vector two = kmo::Vector::Constant(2, 0.5);
    EXPECT_THROW_MESSAGE(records[0].fun(two), KVInvalidArgument, "the record of group Energy needs at least 3 weights, got 2");
    EXPECT_THROW_MESSAGE(records[1].jac(kmo::Vector()), KVInvalidArgument,
                         "the record of group Energy needs at least 3 weights, got 0");
    const kmo::LabelledMatrix c_m{{"a", "b"}, kmo::Matrix::Identity(2, 2)};
    EXPECT_THROW_MESSAGE(kmo::min_variance_optimize(c_m, two, kmo::BoundsList(2, {0.0, 1.0}), records, 1000, 1e-8),
                         KVInvalidArgument, "min_variance_optimize: constraint record 0 was built for 3 instruments, not 2");
    // The same labels twice would map two weights to one entry of the answer.
    const kmo::LabelledMatrix twice{{"a", "a", "c"}, kmo::Matrix::Identity(3, 3)};
    EXPECT_THROW_MESSAGE(kmo::risk_parity_optimize(twice, kmo::Vector::Constant(3, 1.0 / 3), kmo::BoundsList(3, {1e-6, std::nullopt}), 1000),
                         KVInvalidArgument, "risk_parity_optimize: the covariance matrix labels a twice");
    EXPECT_THROW_MESSAGE(kmo::_to_constraint(kmo::Grouping{{"X", {0, -1}}}, kmo::Rules{{"X", {0, 1}}}), KVInvalidArgument,
                         "the group X has the position -1");
}

// The data client refuses a bundle directory that does not exist, and a query needing a file the
// bundle lacks names that file, instead of answering as if no instrument were classified.
TEST(GroupConstraints, MissingBundleAndClassificationFilesAreNamed) {
    HostFixture host;
    host.proxy->add("a", "CS", {}, {}, "Energy");
    kv_test::TempDir dir("kv-client-bare");
    const auto missing = dir.dir() / "no-such-dir";
    EXPECT_THROW_MESSAGE(dunlith::init("user", "password", {"localhost", 16003}, missing), std::runtime_error,
                         "dunlith: the bundle directory " + missing.string() + " does not exist");
    dunlith::init("user", "password", {"localhost", 16003}, dir.dir());
    EXPECT_THROW_MESSAGE(kmo::ShenWanConstraint(kmo::Rules{{"银行", {0, 0.5}}}).to_constraint({"a"}, DATE),
                         KVInvalidArgument,
                         "dunlith: " + (dir.dir() / "shenwan.csv").string() +
                             " does not exist, so there is no ShenWan industry to look up");
    EXPECT_THROW_MESSAGE(kmo::FundTypeConstraint(kmo::Rules{{"Stock", {0, 1}}}).to_constraint({"a"}, DATE),
                         KVInvalidArgument,
                         "dunlith: " + (dir.dir() / "funds.csv").string() + " does not exist, so there is no fund type to look up");
    EXPECT_TRUE(host.messages().empty());
}
