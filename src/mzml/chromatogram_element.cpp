#include "src/mzml/document.hpp"

namespace kestrane::mzml {

Result<void> encode_chromatogram(const ChromatogramInput& c, std::size_t index,
                                 ArrayEncoder& encoder, EncodedItem& item) {
  if (c.time_min.size() != c.intensity.size()) {
    return unequal_lengths("chromatogram", index, c.id, c.time_min.size(), "times",
                           c.intensity.size());
  }
  item.id = c.id;
  item.points = c.time_min.size();
  item.failed = false;
  item.xml.clear();

  Element chromatogram(item.xml, item_depth, "chromatogram",
                       {{"index", index}, {"id", c.id}, {"defaultArrayLength", c.time_min.size()}});
  chromatogram.cv_param(chromatogram_type_term(c.type));
  if (c.precursor_mz) {
    Element precursor = chromatogram.child("precursor");
    isolation_window(precursor, *c.precursor_mz);
    // The schema requires an activation; nothing is known of it.
    precursor.empty_child("activation");
  }
  if (c.product_mz) {
    Element product = chromatogram.child("product");
    isolation_window(product, *c.product_mz);
  }
  binary_data_array_list(chromatogram, encoder, Cv::time_array, c.time_min, c.intensity);
  return {};
}

}  // namespace kestrane::mzml
