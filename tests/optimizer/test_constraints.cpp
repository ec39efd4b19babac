#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "dunlith/dunlith.hpp"
#include "expect_message.hpp"
#include "fake_host.hpp"
#include "internal.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kmo = kelvane_mod_optimizer;
using kelvane::KVInvalidArgument;
using testing_host::HostFixture;

namespace {

std::vector<std::pair<double, double>> pairs(const kmo::BoundsList& list) {
    std::vector<std::pair<double, double>> out;
    for (const auto& b : list) out.emplace_back(b.lower.value(), b.upper.value());
    return out;
}

const std::vector<std::string> ABC{"A", "B", "C"};

}  // namespace

TEST(GeneralBounds, DefaultsAndGeneralEntry) {
    HostFixture host;
    EXPECT_EQ(pairs(kmo::_general_bnds(ABC, std::nullopt)), (std::vector<std::pair<double, double>>(3, {0, 1})));
    EXPECT_TRUE(kmo::_general_bnds({}, std::nullopt).empty());
    EXPECT_EQ(pairs(kmo::_general_bnds(ABC, kmo::Bounds{})), (std::vector<std::pair<double, double>>(3, {0, 1})));
    EXPECT_EQ(pairs(kmo::_general_bnds({"A", "B"}, kmo::Bounds{{"*", {0, 0.5}}})),
              (std::vector<std::pair<double, double>>(2, {0, 0.5})));
    // An explicit entry wins over the general one whatever their order.
    const auto want = std::vector<std::pair<double, double>>{{0.5, 0.5}, {0, 0.3}, {0, 0.3}};
    EXPECT_EQ(pairs(kmo::_general_bnds(ABC, kmo::Bounds{{"A", {0.5, 0.5}}, {"*", {0, 0.3}}})), want);
    EXPECT_EQ(pairs(kmo::_general_bnds(ABC, kmo::Bounds{{"*", {0, 0.3}}, {"A", {0.5, 0.5}}})), want);
    EXPECT_TRUE(host.log.empty());
}

TEST(GeneralBounds, RefusesInvalidEntriesInTheirOrderWithNumbersAsWritten) {
    HostFixture host;
    EXPECT_THROW_MESSAGE(kmo::_general_bnds({}, kmo::Bounds{}), KVInvalidArgument,
                         "OPTIMIZER: 经过剔除后，bnds 上限之和小于1");
    EXPECT_THROW_MESSAGE(kmo::_general_bnds(ABC, kmo::Bounds{{"*", {0, 0.3}}}), KVInvalidArgument,
                         "OPTIMIZER: 经过剔除后，bnds 上限之和小于1");
    EXPECT_THROW_MESSAGE(kmo::_general_bnds(ABC, kmo::Bounds{{"*", {0.4, 1}}}), KVInvalidArgument,
                         "OPTIMIZER: bnds 下限之和大于1");
    EXPECT_THROW_MESSAGE(kmo::_general_bnds(ABC, kmo::Bounds{{"A", {1.5, 0.5}}}), KVInvalidArgument,
                         "OPTIMIZER: 合约 A 的下限 1.5 高于上限 0.5");
    EXPECT_THROW_MESSAGE(kmo::_general_bnds(ABC, kmo::Bounds{{"A", {-0.1, 0.5}}}), KVInvalidArgument,
                         "OPTIMIZER: 合约 A 的下限 -0.1 无效");
    EXPECT_THROW_MESSAGE(kmo::_general_bnds(ABC, kmo::Bounds{{"B", {0.2, 1.5}}}), KVInvalidArgument,
                         "OPTIMIZER: 合约 B 的上限 1.5 无效");
    // The general entry is checked even when every instrument has its own.
    EXPECT_THROW_MESSAGE(kmo::_general_bnds({"A"}, kmo::Bounds{{"A", {0, 1}}, {"*", {0.5, 0.2}}}), KVInvalidArgument,
                         "OPTIMIZER: 合约 * 的下限 0.5 高于上限 0.2");
    // NaN is no valid bound: it fails the range check of its side.
    const double nan = std::nan("");
    EXPECT_THROW_MESSAGE(kmo::_general_bnds(ABC, kmo::Bounds{{"A", {nan, 0.5}}}), KVInvalidArgument,
                         "OPTIMIZER: 合约 A 的下限 nan 无效");
    EXPECT_THROW_MESSAGE(kmo::_general_bnds(ABC, kmo::Bounds{{"*", {0, nan}}}), KVInvalidArgument,
                         "OPTIMIZER: 合约 * 的上限 nan 无效");
    // (0.2, 0.2) fixes the weight; exact sums of 1 pass.
    EXPECT_EQ(pairs(kmo::_general_bnds({"A", "B"}, kmo::Bounds{{"A", {0.2, 0.2}}, {"B", {0.8, 0.8}}})),
              (std::vector<std::pair<double, double>>{{0.2, 0.2}, {0.8, 0.8}}));
}

