// libkelvane_native: the C++ core (host layer, data client, minimisers, optimiser, protocol) in
// one shared library, so that the three extension modules share its singletons (the current
// environment, the user log, the data client's session). Its code comes from the static
// libraries linked in whole; this file only gives the library a translation unit of its own.
namespace kv_python {
[[maybe_unused]] constexpr int native_library = 1;
}  // namespace kv_python
