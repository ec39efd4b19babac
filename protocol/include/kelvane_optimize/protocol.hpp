// The request and response lines of kelvane-optimize: one JSON object per line in, one out.
#pragma once

#include <stdexcept>
#include <string>

namespace kelvane_optimize {

// A request line that is not a valid request (bad JSON, wrong type, unknown or repeated key).
class BadRequest : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Answers one request line with its response line (without the newline). Never throws for
// a bad request or a failed optimisation: both are answered with an "error" object.
std::string answer(const std::string& request_line);

}  // namespace kelvane_optimize
