# Tests of the scan index parser and the Reader, with their builders of synthetic acquisitions.
find_package(Threads REQUIRED)

add_library(kestrane_acquisition_support STATIC support/acquisition.cpp)
target_link_libraries(kestrane_acquisition_support PUBLIC kestrane_test_support)
target_compile_options(kestrane_acquisition_support PRIVATE ${KESTRANE_WARNINGS})

kestrane_add_test(msscan_test cpp/msscan_test.cpp LIBS kestrane_acquisition_support)
kestrane_add_test(reader_test cpp/reader_test.cpp LIBS kestrane_acquisition_support)
kestrane_add_test(spectra_test cpp/spectra_test.cpp LIBS kestrane_acquisition_support)
kestrane_add_test(arena_test cpp/arena_test.cpp)
kestrane_add_test(reader_threads_test cpp/reader_threads_test.cpp
  LIBS kestrane_acquisition_support Threads::Threads)

if(TARGET kestrane-scans)
  kestrane_add_test(kestrane_scans_test cpp/kestrane_scans_test.cpp
    LIBS kestrane_acquisition_support)
  target_compile_definitions(kestrane_scans_test PRIVATE
    KESTRANE_SCANS_TOOL="$<TARGET_FILE:kestrane-scans>")
  add_dependencies(kestrane_scans_test kestrane-scans)
endif()
