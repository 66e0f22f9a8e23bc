# Tests of the self-describing reader, with builders of synthetic directories in that form.
add_library(kestrane_acq_support STATIC support/acq_builders.cpp)
target_link_libraries(kestrane_acq_support PUBLIC kestrane_acq)
target_compile_options(kestrane_acq_support PRIVATE ${KESTRANE_WARNINGS})

kestrane_add_test(acq_codecs_test cpp/acq_codecs_test.cpp LIBS kestrane_acq_support)
kestrane_add_test(acq_layout_test cpp/acq_layout_test.cpp LIBS kestrane_acq_support)
kestrane_add_test(acq_calibration_test cpp/acq_calibration_test.cpp LIBS kestrane_acq_support)
find_package(Threads REQUIRED)
kestrane_add_test(acq_acquisition_test cpp/acq_acquisition_test.cpp
  LIBS kestrane_acq_support kestrane_acquisition_support)
kestrane_add_test(acq_threads_test cpp/acq_threads_test.cpp
  LIBS kestrane_acq_support kestrane_acquisition_support Threads::Threads)
kestrane_add_test(acq_realdata_test cpp/acq_realdata_test.cpp LIBS kestrane_acq_support)
target_compile_definitions(acq_realdata_test PRIVATE KESTRANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
if(TARGET kestrane-acq-scans)
  kestrane_add_test(acq_scans_tool_test cpp/acq_scans_tool_test.cpp
    LIBS kestrane_acq_support kestrane_acquisition_support)
  target_compile_definitions(acq_scans_tool_test PRIVATE
    KESTRANE_ACQ_SCANS_TOOL="$<TARGET_FILE:kestrane-acq-scans>")
  add_dependencies(acq_scans_tool_test kestrane-acq-scans)
endif()
