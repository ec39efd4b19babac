// The host's exception types. Each is built from one message text.
#pragma once

#include <stdexcept>
#include <string>

namespace kelvane {

// An error the user (the strategy) caused and can act upon.
class KVUserError : public std::runtime_error {
public:
    explicit KVUserError(const std::string& message) : std::runtime_error(message) {}
};

// A bad argument or unusable data in a request.
class KVInvalidArgument : public KVUserError {
public:
    explicit KVInvalidArgument(const std::string& message) : KVUserError(message) {}
};

}  // namespace kelvane
