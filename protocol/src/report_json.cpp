#include "report_json.hpp"

#include <cmath>

namespace kelvane_optimize {

namespace kmo = kelvane_mod_optimizer;
using nlohmann::json;

namespace {

json number_or_null(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }
json number_or_null(const std::optional<double>& v) { return v ? number_or_null(*v) : json(nullptr); }

json limits(const std::vector<kmo::LimitSlack>& slacks) {
    json out = json::array();
    for (const auto& s : slacks)
        out.push_back(json{{"name", s.name},
                           {"lower", number_or_null(s.lower)},
                           {"upper", number_or_null(s.upper)},
                           {"value", s.value},
                           {"lower_slack", number_or_null(s.lower_slack)},
                           {"upper_slack", number_or_null(s.upper_slack)},
                           {"binds", s.binds}});
    return out;
}

}  // namespace

json report_json(const kmo::Report& r) {
    json weights = json::array();
    for (const auto& [id, w] : r.weights) weights.push_back(json::array({id, w}));
    json risk = json::array();
    for (const auto& e : r.risk)
        risk.push_back(json{{"order_book_id", e.order_book_id},
                            {"weight", e.weight},
                            {"risk_contribution", number_or_null(e.risk_contribution)},
                            {"risk_share", number_or_null(e.risk_share)}});
    json dropped = json::array();
    for (const auto& e : r.dropped) dropped.push_back(json{{"order_book_id", e.order_book_id}, {"reason", e.reason}});
    return json{
        {"weights", std::move(weights)},
        {"solve",
         {{"outcome", std::string(kmo::outcome_text(r.solve.outcome))},
          {"iterations", r.solve.iterations},
          {"objective", number_or_null(r.solve.objective)},
          {"contribution_spread", number_or_null(r.solve.contribution_spread)},
          {"message", r.solve.message}}},
        {"risk", std::move(risk)},
        {"variance", number_or_null(r.variance)},
        {"volatility", number_or_null(r.volatility)},
        {"bounds", limits(r.bounds)},
        {"groups", limits(r.groups)},
        {"dropped", std::move(dropped)},
        {"unmatched_rules", r.unmatched_rules},
        {"last_bar_date", r.last_bar_date ? json(r.last_bar_date->to_string()) : json(nullptr)},
        {"seconds",
         {{"data_access", r.seconds.data_access}, {"covariance", r.seconds.covariance}, {"solve", r.seconds.solve}}}};
}

}  // namespace kelvane_optimize
