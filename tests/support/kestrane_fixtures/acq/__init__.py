"""Acquisition directories in the self-describing form that instruments write.

Layers, from bytes up (each a module; the names below are also here):

* ``schema``: record layouts (``LAYOUTS``), each described once; ``schema_text`` (MSScan.xsd,
  with commented-out elements and optional ``mstns:`` type prefixes) and ``record_dtype``
  (the packed records) come from the same description.
* ``index``: file headers with their magics, the MSScan.bin header and its format table.
* ``blocks``: run-length (``rle_block``, instrument-like width switches or a re-encoding's zero
  runs), whole-block LZF, raw float32, ICP, TOF and GC centroid blocks.
* ``calibration``: ``MassCal``, ``calibrate``, DefaultMassCal.xml and MSMassCal.bin.
* ``metadata``: MSTS.xml, MSTS_XSpecific.xml, MSTS_XAddition.xml, MSScan_XSpecific.bin.
* ``directory``: ``write_run`` lays a directory out (with a ``Variant``: calibration files,
  MSTS.xml, missing files, interrupted runs, header-less data files) and returns per scan the
  ``ScanExpected`` values a correct reader gives; its docstring states the reader conventions.
* ``hostile``: hostile schemas, blocks, calibrations and channel maps built from consistent
  inputs (fuzz seeds and the hostile tests), and edits of a written run (bytes that are not
  UTF-8 in its texts, a cut index).
* ``runs``: ``acq_run(path, family, scans, points, seed)``, generated runs of every family.

Values a reader must reproduce bit for bit, all in IEEE double precision, operations in this
order and nothing fused (no FMA):

* Profile axis: ``x_k = x_start + k * x_step`` -- the product ``double(k) * x_step`` rounded,
  then the sum. It is the m/z for a raw float32 profile (quantity 5) and the flight time for
  run-length and LZF profiles (quantity 7).
* m/z of a flight time t, with a (traditional) and t0, t_min, t_max, flags F and coefficients
  c_1..c_p (polynomial): ``s = a * (t - t0)``, ``sq = s * s``; ``tc = t_min`` if t < t_min,
  ``t_max`` if t > t_max, else t; then ``p = 1.0``, ``sum = 0.0`` and for k = 0, 1, ... up to
  the highest set bit of F: if bit k is set, ``sum = sum + c_j * p`` (c_j the next coefficient),
  then ``p = p * tc``; finally ``m/z = sq - sum``. With F = 0, m/z = sq - 0.0.
* Intensities: integer counts and float32 values widen exactly to double.

Fuzz seeds: ``corpus`` registers the seed sets of the fuzz targets of the reader of this form
(schema, format table, run-length, calibration files, whole directory) with
``kestrane_fixtures.corpus.corpus_target("<corpus>")``, built from the writers here and framed as
each target reads its input; ``python -m kestrane_fixtures corpus DIR [CORPUS...]`` writes them.
A new target adds its set there and its corpus name to fuzz/targets.txt.
"""

from .blocks import *  # noqa: F403
from .calibration import *  # noqa: F403
from .corpus import *  # noqa: F403
from .directory import *  # noqa: F403
from .hostile import *  # noqa: F403
from .index import *  # noqa: F403
from .metadata import *  # noqa: F403
from .runs import *  # noqa: F403
from .schema import *  # noqa: F403
