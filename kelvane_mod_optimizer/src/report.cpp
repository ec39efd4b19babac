// The parts of optimize_report() that look at the answer: risk contributions, the slack of each
// bound and group limit, the rules that matched no instrument.
#include "kelvane_mod_optimizer/report.hpp"

#include <cmath>
#include <limits>
#include <set>
#include <unordered_map>

#include "internal.hpp"

namespace kelvane_mod_optimizer {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

LimitSlack slack_of(std::string name, std::optional<double> lower, std::optional<double> upper, double value) {
    LimitSlack s{std::move(name), lower, upper, value};
    s.lower_slack = lower ? value - *lower : INF;
    s.upper_slack = upper ? *upper - value : INF;
    s.binds = s.lower_slack <= FEASIBILITY_TOLERANCE || s.upper_slack <= FEASIBILITY_TOLERANCE;
    return s;
}

std::optional<double> finite_or_none(double v) { return std::isfinite(v) ? std::optional(v) : std::nullopt; }

}  // namespace

std::string_view outcome_text(SolveOutcome outcome) {
    switch (outcome) {
        case SolveOutcome::not_reached: return "not_reached";
        case SolveOutcome::converged: return "converged";
        case SolveOutcome::iteration_limit: return "iteration_limit";
        case SolveOutcome::exact_start: return "exact_start";
        case SolveOutcome::lone_instrument: return "lone_instrument";
        case SolveOutcome::failed: return "failed";
    }
    return "unknown";
}

void describe_limits(Report& report, const std::vector<std::string>& labels, const Vector& w,
                     const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                     const ConstraintProvider* provider) {
    report.bounds.clear();
    for (std::size_t i = 0; i < bounds.size(); ++i)
        report.bounds.push_back(
            slack_of(labels[i], bounds[i].lower, bounds[i].upper, w[static_cast<Eigen::Index>(i)]));

    report.groups.clear();
    std::set<std::string> matched;
    for (const GroupRange& g : group_ranges(cons, w.size())) {
        double total = 0.0;
        for (int p : g.positions) total += w[p];
        report.groups.push_back(slack_of(g.label, finite_or_none(g.lower), finite_or_none(g.upper), total));
        matched.insert(g.label);
    }

    report.unmatched_rules.clear();
    if (provider)
        for (auto& label : provider->rule_labels())
            if (!matched.contains(label)) report.unmatched_rules.push_back(std::move(label));
}

void describe_risk(Report& report, const WeightMap& answer, const std::vector<std::string>& labels, const Vector& w,
                   const Vector& cw) {
    report.variance = w.dot(cw);
    report.volatility = std::sqrt(std::max(0.0, report.variance));
    std::unordered_map<std::string, Eigen::Index> position;
    for (std::size_t i = 0; i < labels.size(); ++i) position.emplace(labels[i], static_cast<Eigen::Index>(i));
    report.risk.clear();
    report.risk.reserve(answer.size());
    for (const auto& [id, weight] : answer) {
        const Eigen::Index i = position.at(id);
        const double contribution = w[i] * cw[i];
        report.risk.push_back(InstrumentRisk{id, weight, contribution, contribution / report.variance});
    }
}

}  // namespace kelvane_mod_optimizer
