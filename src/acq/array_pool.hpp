// Memory of the arrays that Acquisition::read returns.
#pragma once

#include <memory_resource>

namespace kestrane::acq {

// Arrays of 256 KiB and more come from anonymous mappings (from 2 MiB on, advised for
// transparent huge pages: one fault per 2 MiB instead of 512), and a freed one is kept for the
// next array of its size class (64 KiB granules, whole huge pages from 2 MiB), up to 8 arrays
// and 64 MiB in all. Reading scan after scan into fresh spectra then touches no fresh page:
// glibc's malloc hands large freed chunks back to the system past its trim and mmap
// thresholds, and each 4 KiB page of the next array costs a fault, which can dominate a read
// (docs/performance.md gives the measured cost). Smaller arrays come from the default resource. Thread-safe, and
// never destroyed: arrays may be freed after static destruction. Under AddressSanitizer, the
// default resource, so that the sanitizer sees the arrays' bounds.
std::pmr::memory_resource* spectrum_array_resource() noexcept;

}  // namespace kestrane::acq
