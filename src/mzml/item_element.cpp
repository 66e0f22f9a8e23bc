#include "src/mzml/document.hpp"

#include <string>
#include <utility>

#include "src/mzml/base64.hpp"

namespace kestrane::mzml {

namespace {

// The compression term of a packed array: zlib, none, or its Numpress code with or without zlib.
Cv compression_term(const PackedArray& packed) {
  const bool z = packed.compressed;
  switch (packed.numpress) {
    case Numpress::linear: return z ? Cv::numpress_linear_zlib : Cv::numpress_linear;
    case Numpress::pic: return z ? Cv::numpress_pic_zlib : Cv::numpress_pic;
    case Numpress::slof: return z ? Cv::numpress_slof_zlib : Cv::numpress_slof;
    case Numpress::none: break;
  }
  return z ? Cv::zlib_compression : Cv::no_compression;
}

// One <binaryDataArray>; `kind` is the array's term (m/z, intensity or time array).
void binary_data_array(Element& list, Cv kind, const PackedArray& packed) {
  Element array =
      list.child("binaryDataArray", {{"encodedLength", base64_length(packed.bytes.size())}});
  array.cv_param(packed.width == Width::float32 ? Cv::float32 : Cv::float64);
  array.cv_param(compression_term(packed));
  array.cv_param(kind);
  if (packed.bytes.empty()) {
    array.empty_child("binary");
  } else {
    TextElement binary = array.text_child("binary");
    append_base64(array.out(), packed.bytes);
  }
}

}  // namespace

std::string item_label(std::string_view kind, std::size_t i, std::string_view id) {
  std::string s(kind);
  s.push_back(' ');
  append_uint(s, i);
  s.append(" (");
  s.append(id);
  s.append(")");
  return s;
}

std::unexpected<Error> unequal_lengths(std::string_view kind, std::size_t i, std::string_view id,
                                       std::size_t n, std::string_view axis, std::size_t m) {
  std::string text = item_label(kind, i, id) + ": ";
  append_uint(text, n);
  text.push_back(' ');
  text.append(axis);
  text.append(" but ");
  append_uint(text, m);
  text.append(" intensities");
  return parse_error(std::move(text));
}

void isolation_window(Element& parent, double target_mz, std::optional<double> lower_offset,
                      std::optional<double> upper_offset) {
  Element window = parent.child("isolationWindow");
  window.cv_param(Cv::isolation_window_target_mz, target_mz);
  if (lower_offset) window.cv_param(Cv::isolation_window_lower_offset, *lower_offset);
  if (upper_offset) window.cv_param(Cv::isolation_window_upper_offset, *upper_offset);
}

void binary_data_array_list(Element& parent, ArrayEncoder& encoder, Cv axis_kind,
                            std::span<const double> axis, std::span<const double> intensity) {
  Element list = parent.child("binaryDataArrayList", {{"count", 2}});
  binary_data_array(list, axis_kind, encoder.pack(axis, false, encoder.numpress().axis));
  binary_data_array(list, Cv::intensity_array,
                    encoder.pack(intensity, true, encoder.numpress().intensity));
}

}  // namespace kestrane::mzml
