#include "kelvane_mod_optimizer/definitions.hpp"

#include <fmt/format.h>

namespace kelvane_mod_optimizer {

std::string_view value_text(OptimizeMethod method) {
    switch (method) {
        case OptimizeMethod::RISK_PARITY: return "risk_parity";
        case OptimizeMethod::MIN_VARIANCE: return "min_variance";
        case OptimizeMethod::MEAN_VARIANCE: return "mean_variance";
        case OptimizeMethod::MIN_TRACKING_ERROR: return "min_tracking_error";
    }
    throw std::invalid_argument(fmt::format("no OptimizeMethod has the value {}", static_cast<int>(method)));
}

std::string Number::to_string() const {
    if (is_integer()) return fmt::format("{}", std::get<long long>(value_));
    // Shortest round-trip digits; a value that prints as a bare integer gets ".0".
    std::string text = fmt::format("{}", std::get<double>(value_));
    if (text.find_first_of(".eEn") == std::string::npos) text += ".0";  // "n": nan, inf
    return text;
}

}  // namespace kelvane_mod_optimizer
