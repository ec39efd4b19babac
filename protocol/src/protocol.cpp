#include "kelvane_optimize/protocol.hpp"
#include "report_json.hpp"

#include <limits>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "kelvane/logger.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kelvane_optimize {
namespace {

namespace kmo = kelvane_mod_optimizer;

// The deepest nesting of arrays and objects a request may have. A request itself nests a few
// levels, an id may nest deeper; but copying and printing a value recurse once a level, and an id
// nested some tens of thousands of levels deep overflowed the stack.
constexpr std::size_t kDeepestNesting = 256;
using json = nlohmann::ordered_json;

struct Request {
    std::vector<std::string> order_book_ids;
    kmo::DateTime date;
    kmo::OptimizeOptions options;
    bool report = false;  // the response also carries the call's report
};

[[noreturn]] void bad_type(const std::string& key, const char* what) {
    throw BadRequest(fmt::format("\"{}\" must be {}", key, what));
}

std::string get_string(const json& v, const std::string& key) {
    if (!v.is_string()) bad_type(key, "a string");
    return v.get<std::string>();
}

bool get_bool(const json& v, const std::string& key) {
    if (!v.is_boolean()) bad_type(key, "a boolean");
    return v.get<bool>();
}

int get_int(const json& v, const std::string& key) {
    if (!v.is_number_integer()) bad_type(key, "an integer");
    if (v.is_number_unsigned() ? v.get<unsigned long long>() > static_cast<unsigned long long>(std::numeric_limits<int>::max())
                               : (v.get<long long>() < std::numeric_limits<int>::min() ||
                                  v.get<long long>() > std::numeric_limits<int>::max()))
        throw BadRequest(fmt::format("\"{}\" is out of range: {}", key, v.dump()));
    return v.get<int>();
}

// Keeps whether the document wrote an integer or a floating-point number.
kmo::Number get_number(const json& v, const std::string& key) {
    if (v.is_number_unsigned() && v.get<unsigned long long>() > static_cast<unsigned long long>(std::numeric_limits<long long>::max()))
        return kmo::Number(v.get<double>());
    if (v.is_number_integer()) return kmo::Number(v.get<long long>());
    if (v.is_number_float()) return kmo::Number(v.get<double>());
    bad_type(key, "a number");
}

// {label: [lower, upper], ...} in document order. `key` names the mapping in messages.
kmo::OrderedMap<kmo::Range> get_ranges(const json& v, const std::string& key) {
    if (!v.is_object()) bad_type(key, "an object of [lower, upper] pairs");
    kmo::OrderedMap<kmo::Range> ranges;
    for (const auto& [label, pair] : v.items()) {
        if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number() || !pair[1].is_number())
            throw BadRequest(fmt::format("\"{}\" entry \"{}\" must be [lower, upper] with two numbers", key, label));
        ranges.insert_or_assign(label, kmo::Range{get_number(pair[0], key), get_number(pair[1], key)});
    }
    return ranges;
}

std::shared_ptr<const kmo::ConstraintProvider> get_cons(const json& v) {
    // An array of such objects: all their limits apply, with one budget.
    if (v.is_array()) {
        std::vector<std::shared_ptr<const kmo::ConstraintProvider>> parts;
        for (const auto& part : v) {
            if (!part.is_object()) bad_type("cons", "an object with \"kind\" and \"rules\", or an array of them");
            parts.push_back(get_cons(part));
        }
        return std::make_shared<kmo::JoinedConstraint>(std::move(parts));
    }
    if (!v.is_object()) bad_type("cons", "an object with \"kind\" and \"rules\", or an array of them");
    for (const auto& [key, value] : v.items())
        if (key != "kind" && key != "rules") throw BadRequest(fmt::format("unknown key \"{}\" in \"cons\"", key));
    if (!v.contains("kind") || !v.contains("rules"))
        bad_type("cons", "an object with \"kind\" and \"rules\"");
    const std::string kind = get_string(v["kind"], "kind");
    kmo::Rules rules = get_ranges(v["rules"], "rules");
    if (kind == "gics") return std::make_shared<kmo::GICSConstraint>(std::move(rules));
    if (kind == "shenwan") return std::make_shared<kmo::ShenWanConstraint>(std::move(rules));
    if (kind == "fund_type") return std::make_shared<kmo::FundTypeConstraint>(std::move(rules));
    throw BadRequest(fmt::format("\"cons\" kind must be \"gics\", \"shenwan\" or \"fund_type\", got \"{}\"", kind));
}

