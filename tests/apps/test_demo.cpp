// The demonstration run: places the sample bundle, prints five results, stops at the first error.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "run_program.hpp"

namespace {

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

TEST(DemonstrationRun, PlacesTheSampleBundleAndPrintsFiveResults) {
    const kv_test::TempDir home("kv-demo-home");
    const std::string demo = "HOME=" + home.dir().string() + " " + KV_DEMO;
    const auto first = kv_test::run(demo);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.err.find("placed the sample bundle there"), std::string::npos);
    for (const char* title : {"1. risk parity", "2. minimum variance", "3. mean variance", "4. risk parity",
                              "5. minimum tracking error"})
        EXPECT_EQ(count(first.out, title), 1u) << title;
    EXPECT_EQ(count(first.out, ".XSHG "), 5u * 11u);  // eleven rows per result

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
