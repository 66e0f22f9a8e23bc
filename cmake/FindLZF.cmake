# liblzf, the reference LZF implementation that tests, benchmarks and fuzz targets compare the
# project's decoder with (Debian: liblzf-dev). Defines LZF_FOUND and the target LZF::LZF.
find_path(LZF_INCLUDE_DIR lzf.h PATH_SUFFIXES liblzf)
find_library(LZF_LIBRARY lzf)
mark_as_advanced(LZF_INCLUDE_DIR LZF_LIBRARY)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(LZF REQUIRED_VARS LZF_LIBRARY LZF_INCLUDE_DIR)

if(LZF_FOUND AND NOT TARGET LZF::LZF)
  add_library(LZF::LZF UNKNOWN IMPORTED)
  set_target_properties(LZF::LZF PROPERTIES
    IMPORTED_LOCATION "${LZF_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${LZF_INCLUDE_DIR}")
endif()
