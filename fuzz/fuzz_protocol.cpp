// Fuzzes kelvane-optimize's request lines over the sample bundle: every line is answered with one
// JSON object that holds either weights or a typed error, its log, and the request's id.
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "check.hpp"
#include "sample_host.hpp"
#include "kelvane_optimize/protocol.hpp"

namespace {

using json = nlohmann::ordered_json;

// More iterations only make a request slower, not different in kind.
constexpr long long kMaxIterations = 1000;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    open_sample_host();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const json request = json::parse(line, nullptr, false);
    if (request.is_object() && request.contains("max_iteration")) {
        const json& m = request["max_iteration"];
        if (m.is_number_integer() && m.get<long long>() > kMaxIterations &&
            m.get<long long>() <= std::numeric_limits<int>::max())
            return 0;
    }

    const std::string answer = kelvane_optimize::answer(line);
    KV_FUZZ_CHECK(answer.find('\n') == std::string::npos, answer);
    const json response = json::parse(answer, nullptr, false);
    KV_FUZZ_CHECK(response.is_object(), answer);
    KV_FUZZ_CHECK(response.contains("log") && response["log"].is_array(), answer);
    KV_FUZZ_CHECK(response.contains("weights") != response.contains("error"), answer);
    if (response.contains("error")) {
        const std::string type = response["error"]["type"];
        KV_FUZZ_CHECK(type == "BadRequest" || type == "KVInvalidArgument" || type == "OptimizationFailed", answer);
    } else {
        double sum = 0.0;
        for (const json& pair : response["weights"]) {
            KV_FUZZ_CHECK(pair.is_array() && pair.size() == 2 && pair[0].is_string() && pair[1].is_number(), answer);
            const double w = pair[1].get<double>();
            KV_FUZZ_CHECK(std::isfinite(w), answer);
            sum += w;
        }
        KV_FUZZ_CHECK(std::abs(sum - 1.0) <= 1e-6, answer);
    }
    // The id comes back with the answer of every line that is one JSON object, except a line the
    // protocol refuses as a whole before reading its id: one with a NUL byte (the parser here
    // stops at it) or one nested deeper than the protocol takes.
    const bool refused_whole =
        line.find('\0') != std::string::npos ||
        (response.contains("error") &&
         response["error"]["message"].get<std::string>().starts_with("request nests arrays and objects more than"));
    if (request.is_object() && request.contains("id") && !refused_whole) {
        KV_FUZZ_CHECK(response.contains("id") && response["id"] == request["id"], answer);
    }
    return 0;
}
