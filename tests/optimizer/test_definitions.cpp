#include <gtest/gtest.h>

#include <type_traits>

#include <cmath>

#include "internal.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kmo = kelvane_mod_optimizer;

TEST(Number, PrintsIntegersPlainAndDoublesInShortestRoundTripForm) {
    EXPECT_EQ(kmo::Number(1).to_string(), "1");
    EXPECT_EQ(kmo::Number(0).to_string(), "0");
    EXPECT_EQ(kmo::Number(1.0).to_string(), "1.0");
    EXPECT_EQ(kmo::Number(0.3).to_string(), "0.3");
    EXPECT_EQ(kmo::Number(-0.1).to_string(), "-0.1");
    EXPECT_EQ(kmo::Number(1e-05).to_string(), "1e-05");
    EXPECT_EQ(kmo::Number(0.0001).to_string(), "0.0001");
    EXPECT_EQ(kmo::Number(1.5).to_string(), "1.5");
    EXPECT_EQ(kmo::Number(0.1 + 0.2).to_string(), "0.30000000000000004");
    EXPECT_EQ(kmo::Number(1e16).to_string(), "1e+16");
    EXPECT_EQ(kmo::Number(std::nan("")).to_string(), "nan");
    EXPECT_TRUE(kmo::Number(1).is_integer());
    EXPECT_FALSE(kmo::Number(1.0).is_integer());
}

TEST(OptimizeMethod, MembersHaveValueTextsAndTextIsNoMember) {
    EXPECT_EQ(kmo::value_text(kmo::OptimizeMethod::RISK_PARITY), "risk_parity");
    EXPECT_EQ(kmo::value_text(kmo::OptimizeMethod::MIN_VARIANCE), "min_variance");
    EXPECT_EQ(kmo::value_text(kmo::OptimizeMethod::MEAN_VARIANCE), "mean_variance");
    EXPECT_EQ(kmo::value_text(kmo::OptimizeMethod::MIN_TRACKING_ERROR), "min_tracking_error");
    const kmo::Method text = std::string("risk_parity");
    EXPECT_NE(text, kmo::Method(kmo::OptimizeMethod::RISK_PARITY));
}

// The failure type is caught as a user error, and an argument error is not taken for it.
static_assert(std::is_base_of_v<kelvane::KVUserError, kmo::OptimizationFailed>);
static_assert(!std::is_base_of_v<kmo::OptimizationFailed, kelvane::KVInvalidArgument>);

TEST(SortedResult, AscendingWeightStableForTies) {
    const kmo::WeightMap r = kmo::_sorted_result({"600519.XSHG", "601398.XSHG", "601939.XSHG"},
                                                 (kmo::Vector(3) << 0.5, 0.25, 0.25).finished());
    std::vector<std::pair<std::string, double>> got(r.begin(), r.end());
    const std::vector<std::pair<std::string, double>> want{
        {"601398.XSHG", 0.25}, {"601939.XSHG", 0.25}, {"600519.XSHG", 0.5}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(r.at("600519.XSHG"), 0.5);
    EXPECT_THROW((void)r.at("000001.XSHE"), std::out_of_range);
}

TEST(InstrumentType, MapsCodesToLabelsAndRefusesOthers) {
    kelvane::Instrument i;
    i.order_book_id = "510050.XSHG";
    for (auto [code, label] : std::vector<std::pair<std::string, std::string>>{
             {"CS", "股票"}, {"ETF", "场内基金"}, {"LOF", "场内基金"}, {"PublicFund", "公募基金"}}) {
        i.type = code;
        EXPECT_EQ(kmo::_instrument_type(i), label);
    }
    i.type = "cs";
    try {
        (void)kmo::_instrument_type(i);
        FAIL() << "lower-case code accepted";
    } catch (const kelvane::KVInvalidArgument& e) {
        EXPECT_STREQ(e.what(), "不支持的合约类型：cs(510050.XSHG)");
    }
    EXPECT_EQ(kmo::INSTRUMENT_TYPE_MAP.size(), 4u);
}
