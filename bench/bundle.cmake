# The host layer on a large bundle (written to the temporary directory on first run).
kv_add_benchmark(bench_bundle SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_bundle.cpp LIBS kelvane fmt::fmt)
