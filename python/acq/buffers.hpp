// Spectra whose arrays nobody uses any more, kept for the next reads. A fresh array of a few
// megabytes costs a page fault per 4 KiB page when first written, which on a virtual machine
// takes longer than decoding into it: reused capacity is already backed. No Python here.
#pragma once

#include "src/acq/acquisition.hpp"

namespace kestrane::acq_python {

// A spectrum to read into: a kept one (its arrays cleared, their capacity intact) or a new one.
acq::Spectrum take_spectrum();

// Keeps `spectrum`'s arrays for a later take_spectrum() while the pool has room (a few tens of
// megabytes); frees them otherwise.
void give_back(acq::Spectrum&& spectrum) noexcept;

// The same for the read buffers of the threads of a whole-run read: a block of a large run is
// read into a buffer of a few hundred kilobytes, which a fresh buffer per call would fault in
// again every time.
acq::ReadScratch take_scratch();
void give_back(acq::ReadScratch&& scratch) noexcept;

}  // namespace kestrane::acq_python
