// Text of the document: escaping, numbers, XML IDs and file URIs.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "src/mzml/xml.hpp"

namespace {

using namespace kestrane::mzml;

TEST(MzmlEscape, EscapesMarkupAndReplacesWhatXmlCannotCarry) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"scanId=17", "scanId=17"},
      {R"(a<b>&"c"'d')", "a&lt;b&gt;&amp;&quot;c&quot;&apos;d&apos;"},
      {"tab\tline\ncr\r", "tab&#9;line&#10;cr&#13;"},
      {std::string("nul\0x", 5), "nul\xEF\xBF\xBDx"},
      {"\x01\x1f\x7f", "\xEF\xBF\xBD\xEF\xBF\xBD\x7f"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"\xC3", "\xEF\xBF\xBD"},                              // truncated sequence
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},              // overlong '/'
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate U+D800
      {"\xEF\xBF\xBE", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // U+FFFE
      {"\xEF\xBF\xBD", "\xEF\xBF\xBD"},                      // U+FFFD itself is fine
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string out = "[";
    append_escaped(out, c.in);
    EXPECT_EQ(out, "[" + c.out);
  }
}

TEST(MzmlNumbers, ShortestTextThatReadsBackExactly) {
  const struct {
    double value;
    std::string text;
  } cases[] = {
      {0.0, "0"},
      {-0.0, "-0"},
      {0.1, "0.1"},
      {611.2999878, "611.2999878"},
      {1e300, "1e+300"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out;
    append_double(out, c.value);
    EXPECT_EQ(out, c.text);
    if (std::isfinite(c.value)) {
      double back = 0;
      std::from_chars(out.data(), out.data() + out.size(), back);
      EXPECT_EQ(std::signbit(back), std::signbit(c.value));
      EXPECT_EQ(back, c.value);
    }
  }
  std::string out;
  append_uint(out, 18446744073709551615u);
  EXPECT_EQ(out, "18446744073709551615");
}

TEST(MzmlNames, IdsAreNcNamesAndLocationsAreUris) {
  const struct {
    std::string in, ncname;
  } ids[] = {
      {"run_1", "run_1"}, {"sample 01.d", "sample_01.d"}, {"01", "_01"},
      {"-x", "_-x"},      {"", "_"},                      {"a:b/c\xC3\xA9", "a_b_c__"},
  };
  for (const auto& c : ids) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(to_ncname(c.in), c.ncname);
  }
  EXPECT_EQ(file_uri("/data/run 1.d/AcqData"), "file:///data/run%201.d/AcqData");
  EXPECT_EQ(file_uri("/a/b%#?\xC3\xA9~"), "file:///a/b%25%23%3F%C3%A9~");
}

}  // namespace
