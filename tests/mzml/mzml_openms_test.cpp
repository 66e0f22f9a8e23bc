// The written file as its consumers see it: OpenMS's FileInfo validates it against the schema and
// semantically, finds a valid index with the right counts and no corrupt data, and xmllint
// validates it against the indexed mzML schema OpenMS ships. A corrupted index offset must make
// FileInfo fail, which shows that these checks can fail. Skipped where the tools are absent.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "tests/support/fixed_directory.hpp"
#include "tests/support/mzml_support.hpp"

namespace {

using namespace kestrane::mzml;
namespace ts = kestrane::test_support;

std::optional<std::string> find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

struct Outcome {
  int status;  // exit status, or -1
  std::string output;  // stdout and stderr
};

Outcome run(const std::string& command) {
  Outcome o{-1, {}};
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return o;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) o.output.append(buffer, n);
  const int status = ::pclose(p);
  if (status != -1 && WIFEXITED(status)) o.status = WEXITSTATUS(status);
  return o;
}

std::string shell_quoted(const std::string& s) { return "'" + s + "'"; }

class MzmlOpenMs : public ::testing::Test {
 protected:
  void SetUp() override {
    file_info_ = find_program("FileInfo");
    xmllint_ = find_program("xmllint");
    obo_ = ts::psi_ms_obo_path();
    if (!file_info_ || !xmllint_ || !obo_) {
      GTEST_SKIP() << "OpenMS's FileInfo, xmllint or psi-ms.obo absent (Debian packages topp, "
                      "libxml2-utils)";
    }
    // The names of the source file's format terms come from the vocabulary, as the validator
    // compares them with it.
    const auto terms = ts::read_obo(*obo_);
    ASSERT_TRUE(terms.has_value());
    const SourceFile source{dir_.join("run.d/AcqData/MSScan.bin"),
                            "da39a3ee5e6b4b0d3255bfef95601890afd80709",
                            {"MS:1001508", terms->at("MS:1001508").name, ""},
                            {"MS:1001509", terms->at("MS:1001509").name, ""}};
    const auto r = ts::synthetic_run(source);
    const auto spectra = r.spectrum_source();
    const auto chromatograms = r.chromatogram_source();
    path_ = dir_.join("synthetic.mzML");
    WriteOptions options;
    options.threads = 2;
    const auto written = write_mzml(path_, r.run, spectra, &chromatograms, options);
    ASSERT_TRUE(written.has_value()) << written.error().display();
  }

  Outcome file_info(const std::string& flag, const std::string& path) const {
    return run(shell_quoted(*file_info_) + " -in " + shell_quoted(path) + " " + flag);
  }

  ts::TempDir dir_;
  std::optional<std::string> file_info_, xmllint_, obo_;
  std::string path_;
};

TEST_F(MzmlOpenMs, ValidAndSemanticallyValid) {
  const Outcome o = file_info("-v", path_);
  EXPECT_EQ(o.status, 0) << o.output;
  // FileInfo exits with 0 after a failed semantic validation too: the text is what counts.
  EXPECT_NE(o.output.find("Success - the file is valid!"), std::string::npos) << o.output;
  EXPECT_NE(o.output.find("Success - the file is semantically valid!"), std::string::npos)
      << o.output;
}

TEST_F(MzmlOpenMs, IndexValidWithTheRightCounts) {
  const Outcome o = file_info("-i", path_);
  EXPECT_EQ(o.status, 0) << o.output;
  const std::string found =
      "Found a valid indexed mzML XML File with 5 spectra and 2 chromatograms.";
  EXPECT_NE(o.output.find(found), std::string::npos) << o.output;
}

TEST_F(MzmlOpenMs, NoCorruptData) {
  const Outcome o = file_info("-c", path_);
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_NE(o.output.find("-- Checking for corrupt data --"), std::string::npos) << o.output;
  EXPECT_EQ(o.output.find("Error"), std::string::npos) << o.output;
}

TEST_F(MzmlOpenMs, SchemaValidForXmllint) {
  const std::string schema =
      obo_->substr(0, obo_->rfind("/CV/")) + "/SCHEMAS/mzML_idx_1_10.xsd";  // indexed mzML 1.1
  const Outcome o = run(shell_quoted(*xmllint_) + " --noout --schema " + shell_quoted(schema) +
                        " " + shell_quoted(path_));
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_NE(o.output.find("validates"), std::string::npos) << o.output;
}

TEST_F(MzmlOpenMs, CorruptedIndexOffsetFailsTheIndexCheck) {
  std::string text = ts::read_text_file(path_);
  const std::string tag = "<offset idRef=\"scanId=1007\">";
  const std::size_t at = text.find(tag);
  ASSERT_NE(at, std::string::npos);
  const std::size_t digit = text.find('<', at + tag.size()) - 1;
  text[digit] = text[digit] == '9' ? '8' : static_cast<char>(text[digit] + 1);
  const std::string bad = dir_.join("bad.mzML");
  std::ofstream(bad, std::ios::binary) << text;
  const Outcome o = file_info("-i", bad);
  EXPECT_NE(o.status, 0) << o.output;
  EXPECT_EQ(o.output.find("Found a valid indexed mzML"), std::string::npos) << o.output;
}

}  // namespace
