// optimize() called from several threads on one environment gives every thread what a serial
// call gives: every solver, the ShenWan and fund-type limits, warnings and information to
// per-thread and process-wide log sinks, failures, while another thread replaces the
// environment's data proxy with one over a fresh source (so that the threads also race on the
// first load of each bar file). CI also runs this under ThreadSanitizer.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "dunlith/dunlith.hpp"
#include "kelvane/data_proxy.hpp"
#include "kelvane/environment.hpp"
#include "kelvane/logger.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kmo = kelvane_mod_optimizer;
using kmo::OptimizeMethod;

namespace {

const kmo::DateTime DATE(2014, 1, 3);

const std::vector<std::string> STOCKS{"601857.XSHG", "601398.XSHG", "601939.XSHG", "601288.XSHG",
                                      "601988.XSHG", "600028.XSHG", "600519.XSHG", "601633.XSHG",
                                      "601818.XSHG", "600018.XSHG", "601006.XSHG", "600001.XSHG",
                                      "601999.XSHG", "600087.XSHG"};
const std::vector<std::string> FUNDS{"510050.XSHG", "510300.XSHG", "511010.XSHG", "160706.XSHE"};

struct Request {
    std::vector<std::string> ids;
    kmo::OptimizeOptions options;
};

std::vector<Request> requests() {
    using M = OptimizeMethod;
    return {
        {STOCKS, {}},  // L-BFGS-B
        {STOCKS, {.bnds = kmo::Bounds{{"*", {0, 0.3}}},
                  .cons = std::make_shared<kmo::ShenWanConstraint>(kmo::Rules{{"银行", {0.3, 0.5}}})}},
        {STOCKS, {.method = M::MIN_VARIANCE,
                  .bnds = kmo::Bounds{{"600001.XSHG", {0, 0.1}}, {"*", {0, 0.4}}},
                  .cons = std::make_shared<kmo::GICSConstraint>(kmo::Rules{{"Financials", {0.2, 0.6}}})}},
        {FUNDS, {.method = M::MEAN_VARIANCE,
                 .cons = std::make_shared<kmo::FundTypeConstraint>(
                     kmo::Rules{{"Stock", {0.3, 0.9}}, {"Bond", {0.1, 0.7}}})}},
        {STOCKS, {.method = M::MIN_TRACKING_ERROR, .cov_shrinkage = false, .benchmark = "000300.XSHG"}},
        {STOCKS, {.method = M::MIN_VARIANCE, .bnds = kmo::Bounds{{"*", {0, 0.14}}},
                  .cons = std::make_shared<kmo::ShenWanConstraint>(kmo::Rules{{"银行", {0, 0.1}}})}},
    };
}

// The answer as text: weights to the last bit, or the failure, then the log.
std::string answer(const Request& r, const std::function<std::vector<std::string>()>& take_log) {
    std::string text;
    try {
        for (const auto& [id, w] : kmo::optimize(r.ids, DATE, r.options)) text += fmt::format("{} {}\n", id, w);
    } catch (const kelvane::KVUserError& e) {
        text = fmt::format("error: {}\n", e.what());
    }
    for (const auto& line : take_log()) text += line + '\n';
    return text;
}

}  // namespace

TEST(ThreadSafety, ConcurrentCallsAnswerAsSerialOnesWhileTheProxyIsReplaced) {
    const std::string bundle = std::string(KV_SOURCE_DIR) + "/data/sample_bundle";
    dunlith::init("user", "password", {"localhost", 16003}, bundle);
    kelvane::Environment env(nullptr);
    env.data_proxy = std::make_shared<kelvane::DataProxy>(std::make_shared<kelvane::BaseDataSource>(bundle));
    const auto table = requests();

    std::vector<std::string> serial;
    {
        std::vector<std::string> log;
        kelvane::ScopedLogSink sink([&](kelvane::LogLevel, const std::string& m) { log.push_back(m); });
        for (const auto& r : table) serial.push_back(answer(r, [&] { return std::exchange(log, {}); }));
    }
    ASSERT_NE(serial[0].find("OPTIMIZER: 600001.XSHG 已退市，被剔除"), std::string::npos) << serial[0];
    ASSERT_NE(serial[2].find("OPTIMIZER: 约束 600001.XSHG 不在经剔除后的合约列表中，被忽略"), std::string::npos)
        << serial[2];
    ASSERT_EQ(serial[5].rfind("error: OPTIMIZER: 在 bnds 与约束的上限之下，权重之和至多为 0.94，无法等于1", 0), 0u)
        << serial[5];

    const auto source = std::make_shared<kelvane::BaseDataSource>(bundle);  // no bar file loaded yet
    env.data_proxy = std::make_shared<kelvane::DataProxy>(source);
    // Worker 0 writes to the process-wide sink, the others to sinks of their own.
    std::mutex process_mutex;
    std::vector<std::string> process_log;
    kelvane::user_system_log.set_sink([&](kelvane::LogLevel, const std::string& m) {
        std::lock_guard lock(process_mutex);
        process_log.push_back(m);
    });
    constexpr int kWorkers = 4, kRounds = 2;
    std::vector<std::vector<std::string>> got(kWorkers);
    std::vector<std::thread> threads;
    for (int t = 0; t < kWorkers; ++t)
        threads.emplace_back([&, t] {
            std::vector<std::string> log;
            std::function<std::vector<std::string>()> take = [&] { return std::exchange(log, {}); };
            std::optional<kelvane::ScopedLogSink> sink;
            if (t == 0) {
                take = [&] {
                    std::lock_guard lock(process_mutex);
                    return std::exchange(process_log, {});
                };
            } else {
                sink.emplace([&](kelvane::LogLevel, const std::string& m) { log.push_back(m); });
            }
            for (std::size_t k = 0; k < table.size() * kRounds; ++k)
                got[t].push_back(answer(table[(k + static_cast<std::size_t>(t)) % table.size()], take));
        });
    threads.emplace_back([&] {
        for (int k = 0; k < 50; ++k) {
            env.data_proxy = std::make_shared<kelvane::DataProxy>(source);
            std::this_thread::yield();
        }
    });
    for (auto& th : threads) th.join();
    kelvane::user_system_log.set_sink({});

    for (int t = 0; t < kWorkers; ++t)
        for (std::size_t k = 0; k < got[t].size(); ++k)
            EXPECT_EQ(got[t][k], serial[(k + static_cast<std::size_t>(t)) % table.size()]) << "worker " << t;
}
