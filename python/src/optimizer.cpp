// The optimiser seen from Python: OptimizeMethod, optimize, the classification constraint
// classes and constraint records, the five solvers and the module constants. Every call
// converts its arguments with the GIL held, then runs the core without it.
#include <array>
#include <chrono>

#include <fmt/format.h>
#include <pybind11/stl.h>

#include "bindings.hpp"
#include "convert.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kv_python {

namespace {

using kmo::ConstraintRecord;

// The members of the Python enumeration OptimizeMethod, in the order of the C++ one.
constexpr std::array<kmo::OptimizeMethod, 4> kMethods = {
    kmo::OptimizeMethod::RISK_PARITY, kmo::OptimizeMethod::MIN_VARIANCE, kmo::OptimizeMethod::MEAN_VARIANCE,
    kmo::OptimizeMethod::MIN_TRACKING_ERROR};
std::array<PyObject*, 4> method_members{};

// A member of OptimizeMethod, or the text form of anything else (which is never a method).
kmo::Method to_method(py::handle method) {
    for (std::size_t k = 0; k < kMethods.size(); ++k)
        if (method.ptr() == method_members[k]) return kMethods[k];
    return py::str(method).cast<std::string>();
}

bool truth(py::handle value) {
    const int t = PyObject_IsTrue(value.ptr());
    if (t < 0) throw py::error_already_set();
    return t != 0;
}

// A constraint function made by the core (a group's sum against a bound, or the budget),
// callable from Python; handed back inside a record it is used as it is, without Python.
struct ConstraintFunction {
    std::shared_ptr<const ConstraintRecord> record;
};

py::dict to_python_record(ConstraintRecord record) {
    py::dict d;
    d["type"] = record.type == ConstraintRecord::Type::eq ? "eq" : "ineq";
    d["fun"] = ConstraintFunction{std::make_shared<const ConstraintRecord>(std::move(record))};
    return d;
}

py::list to_python_records(std::vector<ConstraintRecord> records) {
    py::list out;
    for (auto& r : records) out.append(to_python_record(std::move(r)));
    return out;
}

ConstraintRecord to_record(py::handle value, std::size_t position) {
    const std::string where = fmt::format("constraint record {}", position);
    if (!py::isinstance<py::dict>(value) && !py::hasattr(value, "keys"))
        throw py::type_error(fmt::format("{} must be a dict with 'type' and 'fun', got {}", where, describe(value)));
    for (py::handle key : value.attr("keys")()) {
        const std::string k = py::str(key).cast<std::string>();
        if (k != "type" && k != "fun" && k != "jac")
            throw py::value_error(fmt::format("{} has an unknown entry {}: only 'type', 'fun' and 'jac' are read",
                                              where, describe(key)));
    }
    ConstraintRecord record;
    const py::object type = value.attr("get")("type");
    const py::object fun = value.attr("get")("fun");
    const std::string type_text = PyUnicode_Check(type.ptr()) ? type.cast<std::string>() : std::string();
    if (type_text == "eq")
        record.type = ConstraintRecord::Type::eq;
    else if (type_text == "ineq")
        record.type = ConstraintRecord::Type::ineq;
    else
        throw py::value_error(fmt::format("{} 'type' must be 'eq' or 'ineq', got {}", where, describe(type)));

    if (py::isinstance<ConstraintFunction>(fun)) {
        // A record the core made keeps what it knows: its group and side, or that it is the budget.
        const auto& core = *fun.cast<const ConstraintFunction&>().record;
        const auto type_given = record.type;
        record = core;
        record.type = type_given;
        if (record.type != core.type) {
            record.group.clear();
            record.side = ConstraintRecord::Side::none;
            record.budget = false;
        }
    } else if (PyCallable_Check(fun.ptr())) {
        record.fun = [f = PyRef(fun)](const kmo::Vector& x) {
            py::gil_scoped_acquire gil;
            const py::object r = f.get()(to_numpy(x));
            const double v = PyFloat_AsDouble(r.ptr());
            if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            return v;
        };
    } else {
        throw py::type_error(fmt::format("{} 'fun' must be callable, got {}", where, describe(fun)));
    }

    const py::object jac = value.attr("get")("jac");
    // A core function keeps its exact row only with its own gradient.
    if (!jac.is_none()) record.linear = false;
    if (!jac.is_none()) {
        if (!PyCallable_Check(jac.ptr()))
            throw py::type_error(fmt::format("{} 'jac' must be callable, got {}", where, describe(jac)));
        record.jac = [f = PyRef(jac)](const kmo::Vector& x) {
            py::gil_scoped_acquire gil;
            const kmo::Vector g = to_vector(f.get()(to_numpy(x)), "constraint gradient");
            if (g.size() != x.size())
                throw py::value_error(
                    fmt::format("constraint gradient has {} entries for {} weights", g.size(), x.size()));
            return g;
        };
    }
    return record;
}

// A list of records, or one record standing for a list of one.
std::vector<ConstraintRecord> to_records(py::handle value) {
    std::vector<ConstraintRecord> records;
    if (py::isinstance<py::dict>(value)) {
        records.push_back(to_record(value, 0));
        return records;
    }
    if (PyUnicode_Check(value.ptr()) || !py::isinstance<py::iterable>(value))
        throw py::type_error(fmt::format("constraints must be a list of constraint records, got {}", describe(value)));
    for (py::handle item : value) records.push_back(to_record(item, records.size()));
    return records;
}

// Anything offering to_constraint(order_book_ids, date), called back with the GIL taken.
class PyConstraintProvider final : public kmo::ConstraintProvider {
public:
    explicit PyConstraintProvider(py::object cons) : cons_(std::move(cons)) {}
    std::vector<ConstraintRecord> to_constraint(const std::vector<std::string>& order_book_ids,
                                                const kmo::DateTime& date) const override {
        py::gil_scoped_acquire gil;
        return to_records(cons_.get().attr("to_constraint")(py::cast(order_book_ids), from_datetime(date)));
    }

private:
    PyRef cons_;
};

// GICSConstraint, ShenWanConstraint, FundTypeConstraint: the rules are kept as the caller gave
// them and read at each to_constraint, where the core classifies and builds the records.
template <class Core>
struct BuiltinConstraint {
    py::object rules;
    [[nodiscard]] std::shared_ptr<const Core> core() const { return std::make_shared<Core>(to_ranges(rules, "rules")); }
};

template <class Core>
void bind_constraint_class(py::module_& m, const char* name, const char* doc) {
    using C = BuiltinConstraint<Core>;
    py::class_<C>(m, name, doc)
        .def(py::init([](py::object rules) { return C{std::move(rules)}; }), py::arg("rules"))
        .def_readwrite("_rules", &C::rules)
        .def_static("_verify_rules", [](py::handle) {}, py::arg("rules"))
        .def(
            "to_constraint",
            [](const C& self, py::handle order_book_ids, py::handle date) {
                const auto ids = to_string_list(order_book_ids, "order_book_ids");
                const auto dt = to_datetime(date, "date");
                const auto core = self.core();
                std::vector<ConstraintRecord> records;
                {
                    py::gil_scoped_release release;
                    records = core->to_constraint(ids, dt);
                }
                return to_python_records(std::move(records));
            },
            py::arg("order_book_ids"), py::arg("date"),
            "The constraint records for these instruments (weight-vector order): two per ruled group, then the "
            "budget.")
        .def("__repr__", [name](const C& self) -> std::string {
            return fmt::format("{}({})", name, py::repr(self.rules).template cast<std::string>());
        });
}

template <class Core>
bool try_builtin(py::handle cons, std::shared_ptr<const kmo::ConstraintProvider>& out) {
    if (!py::type::handle_of(cons).is(py::type::of<BuiltinConstraint<Core>>())) return false;
    out = cons.template cast<const BuiltinConstraint<Core>&>().core();
    return true;
}

std::shared_ptr<const kmo::ConstraintProvider> to_provider(py::handle cons) {
    if (cons.is_none()) return nullptr;
    // A list or tuple of constraint objects: all their limits, one budget.
    if (PyList_Check(cons.ptr()) || PyTuple_Check(cons.ptr())) {
        std::vector<std::shared_ptr<const kmo::ConstraintProvider>> parts;
        for (py::handle part : cons) {
            if (part.is_none() || PyList_Check(part.ptr()) || PyTuple_Check(part.ptr()))
                throw py::type_error(fmt::format(
                    "cons[{}] must be a constraint object offering to_constraint(order_book_ids, date), got {}",
                    parts.size(), describe(part)));
            parts.push_back(to_provider(part));
        }
        return std::make_shared<kmo::JoinedConstraint>(std::move(parts));
    }
    std::shared_ptr<const kmo::ConstraintProvider> p;
    if (try_builtin<kmo::GICSConstraint>(cons, p) || try_builtin<kmo::ShenWanConstraint>(cons, p) ||
        try_builtin<kmo::FundTypeConstraint>(cons, p))
        return p;
    if (!py::hasattr(cons, "to_constraint"))
        throw py::type_error(
            fmt::format("cons must offer to_constraint(order_book_ids, date), got {}", describe(cons)));
    return std::make_shared<PyConstraintProvider>(py::reinterpret_borrow<py::object>(cons));
}

std::vector<std::string> labels_of(py::handle axis, const char* what) {
    return to_string_list(axis, what);
}

// A pandas DataFrame (or anything with columns, index and to_numpy) labelled on both axes.
kmo::LabelledMatrix to_labelled_matrix(py::handle c_m) {
    if (!py::hasattr(c_m, "columns") || !py::hasattr(c_m, "index") || !py::hasattr(c_m, "to_numpy"))
        throw py::type_error(fmt::format("c_m must be a pandas DataFrame labelled on both axes, got {}", describe(c_m)));
    kmo::LabelledMatrix m;
    m.labels = labels_of(c_m.attr("columns"), "c_m.columns");
    if (labels_of(c_m.attr("index"), "c_m.index") != m.labels)
        throw py::value_error("c_m must carry the same labels, in the same order, on its index and its columns");
    const auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        c_m.attr("to_numpy")(py::arg("dtype") = "float64"));
    if (!a || a.ndim() != 2) throw py::type_error("c_m must hold a two-dimensional table of numbers");
    m.values = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
        a.data(), a.shape(0), a.shape(1));
    return m;
}

