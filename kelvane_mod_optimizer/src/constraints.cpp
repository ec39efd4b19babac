#include "kelvane_mod_optimizer/constraints.hpp"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

#include "dunlith/dunlith.hpp"
#include "internal.hpp"
#include "kelvane/environment.hpp"
#include "kelvane/exception.hpp"
#include "kelvane/logger.hpp"

namespace kelvane_mod_optimizer {

using kelvane::KVInvalidArgument;

const std::map<std::string, std::string> INSTRUMENT_TYPE_MAP = {
    {"CS", "股票"},
    {"ETF", "场内基金"},
    {"LOF", "场内基金"},
    {"PublicFund", "公募基金"},
};

std::string _instrument_type(const kelvane::Instrument& instrument) {
    auto it = INSTRUMENT_TYPE_MAP.find(instrument.type);
    if (it == INSTRUMENT_TYPE_MAP.end())
        throw KVInvalidArgument(fmt::format("不支持的合约类型：{}({})", instrument.type, instrument.order_book_id));
    return it->second;
}

namespace {

// A bound outside [0, 1], or not a number at all.
bool out_of_unit_range(const Number& v) {
    const double d = v.value();
    return !(d >= 0.0 && d <= 1.0);
}

}  // namespace

BoundsList _general_bnds(const std::vector<std::string>& order_book_ids, const std::optional<Bounds>& bounds) {
    if (!bounds) return BoundsList(order_book_ids.size(), minimize::Bound{0.0, 1.0});

    OrderedMap<Range> result;
    Range general{0, 1};
    for (const auto& [key, range] : *bounds) {
        const bool general_entry = key == "*";
        if (!general_entry &&
            std::find(order_book_ids.begin(), order_book_ids.end(), key) == order_book_ids.end()) {
            kelvane::user_system_log.info(fmt::format("OPTIMIZER: 约束 {} 不在经剔除后的合约列表中，被忽略", key));
            continue;
        }
        if (range.lower.value() > range.upper.value())
            throw KVInvalidArgument(fmt::format("OPTIMIZER: 合约 {} 的下限 {} 高于上限 {}", key,
                                                range.lower.to_string(), range.upper.to_string()));
        if (out_of_unit_range(range.lower))
            throw KVInvalidArgument(fmt::format("OPTIMIZER: 合约 {} 的下限 {} 无效", key, range.lower.to_string()));
        if (out_of_unit_range(range.upper))
            throw KVInvalidArgument(fmt::format("OPTIMIZER: 合约 {} 的上限 {} 无效", key, range.upper.to_string()));
        if (general_entry)
            general = range;
        else
            result.insert_or_assign(key, range);
    }

    for (const auto& id : order_book_ids)
        if (!result.contains(id)) result.insert_or_assign(id, general);

    // The sums run over the explicit entries first, then the filled-in ones.
    double lower_sum = 0.0;
    double upper_sum = 0.0;
    for (const auto& [id, r] : result) {
        lower_sum += r.lower.value();
        upper_sum += r.upper.value();
    }
    if (lower_sum > 1.0) throw KVInvalidArgument("OPTIMIZER: bnds 下限之和大于1");
    if (upper_sum < 1.0) throw KVInvalidArgument("OPTIMIZER: 经过剔除后，bnds 上限之和小于1");

    BoundsList list;
    list.reserve(order_book_ids.size());
    for (const auto& id : order_book_ids) {
        const Range& r = result.at(id);
        list.push_back(minimize::Bound{r.lower.value(), r.upper.value()});
    }
    return list;
}

ConstraintRecord budget_constraint() {
    ConstraintRecord record;
    record.type = ConstraintRecord::Type::eq;
    record.linear = true;
    record.budget = true;
    record.fun = [](const minimize::Vector& x) { return x.sum() - 1.0; };
    record.jac = [](const minimize::Vector& x) { return minimize::Vector::Ones(x.size()).eval(); };
    return record;
}

namespace {

// sign * (sum of x at positions) + offset, with its constant gradient: the record of one side
// of a group's range.
ConstraintRecord group_record(const std::string& label, ConstraintRecord::Side side, std::vector<int> positions,
                              double sign, double offset) {
    ConstraintRecord record;
    record.type = ConstraintRecord::Type::ineq;
    record.group = label;
    record.side = side;
    record.linear = true;
    for (int p : positions)
        if (p < 0) throw KVInvalidArgument(fmt::format("the group {} has the position {}", label, p));
    // The weights the positions need: a shorter vector is refused rather than read beyond its end.
    const Eigen::Index needed = positions.empty() ? 0 : *std::max_element(positions.begin(), positions.end()) + 1;
    const auto check = [label, needed](const minimize::Vector& x) {
        if (x.size() < needed)
            throw KVInvalidArgument(
                fmt::format("the record of group {} needs at least {} weights, got {}", label, needed, x.size()));
    };
    record.fun = [positions, sign, offset, check](const minimize::Vector& x) {
        check(x);
        double sum = 0.0;
        for (int p : positions) sum += x[p];
        return sign * sum + offset;
    };
    record.jac = [positions = std::move(positions), sign, check](const minimize::Vector& x) {
        check(x);
        minimize::Vector g = minimize::Vector::Zero(x.size());
        for (int p : positions) g[p] = sign;
        return g;
    };
    return record;
}

}  // namespace

std::vector<ConstraintRecord> _to_constraint(const Grouping& reversed_index, const Rules& rules) {
    std::vector<ConstraintRecord> constraints;
    double lower_sum = 0.0;
    double upper_sum = 0.0;
    bool no_constraint_exists = false;
    for (const auto& [label, positions] : reversed_index) {
        const Range* rule = rules.find(label);
        if (!rule) {
            no_constraint_exists = true;
            continue;
        }
        if (out_of_unit_range(rule->lower))
            throw KVInvalidArgument(fmt::format("OPTIMIZER: 约束 {} 的下限 {} 无效", label, rule->lower.to_string()));
        if (out_of_unit_range(rule->upper))
            throw KVInvalidArgument(fmt::format("OPTIMIZER: 约束 {} 的上限 {} 无效", label, rule->upper.to_string()));
        if (rule->lower.value() > rule->upper.value())
            throw KVInvalidArgument(fmt::format("OPTIMIZER: 约束的下限 {} 高于上限 {}", rule->lower.to_string(),
                                                rule->upper.to_string()));
        lower_sum += rule->lower.value();
        upper_sum += rule->upper.value();
        constraints.push_back(group_record(label, ConstraintRecord::Side::lower, positions, 1.0, -rule->lower.value()));
        constraints.push_back(group_record(label, ConstraintRecord::Side::upper, positions, -1.0, rule->upper.value()));
    }
    if (lower_sum > 1.0) throw KVInvalidArgument("OPTIMIZER: 约束的下限之和大于1");
    if (!no_constraint_exists && upper_sum < 1.0) throw KVInvalidArgument("OPTIMIZER: 约束的上限之和小于1");
    constraints.push_back(budget_constraint());
    return constraints;
}

namespace {

Grouping group_by_label(const std::vector<std::string>& labels) {
    Grouping reversed_index;
    for (int i = 0; i < static_cast<int>(labels.size()); ++i) {
        std::vector<int> positions;
        if (const auto* existing = reversed_index.find(labels[i])) positions = *existing;
        positions.push_back(i);
        reversed_index.insert_or_assign(labels[i], std::move(positions));
    }
    return reversed_index;
}

}  // namespace

ClassificationConstraint::ClassificationConstraint(Rules rules) {
    _verify_rules(rules);
    _rules = std::move(rules);
}

void ClassificationConstraint::_verify_rules(const Rules&) {}

std::vector<ConstraintRecord> ClassificationConstraint::to_constraint(const std::vector<std::string>& order_book_ids,
                                                                      const DateTime& date) const {
    std::vector<ConstraintRecord> records = _to_constraint(group_by_label(classify(order_book_ids, date)), _rules);
    for (auto& record : records) record.instruments = order_book_ids.size();
    return records;
}

std::vector<std::string> ClassificationConstraint::rule_labels() const {
    std::vector<std::string> labels;
    for (const auto& [label, range] : _rules) labels.push_back(label);
    return labels;
}

std::vector<std::string> GICSConstraint::classify(const std::vector<std::string>& order_book_ids,
                                                  const DateTime&) const {
    const auto dp = kelvane::Environment::get_instance().data_proxy.load();
    if (!dp) throw std::logic_error("the kelvane environment has no data proxy");
    const auto records = dp->instruments(order_book_ids);
    std::vector<std::string> classified;
    classified.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!records[i]) throw KVInvalidArgument(fmt::format("invalid order book id: {}", order_book_ids[i]));
        classified.push_back(records[i]->sector_name);
    }
    return classified;
}

