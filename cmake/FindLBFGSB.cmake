# Finds Debian's reference L-BFGS-B library (liblbfgsb: Fortran, no header) and defines the
# imported target LBFGSB::lbfgsb.
find_library(LBFGSB_LIBRARY NAMES lbfgsb)
mark_as_advanced(LBFGSB_LIBRARY)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(LBFGSB REQUIRED_VARS LBFGSB_LIBRARY)
if(LBFGSB_FOUND AND NOT TARGET LBFGSB::lbfgsb)
  add_library(LBFGSB::lbfgsb UNKNOWN IMPORTED)
  set_target_properties(LBFGSB::lbfgsb PROPERTIES IMPORTED_LOCATION "${LBFGSB_LIBRARY}")
endif()
