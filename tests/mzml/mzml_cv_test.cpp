// The writer's vocabulary table against the vocabulary files that OpenMS ships: every accession
// exists, every name is spelled as there, and every unit is one the term allows. The names the
// build copied from the vocabulary for the converter's source file terms are checked the same way.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "src/convert/generated.hpp"
#include "src/mzml/cv.hpp"
#include "tests/support/mzml_support.hpp"

namespace {

using namespace kestrane::mzml;
namespace ts = kestrane::test_support;

TEST(MzmlCv, EveryTermAndUnitAsTheVocabularySpellsIt) {
  const auto path = ts::psi_ms_obo_path();
  if (!path) GTEST_SKIP() << "psi-ms.obo absent (install topp, or set KESTRANE_PSI_MS_OBO)";
  const auto ms = ts::read_obo(*path);
  ASSERT_TRUE(ms.has_value());
  // Unit Ontology terms live in unit.obo beside psi-ms.obo.
  const std::string dir = path->substr(0, path->rfind('/') + 1);
  const auto uo = ts::read_obo(dir + "unit.obo");
  ASSERT_TRUE(uo.has_value()) << "unit.obo absent beside " << *path;

  const auto lookup = [&](std::string_view accession) -> const ts::OboTerm* {
    const auto& terms = accession.starts_with("UO:") ? *uo : *ms;
    const auto it = terms.find(std::string(accession));
    return it == terms.end() ? nullptr : &it->second;
  };
  for (const UnitTerm& u : unit_table()) {
    SCOPED_TRACE(u.accession);
    const ts::OboTerm* t = lookup(u.accession);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->name, u.name);
  }
  for (const CvTerm& c : cv_table()) {
    SCOPED_TRACE(c.accession);
    const ts::OboTerm* t = lookup(c.accession);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->name, c.name);
    if (c.unit != Unit::none) {
      const std::string unit(unit_term(c.unit).accession);
      EXPECT_NE(std::find(t->units.begin(), t->units.end(), unit), t->units.end())
          << unit << " is not among the term's units";
    }
  }
}

TEST(MzmlCv, GeneratedSourceFileTermNamesAsTheVocabularySpellsThem) {
  const auto path = ts::psi_ms_obo_path();
  if (!path) GTEST_SKIP() << "psi-ms.obo absent (install topp, or set KESTRANE_PSI_MS_OBO)";
  const auto ms = ts::read_obo(*path);
  ASSERT_TRUE(ms.has_value());
  namespace c = kestrane::convert;
  for (const auto& [accession, name] :
       {std::pair{c::native_id_format_accession, c::native_id_format_name},
        std::pair{c::file_format_accession, c::file_format_name}}) {
    SCOPED_TRACE(accession);
    const auto it = ms->find(std::string(accession));
    ASSERT_NE(it, ms->end());
    EXPECT_EQ(it->second.name, name);
  }
}

}  // namespace
