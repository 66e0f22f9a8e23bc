#include "src/mzml/cv.hpp"

#include <array>
#include <cstddef>

namespace kestrane::mzml {

namespace {

constexpr std::array<CvTerm, 46> cv_terms{{
    {"MS:1000511", "ms level", Unit::none},
    {"MS:1000579", "MS1 spectrum", Unit::none},
    {"MS:1000580", "MSn spectrum", Unit::none},
    {"MS:1000582", "SIM spectrum", Unit::none},
    {"MS:1000128", "profile spectrum", Unit::none},
    {"MS:1000127", "centroid spectrum", Unit::none},
    {"MS:1000130", "positive scan", Unit::none},
    {"MS:1000129", "negative scan", Unit::none},
    {"MS:1000285", "total ion current", Unit::none},
    {"MS:1000504", "base peak m/z", Unit::mz},
    {"MS:1000505", "base peak intensity", Unit::detector_counts},
    {"MS:1000528", "lowest observed m/z", Unit::mz},
    {"MS:1000527", "highest observed m/z", Unit::mz},
    {"MS:1000016", "scan start time", Unit::minute},
    {"MS:1000827", "isolation window target m/z", Unit::mz},
    {"MS:1000828", "isolation window lower offset", Unit::mz},
    {"MS:1000829", "isolation window upper offset", Unit::mz},
    {"MS:1000041", "charge state", Unit::none},
    {"MS:1000744", "selected ion m/z", Unit::mz},
    {"MS:1000045", "collision energy", Unit::electronvolt},
    {"MS:1000133", "collision-induced dissociation", Unit::none},
    {"MS:1000514", "m/z array", Unit::mz},
    {"MS:1000515", "intensity array", Unit::detector_counts},
    {"MS:1000595", "time array", Unit::minute},
    {"MS:1000523", "64-bit float", Unit::none},
    {"MS:1000521", "32-bit float", Unit::none},
    {"MS:1000574", "zlib compression", Unit::none},
    {"MS:1000576", "no compression", Unit::none},
    {"MS:1000569", "SHA-1", Unit::none},
    {"MS:1000544", "Conversion to mzML", Unit::none},
    {"MS:1000799", "custom unreleased software tool", Unit::none},
    {"MS:1000031", "instrument model", Unit::none},
    {"MS:1000008", "ionization type", Unit::none},
    {"MS:1000084", "time-of-flight", Unit::none},
    {"MS:1000026", "detector type", Unit::none},
    {"MS:1000795", "no combination", Unit::none},
    {"MS:1001472", "selected ion monitoring chromatogram", Unit::none},
    {"MS:1000035", "peak picking", Unit::none},
    {"MS:1000235", "total ion current chromatogram", Unit::none},
    {"MS:1000628", "basepeak chromatogram", Unit::none},
    {"MS:1002312", "MS-Numpress linear prediction compression", Unit::none},
    {"MS:1002313", "MS-Numpress positive integer compression", Unit::none},
    {"MS:1002314", "MS-Numpress short logged float compression", Unit::none},
    {"MS:1002746", "MS-Numpress linear prediction compression followed by zlib compression",
     Unit::none},
    {"MS:1002747", "MS-Numpress positive integer compression followed by zlib compression",
     Unit::none},
    {"MS:1002748", "MS-Numpress short logged float compression followed by zlib compression",
     Unit::none},
}};
static_assert(cv_terms.size() == static_cast<std::size_t>(Cv::numpress_slof_zlib) + 1);

constexpr std::array<UnitTerm, 4> unit_terms{{
    {"MS:1000040", "m/z"},
    {"MS:1000131", "number of detector counts"},
    {"UO:0000031", "minute"},
    {"UO:0000266", "electronvolt"},
}};
static_assert(unit_terms.size() == static_cast<std::size_t>(Unit::electronvolt));

constexpr std::array<CvSource, 2> sources{{
    {"MS", "Proteomics Standards Initiative Mass Spectrometry Ontology", "4.1.28",
     "https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo"},
    {"UO", "Unit Ontology", "12:10:2011",
     "https://raw.githubusercontent.com/bio-ontology-research-group/unit-ontology/master/unit.obo"},
}};

}  // namespace

const CvTerm& term(Cv cv) noexcept { return cv_terms[static_cast<std::size_t>(cv)]; }

const UnitTerm& unit_term(Unit unit) noexcept {
  return unit_terms[static_cast<std::size_t>(unit) - 1];
}

std::span<const CvTerm> cv_table() noexcept { return cv_terms; }
std::span<const UnitTerm> unit_table() noexcept { return unit_terms; }
std::span<const CvSource> cv_sources() noexcept { return sources; }

}  // namespace kestrane::mzml
