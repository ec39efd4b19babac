# Solver and covariance benchmarks on inputs shared with bench_solvers_scipy.py.
set(bench_inputs ${CMAKE_BINARY_DIR}/bench/inputs)
add_custom_command(OUTPUT ${bench_inputs}/cov_1000.txt
  COMMAND ${KV_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/make_bench_inputs.py ${bench_inputs}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/make_bench_inputs.py
  COMMENT "Writing solver benchmark inputs")
add_custom_target(bench_inputs DEPENDS ${bench_inputs}/cov_1000.txt)
kv_add_benchmark(bench_solvers SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_solvers.cpp LIBS kelvane_mod_optimizer)
target_include_directories(bench_solvers PRIVATE ${PROJECT_SOURCE_DIR}/kelvane_mod_optimizer/src)
target_compile_definitions(bench_solvers PRIVATE KV_BENCH_INPUTS="${bench_inputs}")
add_dependencies(bench_solvers bench_inputs)

kv_add_benchmark(bench_optimize SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_optimize.cpp LIBS kelvane_mod_optimizer)
target_include_directories(bench_optimize PRIVATE ${PROJECT_SOURCE_DIR}/kelvane_mod_optimizer/src)

# Not a Google Benchmark: generated problems under binding limits, against SLSQP from equal weights.
add_executable(limits_quality ${CMAKE_CURRENT_SOURCE_DIR}/limits_quality.cpp)
target_link_libraries(limits_quality PRIVATE kelvane_mod_optimizer)
target_include_directories(limits_quality PRIVATE ${PROJECT_SOURCE_DIR}/kelvane_mod_optimizer/src)
set_target_properties(limits_quality PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_executable(risk_budgeting_scale ${CMAKE_CURRENT_SOURCE_DIR}/risk_budgeting_scale.cpp)
target_link_libraries(risk_budgeting_scale PRIVATE kelvane_mod_optimizer)
target_include_directories(risk_budgeting_scale PRIVATE ${PROJECT_SOURCE_DIR}/kelvane_mod_optimizer/src)
set_target_properties(risk_budgeting_scale PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_executable(industry_neutral ${CMAKE_CURRENT_SOURCE_DIR}/industry_neutral.cpp)
target_link_libraries(industry_neutral PRIVATE kelvane_mod_optimizer)
target_include_directories(industry_neutral PRIVATE ${PROJECT_SOURCE_DIR}/kelvane_mod_optimizer/src)
set_target_properties(industry_neutral PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
