# Tests of the converter from acquisition directories to mzML.
kestrane_add_test(convert_test cpp/convert_test.cpp
  LIBS kestrane_convert kestrane_acq_support kestrane_mzml_support kestrane_acquisition_support
  pugixml::pugixml)
