// Fuzzes optimize() over the sample bundle with arbitrary arguments: instruments, dates, methods,
// bounds, group rules of each kind, and numbers of every sort (NaN, infinities, huge, negative).
// A call either throws one of the optimiser's two errors or returns weights that are finite,
// belong to requested instruments, come smallest first, add up to 1 and keep the caller's bounds
// and group limits.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "check.hpp"
#include "sample_host.hpp"
#include "dunlith/dunlith.hpp"
#include "kelvane/environment.hpp"
#include "kelvane/logger.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace {

namespace kmo = kelvane_mod_optimizer;

// What an answer may miss the budget, a bound or a group limit by.
constexpr double kTolerance = 1.01e-8;

const std::vector<std::string> kIds = {
    "601857.XSHG", "601398.XSHG", "601939.XSHG", "601288.XSHG", "601988.XSHG", "600028.XSHG", "600519.XSHG",
    "601633.XSHG", "601818.XSHG", "600018.XSHG", "601006.XSHG", "600036.XSHG", "601318.XSHG", "601628.XSHG",
    "600001.XSHG", "600087.XSHG", "601999.XSHG", "600003.XSHG", "510050.XSHG", "510300.XSHG", "511010.XSHG",
    "160706.XSHE", "000300.XSHG", "000000.XSHG", ""};
const std::vector<std::string> kLabels = {"Financials", "Energy", "Industrials", "Consumer Staples", "银行",
                                          "非银金融",   "交通运输", "__NONE__", "Stock", "Bond", "", "*"};

std::string pick(FuzzedDataProvider& p, const std::vector<std::string>& from) {
    if (p.ConsumeIntegralInRange(0, 15) == 0) return p.ConsumeRandomLengthString(12);
    return from[p.ConsumeIntegralInRange<std::size_t>(0, from.size() - 1)];
}

kmo::Number number(FuzzedDataProvider& p) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    switch (p.ConsumeIntegralInRange(0, 11)) {
        case 0: return kmo::Number(p.ConsumeIntegralInRange<long long>(-2, 2));
        case 1: return kmo::Number(std::numeric_limits<double>::quiet_NaN());
        case 2: return kmo::Number(inf);
        case 3: return kmo::Number(-inf);
        case 4: return kmo::Number(p.ConsumeBool() ? 1e300 : -1e300);
        case 5: return kmo::Number(std::numeric_limits<double>::denorm_min());
        case 6: return kmo::Number(p.ConsumeIntegral<long long>());
        case 7: return kmo::Number(p.ConsumeFloatingPoint<double>());
        case 8: return kmo::Number(p.ConsumeFloatingPointInRange(-1.5, 1.5));
        default: return kmo::Number(p.ConsumeProbability<double>());
    }
}

kmo::OrderedMap<kmo::Range> ranges(FuzzedDataProvider& p, const std::vector<std::string>& keys) {
    kmo::OrderedMap<kmo::Range> r;
    for (int k = p.ConsumeIntegralInRange(0, 5); k > 0; --k) {
        const std::string key = pick(p, keys);
        const kmo::Number lower = number(p);
        r.insert_or_assign(key, kmo::Range{lower, number(p)});
    }
    return r;
}

