"""Writes acquisition directories and data blocks for tests, benchmarks, fuzzing and demos.

Layers of the fixed layout, from raw bytes up (each a module, every public name also here):

* ``index``: MSScan.bin pieces (``scan_header``, ``descriptor_bytes``, ``scan_record``,
  ``plain_records``, ``scan_index``), with any magic, data offset, length, filler, stride,
  field and descriptor, also the ones a reader refuses.
* ``lzf``: ``lzf_compress`` (liblzf through ctypes, literal-only fallback when it gains
  nothing), ``lzf_literal``, ``lzf_expanding``, ``broken_lzf_stream``.
* ``blocks``: peak and profile blocks as ``Block``, and broken ones (``broken_profile_block``,
  ``truncated``).
* ``directories``: ``Scan`` + ``write_acquisition`` / ``acquisition_images`` lay out whole
  acquisitions and return, per scan, the ``Expected`` values a conforming reader produces.
* ``runs``: ``realistic_scan``, ``realistic_scans``, ``realistic_run``: generated runs,
  deterministic per seed.
* ``corpus``: fuzz seed inputs per corpus directory, and their framings.
* ``cli`` / ``__main__``: ``python -m kestrane_fixtures sample|corpus|acq-sample DIR``.

The self-describing form that instruments write (a schema, a format table, several block
encodings, mass calibration) lives in the subpackage ``kestrane_fixtures.acq``, layered the
same way.
"""

from .blocks import *  # noqa: F403
from .corpus import *  # noqa: F403
from .directories import *  # noqa: F403
from .index import *  # noqa: F403
from .lzf import *  # noqa: F403
from .runs import *  # noqa: F403
from . import acq, blocks, cli, corpus, directories, index, lzf, runs  # noqa: E402

__all__ = [
    name
    for module in (index, lzf, blocks, directories, runs, corpus)
    for name in module.__all__
]
