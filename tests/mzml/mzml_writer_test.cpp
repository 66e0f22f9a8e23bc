// The written file read back: index offsets and checksum, arrays bit for bit, the summary; and
// the output's life cycle: atomic replacement, every failure leaving nothing behind.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <pugixml.hpp>
#include <sys/resource.h>
#include <sys/stat.h>

#include <bit>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "src/mzml/writer.hpp"
#include "src/raw/le.hpp"
#include "tests/support/fixed_directory.hpp"
#include "tests/support/mzml_support.hpp"

namespace {

using namespace kestrane::mzml;
namespace ts = kestrane::test_support;
using kestrane::Result;

SourceFile any_source() {
  return {"/data/run.d/AcqData/MSScan.bin", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
          {"MS:1000824", "no nativeID format", ""},
          {"MS:1000560", "mass spectrometer file format", ""}};
}

Result<WriteSummary> write(const ts::SyntheticRun& r, const std::string& path,
                           const WriteOptions& options) {
  const auto spectra = r.spectrum_source();
  const auto chromatograms = r.chromatogram_source();
  return write_mzml(path, r.run, spectra, &chromatograms, options);
}

std::string sha1_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &n, EVP_sha1(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < n; ++i) {
    constexpr char d[] = "0123456789abcdef";
    hex += d[digest[i] >> 4];
    hex += d[digest[i] & 15];
  }
  return hex;
}

// The values of one <binaryDataArray>, decoded as its cvParams say.
std::vector<double> decode_array(pugi::xml_node array) {
  bool float32 = false;
  bool zlib = false;
  for (pugi::xml_node p : array.children("cvParam")) {
    const std::string name = p.attribute("name").value();
    float32 |= name == "32-bit float";
    zlib |= name == "zlib compression";
  }
  auto bytes = ts::base64_decode(array.child_value("binary"));
  const std::size_t n = array.parent().parent().attribute("defaultArrayLength").as_ullong();
  const std::size_t width = float32 ? 4 : 8;
  if (zlib) bytes = ts::zlib_decompress(bytes, n * width);
  EXPECT_EQ(bytes.size(), n * width);
  EXPECT_EQ(array.attribute("encodedLength").as_ullong(),
            std::strlen(array.child_value("binary")));
  std::vector<double> values(n);
  for (std::size_t i = 0; i < n; ++i) {
    values[i] = float32 ? kestrane::raw::load_le<float>(bytes, i * 4)
                        : kestrane::raw::load_le<double>(bytes, i * 8);
  }
  return values;
}

void expect_bits(const std::vector<double>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i])) << i;
  }
}

