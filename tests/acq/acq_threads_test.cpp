// Reads of one Acquisition from several threads at once, each with its own spectrum and
// scratch: the values equal a single thread's, whole-run passes included; and the pool of the
// arrays that read() returns.
// Built under ThreadSanitizer by tools/test.sh --tsan.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <deque>
#include <memory_resource>
#include <bit>
#include <cstring>
#include <new>
#include <numeric>
#include <thread>
#include <vector>

#include "src/acq/acquisition.hpp"
#include "src/acq/array_pool.hpp"
#include "src/acq/chromatograms.hpp"
#include "src/acq/parallel.hpp"
#include "tests/support/acq_builders.hpp"
#include "tests/support/fixed_directory.hpp"

namespace kestrane::acq {
namespace {

std::vector<std::size_t> every_index(std::size_t n) {
  std::vector<std::size_t> all(n);
  std::iota(all.begin(), all.end(), std::size_t{0});
  return all;
}

bool same(const Spectrum& a, const Spectrum& b) {
  return a.status == b.status && a.calibration == b.calibration && a.mz.size() == b.mz.size() &&
         a.intensity.size() == b.intensity.size() &&
         (a.mz.empty() || (std::memcmp(a.mz.data(), b.mz.data(), 8 * a.mz.size()) == 0 &&
                           std::memcmp(a.intensity.data(), b.intensity.data(),
                                       8 * a.intensity.size()) == 0));
}

TEST(AcqThreads, ReadTheSameValuesAsOneThread) {
  test_support::TempDir tmp;
  // 40,000 points: 320 KB arrays, which read() takes from the pool.
  acq_test::write_tof_run(tmp.join("run.d"), 24, 40000, 5);
  auto opened = Acquisition::open(tmp.join("run.d/AcqData"));  // AcqData itself is accepted
  ASSERT_TRUE(opened) << opened.error().display();
  const Acquisition& acq = *opened;
  EXPECT_TRUE(acq.warnings().empty());
  std::vector<Spectrum> expected;
  for (std::size_t i = 0; i < acq.size(); ++i) expected.push_back(acq.read(i));
  EXPECT_EQ(expected[5].calibration, CalibrationSource::per_scan);
  EXPECT_EQ(expected[5].mz.size(), 40000u);
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Spectrum s;
      ReadScratch scratch;
      for (int round = 0; round < 3; ++round) {
        for (std::size_t i = 0; i < acq.size(); ++i) {
          const std::size_t scan = (i * 7 + static_cast<std::size_t>(t)) % acq.size();
          // Alternately into reused buffers and fresh ones; a centroid preference falls back
          // to the profile, the only block these records have.
          if ((i + static_cast<std::size_t>(round)) % 2 == 0) {
            acq.read_into(scan, Prefer::profile, s, scratch);
            mismatches[static_cast<std::size_t>(t)] += !same(s, expected[scan]);
          } else {
            mismatches[static_cast<std::size_t>(t)] +=
                !same(acq.read(scan, Prefer::centroid), expected[scan]);
          }
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// The first reads of a fresh acquisition race to make its data files' whole copies: every
// thread waits for the one copy and reads the values one thread reads.
TEST(AcqThreads, FirstReadsOfAFreshAcquisitionShareOneCopy) {
  test_support::TempDir tmp;
  acq_test::write_tof_run(tmp.join("run.d"), 8, 20000, 3);
  auto reference = Acquisition::open(tmp.join("run.d"));
  auto fresh = Acquisition::open(tmp.join("run.d"));
  ASSERT_TRUE(reference && fresh);
  std::vector<Spectrum> expected;
  for (std::size_t i = 0; i < reference->size(); ++i) expected.push_back(reference->read(i));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = 0; i < fresh->size(); ++i) {
        const std::size_t scan = (i + 2 * t) % fresh->size();
        mismatches[t] += !same(fresh->read(scan), expected[scan]);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// Per-scan columns of a pass on 1 and 3 threads, over the whole run and over indices out of
// order with a repeat, equal the values of each scan read alone, summed here in array order.
TEST(AcqThreads, ChromatogramsEqualPerScanReads) {
  test_support::TempDir tmp;
  acq_test::write_tof_run(tmp.join("run.d"), 12, 3000, 7);
  auto opened = Acquisition::open(tmp.join("run.d"));
  ASSERT_TRUE(opened) << opened.error().display();
  const Acquisition& acq = *opened;
  const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  const std::vector<std::size_t> all = every_index(acq.size());
  const std::vector<std::size_t> picked = {7, 0, 11, 7, 3};
  // A window over part of the first scan, its bounds two of its points.
  const Spectrum first = acq.read(0);
  const double low = first.mz[first.mz.size() / 4], high = first.mz[first.mz.size() / 2];
  const unsigned want = want_tic | want_base_peak | want_scan_words | want_window;
  for (const auto& indices : {all, picked}) {
    for (const unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(testing::Message() << indices.size() << " scans, " << threads << " threads");
      const Chromatograms c = 
          chromatograms(acq, indices, Prefer::profile, threads, want, low, high);
      ASSERT_EQ(c.tic.size(), indices.size());
      ASSERT_EQ(c.calibration.size(), indices.size());
      for (std::size_t k = 0; k < indices.size(); ++k) {
        const Spectrum s = acq.read(indices[k]);
        ASSERT_FALSE(s.mz.empty());
        double tic = 0.0, window = 0.0;
        std::size_t base = 0;
        for (std::size_t p = 0; p < s.mz.size(); ++p) {
          tic += s.intensity[p];
          if (s.intensity[p] > s.intensity[base]) base = p;
          window += (s.mz[p] >= low && s.mz[p] <= high) ? s.intensity[p] : 0.0;
        }
        EXPECT_EQ(bits(c.rt_sec[k]), bits(acq.scan(indices[k]).retention_time_min * 60.0));
        EXPECT_EQ(bits(c.tic[k]), bits(tic));
        EXPECT_EQ(bits(c.base_mz[k]), bits(s.mz[base]));
        EXPECT_EQ(bits(c.base_intensity[k]), bits(s.intensity[base]));
        EXPECT_EQ(bits(c.window[k]), bits(window));
        EXPECT_EQ(c.points[k], s.mz.size());
        EXPECT_EQ(c.status[k], s.status);
        EXPECT_EQ(c.profile_status[k], s.profile_status);
        EXPECT_EQ(c.centroid_status[k], s.centroid_status);
        EXPECT_EQ(c.representation[k], s.representation);
        EXPECT_EQ(c.calibration[k], s.calibration);
      }
    }
  }
  // The window holds part of a scan only.
  const Chromatograms w = chromatograms(acq, all, Prefer::profile, 2, want, low, high);
  EXPECT_GT(w.window[0], 0.0);
  EXPECT_LT(w.window[0], w.tic[0]);
  // Columns not asked for stay empty.
  const Chromatograms tic_only = chromatograms(acq, all, Prefer::profile, 2, want_tic);
  EXPECT_EQ(tic_only.tic.size(), all.size());
  EXPECT_TRUE(tic_only.base_mz.empty() && tic_only.window.empty() && tic_only.points.empty());
}

// A visit that throws stops the pass: the exception reaches the caller once every thread has
// joined, no scan is visited twice, and a thread reads no scan after its own failure.
TEST(AcqThreads, ForEachScanRethrowsAVisitsException) {
  test_support::TempDir tmp;
  acq_test::write_tof_run(tmp.join("run.d"), 40, 200, 2);
  auto opened = Acquisition::open(tmp.join("run.d"));
  ASSERT_TRUE(opened) << opened.error().display();
  const std::vector<std::size_t> all = every_index(opened->size());
  for (const unsigned threads : {1u, 3u}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    std::vector<std::atomic<int>> visits(all.size());
    EXPECT_THROW(for_each_scan(*opened, all, Prefer::profile, threads,
                               [&](std::size_t k, Spectrum&) {
                                 visits[k].fetch_add(1);
                                 if (k == 5) throw std::bad_alloc();
                               }),
                 std::bad_alloc);
    int visited = 0;
    for (const auto& v : visits) {
      EXPECT_LE(v.load(), 1);
      visited += v.load();
    }
    EXPECT_EQ(visits[5].load(), 1);
    if (threads == 1) {
      EXPECT_EQ(visited, 6);
    }
  }
}

// prepare() puts arrays of the caller's memory into the spectrum before each read: the read
// writes scan k's m/z there, values as read() gives them, on every thread.
TEST(AcqThreads, ForEachScanReadsIntoThePreparedArrays) {
  test_support::TempDir tmp;
  acq_test::write_tof_run(tmp.join("run.d"), 16, 300, 4);
  auto opened = Acquisition::open(tmp.join("run.d"));
  ASSERT_TRUE(opened) << opened.error().display();
  const std::vector<std::size_t> all = every_index(opened->size());
  for (const unsigned threads : {1u, 3u}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    std::vector<std::vector<std::byte>> memory(all.size(), std::vector<std::byte>(8 * 300));
    std::deque<std::pmr::monotonic_buffer_resource> resources;  // never moved
    for (auto& m : memory) {
      resources.emplace_back(m.data(), m.size(), std::pmr::null_memory_resource());
    }
    std::vector<int> in_place(all.size(), 0);
    for_each_scan(
        *opened, all, Prefer::profile, threads,
        [&](std::size_t k, Spectrum& s) { s.mz = vornelle_core::Array<double>(&resources[k]); },
        [&](std::size_t k, Spectrum& s) {
          const Spectrum want = opened->read(all[k]);
          in_place[k] = static_cast<void*>(s.mz.data()) == memory[k].data() && same(s, want);
          s.mz = vornelle_core::Array<double>(spectrum_array_resource());
        });
    EXPECT_EQ(std::count(in_place.begin(), in_place.end(), 1), static_cast<long>(all.size()));
  }
}

TEST(AcqThreads, ArrayPoolReusesAFreedArrayOfTheSameSizeClassOnly) {
  using Array = vornelle_core::Array<double>;
  std::pmr::memory_resource* pool = spectrum_array_resource();
  if (pool == std::pmr::new_delete_resource()) {
    GTEST_SKIP() << "AddressSanitizer build: the arrays come from the default resource";
  }
  const double* first = nullptr;
  {
    Array a(pool);
    a.resize(400000);  // 3.2 MB: a 4 MiB class
    first = a.data();
  }
  Array same(pool), larger(pool), small(pool);
  same.resize(450000);   // 3.6 MB: the same class
  larger.resize(600000);  // 4.8 MB: a 6 MiB class
  small.resize(1000);    // below the pool
  EXPECT_EQ(same.data(), first);
  EXPECT_NE(larger.data(), first);
  larger.assign(larger.size(), 1.0);  // every byte of a fresh mapping is writable
  EXPECT_EQ(larger.back(), 1.0);
}

TEST(AcqThreads, ArrayPoolNeverHandsOutOneArrayTwice) {
  std::pmr::memory_resource* pool = spectrum_array_resource();
  std::vector<int> corrupted(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        const std::size_t n = (round % 2 == 0 ? 40000 : 300000) + static_cast<std::size_t>(t);
        vornelle_core::Array<double> a(pool);
        a.assign(n, static_cast<double>(t * 1000 + round));
        std::this_thread::yield();
        for (const double v : a) corrupted[static_cast<std::size_t>(t)] += v != a[0];
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(corrupted, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace kestrane::acq
