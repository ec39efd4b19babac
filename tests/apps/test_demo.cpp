// The demonstration run: places the sample bundle, prints five results, stops at the first error.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "run_program.hpp"

namespace {

TEST(DemonstrationRun, PlacesTheSampleBundleAndPrintsFiveResults) {
    const kv_test::TempDir home("kv-demo-home");
    const std::string demo = "HOME=" + home.dir().string() + " " + KV_DEMO;
    const auto first = kv_test::run(demo);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.err.find("placed the sample bundle there"), std::string::npos);
    // Each result: its title, eleven rows and a blank line.
    EXPECT_EQ(std::count(first.out.begin(), first.out.end(), '\n'), 5 * 13);
    EXPECT_NE(first.out.find("5. minimum tracking error"), std::string::npos);

    // The bundle now exists: it is used as it is, without a note.
    const auto second = kv_test::run(demo);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(second.out, first.out);

    // Without the benchmark's bars the fifth call fails: the first four stay printed.
    home.write(".kelvane/bundle/day_bars/000300.XSHG.csv", nullptr);
    const auto failed = kv_test::run(demo);
    EXPECT_NE(failed.status, 0);
    EXPECT_NE(failed.out.find("4. risk parity"), std::string::npos);
    EXPECT_EQ(failed.out.find("5. minimum tracking error"), std::string::npos);
    EXPECT_FALSE(failed.err.empty());
}

}  // namespace
