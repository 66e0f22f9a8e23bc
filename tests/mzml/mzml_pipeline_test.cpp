// The ordered parallel map under the writer: order, bounded look-ahead, which error wins.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "src/mzml/pipeline.hpp"

namespace {

using kestrane::Error;
using kestrane::Result;
using kestrane::mzml::run_ordered;

struct Progress {
  std::size_t consumed = 0;
  std::atomic<std::size_t> done{0};  // consumed, as the workers see it
  std::atomic<std::size_t> max_ahead{0};
};

// Items take uneven times so that workers finish out of order.
Result<void> produce(Progress& run, std::size_t i, std::size_t& item, std::size_t fail_at = 1000) {
  const std::size_t ahead = i - run.done.load();
  std::size_t seen = run.max_ahead.load();
  while (ahead > seen && !run.max_ahead.compare_exchange_weak(seen, ahead)) {
  }
  std::this_thread::sleep_for(std::chrono::microseconds((i * 7919) % 5 * 200));
  if (i >= fail_at) return std::unexpected(Error::parse("item " + std::to_string(i)));
  item = i * i;
  return {};
}

TEST(MzmlPipeline, ConsumesInOrderAndProducesAtMostTwoPerWorkerAhead) {
  for (const unsigned workers : {1u, 2u, 3u}) {
    SCOPED_TRACE(workers);
    Progress run;
    const Error cancelled = Error::io_message("cancelled");
    const auto r = run_ordered<std::size_t>(
        60, workers, [] { return 0; },
        [&](int&, std::size_t i, std::size_t& item) { return produce(run, i, item); },
        [&](std::size_t i, const std::size_t& item) -> Result<void> {
          EXPECT_EQ(i, run.consumed);
          EXPECT_EQ(item, i * i);
          run.done = ++run.consumed;
          return {};
        },
        nullptr, cancelled);
    EXPECT_TRUE(r.has_value());
    EXPECT_EQ(run.consumed, 60u);
    EXPECT_LT(run.max_ahead.load(), workers <= 1 ? 1u : 2 * workers);
  }
}

TEST(MzmlPipeline, FirstErrorInItemOrderWinsAndNothingAfterItIsConsumed) {
  for (const unsigned workers : {1u, 2u, 4u}) {
    SCOPED_TRACE(workers);
    Progress run;
    const auto r = run_ordered<std::size_t>(
        40, workers, [] { return 0; },
        // Item 9 fails slowly, later items fail fast: the report must still name item 9.
        [&](int&, std::size_t i, std::size_t& item) -> Result<void> {
          if (i == 9) std::this_thread::sleep_for(std::chrono::milliseconds(20));
          return produce(run, i, item, 9);
        },
        [&](std::size_t, const std::size_t&) -> Result<void> {
          ++run.consumed;
          return {};
        },
        nullptr, Error::io_message("cancelled"));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "parse error: item 9");
    EXPECT_EQ(run.consumed, 9u);
  }
}

TEST(MzmlPipeline, AllocationFailureOnAWorkerReachesTheCaller) {
  std::atomic<int> states{0};
  const auto call = [&] {
    return run_ordered<int>(
        100, 3, [&] { return ++states; },
        [](int&, std::size_t i, int&) -> Result<void> {
          if (i == 5) throw std::bad_alloc();
          return {};
        },
        [](std::size_t, const int&) -> Result<void> { return {}; }, nullptr,
        Error::io_message("cancelled"));
  };
  EXPECT_THROW((void)call(), std::bad_alloc);
  EXPECT_EQ(states.load(), 3);
}

}  // namespace
