// The host seen from Python: exception types, the user log, instrument records, the bundle's
// data source and data proxy, a data proxy written in Python, and the environment.
#include <cstring>
#include <filesystem>

#include <fmt/format.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "bindings.hpp"
#include "convert.hpp"
#include "kelvane/data_source.hpp"
#include "kelvane/environment.hpp"
#include "kelvane/exception.hpp"
#include "kelvane/logger.hpp"

namespace kv_python {

namespace {

using kelvane::Instrument;

// Python's logger "kelvane.user_system_log"; created at import, lives as long as Python.
py::object* user_log = nullptr;

void log_to_python(kelvane::LogLevel level, const std::string& message) {
    if (!Py_IsInitialized()) return;
    py::gil_scoped_acquire gil;
    user_log->attr(level == kelvane::LogLevel::warn ? "warning" : "info")(message);
}

// An instrument record from Python: ours as it is, any other object through its attributes.
Instrument to_instrument(py::handle record) {
    if (py::isinstance<Instrument>(record)) return record.cast<Instrument>();
    Instrument i;
    i.order_book_id = to_string(record.attr("order_book_id"), "instrument record's order_book_id");
    i.type = to_string(record.attr("type"), "instrument record's type");
    i.de_listed_date = to_datetime(record.attr("de_listed_date"), "instrument record's de_listed_date");
    const py::object sector = record.attr("sector_name");
    i.sector_name = sector.is_none() ? std::string() : to_string(sector, "instrument record's sector_name");
    if (py::hasattr(record, "symbol") && !record.attr("symbol").is_none())
        i.symbol = py::str(record.attr("symbol")).cast<std::string>();
    if (py::hasattr(record, "listed_date") && !record.attr("listed_date").is_none())
        i.listed_date = to_datetime(record.attr("listed_date"), "instrument record's listed_date");
    return i;
}

// A data proxy written in Python. The core calls it without the GIL; each call takes it, and
// whatever the object raises travels through the core unchanged (as py::error_already_set).
class PyDataProxy final : public kelvane::DataProxy {
public:
    explicit PyDataProxy(py::object proxy) : proxy_(std::move(proxy)) {}

    std::optional<Instrument> instruments(const std::string& order_book_id) const override {
        py::gil_scoped_acquire gil;
        const py::object r = proxy_.get().attr("instruments")(order_book_id);
        if (r.is_none()) return std::nullopt;
        return to_instrument(r);
    }

    std::vector<std::optional<Instrument>> instruments(const std::vector<std::string>& order_book_ids) const override {
        py::gil_scoped_acquire gil;
        const py::object r = proxy_.get().attr("instruments")(py::cast(order_book_ids));
        std::vector<std::optional<Instrument>> out;
        for (py::handle record : r) {
            if (record.is_none())
                out.emplace_back(std::nullopt);
            else
                out.emplace_back(to_instrument(record));
        }
        if (out.size() != order_book_ids.size())
            throw py::value_error(fmt::format("data proxy's instruments() returned {} records for {} identifiers",
                                              out.size(), order_book_ids.size()));
        return out;
    }

    std::vector<double> history_bars(const std::string& order_book_id, int window, std::string_view frequency,
                                      std::string_view field, const kelvane::DateTime& date,
                                      bool skip_suspended) const override {
        py::gil_scoped_acquire gil;
        const py::object r = proxy_.get().attr("history_bars")(order_book_id, window, py::str(frequency.data(), frequency.size()),
                                                               py::str(field.data(), field.size()), from_datetime(date),
                                                               py::arg("skip_suspended") = skip_suspended);
        const kmo::Vector v = to_vector(r, "data proxy's history_bars() result");
        return std::vector<double>(v.data(), v.data() + v.size());
    }

    std::vector<bool> is_suspended(const std::string& order_book_id, const kelvane::DateTime& date,
                                   int window) const override {
        py::gil_scoped_acquire gil;
        const py::object r = proxy_.get().attr("is_suspended")(order_book_id, from_datetime(date), window);
        std::vector<bool> out;
        if (py::isinstance<py::array>(r)) {
            const auto flags = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(r);
            if (!flags) throw py::error_already_set();
            out.assign(flags.data(), flags.data() + flags.size());
            return out;
        }
        for (py::handle flag : r) {
            const int truth = PyObject_IsTrue(flag.ptr());
            if (truth < 0) throw py::error_already_set();
            out.push_back(truth != 0);
        }
        return out;
    }

