// The host's environment: one per process, reached through Environment::get_instance().
#pragma once

#include <cstddef>
#include <memory>

#include "kelvane/data_proxy.hpp"

namespace kelvane {

class Environment {
public:
    // Creating an environment makes it the current one (config is not used here).
    explicit Environment(std::nullptr_t config = nullptr);
    ~Environment();
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    // The current environment; throws std::logic_error when none was created.
    static Environment& get_instance();

    std::shared_ptr<const DataProxy> data_proxy;
};

}  // namespace kelvane
