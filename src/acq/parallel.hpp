// Reading many scans of one acquisition at once, on threads of its own.
#pragma once

#include <cstddef>
#include <functional>
#include <span>

#include "src/acq/acquisition.hpp"

namespace kestrane::acq {

// The threads a whole-run read uses by default: the CPUs this process may run on.
unsigned default_threads() noexcept;

// Reads scans indices[0..n) with `prefer` on min(threads, n) threads (the calling thread is one
// of them) and calls visit(k, spectrum) for each, k its position in `indices`. Every thread
// reads into its own Spectrum and read buffers, taken from the keepers (kept.hpp) and given
// back at the end; `visit` may move the arrays out and put other ones in. Scans are handed out
// one at a time, so threads stay busy whatever the sizes. An exception from a read or a
// visit (std::bad_alloc) stops the other threads before their next scan and is rethrown here once
// they have joined. When no further thread can be started, the threads that did start read
// every scan.
void for_each_scan(const Acquisition& acquisition, std::span<const std::size_t> indices,
                   Prefer prefer, unsigned threads,
                   const std::function<void(std::size_t, Spectrum&)>& visit);

// As above, calling prepare(k, spectrum) on the reading thread before scan k is read into
// `spectrum`: a caller may put arrays of its own there for the read to write into (arrays of a
// memory resource that hands out its output's memory). visit must leave arrays of the spectrum
// array resource in the spectrum, which is kept for later reads.
void for_each_scan(const Acquisition& acquisition, std::span<const std::size_t> indices,
                   Prefer prefer, unsigned threads,
                   const std::function<void(std::size_t, Spectrum&)>& prepare,
                   const std::function<void(std::size_t, Spectrum&)>& visit);

}  // namespace kestrane::acq
