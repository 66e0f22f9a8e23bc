#include "src/acq/status.hpp"

#include <array>
#include <cstddef>

namespace kestrane::acq {

namespace {

template <class E, std::size_t N>
std::string_view lookup(const std::array<std::string_view, N>& table, E v) noexcept {
  const auto i = static_cast<std::size_t>(v);
  return i < N ? table[i] : std::string_view("?");
}

constexpr std::array<std::string_view, 8> status_words = {
    "ok", "empty", "incomplete", "file_absent", "past_end", "unknown_format", "malformed",
    "uncalibrated"};
constexpr std::array<std::string_view, 3> representation_words = {"profile", "centroid",
                                                                  "channels"};
constexpr std::array<std::string_view, 5> calibration_words = {
    "per-scan", "per-scan-by-index", "default", "axis", "uncalibrated"};
constexpr std::array<std::string_view, 2> polarity_words = {"positive", "negative"};
constexpr std::array<std::string_view, 2> prefer_words = {"profile", "centroid"};

}  // namespace

std::string_view to_string(Status v) noexcept { return lookup(status_words, v); }
std::string_view to_string(Representation v) noexcept { return lookup(representation_words, v); }
std::string_view to_string(CalibrationSource v) noexcept { return lookup(calibration_words, v); }
std::string_view to_string(Polarity v) noexcept { return lookup(polarity_words, v); }
std::string_view to_string(Prefer v) noexcept { return lookup(prefer_words, v); }

std::optional<Prefer> prefer_from_string(std::string_view text) noexcept {
  for (std::size_t i = 0; i < prefer_words.size(); ++i) {
    if (prefer_words[i] == text) return static_cast<Prefer>(i);
  }
  return std::nullopt;
}

}  // namespace kestrane::acq
