#include "kelvane/environment.hpp"

#include <stdexcept>

namespace kelvane {

namespace {
Environment* current = nullptr;
}

Environment::Environment(std::nullptr_t) { current = this; }

Environment::~Environment() {
    if (current == this) current = nullptr;
}

Environment& Environment::get_instance() {
    if (!current) throw std::logic_error("no kelvane Environment has been created");
    return *current;
}

}  // namespace kelvane
