#include "kelvane/environment.hpp"

#include <atomic>
#include <stdexcept>

namespace kelvane {

namespace {
std::atomic<Environment*> current{nullptr};
}

Environment::Environment(std::nullptr_t) { current.store(this); }

Environment::~Environment() {
    Environment* self = this;
    current.compare_exchange_strong(self, nullptr);
}

Environment& Environment::get_instance() {
    Environment* env = current.load();
    if (!env) throw std::logic_error("no kelvane Environment has been created");
    return *env;
}

}  // namespace kelvane