TEST(MzmlWriter, IndexChecksumAndArraysReadBack) {
  ts::TempDir dir;
  const auto run = ts::synthetic_run(any_source());
  const std::string path = dir.join("out.mzML");
  std::vector<std::size_t> progress;
  WriteOptions options;
  options.progress = [&](std::size_t done, std::size_t total) {
    EXPECT_EQ(total, 7u);
    progress.push_back(done);
  };
  const auto summary = write(run, path, options);
  ASSERT_TRUE(summary.has_value()) << summary.error().display();
  EXPECT_EQ(progress, (std::vector<std::size_t>{1, 2, 3, 4, 5, 6, 7}));

  const std::string text = ts::read_text_file(path);
  EXPECT_EQ(summary->bytes, text.size());
  EXPECT_EQ(summary->spectra, 5u);
  EXPECT_EQ(summary->empty_spectra, 2u);
  EXPECT_EQ(summary->failed_spectra, 1u);
  EXPECT_EQ(summary->chromatograms, 2u);

  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_buffer(text.data(), text.size()));
  const pugi::xml_node indexed = doc.child("indexedmzML");
  const pugi::xml_node mzml_run = indexed.child("mzML").child("run");

  // The checksum covers every byte up to and including <fileChecksum>.
  const std::string open_tag = "<fileChecksum>";
  const std::size_t checksum_at = text.rfind(open_tag) + open_tag.size();
  EXPECT_EQ(indexed.child_value("fileChecksum"),
            sha1_hex(std::string_view(text).substr(0, checksum_at)));

  const std::uint64_t list_offset = std::stoull(indexed.child_value("indexListOffset"));
  EXPECT_EQ(text.compare(list_offset, 11, "<indexList "), 0);

  // Offset k of each index lands on the start tag of element k, whose id is the offset's idRef.
  const struct {
    const char* index;
    const char* list;
    const char* element;
    std::size_t count;
  } kinds[] = {{"spectrum", "spectrumList", "spectrum", 5},
               {"chromatogram", "chromatogramList", "chromatogram", 2}};
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.index);
    const pugi::xml_node index =
        indexed.child("indexList").find_child_by_attribute("index", "name", kind.index);
    pugi::xml_node element = mzml_run.child(kind.list).child(kind.element);
    std::size_t k = 0;
    for (pugi::xml_node offset : index.children("offset")) {
      ASSERT_TRUE(element);
      const std::uint64_t at = std::stoull(offset.child_value());
      const std::string tag =
          "<" + std::string(kind.element) + " index=\"" + std::to_string(k) + "\"";
      EXPECT_EQ(text.compare(at, tag.size(), tag), 0) << "offset " << at;
      EXPECT_STREQ(offset.attribute("idRef").value(), element.attribute("id").value());
      element = element.next_sibling(kind.element);
      ++k;
    }
    EXPECT_EQ(k, kind.count);
    EXPECT_FALSE(element);
  }

  // Arrays come back bit for bit; the failure is a userParam; ids survive escaping.
  std::size_t i = 0;
  for (pugi::xml_node s : mzml_run.child("spectrumList").children("spectrum")) {
    const ts::SyntheticSpectrum& want = run.spectra[i++];
    SCOPED_TRACE(want.input.native_id);
    EXPECT_EQ(s.attribute("id").value(), want.input.native_id);
    const pugi::xml_node arrays = s.child("binaryDataArrayList");
    expect_bits(decode_array(arrays.first_child()), want.mz);
    expect_bits(decode_array(arrays.last_child()), want.intensity);
    EXPECT_EQ(s.find_child_by_attribute("userParam", "name", "conversion failure")
                  .attribute("value")
                  .value(),
              want.input.failure);
  }
  i = 0;
  for (pugi::xml_node c : mzml_run.child("chromatogramList").children("chromatogram")) {
    const ts::SyntheticChromatogram& want = run.chromatograms[i++];
    EXPECT_EQ(c.attribute("id").value(), want.input.id);
    const pugi::xml_node arrays = c.child("binaryDataArrayList");
    expect_bits(decode_array(arrays.first_child()), want.time_min);
    expect_bits(decode_array(arrays.last_child()), want.intensity);
  }
}

TEST(MzmlWriter, ThreadCountDoesNotChangeABit) {
  ts::TempDir dir;
  const auto run = ts::synthetic_run(any_source());
  std::string first;
  for (const unsigned threads : {1u, 2u, 5u}) {
    WriteOptions options;
    options.threads = threads;
    const std::string path = dir.join("t" + std::to_string(threads) + ".mzML");
    ASSERT_TRUE(write(run, path, options).has_value());
    const std::string text = ts::read_text_file(path);
    if (first.empty()) first = text;
    EXPECT_EQ(text, first) << threads << " threads";
  }
}

TEST(MzmlWriter, ReplacesAnExistingFileOnlyWhenAsked) {
  ts::TempDir dir;
  const auto run = ts::synthetic_run(any_source());
  const std::string path = dir.join("out.mzML");
  const std::uint8_t old[] = {'o', 'l', 'd'};
  dir.write_file("out.mzML", old);
  WriteOptions options;
  const auto refused = write(run, path, options);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().display(),
            "I/O error: " + path + " exists and overwrite was not requested");
  EXPECT_EQ(ts::read_text_file(path), "old");
  options.overwrite = true;
  ASSERT_TRUE(write(run, path, options).has_value());
  EXPECT_TRUE(ts::read_text_file(path).starts_with("<?xml"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  // A pipe (or a device: /dev/null) is never replaced by a regular file.
  const std::string pipe = dir.join("pipe.mzML");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const auto kept = write(run, pipe, options);
  ASSERT_FALSE(kept.has_value());
  EXPECT_EQ(kept.error().display(),
            "I/O error: not replaced: " + pipe + " is not a regular file (a device, pipe or socket)");
  EXPECT_TRUE(std::filesystem::is_fifo(pipe));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

// A file size limit, with SIGXFSZ ignored so that writes fail with EFBIG; both undone on exit.
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved);
    previous = std::signal(SIGXFSZ, SIG_IGN);  // else the kernel's signal ends the process
    rlimit limit = saved;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
  }
  rlimit saved{};
  void (*previous)(int) = nullptr;
};