kmo::ReturnTable to_return_table(py::handle df) {
    if (!py::hasattr(df, "columns") || !py::hasattr(df, "to_numpy"))
        throw py::type_error(fmt::format("df must be a pandas DataFrame of returns, got {}", describe(df)));
    kmo::ReturnTable t;
    t.columns = labels_of(df.attr("columns"), "df.columns");
    const auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        df.attr("to_numpy")(py::arg("dtype") = "float64"));
    if (!a || a.ndim() != 2) throw py::type_error("df must hold a two-dimensional table of numbers");
    t.values = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
        a.data(), a.shape(0), a.shape(1));
    return t;
}

// One (lower, upper) pair per instrument; None for an absent side.
kmo::BoundsList to_bounds_list(py::handle bounds) {
    if (PyUnicode_Check(bounds.ptr()) || !py::isinstance<py::iterable>(bounds))
        throw py::type_error(fmt::format("bounds must be a list of (lower, upper) pairs, got {}", describe(bounds)));
    kmo::BoundsList list;
    for (py::handle pair : bounds) {
        const std::string where = fmt::format("bounds[{}]", list.size());
        if (PyUnicode_Check(pair.ptr()) || !PySequence_Check(pair.ptr()) || py::len(pair) != 2)
            throw py::type_error(fmt::format("{} must be a (lower, upper) pair, got {}", where, describe(pair)));
        const py::sequence seq = py::reinterpret_borrow<py::sequence>(pair);
        minimize::Bound b;
        if (!seq[0].is_none()) b.lower = to_number(seq[0], where + " lower bound").value();
        if (!seq[1].is_none()) b.upper = to_number(seq[1], where + " upper bound").value();
        list.push_back(b);
    }
    return list;
}

