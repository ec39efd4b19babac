// The parts of the extension module kelvane_mod_optimizer._core, each adding its names.
#pragma once

#include <memory>

#include <pybind11/pybind11.h>

#include "kelvane/data_proxy.hpp"
#include "kelvane_mod_optimizer/driver.hpp"

namespace kv_python {

namespace py = pybind11;

// Exceptions, the user log, instrument records, data source, data proxy and environment.
void bind_host(py::module_& m);
// OptimizeMethod, optimize, the constraint classes, the solvers and the constants.
void bind_optimizer(py::module_& m);
// The market-data client and its stand-in.
void bind_dunlith(py::module_& m);
// The command-line tool's request/response protocol.
void bind_protocol(py::module_& m);

// optimize()'s arguments as Python gave them, converted (with the GIL held). For one identifier
// only the bounds, the constraints and (with constraints) the date are read: nothing else is
// looked at.
struct OptimizeCall {
    std::vector<std::string> ids;
    kelvane::DateTime date;
    kelvane_mod_optimizer::OptimizeOptions options;
};
OptimizeCall to_optimize_call(py::handle order_book_ids, py::handle date, py::handle method, py::handle bnds,
                              py::handle cons, py::handle cov_shrinkage, py::handle benchmark,
                              py::handle risk_aversion_coefficient, py::handle window, py::handle max_iteration,
                              py::handle tol, py::handle quiet);
// optimize_report: the report of an optimize call, as plain Python values.
void bind_report(py::module_& m);

// The core's view of a data proxy given from Python: our own DataProxy as it is, any other
// object offering instruments, history_bars and is_suspended called back with the GIL taken.
std::shared_ptr<const kelvane::DataProxy> to_data_proxy(py::handle value);

}  // namespace kv_python