TEST(MzmlWriter, EveryFailureIsAClearErrorAndLeavesNoFile) {
  const struct Case {
    const char* what;
    std::function<void(ts::SyntheticRun&, WriteOptions&, std::string& path, const ts::TempDir&)>
        setup;
    std::string message;  // "<dir>" stands for the temporary directory
    bool full_disk = false;
  } cases[] = {
      {"directory missing",
       [](auto&, auto&, auto& path, auto& dir) { path = dir.join("no/out.mzML"); },
       "I/O error: cannot create a file in <dir>/no: No such file or directory (os error 2)"},
      {"output is a directory",
       [](auto&, auto&, auto& path, auto& dir) {
         dir.make_dir("out.mzML");
         path = dir.join("out.mzML");
       },
       "I/O error: cannot write <dir>/out.mzML: Is a directory (os error 21)"},
      {"arrays of different lengths",
       [](auto& r, auto&, auto&, auto&) {
         r.spectra[1].input.intensity = std::span(r.spectra[1].intensity).first(6);
       },
       "parse error: spectrum 1 (scanId=1003): 7 m/z values but 6 intensities"},
      {"undeclared spectrum type",
       [](auto& r, auto&, auto&, auto&) {
         r.run.spectrum_types = {SpectrumType::ms1, SpectrumType::msn};
       },
       "parse error: spectrum 2 (scanId=1007): SIM spectrum is not among the run's spectrum types"},
      {"chromatogram arrays of different lengths",
       [](auto& r, auto&, auto&, auto&) { r.chromatograms[0].input.time_min = {}; },
       "parse error: chromatogram 0 (channel=1): 0 times but 5 intensities"},
      {"compression level", [](auto&, auto& o, auto&, auto&) { o.compression_level = 13; },
       "parse error: compression level 13 is not between 0 and 12"},
      {"cancelled after two spectra",
       [](auto&, auto& o, auto&, auto&) {
         auto cancel = std::make_shared<kestrane::StopFlag>();
         o.cancel = cancel.get();
         o.progress = [cancel](std::size_t done, std::size_t) {
           if (done >= 2) cancel->request();
         };
       },
       "I/O error: conversion cancelled"},
      {"reader error", [](auto& r, auto&, auto&, auto&) { r.failing_read = 3; },
       "I/O error: Input/output error (os error 5)"},
      {"full disk", [](auto&, auto&, auto&, auto&) {},
       "I/O error: cannot write <dir>/out.mzML: File too large (os error 27)", true},
  };
  for (const unsigned threads : {1u, 3u}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.what << ", " << threads << " threads");
      ts::TempDir dir;
      auto run = ts::synthetic_run(any_source());
      WriteOptions options;
      options.threads = threads;
      std::string path = dir.join("out.mzML");
      c.setup(run, options, path, dir);
      std::optional<FileSizeLimit> limit;
      if (c.full_disk) limit.emplace(4096);
      const auto r = write(run, path, options);
      limit.reset();
      ASSERT_FALSE(r.has_value());
      std::string message = c.message;
      if (const auto at = message.find("<dir>"); at != std::string::npos) {
        message.replace(at, 5, dir.path());
      }
      EXPECT_EQ(r.error().display(), message);
      for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
        EXPECT_TRUE(entry.is_directory()) << "left behind: " << entry.path();
      }
    }
  }
}

}  // namespace
