// Numbers printed as the caller wrote them, results ordered by weight.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "internal.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kmo = kelvane_mod_optimizer;

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
    EXPECT_EQ(r.at("600519.XSHG"), 0.5);
    EXPECT_THROW((void)r.at("000001.XSHE"), std::out_of_range);
}