int integer(FuzzedDataProvider& p, int low, int high) {
    switch (p.ConsumeIntegralInRange(0, 7)) {
        case 0: return std::numeric_limits<int>::min();
        case 1: return p.ConsumeIntegralInRange(-3, 3);
        default: return p.ConsumeIntegralInRange(low, high);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    open_sample_host();
    kelvane::user_system_log.set_sink([](kelvane::LogLevel, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider p(data, size);
    std::vector<std::string> ids(p.ConsumeIntegralInRange(0, 8));
    for (auto& id : ids) id = pick(p, kIds);
    const int year = p.ConsumeIntegralInRange(2004, 2016);
    const kmo::DateTime date(year, p.ConsumeIntegralInRange(1, 12), p.ConsumeIntegralInRange(1, 28),
                             p.ConsumeBool() ? p.ConsumeIntegralInRange(0, 23) : 0, 0, 0);

    kmo::OptimizeOptions o;
    switch (p.ConsumeIntegralInRange(0, 4)) {
        case 0: o.method = kmo::OptimizeMethod::RISK_PARITY; break;
        case 1: o.method = kmo::OptimizeMethod::MIN_VARIANCE; break;
        case 2: o.method = kmo::OptimizeMethod::MEAN_VARIANCE; break;
        case 3: o.method = kmo::OptimizeMethod::MIN_TRACKING_ERROR; break;
        default: o.method = p.ConsumeRandomLengthString(12);
    }
    std::vector<std::string> bound_keys = ids;
    bound_keys.push_back("*");
    if (p.ConsumeBool()) o.bnds = ranges(p, bound_keys);
    const int kind = p.ConsumeIntegralInRange(0, 3);  // none, GICS, ShenWan, fund type
    const kmo::Rules rules = kind == 0 ? kmo::Rules{} : ranges(p, kLabels);
    try {
        switch (kind) {
            case 1: o.cons = std::make_shared<kmo::GICSConstraint>(rules); break;
            case 2: o.cons = std::make_shared<kmo::ShenWanConstraint>(rules); break;
            case 3: o.cons = std::make_shared<kmo::FundTypeConstraint>(rules); break;
            default: break;
        }
    } catch (const kelvane::KVInvalidArgument&) {
        return 0;
    }
    o.cov_shrinkage = p.ConsumeBool();
    if (p.ConsumeBool()) o.benchmark = p.ConsumeBool() ? std::string("000300.XSHG") : pick(p, kIds);
    if (p.ConsumeBool()) o.risk_aversion_coefficient = number(p);
    if (p.ConsumeBool()) o.window = p.ConsumeBool() ? std::numeric_limits<int>::max() : integer(p, -5, 500);
    // At most 300 iterations, 100 instead of the default 1000: more only takes longer (seconds
    // a call under the sanitizers), which keeps the fuzzer from exploring.
    o.max_iteration = p.ConsumeBool() ? integer(p, -5, 300) : 100;
    // A positive tol far below 1e-12 is relaxed tenfold about three hundred times, each time a
    // full run (seconds under the sanitizers): slow, not wrong, and it stalls the fuzzer.
    if (p.ConsumeBool()) o.tol = number(p).value();
    if (o.tol > 0.0 && o.tol < 1e-12) o.tol = 1e-12;
    o.quiet = p.ConsumeBool();

    kmo::WeightMap weights;
    try {
        weights = kmo::optimize(ids, date, o);
    } catch (const kelvane::KVInvalidArgument&) {
        return 0;
    } catch (const kmo::OptimizationFailed&) {
        return 0;
    }
    KV_FUZZ_CHECK(!weights.empty(), "no weights");
    double sum = 0.0, previous = -std::numeric_limits<double>::infinity();
    for (const auto& [id, w] : weights) {
        KV_FUZZ_CHECK(std::find(ids.begin(), ids.end(), id) != ids.end(), id);
        KV_FUZZ_CHECK(std::isfinite(w), id);
        KV_FUZZ_CHECK(w >= previous, id);
        previous = w;
        sum += w;
    }
    KV_FUZZ_CHECK(std::abs(sum - 1.0) <= kTolerance, std::to_string(sum));

    // The caller's bounds (an instrument's own entry, else "*", else [0, 1]) and group limits.
    for (const auto& [id, w] : weights) {
        kmo::Range range{0, 1};
        if (o.bnds) {
            if (const auto* own = o.bnds->find(id))
                range = *own;
            else if (const auto* general = o.bnds->find("*"))
                range = *general;
        }
        KV_FUZZ_CHECK(w >= range.lower.value() - kTolerance && w <= range.upper.value() + kTolerance,
                      id + " " + std::to_string(w));
    }
    if (kind == 0) return 0;
    kmo::OrderedMap<double> group_sums;
    for (const auto& [id, w] : weights) {
        std::string label;
        if (kind == 1) {
            label = kelvane::Environment::get_instance().data_proxy->instruments(id)->sector_name;
        } else if (kind == 2) {
            const auto industry = dunlith::shenwan_instrument_industry(id, date);
            label = industry ? industry->industry_name : "__NONE__";
        } else {
            label = dunlith::fund::instruments(id)->fund_type;
        }
        const double* before = group_sums.find(label);
        group_sums.insert_or_assign(label, (before ? *before : 0.0) + w);
    }
    for (const auto& [label, total] : group_sums)
        if (const auto* rule = rules.find(label))
            KV_FUZZ_CHECK(total >= rule->lower.value() - kTolerance && total <= rule->upper.value() + kTolerance,
                          label + " " + std::to_string(total));
    return 0;
}