kmo::Method get_method(const json& v) {
    const std::string text = get_string(v, "method");
    for (auto m : {kmo::OptimizeMethod::RISK_PARITY, kmo::OptimizeMethod::MIN_VARIANCE,
                   kmo::OptimizeMethod::MEAN_VARIANCE, kmo::OptimizeMethod::MIN_TRACKING_ERROR})
        if (kmo::value_text(m) == text) return m;
    return text;  // no member: the optimiser refuses it as it refuses any such method
}

// Reads the request; the constraint object is built last, since building it checks its rules.
Request parse(const json& doc) {
    if (!doc.is_object()) throw BadRequest("request must be a JSON object");
    static const char* const known[] = {"order_book_ids", "date", "method", "bnds", "cons", "cov_shrinkage",
                                        "benchmark", "risk_aversion_coefficient", "window", "max_iteration",
                                        "tol", "quiet", "id", "report"};
    for (const auto& [key, value] : doc.items()) {
        bool ok = false;
        for (const char* k : known) ok = ok || key == k;
        if (!ok) throw BadRequest(fmt::format("unknown key \"{}\"", key));
    }
    for (const char* required : {"order_book_ids", "date"})
        if (!doc.contains(required)) throw BadRequest(fmt::format("missing key \"{}\"", required));

    Request r;
    const json& ids = doc["order_book_ids"];
    if (!ids.is_array()) bad_type("order_book_ids", "an array of strings");
    for (const json& id : ids) {
        if (!id.is_string()) bad_type("order_book_ids", "an array of strings");
        r.order_book_ids.push_back(id.get<std::string>());
    }
    const std::string date = get_string(doc["date"], "date");
    try {
        r.date = kmo::DateTime::parse(date);
    } catch (const std::invalid_argument&) {
        throw BadRequest(fmt::format("\"date\" must be \"YYYY-MM-DD\", \"YYYY-MM-DD HH:MM:SS\" or \"YYYY-MM-DDTHH:MM:SS\", got \"{}\"", date));
    }
    auto& o = r.options;
    if (doc.contains("method")) o.method = get_method(doc["method"]);
    if (doc.contains("bnds")) o.bnds = get_ranges(doc["bnds"], "bnds");
    if (doc.contains("cov_shrinkage")) o.cov_shrinkage = get_bool(doc["cov_shrinkage"], "cov_shrinkage");
    if (doc.contains("benchmark")) o.benchmark = get_string(doc["benchmark"], "benchmark");
    if (doc.contains("risk_aversion_coefficient"))
        o.risk_aversion_coefficient = get_number(doc["risk_aversion_coefficient"], "risk_aversion_coefficient");
    if (doc.contains("window")) o.window = get_int(doc["window"], "window");
    if (doc.contains("max_iteration")) o.max_iteration = get_int(doc["max_iteration"], "max_iteration");
    if (doc.contains("tol")) o.tol = get_number(doc["tol"], "tol").value();
    if (doc.contains("quiet")) o.quiet = get_bool(doc["quiet"], "quiet");
    if (doc.contains("cons")) o.cons = get_cons(doc["cons"]);
    if (doc.contains("report")) r.report = get_bool(doc["report"], "report");
    return r;
}

