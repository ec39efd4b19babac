#include "convert.hpp"

#include <datetime.h>

#include <limits>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace kv_python {

namespace {

void import_datetime() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw py::error_already_set();
    }
}

bool is_numpy(py::handle value, const char* abstract_type) {
    static const py::object* numpy = new py::object(py::module_::import("numpy"));  // lives as long as Python
    return py::isinstance(value, numpy->attr(abstract_type));
}

bool is_text(py::handle value) { return PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()); }

}  // namespace

py::object make_exception(py::module_& m, const char* qualified, const char* name, PyObject* base, const char* doc) {
    PyObject* type = PyErr_NewExceptionWithDoc(qualified, doc, base, nullptr);
    if (!type) throw py::error_already_set();
    py::object t = py::reinterpret_steal<py::object>(type);
    m.attr(name) = t;
    return t;
}

std::string describe(py::handle value) {
    std::string text = py::repr(value).cast<std::string>();
    if (text.size() > 80) text = text.substr(0, 77) + "...";
    return fmt::format("{} ({})", text, py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>());
}

kelvane::DateTime to_datetime(py::handle value, const char* what) {
    import_datetime();
    PyObject* p = value.ptr();
    if (PyDateTime_Check(p)) {
        if (py::handle(p).attr("tzinfo").is_none() == false)
            throw py::type_error(fmt::format("{} must be a naive datetime (without tzinfo), got {}", what, describe(value)));
        return kelvane::DateTime(PyDateTime_GET_YEAR(p), PyDateTime_GET_MONTH(p), PyDateTime_GET_DAY(p),
                                 PyDateTime_DATE_GET_HOUR(p), PyDateTime_DATE_GET_MINUTE(p),
                                 PyDateTime_DATE_GET_SECOND(p));
    }
    if (PyDate_Check(p)) return kelvane::DateTime(PyDateTime_GET_YEAR(p), PyDateTime_GET_MONTH(p), PyDateTime_GET_DAY(p));
    throw py::type_error(fmt::format("{} must be a datetime.datetime or a datetime.date, got {}", what, describe(value)));
}

py::object from_datetime(const kelvane::DateTime& dt) {
    import_datetime();
    PyObject* p = PyDateTime_FromDateAndTime(dt.year, dt.month, dt.day, dt.hour, dt.minute, dt.second, 0);
    if (!p) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(p);
}

kmo::Number to_number(py::handle value, const std::string& what) {
    PyObject* p = value.ptr();
    if (!PyBool_Check(p)) {
        if (PyLong_Check(p) || is_numpy(value, "integer")) {
            const long long v = PyLong_AsLongLong(py::int_(py::reinterpret_borrow<py::object>(value)).ptr());
            if (v == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return kmo::Number(py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>());
            }
            return kmo::Number(v);
        }
        if (PyFloat_Check(p) || is_numpy(value, "floating"))
            return kmo::Number(py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>());
    }
    throw py::type_error(fmt::format("{} must be an int or a float, got {}", what, describe(value)));
}

int to_int(py::handle value, const char* what) {
    PyObject* p = value.ptr();
    if (PyBool_Check(p) || !(PyLong_Check(p) || is_numpy(value, "integer")))
        throw py::type_error(fmt::format("{} must be an int, got {}", what, describe(value)));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(py::int_(py::reinterpret_borrow<py::object>(value)).ptr(), &overflow);
    if (overflow != 0 || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        throw py::value_error(fmt::format("{} is out of range: {}", what, describe(value)));
    return static_cast<int>(v);
}

std::string to_string(py::handle value, const std::string& what) {
    if (!PyUnicode_Check(value.ptr())) throw py::type_error(fmt::format("{} must be a str, got {}", what, describe(value)));
    return value.cast<std::string>();
}

std::vector<std::string> to_string_list(py::handle value, const char* what) {
    if (is_text(value) || !py::isinstance<py::iterable>(value))
        throw py::type_error(fmt::format("{} must be a sequence of str, got {}", what, describe(value)));
    std::vector<std::string> out;
    if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) out.reserve(py::len(value));
    for (py::handle item : value) {
        if (!PyUnicode_Check(item.ptr()))
            throw py::type_error(fmt::format("{}[{}] must be a str, got {}", what, out.size(), describe(item)));
        out.push_back(item.cast<std::string>());
    }
    return out;
}

kmo::OrderedMap<kmo::Range> to_ranges(py::handle value, const char* what) {
    if (!py::hasattr(value, "items") || is_text(value))
        throw py::type_error(fmt::format("{} must be a mapping of (lower, upper) pairs, got {}", what, describe(value)));
    kmo::OrderedMap<kmo::Range> ranges;
    for (py::handle item : value.attr("items")()) {
        const py::tuple entry = py::reinterpret_borrow<py::tuple>(item);
        const py::handle key = entry[0];
        const py::handle pair = entry[1];
        if (!PyUnicode_Check(key.ptr()))
            throw py::type_error(fmt::format("{} keys must be str, got {}", what, describe(key)));
        const std::string label = key.cast<std::string>();
        if (is_text(pair) || !PySequence_Check(pair.ptr()))
            throw py::type_error(
                fmt::format("{}['{}'] must be a (lower, upper) pair, got {}", what, label, describe(pair)));
        if (py::len(pair) != 2)
            throw py::value_error(
                fmt::format("{}['{}'] must be a (lower, upper) pair, got {}", what, label, describe(pair)));
        const py::sequence seq = py::reinterpret_borrow<py::sequence>(pair);
        const std::string where = fmt::format("{}['{}']", what, label);
        ranges.insert_or_assign(label, kmo::Range{to_number(seq[0], where + " lower bound"),
                                                  to_number(seq[1], where + " upper bound")});
    }
    return ranges;
}

kmo::Vector to_vector(py::handle value, const char* what) {
    if (is_text(value)) throw py::type_error(fmt::format("{} must be a sequence of numbers, got {}", what, describe(value)));
    const auto not_numbers = [&] {
        return py::type_error(fmt::format("{} must be a sequence of numbers, got {}", what, describe(value)));
    };
    // Text is not read as numbers, even where NumPy would convert it ("1.0").
    if (py::isinstance<py::array>(value)) {
        const char kind = value.cast<py::array>().dtype().kind();
        if (kind == 'U' || kind == 'S') throw not_numbers();
    }
    py::array_t<double, py::array::c_style | py::array::forcecast> a;
    try {
        // ensure() clears the error of a value NumPy cannot convert and returns an empty array.
        a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(value);
    } catch (const py::error_already_set&) {
        throw not_numbers();
    }
    if (!a) throw not_numbers();
    if (a.ndim() != 1)
        throw py::value_error(fmt::format("{} must be one-dimensional, got an array of shape ({})", what,
                                          fmt::join(a.shape(), a.shape() + a.ndim(), ", ")));
    return Eigen::Map<const kmo::Vector>(a.data(), a.shape(0));
}

py::dict from_weights(const kmo::WeightMap& weights) {
    py::dict d;
    for (const auto& [id, w] : weights) d[py::str(id)] = py::float_(w);
    return d;
}

py::array_t<double> to_numpy(const Eigen::VectorXd& x) {
    return py::array_t<double>(x.size(), x.data());
}

}  // namespace kv_python
