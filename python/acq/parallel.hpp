// Decoding many scans at once on C++ threads, outside the interpreter: no Python here.
#pragma once

#include <cstddef>
#include <functional>
#include <span>

#include "src/acq/acquisition.hpp"

namespace kestrane::acq_python {

// The threads a whole-run read uses by default: the CPUs this process may run on.
unsigned default_threads() noexcept;

// Reads scans indices[0..n) with `prefer` on min(threads, n) threads (the calling thread is one
// of them) and calls visit(k, spectrum) for each, k its position in `indices`. Every thread
// reuses its own Spectrum (from the buffer pool, and back to it) and read buffers; `visit` may
// move the arrays out and put other ones in. Scans are handed out one at a time, so threads
// stay busy whatever the sizes. An exception from a read or a
// visit (std::bad_alloc) stops the other threads and is rethrown here after they have joined.
void for_each_scan(const acq::Acquisition& acquisition, std::span<const std::size_t> indices,
                   acq::Prefer prefer, unsigned threads,
                   const std::function<void(std::size_t, acq::Spectrum&)>& visit);

}  // namespace kestrane::acq_python
