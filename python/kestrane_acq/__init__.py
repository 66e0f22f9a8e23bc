"""Acquisition directories as instruments write them, read into numpy arrays.

``kestrane_acq.open(path)`` reads a directory's index and metadata; spectra are decoded on
demand (``acq[i]``, ``acq.spectrum(i, prefer="centroid")``, iteration) or for the whole run on
C++ threads (``acq.spectra()``, ``acq.tic()``, ``acq.xic(mz)``). A block that cannot be decoded
gives an empty spectrum with its status; only opening raises: ``FormatError`` (a ``ValueError``)
for files of the wrong form, ``OSError`` for what the system refuses.
"""

from ._core import Acquisition, FormatError, Spectrum, open

__all__ = ["Acquisition", "FormatError", "Spectrum", "open"]
