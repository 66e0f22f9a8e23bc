# Tests of the mzML writer: codecs, text, vocabulary, pipeline, the written file, and its
# validation by OpenMS and xmllint.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(pugixml REQUIRED)

add_library(kestrane_mzml_support STATIC support/mzml_support.cpp)
target_link_libraries(kestrane_mzml_support PUBLIC kestrane_test_support kestrane_mzml)
target_compile_options(kestrane_mzml_support PRIVATE ${KESTRANE_WARNINGS})

kestrane_add_test(mzml_codec_test cpp/mzml_codec_test.cpp LIBS kestrane_mzml_support)
kestrane_add_test(mzml_text_test cpp/mzml_text_test.cpp LIBS kestrane_mzml)
kestrane_add_test(mzml_cv_test cpp/mzml_cv_test.cpp LIBS kestrane_mzml_support)
kestrane_add_test(mzml_pipeline_test cpp/mzml_pipeline_test.cpp LIBS kestrane_mzml)
kestrane_add_test(mzml_writer_test cpp/mzml_writer_test.cpp
  LIBS kestrane_mzml_support kestrane_acquisition_support OpenSSL::Crypto pugixml::pugixml)
kestrane_add_test(mzml_openms_test cpp/mzml_openms_test.cpp
  LIBS kestrane_mzml_support kestrane_acquisition_support)