std::vector<std::string> ShenWanConstraint::classify(const std::vector<std::string>& order_book_ids,
                                                     const DateTime& date) const {
    std::vector<std::string> classified;
    classified.reserve(order_book_ids.size());
    for (const auto& o : order_book_ids) {
        const auto industry = dunlith::shenwan_instrument_industry(o, date);
        if (!industry) {
            kelvane::user_system_log.warn(
                fmt::format("OPTIMIZER: 在 {} 合约 {} 没有申万行业分类信息，此合约被忽略", date.to_string(), o));
            classified.emplace_back("__NONE__");
        } else {
            classified.push_back(industry->industry_name);
        }
    }
    return classified;
}

std::vector<std::string> FundTypeConstraint::classify(const std::vector<std::string>& order_book_ids,
                                                      const DateTime&) const {
    std::vector<std::string> classified;
    classified.reserve(order_book_ids.size());
    for (const auto& o : order_book_ids) {
        const auto fund = dunlith::fund::instruments(o);
        if (!fund) throw KVInvalidArgument(fmt::format("OPTIMIZER: 合约 {} 没有基金类型信息", o));
        classified.push_back(fund->fund_type);
    }
    return classified;
}

JoinedConstraint::JoinedConstraint(std::vector<std::shared_ptr<const ConstraintProvider>> parts)
    : parts_(std::move(parts)) {
    for (const auto& part : parts_)
        if (!part) throw std::invalid_argument("JoinedConstraint: a part is null");
}

std::vector<ConstraintRecord> JoinedConstraint::to_constraint(const std::vector<std::string>& order_book_ids,
                                                              const DateTime& date) const {
    std::vector<ConstraintRecord> joined;
    for (const auto& part : parts_)
        for (auto& record : part->to_constraint(order_book_ids, date))
            if (!record.budget) joined.push_back(std::move(record));
    joined.push_back(budget_constraint());
    joined.back().instruments = order_book_ids.size();
    return joined;
}

std::vector<std::string> JoinedConstraint::rule_labels() const {
    std::vector<std::string> labels;
    for (const auto& part : parts_)
        for (auto& label : part->rule_labels()) labels.push_back(std::move(label));
    return labels;
}

}  // namespace kelvane_mod_optimizer
