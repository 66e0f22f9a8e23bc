#include "src/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

namespace kestrane {
namespace {

std::string platform_text(int os_errno) { return std::strerror(os_errno); }

// display() is the kind's prefix followed by message().
struct DisplayCase {
  const char* name;
  Error error;
  const char* kind;
  std::string message;
};

// Test names, not bytes, in failure reports.
void PrintTo(const DisplayCase& c, std::ostream* os) { *os << c.name; }

class ErrorDisplay : public testing::TestWithParam<DisplayCase> {};

TEST_P(ErrorDisplay, RendersWholeText) {
  EXPECT_EQ(GetParam().error.message(), GetParam().message);
  EXPECT_EQ(GetParam().error.display(), GetParam().kind + GetParam().message);
}

constexpr const char* io = "I/O error: ";
constexpr const char* parse = "parse error: ";

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrorDisplay,
    testing::Values(
        DisplayCase{"MissingFile", Error::io_os(ENOENT), io,
                    platform_text(ENOENT) + " (os error 2)"},
        DisplayCase{"InvalidArgument", Error::io_os(EINVAL), io,
                    platform_text(EINVAL) + " (os error 22)"},
        DisplayCase{"NumberWithoutDescription", Error::io_os(4321), io,
                    platform_text(4321) + " (os error 4321)"},
        DisplayCase{"WithContext", Error::io_os(EFBIG, "cannot write out.mzML"), io,
                    "cannot write out.mzML: " + platform_text(EFBIG) + " (os error 27)"},
        DisplayCase{"ShortRead", Error::io_message("failed to fill whole buffer"), io,
                    "failed to fill whole buffer"},
        // An empty fixed text stays a fixed text, never an OS error numbered 0.
        DisplayCase{"EmptyFixedText", Error::io_message(""), io, ""},
        DisplayCase{"Parse", Error::parse("LZF: invalid back reference"), parse,
                    "LZF: invalid back reference"},
        DisplayCase{"ParseWithNumber", Error::parse("Invalid MSScan magic: 0"), parse,
                    "Invalid MSScan magic: 0"},
        DisplayCase{"ParseKeepsMessageVerbatim", Error::parse(" (os error 2)"), parse,
                    " (os error 2)"}),
    [](const testing::TestParamInfo<DisplayCase>& p) { return std::string(p.param.name); });

TEST(ErrorDisplay, MissingFileUsesTheSystemDescriptionAndNumber) {
  // The description comes from the platform; the frame around it is fixed.
  const std::string text = Error::io_os(ENOENT).display();
  EXPECT_EQ(text.rfind("I/O error: ", 0), 0u) << text;
  EXPECT_TRUE(text.ends_with(" (os error 2)")) << text;
  EXPECT_GT(text.size(), std::string("I/O error:  (os error 2)").size()) << text;
}

TEST(ErrorKind, IoAndParseAreTellableApart) {
  EXPECT_TRUE(Error::io_os(ENOENT).is_io());
  EXPECT_FALSE(Error::io_os(ENOENT).is_parse());
  EXPECT_TRUE(Error::io_message("failed to fill whole buffer").is_io());
  EXPECT_TRUE(Error::parse("x").is_parse());
  EXPECT_FALSE(Error::parse("x").is_io());
  // The number survives a context; a fixed text has none.
  EXPECT_EQ(Error::io_os(EFBIG, "cannot write out.mzML").os_errno(), EFBIG);
  EXPECT_EQ(Error::io_message("cannot write out.mzML").os_errno(), 0);
}

TEST(OsErrorText, MatchesStrerror) {
  for (const int os_errno : {EPERM, ENOENT, EINTR, EISDIR, EINVAL, ESPIPE, ENAMETOOLONG, 4321}) {
    SCOPED_TRACE(os_errno);
    EXPECT_EQ(os_error_text(os_errno), platform_text(os_errno));
  }
}

TEST(ParseErrorHelper, BuildsAnUnexpectedParseError) {
  const Result<int> result = parse_error("Truncated MSPeak.bin block");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().display(), "parse error: Truncated MSPeak.bin block");
}

}  // namespace
}  // namespace kestrane
