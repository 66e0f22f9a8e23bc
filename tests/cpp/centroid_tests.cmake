# Tests of peak picking over synthetic profiles.
kestrane_add_test(centroid_test cpp/centroid_test.cpp LIBS kestrane_centroid)
