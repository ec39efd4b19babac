// The command-line tool's request/response protocol, one JSON object per request.
#include "bindings.hpp"
#include "kelvane_optimize/protocol.hpp"

namespace kv_python {

void bind_protocol(py::module_& m) {
    m.def(
        "answer_request",
        [](const std::string& request_line) {
            py::gil_scoped_release release;
            return kelvane_optimize::answer(request_line);
        },
        py::arg("request_line"),
        "Answers one request line of kelvane-optimize (a JSON object) with its response line, over the current "
        "environment's data proxy; the call's user-log messages go into the response, not to logging.");
}

}  // namespace kv_python
