// The only place where bytes of the data files become numbers: little-endian, any alignment.
#pragma once

#include <bit>
#include <cstddef>
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

// Reads a T (u16, u32, u64, float or double) stored little-endian at byte `off` of `b`, at any
// alignment. The caller has checked that sizeof(T) bytes exist there.
template <class T>
T load_le(std::span<const std::uint8_t> b, std::size_t off) noexcept {
  using U = typename detail::UnsignedOfSizeT<sizeof(T)>::type;
  U u;
  std::memcpy(&u, b.data() + off, sizeof u);
  if constexpr (std::endian::native == std::endian::big) u = std::byteswap(u);
  return std::bit_cast<T>(u);
}

}  // namespace kestrane::raw
