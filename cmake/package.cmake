# `cmake --install` puts the headers, the libraries and a CMake package in the prefix, so that
# another project writes find_package(kelvane_mod_optimizer) and links
# kelvane_mod_optimizer::optimizer (or ::kelvane, ::dunlith, ::minimize).
include(CMakePackageConfigHelpers)

set(kv_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kelvane_mod_optimizer)
set_target_properties(kelvane_mod_optimizer PROPERTIES EXPORT_NAME optimizer)

install(TARGETS kelvane dunlith minimize kelvane_mod_optimizer
  EXPORT kelvane_mod_optimizerTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(dir kelvane dunlith minimize kelvane_mod_optimizer)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()
install(TARGETS kelvane-optimize RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT kelvane_mod_optimizerTargets
  NAMESPACE kelvane_mod_optimizer::
  DESTINATION ${kv_package_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kelvane_mod_optimizerConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kelvane_mod_optimizerConfig.cmake
  INSTALL_DESTINATION ${kv_package_dir})
# 0.x: a new minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kelvane_mod_optimizerConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/kelvane_mod_optimizerConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/kelvane_mod_optimizerConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/FindLBFGSB.cmake
  DESTINATION ${kv_package_dir})
