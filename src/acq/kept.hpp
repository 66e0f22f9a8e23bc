// Spectra and read buffers that no read uses any more, kept for the next reads. A fresh array
// of a few megabytes costs a page fault per 4 KiB page when first written, which on a virtual
// machine takes longer than decoding into it: reused capacity is already backed.
#pragma once

#include "src/acq/acquisition.hpp"

namespace kestrane::acq {

// A spectrum to read into with read_into: a kept one (holding an earlier read's values, its
// arrays' capacity intact) or a new one.
Spectrum take_spectrum();

// Keeps `spectrum`'s arrays for a later take_spectrum() while the keeper has room (16 spectra
// and 64 MiB of arrays at most); frees them otherwise. Thread-safe.
void give_back(Spectrum&& spectrum) noexcept;

// The same for read buffers (8 and 64 MiB at most): a block of a large run is read into a buffer of a few
// hundred kilobytes, which a fresh buffer per call would fault in again every time.
ReadScratch take_scratch();
void give_back(ReadScratch&& scratch) noexcept;

}  // namespace kestrane::acq
