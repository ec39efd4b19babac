// kelvane-optimizer-demo: five optimisations of one basket of Shanghai stocks on 2014-01-04,
// over the bundle in ~/.kelvane/bundle (the sample bundle is placed there when none exists).
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "dunlith/dunlith.hpp"
#include "kelvane/data_proxy.hpp"
#include "kelvane/data_source.hpp"
#include "kelvane/environment.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace fs = std::filesystem;
namespace kmo = kelvane_mod_optimizer;

namespace {

fs::path bundle_directory() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') throw std::runtime_error("HOME is not set: cannot find ~/.kelvane/bundle");
    const fs::path dir = fs::path(home) / ".kelvane" / "bundle";
    if (!fs::exists(dir)) {
        fs::create_directories(dir.parent_path());
        fs::copy(KV_SAMPLE_BUNDLE_DIR, dir, fs::copy_options::recursive);
        std::cerr << "No bundle at " << dir.string() << ": placed the sample bundle there (synthetic prices).\n";
    }
    return dir;
}

// One row per instrument: identifier, weight and a bar of length proportional to the weight.
void print(const std::string& title, const kmo::WeightMap& weights) {
    std::cout << title << '\n';
    for (const auto& [order_book_id, weight] : weights) {
        const int cells = static_cast<int>(weight * 50.0 + 0.5);
        std::string bar;
        for (int i = 0; i < cells; ++i) bar += "█";
        std::cout << fmt::format("  {:<12} {:>9.6f}  {}\n", order_book_id, weight, bar);
    }
    std::cout << std::endl;
}

void run() {
    const fs::path bundle = bundle_directory();
    dunlith::init("solvender", "4marbleton4", {"localhost", 16003}, bundle);

    kelvane::Environment environment(nullptr);
    auto source = std::make_shared<kelvane::BaseDataSource>(bundle);
    environment.data_proxy = std::make_shared<kelvane::DataProxy>(source);

    const kmo::DateTime date(2014, 1, 4);
    const std::vector<std::string> order_book_ids = {
        "601857.XSHG", "601398.XSHG", "601939.XSHG", "601288.XSHG", "601988.XSHG", "600028.XSHG",
        "600519.XSHG", "601633.XSHG", "601818.XSHG", "600018.XSHG", "601006.XSHG"};
    const kmo::Bounds bnds = {{"*", {0, 0.3}}};
    const auto cons = std::make_shared<kmo::ShenWanConstraint>(kmo::Rules{{"银行", {0.3, 0.5}}});

    using M = kmo::OptimizeMethod;
    print("1. risk parity, sample covariance",
          kmo::optimize(order_book_ids, date, {.method = M::RISK_PARITY, .cov_shrinkage = false}));
    print("2. minimum variance, sample covariance",
          kmo::optimize(order_book_ids, date, {.method = M::MIN_VARIANCE, .cov_shrinkage = false}));
    print("3. mean variance, sample covariance",
          kmo::optimize(order_book_ids, date, {.method = M::MEAN_VARIANCE, .cov_shrinkage = false}));
    print("4. risk parity, every weight in [0, 0.3], banks (ShenWan 银行) in [0.3, 0.5]",
          kmo::optimize(order_book_ids, date, {.bnds = bnds, .cons = cons}));
    print("5. minimum tracking error against 000300.XSHG",
          kmo::optimize(order_book_ids, date, {.method = M::MIN_TRACKING_ERROR, .benchmark = "000300.XSHG"}));
}

}  // namespace

int main() {
    try {
        run();
    } catch (const kmo::OptimizationFailed& e) {
        std::cerr << "OptimizationFailed: " << e.what() << '\n';
        return 1;
    } catch (const kelvane::KVInvalidArgument& e) {
        std::cerr << "KVInvalidArgument: " << e.what() << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
