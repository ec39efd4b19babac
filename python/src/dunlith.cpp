// The market-data client seen from Python.
#include <fmt/format.h>

#include "bindings.hpp"
#include "convert.hpp"
#include "dunlith/dunlith.hpp"

namespace kv_python {

namespace {

py::object to_address_pair(py::handle address, dunlith::Address& out) {
    if (PyUnicode_Check(address.ptr()) || !PySequence_Check(address.ptr()) || py::len(address) != 2)
        throw py::type_error(fmt::format("address must be a (host, port) pair, got {}", describe(address)));
    const py::sequence seq = py::reinterpret_borrow<py::sequence>(address);
    out.first = to_string(seq[0], "address host");
    out.second = to_int(seq[1], "address port");
    return py::none();
}

// A data client written in Python: the object offers shenwan_instrument_industry(order_book_id,
// date) (None, or an indexable value whose element 1 is the industry name) and
// fund.instruments(order_book_id) (None, or a record with fund_type), as the dunlith module does.
class PyClient final : public dunlith::Client {
public:
    explicit PyClient(py::object client) : client_(std::move(client)) {}

    std::optional<dunlith::ShenWanIndustry> shenwan_instrument_industry(const std::string& order_book_id,
                                                                        const kelvane::DateTime& date) const override {
        py::gil_scoped_acquire gil;
        const py::object r = client_.get().attr("shenwan_instrument_industry")(order_book_id, from_datetime(date));
        if (r.is_none()) return std::nullopt;
        dunlith::ShenWanIndustry industry;
        industry.industry_name = to_string(r[py::int_(1)], "ShenWan industry name (element 1 of the answer)");
        industry.industry_code = py::str(r[py::int_(0)]).cast<std::string>();
        return industry;
    }

    std::optional<dunlith::fund::FundRecord> fund_instruments(const std::string& order_book_id) const override {
        py::gil_scoped_acquire gil;
        const py::object r = client_.get().attr("fund").attr("instruments")(order_book_id);
        if (r.is_none()) return std::nullopt;
        return dunlith::fund::FundRecord{order_book_id, to_string(r.attr("fund_type"), "fund record's fund_type")};
    }

private:
    PyRef client_;
};

}  // namespace

void bind_dunlith(py::module_& m) {
    m.def(
        "dunlith_init",
        [](py::handle user, py::handle password, py::handle address, py::handle bundle_dir) {
            const std::string u = to_string(user, "user");
            const std::string p = to_string(password, "password");
            dunlith::Address a;
            to_address_pair(address, a);
            if (bundle_dir.is_none()) {
                py::gil_scoped_release release;
                dunlith::init(u, p, a);
                return;
            }
            const std::string dir = py::str(py::module_::import("os").attr("fspath")(bundle_dir)).cast<std::string>();
            py::gil_scoped_release release;
            dunlith::init(u, p, a, dir);
        },
        py::arg("user"), py::arg("password"), py::arg("address"), py::arg("bundle_dir") = py::none());

    m.def(
        "dunlith_shenwan_instrument_industry",
        [](py::handle order_book_id, py::handle date) -> py::object {
            const std::string id = to_string(order_book_id, "order_book_id");
            const kelvane::DateTime dt = to_datetime(date, "date");
            std::optional<dunlith::ShenWanIndustry> industry;
            {
                py::gil_scoped_release release;
                industry = dunlith::shenwan_instrument_industry(id, dt);
            }
            if (!industry) return py::none();
            return py::make_tuple(industry->industry_code, industry->industry_name);
        },
        py::arg("order_book_id"), py::arg("date"));

    m.def(
        "dunlith_fund_instruments",
        [](py::handle order_book_id) -> py::object {
            const std::string id = to_string(order_book_id, "order_book_id");
            std::optional<dunlith::fund::FundRecord> record;
            {
                py::gil_scoped_release release;
                record = dunlith::fund::instruments(id);
            }
            if (!record) return py::none();
            return py::make_tuple(record->order_book_id, record->fund_type);
        },
        py::arg("order_book_id"));

    m.def(
        "dunlith_set_client",
        [](py::handle client) {
            std::shared_ptr<const dunlith::Client> c;
            if (!client.is_none()) c = std::make_shared<PyClient>(py::reinterpret_borrow<py::object>(client));
            dunlith::set_client(std::move(c));
        },
        py::arg("client"));
}

}  // namespace kv_python
