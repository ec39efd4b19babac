// kelvane_mod_optimizer._core: the one extension module over the C++ core. The Python packages
// kelvane, dunlith and kelvane_mod_optimizer re-export its names under their public paths.
#include "bindings.hpp"

PYBIND11_MODULE(_core, m) {
    m.doc() = "The C++ core of kelvane_mod_optimizer and of the host layer it runs on.";
    m.attr("__version__") = KV_VERSION;
    kv_python::bind_host(m);
    kv_python::bind_optimizer(m);
    kv_python::bind_report(m);
    kv_python::bind_dunlith(m);
    kv_python::bind_protocol(m);
}