double to_tol(py::handle tol) { return to_number(tol, "tol").value(); }

// The arguments the constrained solvers take after their data and start, converted in the order
// the solvers list them.
struct LimitArgs {
    kmo::BoundsList bounds;
    std::vector<ConstraintRecord> cons;
    int max_iteration;
    double tol;
};
LimitArgs to_limit_args(py::handle bounds, py::handle constraints, py::handle max_iteration, py::handle tol) {
    LimitArgs a{to_bounds_list(bounds), to_records(constraints), 0, 0.0};
    a.max_iteration = to_int(max_iteration, "max_iteration");
    a.tol = to_tol(tol);
    return a;
}

// Runs a solve with the GIL released (it is taken again only to call Python) and hands the
// answer back as an ordered dict.
template <class Solve>
py::dict without_gil(Solve&& solve) {
    kmo::WeightMap weights;
    {
        py::gil_scoped_release release;
        weights = solve();
    }
    return from_weights(weights);
}

}  // namespace

OptimizeCall to_optimize_call(py::handle order_book_ids, py::handle date, py::handle method, py::handle bnds,
                              py::handle cons, py::handle cov_shrinkage, py::handle benchmark,
                              py::handle risk_aversion_coefficient, py::handle window, py::handle max_iteration,
                              py::handle tol, py::handle quiet) {
    const std::vector<std::string> ids = to_string_list(order_book_ids, "order_book_ids");
    if (ids.size() <= 1) {
        // Empty: refused; one identifier: its weight of 1 is checked against the bounds and
        // the constraint records (built on the date), and nothing else is looked at.
        kmo::OptimizeOptions lone;
        if (!bnds.is_none()) lone.bnds = to_ranges(bnds, "bnds");
        lone.cons = to_provider(cons);
        const kmo::DateTime on = lone.cons ? to_datetime(date, "date") : kmo::DateTime{};
        return {ids, on, lone};
    }
    const kmo::DateTime dt = to_datetime(date, "date");
    kmo::OptimizeOptions o;
    o.method = to_method(method);
    if (!bnds.is_none()) o.bnds = to_ranges(bnds, "bnds");
    o.cons = to_provider(cons);
    o.cov_shrinkage = truth(cov_shrinkage);
    if (!benchmark.is_none()) o.benchmark = to_string(benchmark, "benchmark");
    o.risk_aversion_coefficient = to_number(risk_aversion_coefficient, "risk_aversion_coefficient");
    o.window = to_int(window, "window");
    o.max_iteration = to_int(max_iteration, "max_iteration");
    o.tol = to_tol(tol);
    o.quiet = truth(quiet);
    return {ids, dt, o};
}

