// The host's environment: one per process, reached through Environment::get_instance().
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>

#include "kelvane/data_proxy.hpp"

namespace kelvane {

// A shared pointer that threads may read while another thread replaces it. Every read returns
// a reference of its own, which keeps the object alive however the slot changes afterwards.
template <class T>
class SharedSlot {
public:
    SharedSlot() = default;
    SharedSlot(const SharedSlot&) = delete;
    SharedSlot& operator=(const SharedSlot&) = delete;

    SharedSlot& operator=(std::shared_ptr<T> value) {
        {
            std::lock_guard lock(mutex_);
            std::swap(value_, value);
        }
        return *this;  // the replaced object is released outside the lock
    }
    [[nodiscard]] std::shared_ptr<T> load() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    operator std::shared_ptr<T>() const { return load(); }
    // slot->f() calls f on a reference held until the end of the expression.
    std::shared_ptr<T> operator->() const { return load(); }
    explicit operator bool() const { return load() != nullptr; }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<T> value_;
};

class Environment {
public:
    // Creating an environment makes it the current one (config is not used here).
    explicit Environment(std::nullptr_t config = nullptr);
    ~Environment();
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    // The current environment; throws std::logic_error when none was created.
    static Environment& get_instance();

    // Assigned with `env.data_proxy = proxy`, read with `env.data_proxy.load()`; one thread may
    // replace it while others read it.
    SharedSlot<const DataProxy> data_proxy;
};

}  // namespace kelvane
