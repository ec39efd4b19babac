// dunlith._core: the market-data client's native part over the shared C++ core.
#include "bindings.hpp"

PYBIND11_MODULE(_core, m) {
    m.doc() = "The native part of the dunlith market-data client.";
    // The host's exception types (a query can fail with KVInvalidArgument) and user log.
    pybind11::module_::import("kelvane._core");
    kv_python::bind_dunlith(m);
}
