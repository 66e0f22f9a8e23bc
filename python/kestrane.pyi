"""Reads the spectra of mass-spectrometry acquisition directories."""

from typing import SupportsIndex, final

__all__ = ["RawReader", "Spectrum"]

@final
class RawReader:
    """An acquisition directory (the one that holds AcqData), decoded whole when opened."""

    def __new__(cls, path: str) -> RawReader: ...
    @property
    def scan_count(self) -> int: ...
    def read_spectrum(self, scan_index: SupportsIndex) -> Spectrum:
        """A new Spectrum with copies of the values of the scan at position scan_index.

        Raises RuntimeError "scan N out of range" when scan_index is not below scan_count.
        """

@final
class Spectrum:
    """One decoded spectrum; made by RawReader.read_spectrum only."""

    @property
    def mz(self) -> list[float]: ...
    @property
    def intensity(self) -> list[float]: ...
    @property
    def ms_level(self) -> int: ...
    @property
    def retention_time_sec(self) -> float: ...
    def __len__(self) -> int: ...
