// kelvane._core: the host's native part (exceptions, user log, instrument records, data source,
// data proxy, environment) over the shared C++ core.
#include "bindings.hpp"

PYBIND11_MODULE(_core, m) {
    m.doc() = "The native part of the kelvane host layer.";
    kv_python::bind_host(m);
}