    // A proxy of the caller's own may offer trading_dates(dt, count); without it no calendar is known.
    std::vector<kelvane::DateTime> trading_dates(const kelvane::DateTime& date, int window) const override {
        py::gil_scoped_acquire gil;
        if (!py::hasattr(proxy_.get(), "trading_dates")) return {};
        const py::object r = proxy_.get().attr("trading_dates")(from_datetime(date), window);
        std::vector<kelvane::DateTime> out;
        for (py::handle day : r) out.push_back(to_datetime(day, "data proxy's trading_dates() result"));
        return out;
    }

private:
    PyRef proxy_;
};

std::filesystem::path to_path(py::handle value) {
    const py::object fspath = py::module_::import("os").attr("fspath");
    py::object text;
    try {
        text = fspath(value);
    } catch (const py::error_already_set&) {
        throw py::type_error(fmt::format("bundle directory must be a str or an os.PathLike, got {}", describe(value)));
    }
    if (!PyUnicode_Check(text.ptr()))
        throw py::type_error(fmt::format("bundle directory must be a str or an os.PathLike, got {}", describe(value)));
    return std::filesystem::path(text.cast<std::string>());
}

}  // namespace

std::shared_ptr<const kelvane::DataProxy> to_data_proxy(py::handle value) {
    if (value.is_none()) return nullptr;
    if (py::type::handle_of(value).is(py::type::of<kelvane::DataProxy>()))
        return value.cast<std::shared_ptr<kelvane::DataProxy>>();
    for (const char* name : {"instruments", "history_bars", "is_suspended"})
        if (!py::hasattr(value, name))
            throw py::type_error(fmt::format(
                "a data proxy must offer instruments, history_bars and is_suspended; {} has no {}", describe(value), name));
    return std::make_shared<PyDataProxy>(py::reinterpret_borrow<py::object>(value));
}

void bind_host(py::module_& m) {
    // Exceptions: Python classes mirroring the C++ hierarchy, each built from one message text.
    PyObject* user_error = register_exception<kelvane::KVUserError>(
        m, "kelvane.utils.exception.KVUserError", "KVUserError", PyExc_Exception,
        "An error the user (the strategy) caused and can act upon.");
    register_exception<kelvane::KVInvalidArgument>(m, "kelvane.utils.exception.KVInvalidArgument",
                                                   "KVInvalidArgument", user_error,
                                                   "A bad argument or unusable data in a request.");

    // The core's user log goes to Python's logging.
    user_log = new py::object(py::module_::import("logging").attr("getLogger")("kelvane.user_system_log"));
    kelvane::user_system_log.set_sink(log_to_python);

    py::class_<Instrument>(m, "Instrument", "The host's instrument record.")
        .def_readonly("order_book_id", &Instrument::order_book_id)
        .def_readonly("symbol", &Instrument::symbol)
        .def_readonly("type", &Instrument::type)
        .def_property_readonly("listed_date", [](const Instrument& i) { return from_datetime(i.listed_date); })
        .def_property_readonly("de_listed_date", [](const Instrument& i) { return from_datetime(i.de_listed_date); })
        .def_readonly("sector_name", &Instrument::sector_name)
        .def("__repr__", [](const Instrument& i) {
            return fmt::format("Instrument(order_book_id='{}', symbol='{}', type='{}', listed_date={}, "
                               "de_listed_date={}, sector_name='{}')",
                               i.order_book_id, i.symbol, i.type, i.listed_date.to_string(),
                               i.de_listed_date.to_string(), i.sector_name);
        });

    py::class_<kelvane::BaseDataSource, std::shared_ptr<kelvane::BaseDataSource>>(
        m, "BaseDataSource", "The host's market data, read from a bundle directory.")
        .def(py::init([](py::handle path) {
                 const std::filesystem::path dir = to_path(path);
                 py::gil_scoped_release release;
                 return std::make_shared<kelvane::BaseDataSource>(dir);
             }),
             py::arg("path"))
        .def_property_readonly("directory", [](const kelvane::BaseDataSource& s) { return s.directory().string(); });

    py::class_<kelvane::DataProxy, std::shared_ptr<kelvane::DataProxy>>(
        m, "DataProxy", "What strategies and plug-ins use to read market data.")
        .def(py::init([](std::shared_ptr<kelvane::BaseDataSource> source) {
                 return std::make_shared<kelvane::DataProxy>(std::move(source));
             }),
             py::arg("data_source"))
        .def(
            "instruments",
            [](const kelvane::DataProxy& dp, py::handle ids) -> py::object {
                if (PyUnicode_Check(ids.ptr())) {
                    const std::string id = ids.cast<std::string>();
                    std::optional<Instrument> i;
                    {
                        py::gil_scoped_release release;
                        i = dp.instruments(id);
                    }
                    return i ? py::cast(*i) : py::none();
                }
                const std::vector<std::string> list = to_string_list(ids, "order_book_ids");
                std::vector<std::optional<Instrument>> records;
                {
                    py::gil_scoped_release release;
                    records = dp.instruments(list);
                }
                return py::cast(records);
            },
            py::arg("order_book_ids"),
            "The record of one identifier (None when unknown), or a list of records for a sequence of them.")
        .def(
            "history_bars",
            [](const kelvane::DataProxy& dp, py::handle order_book_id, py::handle bar_count, py::handle frequency,
               py::handle field, py::handle dt, bool skip_suspended) {
                const std::string id = to_string(order_book_id, "order_book_id");
                const int window = to_int(bar_count, "bar_count");
                const std::string freq = to_string(frequency, "frequency");
                const std::string f = to_string(field, "field");
                const kelvane::DateTime date = to_datetime(dt, "dt");
                std::vector<double> closes;
                {
                    py::gil_scoped_release release;
                    closes = dp.history_bars(id, window, freq, f, date, skip_suspended);
                }
                return py::array_t<double>(static_cast<py::ssize_t>(closes.size()), closes.data());
            },
            py::arg("order_book_id"), py::arg("bar_count"), py::arg("frequency"), py::arg("field"), py::arg("dt"),
            py::arg("skip_suspended") = false, "Daily closes up to dt, oldest first, as a NumPy array.")
        .def(
            "trading_dates",
            [](const kelvane::DataProxy& dp, py::handle dt, py::handle count) {
                const kelvane::DateTime date = to_datetime(dt, "dt");
                const int window = to_int(count, "count");
                std::vector<kelvane::DateTime> days;
                {
                    py::gil_scoped_release release;
                    days = dp.trading_dates(date, window);
                }
                py::list out;
                for (const auto& day : days) out.append(from_datetime(day));
                return out;
            },
            py::arg("dt"), py::arg("count"),
            "The last count trading days on or before dt's calendar day, oldest first.")
        .def(
            "is_suspended",
            [](const kelvane::DataProxy& dp, py::handle order_book_id, py::handle dt, py::handle count) {
                const std::string id = to_string(order_book_id, "order_book_id");
                const kelvane::DateTime date = to_datetime(dt, "dt");
                const int window = to_int(count, "count");
                std::vector<bool> flags;
                {
                    py::gil_scoped_release release;
                    flags = dp.is_suspended(id, date, window);
                }
                py::array_t<bool> out(static_cast<py::ssize_t>(flags.size()));
                auto view = out.mutable_unchecked<1>();
                for (std::size_t k = 0; k < flags.size(); ++k) view(static_cast<py::ssize_t>(k)) = flags[k];
                return out;
            },
            py::arg("order_book_id"), py::arg("dt"), py::arg("count"),
            "One truth value per trading day of the window ending at dt, as a NumPy array.");

    // The C++ environment behind kelvane.environment.Environment (which keeps the Python side).
    py::class_<kelvane::Environment>(m, "_Environment")
        .def(py::init([]() { return std::make_unique<kelvane::Environment>(nullptr); }))
        .def("_set_data_proxy",
             [](kelvane::Environment& env, py::handle proxy) { env.data_proxy = to_data_proxy(proxy); });

    for (const char* cls : {"Instrument", "DataProxy"}) m.attr(cls).attr("__module__") = "kelvane.data.data_proxy";
    m.attr("BaseDataSource").attr("__module__") = "kelvane.data.base_data_source";
}

}  // namespace kv_python
