from ._core import Acquisition as Acquisition
from ._core import FormatError as FormatError
from ._core import Spectrum as Spectrum
from ._core import open as open

__all__ = ["Acquisition", "FormatError", "Spectrum", "open"]