// Parses a request line as JSON. nlohmann's parser keeps the last of two equal keys; a request
// that names a key twice is ambiguous, so the first key written twice in any object is returned
// in `duplicate` (the key and the name of the object holding it, empty at the top level).
json parse_json(const std::string& line, std::optional<std::pair<std::string, std::string>>& duplicate) {
    struct Frame {
        std::string name;  // key under which the object or array stands
        bool object;
        std::unordered_set<std::string> keys;
    };
    std::vector<Frame> frames;
    std::string last_key;
    const auto name_of_new = [&] {
        if (frames.empty()) return std::string();
        return frames.back().object ? last_key : frames.back().name;
    };
    const json::parser_callback_t check = [&](int, json::parse_event_t event, json& parsed) {
        if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
            frames.size() == kDeepestNesting)
            throw BadRequest(fmt::format("request nests arrays and objects more than {} levels deep", kDeepestNesting));
        switch (event) {
            case json::parse_event_t::object_start: frames.push_back({name_of_new(), true, {}}); break;
            case json::parse_event_t::array_start: frames.push_back({name_of_new(), false, {}}); break;
            case json::parse_event_t::object_end:
            case json::parse_event_t::array_end: frames.pop_back(); break;
            case json::parse_event_t::key:
                last_key = parsed.get<std::string>();
                if (!frames.back().keys.insert(last_key).second && !duplicate)
                    duplicate.emplace(last_key, frames.back().name);
                break;
            case json::parse_event_t::value: break;
        }
        return true;
    };
    return json::parse(line, check);
}

json error(const char* type, const char* message) {
    return json{{"type", type}, {"message", message}};
}

}  // namespace

std::string answer(const std::string& request_line) {
    json log = json::array();
    json response = json::object();
    std::optional<json> id;
    std::optional<kmo::Report> report;  // when the request asked for it: filled as far as the call gets
    {
    kelvane::ScopedLogSink capture([&log](kelvane::LogLevel level, const std::string& message) {
        log.push_back(json{{"level", std::string(kelvane::to_string(level))}, {"message", message}});
    });
    try {
        // The parser reads a NUL byte as the end of the text: what follows it would go unread.
        if (const auto nul = request_line.find('\0'); nul != std::string::npos)
            throw BadRequest(fmt::format("request has a NUL byte at offset {}", nul));
        json doc;
        std::optional<std::pair<std::string, std::string>> duplicate;
        try {
            doc = parse_json(request_line, duplicate);
        } catch (const json::exception& e) {  // syntax errors, and numbers too large for a double
            throw BadRequest(fmt::format("request is not valid JSON: {}", e.what()));
        }
        if (doc.is_object() && doc.contains("id")) id = doc["id"];
        if (duplicate) {
            const auto& [key, within] = *duplicate;
            throw BadRequest(within.empty() ? fmt::format("duplicate key \"{}\"", key)
                                            : fmt::format("duplicate key \"{}\" in \"{}\"", key, within));
        }
        const Request r = parse(doc);
        if (r.report) report.emplace();
        const kmo::WeightMap weights = report ? (kmo::optimize_report(r.order_book_ids, r.date, r.options, *report),
                                                 report->weights)
                                              : kmo::optimize(r.order_book_ids, r.date, r.options);
        json pairs = json::array();
        for (const auto& [order_book_id, weight] : weights) pairs.push_back(json::array({order_book_id, weight}));
        response["weights"] = std::move(pairs);
    } catch (const BadRequest& e) {
        response["error"] = error("BadRequest", e.what());
    } catch (const kmo::OptimizationFailed& e) {
        response["error"] = error("OptimizationFailed", e.what());
    } catch (const kelvane::KVInvalidArgument& e) {
        response["error"] = error("KVInvalidArgument", e.what());
    } catch (const kelvane::KVUserError& e) {
        response["error"] = error("KVUserError", e.what());
    } catch (const std::exception& e) {
        // Host or data-client failures, such as a bar file found malformed when first read.
        response["error"] = error("Error", e.what());
    }
    }
    response["log"] = std::move(log);
    if (id) response["id"] = *id;
    if (report) response["report"] = report_json(*report);
    return response.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace kelvane_optimize
