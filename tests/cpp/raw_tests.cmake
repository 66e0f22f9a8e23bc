# Tests of the raw modules: errors, byte-range reads, LZF, peak and profile blocks.
set(_raw_tests ${CMAKE_CURRENT_LIST_DIR})

kestrane_add_test(error_test ${_raw_tests}/error_test.cpp)
kestrane_add_test(read_bytes_test ${_raw_tests}/read_bytes_test.cpp)
kestrane_add_test(lzf_test ${_raw_tests}/lzf_test.cpp)
kestrane_add_test(mspeak_test ${_raw_tests}/mspeak_test.cpp)
kestrane_add_test(msprofile_test ${_raw_tests}/msprofile_test.cpp)
kestrane_add_test(float_exact_test ${_raw_tests}/float_exact_test.cpp)

# The decoder against liblzf, on streams liblzf's own compressor produced.
kestrane_add_test(lzf_differential_test ${_raw_tests}/lzf_differential_test.cpp LIBS LZF::LZF)
