from ._core import Acquisition as Acquisition
from ._core import ConversionSummary as ConversionSummary
from ._core import FormatError as FormatError
from ._core import Spectrum as Spectrum
from ._core import open as open

__version__: str

__all__ = ["Acquisition", "ConversionSummary", "FormatError", "Spectrum", "__version__", "open"]
