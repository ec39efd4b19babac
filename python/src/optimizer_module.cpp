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
    static PyObject* optimization_failed = nullptr;
    optimization_failed = kv_python::make_exception(m, "kelvane_mod_optimizer.optimizer.OptimizationFailed",
                                                    "OptimizationFailed", user_error.ptr(),
                                                    "Raised when an optimisation cannot be carried out.")
                              .release()
                              .ptr();
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const kelvane_mod_optimizer::OptimizationFailed& e) {
            PyErr_SetString(optimization_failed, e.what());
        }
    });

    kv_python::bind_optimizer(m);
    kv_python::bind_report(m);
    kv_python::bind_protocol(m);
}
