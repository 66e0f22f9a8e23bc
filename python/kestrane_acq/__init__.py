"""Acquisition directories as instruments write them, read into numpy arrays.

``kestrane_acq.open(path)`` reads a directory's index and metadata; spectra are decoded on
demand (``acq[i]``, ``acq.spectrum(i, prefer="centroid")``, iteration) or for the whole run on
C++ threads (``acq.spectra()``, ``acq.tic()``, ``acq.xic(mz)``). A block that cannot be decoded
gives an empty spectrum with its status; only opening raises: ``FormatError`` (a ``ValueError``)
for files of the wrong form, ``OSError`` for what the system refuses. ``acq.to_mzml(path)``
writes the run as indexed mzML and returns a ``ConversionSummary``.
"""

from importlib.metadata import PackageNotFoundError, version as _version

from ._core import Acquisition, ConversionSummary, FormatError, Spectrum, open

try:
    __version__: str = _version("kestrane")
except PackageNotFoundError:  # imported from a build tree, not installed
    __version__ = "unknown"

__all__ = ["Acquisition", "ConversionSummary", "FormatError", "Spectrum", "__version__", "open"]