TEST(GeneralBounds, EntryForScreenedOutInstrumentIsLoggedAndIgnored) {
    HostFixture host;
    const auto list = kmo::_general_bnds({"A", "B"}, kmo::Bounds{{"Z", {0.9, 0.1}}});
    EXPECT_EQ(list.size(), 2u);
    ASSERT_EQ(host.log.size(), 1u);
    EXPECT_EQ(host.log[0].first, kelvane::LogLevel::info);
    EXPECT_EQ(host.log[0].second, "OPTIMIZER: 约束 Z 不在经剔除后的合约列表中，被忽略");
}

namespace {

std::vector<double> values_at(const std::vector<kmo::ConstraintRecord>& records, const kmo::Vector& x) {
    std::vector<double> out;
    for (const auto& r : records) out.push_back(r.fun(x));
    return out;
}

}  // namespace

TEST(ToConstraint, WorkedExampleRecordsInOrderWithExactGradients) {
    kmo::Grouping g;
    g.insert_or_assign("A", {0, 2});
    g.insert_or_assign("B", {1});
    const auto records = kmo::_to_constraint(g, kmo::Rules{{"A", {0.1, 0.4}}, {"B", {0.2, 0.6}}});
    ASSERT_EQ(records.size(), 5u);
    const kmo::Vector x = (kmo::Vector(3) << 0.2, 0.5, 0.3).finished();
    const auto v = values_at(records, x);
    EXPECT_NEAR(v[0], 0.4, 1e-15);
    EXPECT_NEAR(v[1], -0.1, 1e-15);
    EXPECT_NEAR(v[2], 0.3, 1e-15);
    EXPECT_NEAR(v[3], 0.1, 1e-15);
    EXPECT_NEAR(v[4], 0.0, 1e-15);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(records[i].type, kmo::ConstraintRecord::Type::ineq);
    EXPECT_EQ(records[4].type, kmo::ConstraintRecord::Type::eq);
    EXPECT_EQ(records[1].jac(x), (kmo::Vector(3) << -1, 0, -1).finished());
    EXPECT_EQ(records[4].jac(x), kmo::Vector::Ones(3));
}

TEST(ToConstraint, FeasibilityChecks) {
    kmo::Grouping one;
    one.insert_or_assign("X", {0, 1, 2});
    EXPECT_THROW_MESSAGE(kmo::_to_constraint(kmo::Grouping{}, kmo::Rules{}), KVInvalidArgument,
                         "OPTIMIZER: 约束的上限之和小于1");
    EXPECT_EQ(kmo::_to_constraint(one, kmo::Rules{}).size(), 1u);
    EXPECT_THROW_MESSAGE(kmo::_to_constraint(one, kmo::Rules{{"X", {0.2, 0.5}}}), KVInvalidArgument,
                         "OPTIMIZER: 约束的上限之和小于1");
    EXPECT_EQ(kmo::_to_constraint(one, kmo::Rules{{"X", {0.2, 1}}}).size(), 3u);

    kmo::Grouping three;
    three.insert_or_assign("P", {0});
    three.insert_or_assign("Q", {1});
    three.insert_or_assign("R", {2});
    EXPECT_EQ(kmo::_to_constraint(three, kmo::Rules{{"P", {0, 0.3}}, {"Q", {0, 0.4}}}).size(), 5u);
    EXPECT_THROW_MESSAGE(kmo::_to_constraint(three, kmo::Rules{{"P", {0.6, 0.7}}, {"Q", {0.6, 0.9}}}),
                         KVInvalidArgument, "OPTIMIZER: 约束的下限之和大于1");
    EXPECT_THROW_MESSAGE(kmo::_to_constraint(three, kmo::Rules{{"P", {1.5, 0.5}}}), KVInvalidArgument,
                         "OPTIMIZER: 约束 P 的下限 1.5 无效");
    EXPECT_THROW_MESSAGE(kmo::_to_constraint(three, kmo::Rules{{"P", {0.5, 0.3}}}), KVInvalidArgument,
                         "OPTIMIZER: 约束的下限 0.5 高于上限 0.3");
    EXPECT_THROW_MESSAGE(kmo::_to_constraint(three, kmo::Rules{{"Q", {0, 1.2}}}), KVInvalidArgument,
                         "OPTIMIZER: 约束 Q 的上限 1.2 无效");
    EXPECT_THROW_MESSAGE(kmo::_to_constraint(three, kmo::Rules{{"Q", {0, std::nan("")}}}), KVInvalidArgument,
                         "OPTIMIZER: 约束 Q 的上限 nan 无效");
    // A rule for a label that matches no group is never looked at.
    EXPECT_EQ(kmo::_to_constraint(three, kmo::Rules{{"none", {0.9, 0.1}}}).size(), 1u);
}

