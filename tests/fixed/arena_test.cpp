#include "src/reader/arena.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/types.hpp"

namespace kestrane::reader {
namespace {

struct Block {
  std::uint8_t* p;
  std::size_t n;
};

// Up to this many bytes at each end of a block are filled and checked.
constexpr std::size_t edge = 1 << 16;

void fill_edges(const Block& b, std::uint8_t value) {
  if (b.n == 0) return;
  std::memset(b.p, value, std::min(b.n, edge));
  std::memset(b.p + b.n - std::min(b.n, edge), value, std::min(b.n, edge));
}

bool edges_hold(const Block& b, std::uint8_t value) {
  for (std::size_t i = 0; i < std::min(b.n, edge); ++i) {
    if (b.p[i] != value || b.p[b.n - 1 - i] != value) return false;
  }
  return true;
}

// Blocks of many sizes, across several regions, one larger than any region: each aligned,
// writable at both ends, and not overlapping another (every block keeps its own fill).
TEST(ArrayArena, BlocksAreAlignedDisjointAndWritable) {
  ArrayArena arena;
  std::vector<Block> blocks;
  const std::size_t sizes[] = {1, 7, 8, 24, 4096, 160000, 80000, std::size_t{3} << 20, 0, 17,
                               std::size_t{300} << 20, 12, std::size_t{5} << 20};
  std::size_t requested = 0;
  for (int round = 0; round < 2; ++round) {
    for (const std::size_t n : sizes) {
      for (const std::size_t align : {1, 4, 8, 16}) {
        auto* p = static_cast<std::uint8_t*>(arena.allocate(n, align));
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(p) % align, 0u);
        blocks.push_back({p, n});
        fill_edges(blocks.back(), static_cast<std::uint8_t>(blocks.size()));
        requested += n;
      }
    }
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_TRUE(edges_hold(blocks[i], static_cast<std::uint8_t>(i + 1))) << "block " << i;
  }
  EXPECT_GE(arena.allocated_bytes(), requested);
  EXPECT_LT(arena.allocated_bytes(), requested + 16 * blocks.size());
}

std::size_t mapped_kib() {
  std::size_t kib = 0;
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    if (std::sscanf(line, "VmSize: %zu kB", &kib) == 1) break;
  }
  std::fclose(f);
  return kib;
}

// A reader's arena starts small: many readers alive at once must not need gigabytes of address
// space each.
TEST(ArrayArena, SmallUseTakesLittleAddressSpace) {
  const std::size_t before = mapped_kib();
  std::vector<std::unique_ptr<ArrayArena>> arenas;
  for (int i = 0; i < 64; ++i) {
    arenas.push_back(std::make_unique<ArrayArena>());
    void* p = arenas.back()->allocate(1000, 8);
    std::memset(p, 1, 1000);
  }
  // 64 arenas with one small block each: far below 64 regions of 256 MiB.
  EXPECT_LT(mapped_kib() - before, std::size_t{1} << 20);
}

// Regions double only up to their cap: 2 GiB handed out in 1 MiB blocks, never touched, maps
// less than one capped region more than that. Doubling without the cap would map up to twice it.
TEST(ArrayArena, RegionGrowthStopsAtItsCap) {
  constexpr std::size_t block = std::size_t{1} << 20;
  constexpr std::size_t total = std::size_t{2} << 30;
  constexpr std::size_t cap = std::size_t{256} << 20;
  const std::size_t before = mapped_kib();
  ArrayArena arena;
  for (std::size_t handed = 0; handed < total; handed += block) {
    ASSERT_NE(arena.allocate(block, 8), nullptr);
  }
  const std::size_t mapped = (mapped_kib() - before) << 10;
  EXPECT_GE(mapped, total);
  EXPECT_LT(mapped, total + cap);
}

// Arrays built on the arena keep it through moves, as records do.
TEST(ArrayArena, ArraysMovedBetweenContainersKeepTheArena) {
  ArrayArena arena;
  vornelle_core::Array<double> a(&arena);
  a.resize(1000);
  for (std::size_t k = 0; k < a.size(); ++k) a[k] = static_cast<double>(k);
  vornelle_core::Array<double> b;
  b = std::move(a);
  EXPECT_EQ(b.get_allocator().resource(), &arena);
  EXPECT_EQ(b[999], 999.0);
  const vornelle_core::Array<double> copy = b;  // copies leave the arena
  EXPECT_EQ(copy.get_allocator().resource(), std::pmr::get_default_resource());
  EXPECT_EQ(copy, b);
}

}  // namespace
}  // namespace kestrane::reader