void bind_optimizer(py::module_& m) {
    // OptimizeMethod: a standard enumeration whose members are not their value texts.
    py::list members;
    for (auto method : kMethods) {
        const std::string_view text = kmo::value_text(method);
        std::string name(text);
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        members.append(py::make_tuple(name, py::str(text.data(), text.size())));
    }
    const py::object optimize_method = py::module_::import("enum").attr("Enum")(
        "OptimizeMethod", members, py::arg("module") = "kelvane_mod_optimizer.optimizer");
    for (std::size_t k = 0; k < kMethods.size(); ++k) {
        const py::object member = optimize_method[py::str(members[k].cast<py::tuple>()[0])];
        method_members[k] = member.ptr();
    }
    m.attr("OptimizeMethod") = optimize_method;
    optimize_method.inc_ref();  // the members above are borrowed from it for as long as Python runs

    py::class_<ConstraintFunction>(m, "ConstraintFunction",
                                   "A constraint function computed in C++; called with a weight vector.")
        .def(
            "__call__",
            [](const ConstraintFunction& f, py::handle x) {
                const kmo::Vector v = to_vector(x, "x");
                return f.record->fun(v);
            },
            py::arg("x"))
        .def(
            "jac",
            [](const ConstraintFunction& f, py::handle x) -> py::object {
                if (!f.record->jac) return py::none();
                return to_numpy(f.record->jac(to_vector(x, "x")));
            },
            py::arg("x"), "The function's gradient at x.");

    bind_constraint_class<kmo::GICSConstraint>(m, "GICSConstraint",
                                               "Limits the total weight of each GICS sector named in the rules.");
    bind_constraint_class<kmo::ShenWanConstraint>(
        m, "ShenWanConstraint", "Limits the total weight of each ShenWan industry named in the rules.");
    bind_constraint_class<kmo::FundTypeConstraint>(m, "FundTypeConstraint",
                                                   "Limits the total weight of each fund type named in the rules.");
    for (const char* cls : {"GICSConstraint", "ShenWanConstraint", "FundTypeConstraint", "ConstraintFunction"})
        m.attr(cls).attr("__module__") = "kelvane_mod_optimizer.optimizer";

    m.def(
        "optimize",
        [](py::handle order_book_ids, py::handle date, py::handle method, py::handle bnds, py::handle cons,
           py::handle cov_shrinkage, py::handle benchmark, py::handle risk_aversion_coefficient, py::handle window,
           py::handle max_iteration, py::handle tol, py::handle quiet) {
            const OptimizeCall call = to_optimize_call(order_book_ids, date, method, bnds, cons, cov_shrinkage, benchmark,
                                                       risk_aversion_coefficient, window, max_iteration, tol, quiet);
            return without_gil([&] { return kmo::optimize(call.ids, call.date, call.options); });
        },
        py::arg("order_book_ids"), py::arg("date"), py::arg("method") = optimize_method.attr("RISK_PARITY"),
        py::arg("bnds") = py::none(), py::arg("cons") = py::none(), py::arg("cov_shrinkage") = true,
        py::arg("benchmark") = py::none(), py::arg("risk_aversion_coefficient") = 1, py::arg("window") = 132,
        py::arg("max_iteration") = 1000, py::arg("tol") = 1e-8, py::arg("quiet") = false,
        "Target weights for order_book_ids on date, adding up to 1, as a dict in ascending weight order.");

    m.def(
        "risk_parity_optimize",
        [](py::handle c_m, py::handle init_weight, py::handle bounds, py::handle max_iteration) {
            const auto cm = to_labelled_matrix(c_m);
            const auto x0 = to_vector(init_weight, "init_weight");
            const auto b = to_bounds_list(bounds);
            const int iters = to_int(max_iteration, "max_iteration");
            return without_gil([&] { return kmo::risk_parity_optimize(cm, x0, b, iters); });
        },
        py::arg("c_m"), py::arg("init_weight"), py::arg("bounds"), py::arg("max_iteration"),
        "Risk parity (log-barrier, L-BFGS-B) over the covariance matrix c_m.");

    m.def(
        "risk_parity_with_cons_optimize",
        [](py::handle c_m, py::handle init_weight, py::handle bounds, py::handle constraints, py::handle max_iteration,
           py::handle tol) {
            const auto cm = to_labelled_matrix(c_m);
            const auto x0 = to_vector(init_weight, "init_weight");
            const LimitArgs a = to_limit_args(bounds, constraints, max_iteration, tol);
            return without_gil([&] { return kmo::risk_parity_with_cons_optimize(cm, x0, a.bounds, a.cons, a.max_iteration, a.tol); });
        },
        py::arg("c_m"), py::arg("init_weight"), py::arg("bounds"), py::arg("constraints"), py::arg("max_iteration"),
        py::arg("tol"), "Risk parity under bounds and constraint records (the smoothed spread polish of the starts "
        "where every record is one of the core's linear rows, the answer moved towards other basins up to 200 "
        "instruments, SLSQP from init_weight beside it up to 100; else SLSQP).");

    m.def(
        "min_variance_optimize",
        [](py::handle c_m, py::handle init_weight, py::handle bounds, py::handle constraints, py::handle max_iteration,
           py::handle tol) {
            const auto cm = to_labelled_matrix(c_m);
            const auto x0 = to_vector(init_weight, "init_weight");
            const LimitArgs a = to_limit_args(bounds, constraints, max_iteration, tol);
            return without_gil([&] { return kmo::min_variance_optimize(cm, x0, a.bounds, a.cons, a.max_iteration, a.tol); });
        },
        py::arg("c_m"), py::arg("init_weight"), py::arg("bounds"), py::arg("constraints"), py::arg("max_iteration"),
        py::arg("tol"), "Minimum portfolio variance under bounds and constraint records (an interior point where every record "
        "is one of the core's linear rows, else SLSQP).");

    m.def(
        "mean_variance_optimize",
        [](py::handle c_m, py::handle init_weight, py::handle risk_aversion_coefficient, py::handle expected_return,
           py::handle bounds, py::handle constraints, py::handle max_iteration, py::handle tol) {
            const auto cm = to_labelled_matrix(c_m);
            const auto x0 = to_vector(init_weight, "init_weight");
            const auto rac = to_number(risk_aversion_coefficient, "risk_aversion_coefficient");
            const auto mu = to_vector(expected_return, "expected_return");
            const LimitArgs a = to_limit_args(bounds, constraints, max_iteration, tol);
            return without_gil([&] { return kmo::mean_variance_optimize(cm, x0, rac, mu, a.bounds, a.cons, a.max_iteration, a.tol); });
        },
        py::arg("c_m"), py::arg("init_weight"), py::arg("risk_aversion_coefficient"), py::arg("expected_return"),
        py::arg("bounds"), py::arg("constraints"), py::arg("max_iteration"), py::arg("tol"),
        "Mean-variance: minimises (λ/2)·xᵀCx − x·μ under bounds and constraint records (an interior point "
        "where every record is one of the core's linear rows, else SLSQP).");

    m.def(
        "min_tracking_error_optimize",
        [](py::handle init_weight, py::handle benchmark, py::handle df, py::handle bounds, py::handle constraints,
           py::handle max_iteration, py::handle tol) {
            const auto x0 = to_vector(init_weight, "init_weight");
            const auto b_returns = to_vector(benchmark, "benchmark");
            const auto table = to_return_table(df);
            const LimitArgs a = to_limit_args(bounds, constraints, max_iteration, tol);
            return without_gil([&] { return kmo::min_tracking_error_optimize(x0, b_returns, table, a.bounds, a.cons, a.max_iteration, a.tol); });
        },
        py::arg("init_weight"), py::arg("benchmark"), py::arg("df"), py::arg("bounds"), py::arg("constraints"),
        py::arg("max_iteration"), py::arg("tol"),
        "Minimum tracking error of the return table df against the benchmark's returns (an interior point "
        "where every record is one of the core's linear rows, else SLSQP).");

    m.def(
        "risk_budgeting_optimize",
        [](py::handle c_m, py::handle bounds, py::handle constraints, py::handle max_iteration, py::handle tol) {
            const auto cm = to_labelled_matrix(c_m);
            const auto b = to_bounds_list(bounds);
            const auto cons = to_records(constraints);
            const int iters = to_int(max_iteration, "max_iteration");
            const double t = to_tol(tol);
            return without_gil([&] { return kmo::risk_budgeting_optimize(cm, b, cons, iters, t); });
        },
        py::arg("c_m"), py::arg("bounds"), py::arg("constraints"), py::arg("max_iteration"), py::arg("tol"),
        "The constrained risk-budgeting portfolio: minimises ½xᵀCx − λ·Σ ln(x_i)/n under the bounds and the "
        "core's linear records, λ such that the weights add up to 1 (an interior point).");

    // For bench/bench_python.py: the same optimize call made `repeats` times from C++ (quiet,
    // default method), so that the cost of the Python layer can be measured in one process.
    m.def(
        "_optimize_repeatedly",
        [](py::handle order_book_ids, py::handle date, int repeats) {
            const auto ids = to_string_list(order_book_ids, "order_book_ids");
            const auto dt = to_datetime(date, "date");
            py::gil_scoped_release release;
            const auto start = std::chrono::steady_clock::now();
            for (int k = 0; k < repeats; ++k) kmo::optimize(ids, dt, {.quiet = true});
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        },
        py::arg("order_book_ids"), py::arg("date"), py::arg("repeats"));

    m.attr("MIN_OPTIMIZE_DATE") = from_datetime(kmo::MIN_OPTIMIZE_DATE);
    py::dict types;
    for (const auto& [code, label] : kmo::INSTRUMENT_TYPE_MAP) types[py::str(code)] = py::str(label);
    m.attr("INSTRUMENT_TYPE_MAP") = py::module_::import("types").attr("MappingProxyType")(types);
}

}  // namespace kv_python