TEST(GICSConstraint, GroupsBySectorInInstrumentOrder) {
    HostFixture host;
    host.proxy->add("a", "CS", {}, {}, "Energy");
    host.proxy->add("b", "CS", {}, {}, "Financials");
    host.proxy->add("c", "CS", {}, {}, "Energy");
    const kmo::GICSConstraint cons(kmo::Rules{{"Energy", {0.1, 0.4}}});
    const auto records = cons.to_constraint({"a", "b", "c"}, kelvane::DateTime(2014, 1, 4));
    ASSERT_EQ(records.size(), 3u);  // the unruled sector skips the upper-sum check
    const kmo::Vector x = (kmo::Vector(3) << 0.2, 0.5, 0.3).finished();
    EXPECT_NEAR(records[0].fun(x), 0.4, 1e-15);  // a + c - 0.1
    EXPECT_NEAR(records[1].fun(x), -0.1, 1e-15);
    const kmo::GICSConstraint all(kmo::Rules{{"Energy", {0, 0.4}}, {"Financials", {0, 0.5}}});
    EXPECT_THROW_MESSAGE(all.to_constraint({"a", "b", "c"}, kelvane::DateTime(2014, 1, 4)), KVInvalidArgument,
                         "OPTIMIZER: 约束的上限之和小于1");
    // Invalid rules are only reported when their group occurs.
    const kmo::GICSConstraint unused(kmo::Rules{{"Utilities", {0.5, 0.3}}});
    EXPECT_EQ(unused.to_constraint({"a", "b"}, kelvane::DateTime(2014, 1, 4)).size(), 1u);
}

namespace {

struct ClientBundle {
    // One directory per test process: ctest runs the tests of this file in parallel.
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("kv_test_client_bundle_" + std::to_string(::getpid()));
    ClientBundle() {
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "shenwan.csv") << "order_book_id,start_date,end_date,industry_code,industry_name\n"
                                              "a,2010-01-01,,801780,银行\n"
                                              "b,2010-01-01,2013-12-31,801020,采掘\n"
                                              "c,2010-01-01,,801780,银行\n";
        std::ofstream(dir / "funds.csv") << "order_book_id,fund_type\nf1,Stock\nf2,Stock\n";
        dunlith::init("user", "password", {"localhost", 16003}, dir);
    }
    ~ClientBundle() { std::filesystem::remove_all(dir); }
};

}  // namespace

TEST(ShenWanConstraint, InstrumentsWithoutIndustryFormTheNoneGroupWithAWarning) {
    HostFixture host;
    ClientBundle bundle;
    const kelvane::DateTime date(2014, 1, 4);
    const kmo::ShenWanConstraint cons(kmo::Rules{{"银行", {0.3, 0.5}}});
    const auto records = cons.to_constraint({"a", "b", "c"}, date);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(host.messages(),
              std::vector<std::string>{"OPTIMIZER: 在 2014-01-04 00:00:00 合约 b 没有申万行业分类信息，此合约被忽略"});
    const kmo::Vector x = (kmo::Vector(3) << 0.2, 0.5, 0.3).finished();
    EXPECT_NEAR(records[0].fun(x), 0.2, 1e-15);  // a + c - 0.3
    // A rule for "__NONE__" constrains the instruments without an industry together.
    const kmo::ShenWanConstraint none(kmo::Rules{{"__NONE__", {0, 0.2}}});
    const auto with_none = none.to_constraint({"a", "b", "c"}, date);
    ASSERT_EQ(with_none.size(), 3u);
    EXPECT_NEAR(with_none[1].fun(x), -0.3, 1e-15);  // 0.2 - b
}

TEST(FundTypeConstraint, GroupsByFundType) {
    HostFixture host;
    ClientBundle bundle;
    const kelvane::DateTime date(2014, 1, 4);
    EXPECT_EQ(kmo::FundTypeConstraint(kmo::Rules{{"Stock", {0, 1}}}).to_constraint({"f1", "f2"}, date).size(), 3u);
    EXPECT_THROW_MESSAGE(kmo::FundTypeConstraint(kmo::Rules{{"Stock", {0, 0.8}}}).to_constraint({"f1", "f2"}, date),
                         KVInvalidArgument, "OPTIMIZER: 约束的上限之和小于1");
}
