// Conversions between Python values and the core's types, with errors that name the bad value,
// and a reference to a Python object that may be copied and dropped without holding the GIL.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "kelvane/datetime.hpp"
#include "kelvane_mod_optimizer/definitions.hpp"
#include "kelvane_mod_optimizer/solvers.hpp"

namespace kv_python {

namespace py = pybind11;
namespace kmo = kelvane_mod_optimizer;

// A Python object owned through a std::shared_ptr: copies are counted atomically by the
// shared_ptr, and the last owner takes the GIL to release the object. The core copies its
// callbacks (std::function) freely while the GIL is released; a bare py::object inside them
// would change Python reference counts without the GIL.
class PyRef {
public:
    explicit PyRef(py::object object) : object_(std::make_shared<Holder>(std::move(object))) {}
    // Only with the GIL held.
    [[nodiscard]] const py::object& get() const { return object_->object; }

private:
    struct Holder {
        explicit Holder(py::object o) : object(std::move(o)) {}
        ~Holder() {
            if (!Py_IsInitialized()) {
                object.release();  // the interpreter is gone: nothing left to release
                return;
            }
            py::gil_scoped_acquire gil;
            object = py::object();
        }
        Holder(const Holder&) = delete;
        Holder& operator=(const Holder&) = delete;
        py::object object;
    };
    std::shared_ptr<Holder> object_;
};

// A new exception type `qualified` (module.name) derived from `base`, set as m.name.
py::object make_exception(py::module_& m, const char* qualified, const char* name, PyObject* base, const char* doc);

// make_exception, and every C++ exception of type E that reaches Python raised as the new type
// with its message. The type is returned (the module keeps it alive). Register a base class before
// the classes derived from it: the translator registered last is tried first.
template <class E>
PyObject* register_exception(py::module_& m, const char* qualified, const char* name, PyObject* base,
                             const char* doc) {
    static PyObject* type = nullptr;
    type = make_exception(m, qualified, name, base, doc).release().ptr();
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const E& e) {
            PyErr_SetString(type, e.what());
        }
    });
    return type;
}

// "'abc' (str)": a value and its type for messages.
std::string describe(py::handle value);

// A datetime.datetime (naive), or a datetime.date meaning its midnight.
kelvane::DateTime to_datetime(py::handle value, const char* what);
py::object from_datetime(const kelvane::DateTime& dt);

// An int or a float (not a bool); ints stay integers.
kmo::Number to_number(py::handle value, const std::string& what);
// An int (not a bool) that fits into a C int.
int to_int(py::handle value, const char* what);
// A str.
std::string to_string(py::handle value, const std::string& what);
// Any iterable of str except a str itself.
std::vector<std::string> to_string_list(py::handle value, const char* what);
// A mapping of str to (lower, upper) pairs of numbers, in the mapping's iteration order.
kmo::OrderedMap<kmo::Range> to_ranges(py::handle value, const char* what);
// A one-dimensional sequence of numbers (NumPy array, list, pandas Series).
kmo::Vector to_vector(py::handle value, const char* what);
// The result mapping as a dict in its order.
py::dict from_weights(const kmo::WeightMap& weights);
// A NumPy copy of a vector.
py::array_t<double> to_numpy(const Eigen::VectorXd& x);

}  // namespace kv_python
