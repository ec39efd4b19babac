// kelvane_mod_optimizer._core: the optimiser's native part over the shared C++ core; the host's
// exception types and user log come from kelvane._core, loaded first.
#include "bindings.hpp"
#include "convert.hpp"
#include "kelvane_mod_optimizer/definitions.hpp"

PYBIND11_MODULE(_core, m) {
    namespace py = pybind11;
    m.doc() = "The native part of kelvane_mod_optimizer.";
    m.attr("__version__") = KV_VERSION;

    // OptimizationFailed is the optimiser's own: a KVUserError of the host's.
    const py::object user_error = py::module_::import("kelvane._core").attr("KVUserError");
    kv_python::register_exception<kelvane_mod_optimizer::OptimizationFailed>(
        m, "kelvane_mod_optimizer.optimizer.OptimizationFailed", "OptimizationFailed", user_error.ptr(),
        "Raised when an optimisation cannot be carried out.");

    kv_python::bind_optimizer(m);
    kv_python::bind_report(m);
    kv_python::bind_protocol(m);
}
