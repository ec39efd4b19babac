// optimize_report from Python: the same arguments as optimize, the report as plain Python values
// (dicts, lists, floats; None for an unbounded side). kelvane_mod_optimizer.report wraps it.

#include <pybind11/stl.h>

#include "bindings.hpp"
#include "convert.hpp"
#include "kelvane_mod_optimizer/report.hpp"

namespace kv_python {

namespace {

py::object optional_number(const std::optional<double>& v) { return v ? py::object(py::float_(*v)) : py::none(); }

py::list limits(const std::vector<kmo::LimitSlack>& slacks) {
    py::list out;
    for (const auto& s : slacks) {
        py::dict d;
        d["name"] = s.name;
        d["lower"] = optional_number(s.lower);
        d["upper"] = optional_number(s.upper);
        d["value"] = s.value;
        d["lower_slack"] = s.lower_slack;
        d["upper_slack"] = s.upper_slack;
        d["binds"] = s.binds;
        out.append(d);
    }
    return out;
}

py::dict to_python(const kmo::Report& r) {
    py::dict d;
    d["weights"] = from_weights(r.weights);
    py::dict solve;
    solve["outcome"] = std::string(kmo::outcome_text(r.solve.outcome));
    solve["iterations"] = r.solve.iterations;
    solve["objective"] = optional_number(r.solve.objective);
    solve["contribution_spread"] = r.solve.contribution_spread;
    solve["message"] = r.solve.message;
    d["solve"] = solve;
    py::list risk;
    for (const auto& e : r.risk) {
        py::dict item;
        item["order_book_id"] = e.order_book_id;
        item["weight"] = e.weight;
        item["risk_contribution"] = e.risk_contribution;
        item["risk_share"] = e.risk_share;
        risk.append(item);
    }
    d["risk"] = risk;
    d["variance"] = r.variance;
    d["volatility"] = r.volatility;
    d["bounds"] = limits(r.bounds);
    d["groups"] = limits(r.groups);
    py::list dropped;
    for (const auto& e : r.dropped) dropped.append(py::make_tuple(e.order_book_id, e.reason));
    d["dropped"] = dropped;
    d["unmatched_rules"] = py::cast(r.unmatched_rules);
    d["last_bar_date"] = r.last_bar_date ? from_datetime(*r.last_bar_date) : py::none();
    py::dict seconds;
    seconds["data_access"] = r.seconds.data_access;
    seconds["covariance"] = r.seconds.covariance;
    seconds["solve"] = r.seconds.solve;
    d["seconds"] = seconds;
    return d;
}

}  // namespace

void bind_report(py::module_& m) {
    m.def(
        "_optimize_report",
        [](py::handle order_book_ids, py::handle date, py::handle method, py::handle bnds, py::handle cons,
           py::handle cov_shrinkage, py::handle benchmark, py::handle risk_aversion_coefficient, py::handle window,
           py::handle max_iteration, py::handle tol, py::handle quiet) {
            const OptimizeCall call = to_optimize_call(order_book_ids, date, method, bnds, cons, cov_shrinkage, benchmark,
                                                       risk_aversion_coefficient, window, max_iteration, tol, quiet);
            kmo::Report report;
            {
                py::gil_scoped_release release;
                kmo::optimize_report(call.ids, call.date, call.options, report);
            }
            return to_python(report);
        },
        py::arg("order_book_ids"), py::arg("date"), py::arg("method"), py::arg("bnds"), py::arg("cons"),
        py::arg("cov_shrinkage"), py::arg("benchmark"), py::arg("risk_aversion_coefficient"), py::arg("window"),
        py::arg("max_iteration"), py::arg("tol"), py::arg("quiet"),
        "The report of optimize(...) with these arguments, as a dict; raises as optimize does.");
}

}  // namespace kv_python
