// Shared definitions of the optimiser: the method enumeration, the failure type, the earliest
// optimisation date, numbers that remember whether they were written as integers, and the
// insertion-ordered mapping used for bounds, rules and results.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "kelvane/datetime.hpp"
#include "kelvane/exception.hpp"

namespace kelvane_mod_optimizer {

using kelvane::DateTime;

// Raised when an optimisation cannot be carried out.
class OptimizationFailed : public kelvane::KVUserError {
public:
    using kelvane::KVUserError::KVUserError;
};

// The four problems the optimiser solves. A member compares equal only to itself.
enum class OptimizeMethod { RISK_PARITY, MIN_VARIANCE, MEAN_VARIANCE, MIN_TRACKING_ERROR };

// "risk_parity", "min_variance", "mean_variance", "min_tracking_error"; throws
// std::invalid_argument for a value that is no member.
std::string_view value_text(OptimizeMethod method);

// A method argument: a member, or any text (which is never a member and is refused when the
// method is dispatched).
using Method = std::variant<OptimizeMethod, std::string>;

// The earliest request date accepted: 2005-07-01 00:00:00.
inline const DateTime MIN_OPTIMIZE_DATE{2005, 7, 1};

// A number as the caller wrote it: an integer stays an integer (printed "1"), a floating-point
// number prints in its shortest round-trip form ("1.0", "0.3", "1e-05").
class Number {
public:
    constexpr Number(int value) : value_(static_cast<long long>(value)) {}
    constexpr Number(long long value) : value_(value) {}
    constexpr Number(double value) : value_(value) {}

    [[nodiscard]] constexpr bool is_integer() const { return std::holds_alternative<long long>(value_); }
    [[nodiscard]] constexpr double value() const {
        return is_integer() ? static_cast<double>(std::get<long long>(value_)) : std::get<double>(value_);
    }
    [[nodiscard]] std::string to_string() const;

private:
    std::variant<long long, double> value_;
};

// A (lower, upper) pair of a bound or a group rule.
struct Range {
    Number lower;
    Number upper;
};

// A mapping that iterates in insertion order; assigning to an existing key keeps its place.
template <class Value>
class OrderedMap {
public:
    using value_type = std::pair<std::string, Value>;

    OrderedMap() = default;
    OrderedMap(std::initializer_list<value_type> entries) {
        for (const auto& e : entries) insert_or_assign(e.first, e.second);
    }

    void insert_or_assign(const std::string& key, Value value) {
        auto [it, inserted] = index_.try_emplace(key, entries_.size());
        if (inserted)
            entries_.emplace_back(key, std::move(value));
        else
            entries_[it->second].second = std::move(value);
    }
    [[nodiscard]] const Value* find(std::string_view key) const {
        auto it = index_.find(std::string(key));
        return it == index_.end() ? nullptr : &entries_[it->second].second;
    }
    [[nodiscard]] bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Throws std::out_of_range naming the key when it is absent.
    [[nodiscard]] const Value& at(std::string_view key) const {
        if (const Value* v = find(key)) return *v;
        throw std::out_of_range("no entry for " + std::string(key));
    }
    [[nodiscard]] std::size_t size() const { return entries_.size(); }
    [[nodiscard]] bool empty() const { return entries_.empty(); }
    [[nodiscard]] auto begin() const { return entries_.begin(); }
    [[nodiscard]] auto end() const { return entries_.end(); }
    friend bool operator==(const OrderedMap& a, const OrderedMap& b) { return a.entries_ == b.entries_; }

private:
    std::vector<value_type> entries_;
    std::unordered_map<std::string, std::size_t> index_;
};

// Per-instrument bounds: identifier or "*" (every other instrument) to (lower, upper).
using Bounds = OrderedMap<Range>;
// Group rules: group label to (lower, upper) on the group's total weight.
using Rules = OrderedMap<Range>;
// The optimiser's answer: identifier to weight, smallest weight first.
using WeightMap = OrderedMap<double>;

}  // namespace kelvane_mod_optimizer
