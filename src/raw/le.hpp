// The only place where bytes of the data files become numbers: little-endian, any alignment.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>

namespace kestrane::raw {

namespace detail {
template <std::size_t N>
struct UnsignedOfSizeT;
template <>
struct UnsignedOfSizeT<2> {
  using type = std::uint16_t;
};
template <>
struct UnsignedOfSizeT<4> {
  using type = std::uint32_t;
};
template <>
struct UnsignedOfSizeT<8> {
  using type = std::uint64_t;
};
}  // namespace detail

// Reads a T stored little-endian at `off`. The caller has checked that sizeof(T) bytes exist.
template <class T>
T load_le(const std::uint8_t* p) noexcept {
  using U = typename detail::UnsignedOfSizeT<sizeof(T)>::type;
  U u;
  std::memcpy(&u, p, sizeof u);
  if constexpr (std::endian::native == std::endian::big) u = std::byteswap(u);
  return std::bit_cast<T>(u);
}

template <class T>
T load_le(std::span<const std::uint8_t> b, std::size_t off) noexcept {
  return load_le<T>(b.data() + off);
}

}  // namespace kestrane::raw
