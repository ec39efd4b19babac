// An in-memory data proxy and helpers for driving the optimiser in tests.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kelvane/data_proxy.hpp"
#include "kelvane/environment.hpp"
#include "kelvane/logger.hpp"

namespace testing_host {

struct FakeInstrument {
    kelvane::Instrument record;
    std::vector<double> closes;   // as history_bars returns them (already cut to the window)
    std::vector<bool> suspended;  // as is_suspended returns them
};

class FakeDataProxy : public kelvane::DataProxy {
public:
    std::map<std::string, FakeInstrument> data;

    void add(const std::string& id, const std::string& type, std::vector<double> closes,
             std::vector<bool> suspended = {}, const std::string& sector = "Financials") {
        kelvane::Instrument record;
        record.order_book_id = id;
        record.type = type;
        record.sector_name = sector;
        data[id] = {record, std::move(closes), std::move(suspended)};
    }

    using kelvane::DataProxy::instruments;
    std::optional<kelvane::Instrument> instruments(const std::string& id) const override {
        const auto it = data.find(id);
        return it == data.end() ? std::nullopt : std::optional(it->second.record);
    }
    std::vector<double> history_bars(const std::string& id, int window, std::string_view, std::string_view,
                                     const kelvane::DateTime&, bool) const override {
        const auto& c = data.at(id).closes;
        return {c.end() - std::min<std::ptrdiff_t>(window, static_cast<std::ptrdiff_t>(c.size())), c.end()};
    }
    std::vector<bool> is_suspended(const std::string& id, const kelvane::DateTime&, int) const override {
        return data.at(id).suspended;
    }
};

// Deterministic closes: a random walk with daily volatility `vol`.
inline std::vector<double> walk(std::size_t days, unsigned seed, double vol = 0.02) {
    std::vector<double> p{10.0};
    unsigned state = seed * 2654435761u + 1u;
    for (std::size_t t = 1; t < days; ++t) {
        state = state * 1664525u + 1013904223u;
        const double u = static_cast<double>(state >> 8) / static_cast<double>(1u << 24) - 0.5;
        p.push_back(p.back() * (1.0 + vol * 3.4 * u));
    }
    return p;
}

// Installs the proxy in a fresh host environment, and captures the user log, for the object's life.
struct HostFixture {
    std::shared_ptr<FakeDataProxy> proxy = std::make_shared<FakeDataProxy>();
    kelvane::Environment env{nullptr};
    std::vector<std::pair<kelvane::LogLevel, std::string>> log;
    kelvane::ScopedLogSink sink{[this](kelvane::LogLevel level, const std::string& m) { log.emplace_back(level, m); }};

    HostFixture() { env.data_proxy = proxy; }
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& e : log) out.push_back(e.second);
        return out;
    }
};

}  // namespace testing_host
