"""Record layouts of MSScan.bin, each described once: the MSScan.xsd text and the numpy record
dtype are both generated from the same description, so the schema a directory carries and the
records packed beside it always agree.

A layout is a sequence of elements (``Element``) with XSD types; ``Commented`` wraps elements
that the schema text shows inside an XML comment and the binary does not hold. Nested complex
types other than the spectrum-parameter type are laid out inline; ``SpectrumParamValues``
repeats n times (n = header@76) at its place; elements after it follow all n blocks.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field

import numpy as np

__all__ = [
    "XSD_SIZES", "Element", "Commented", "Layout", "LAYOUTS", "SPECTRUM_PARAMS",
    "schema_text", "record_dtype", "stride",
]

# Sizes and numpy codes of the XSD primitive types the schemas use (little-endian, signed).
XSD_SIZES = {"byte": 1, "short": 2, "int": 4, "long": 8, "float": 4, "double": 8}
_NUMPY_CODES = {"byte": "<i1", "short": "<i2", "int": "<i4", "long": "<i8", "float": "<f4", "double": "<f8"}

SPECTRUM_PARAMS = "SpectrumParamValues"  # the element that repeats once per block
_BLOCK_TYPE = "SpectrumParamsType"
_RECORD_TYPE = "ScanRecordType"


@dataclass(frozen=True)
class Element:
    """``<xs:element name= type=>``; ``type`` is an XSD primitive or a complex type's name."""

    name: str
    type: str
    optional: bool = True  # minOccurs="0": present in the binary all the same
    unbounded: bool = False  # maxOccurs="unbounded"


@dataclass(frozen=True)
class Commented:
    """Elements the schema shows commented out: absent from the binary."""

    elements: tuple[Element, ...]


Item = Element | Commented


@dataclass(frozen=True)
class Layout:
    """One record layout family: its record, block and other complex types.

    ``types`` maps each other complex type name to its sequence; ``unused_types`` are declared
    but not referenced by the record (a reader must not lay them out); ``commented_types`` are
    whole type definitions inside a comment.
    """

    name: str
    version: str  # the schema's version attribute, "1.0" or "2.0"
    record: tuple[Item, ...]
    block: tuple[Item, ...]
    types: dict[str, tuple[Item, ...]] = field(default_factory=dict)
    unused_types: tuple[str, ...] = ()
    commented_types: dict[str, tuple[Item, ...]] = field(default_factory=dict)


def _e(name: str, type_: str, *, required: bool = False) -> Element:
    return Element(name, type_, optional=not required)


def _head(ms_level_type: str) -> tuple[Item, ...]:
    """The fields every schema starts with: ScanID at 0 ... MSLevel at 20."""
    return (
        _e("ScanID", "int", required=True),
        _e("ScanMethodID", "int", required=True),
        _e("TimeSegmentID", "int", required=True),
        _e("ScanTime", "double", required=True),
        _e("MSLevel", ms_level_type, required=True),
        _e("ScanType", "int", required=True),
        _e("TIC", "double", required=True),
        _e("BasePeakMZ", "double", required=True),
        _e("BasePeakValue", "double", required=True),
    )


_BLOCKS = Element(SPECTRUM_PARAMS, _BLOCK_TYPE, optional=False, unbounded=True)
_PADDING_NOTE = Commented((
    _e("Status", "int"), _e("MeasuredMassRangeMin", "double"), _e("MeasuredMassRangeMax", "double"),
    _e("FragmentationMode", "int"), _e("IsFragmentorDynamic", "int"),
    _e("IsCollisionEnergyDynamic", "int"),
))
_TOF_V1_BLOCK = (
    _e("SpectrumFormatID", "int", required=True), _e("SpectrumOffset", "long", required=True),
    _e("ByteCount", "int", required=True), _e("PointCount", "int", required=True),
    _e("UncompressedByteCount", "int"), _e("MinX", "double"), _e("MaxX", "double"),
    _e("MinY", "double"), _e("MaxY", "double"), _e("MeasuredNoise", "double"),
)
_DD_V1 = (_e("DDScanID", "int", required=True), _e("DDScanParamMz", "double", required=True))
_XSPECIFIC = (_e("Offset", "long", required=True), _e("ByteCount", "int", required=True))

LAYOUTS: dict[str, Layout] = {
    # TOF, 21 scalar fields (128 bytes) and a 64-byte block.
    "tof-v1": Layout(
        "tof-v1", "1.0",
        _head("int") + (
            _e("CalibrationID", "int"), _e("CycleNumber", "int"), _e("IonMode", "int"),
            _e("IonPolarity", "int"), _e("Fragmentor", "double"), _e("CollisionEnergy", "double"),
            _e("AbundanceLimit", "double"), _e("SamplingPeriod", "double"), _e("Threshold", "double"),
            _e("MassCalOffset", "long"), _e("ActualsOffset", "long"),
            _e("NumOfActualsPerScan", "int"), _BLOCKS, _PADDING_NOTE,
        ),
        _TOF_V1_BLOCK,
        commented_types={"DataDependentScanParamType": _DD_V1},
    ),
    # The older TOF schema: precursor fields and a data-dependent type (156 + 64n, 220 for n = 1).
    "tof-v1-older": Layout(
        "tof-v1-older", "1.0",
        _head("int") + (
            _e("CalibrationID", "int"), _e("CycleNumber", "int"), _e("IonMode", "int"),
            _e("IonPolarity", "int"), _e("Fragmentor", "double"), _e("CollisionEnergy", "double"),
            _e("MzOfInterest", "double"), _e("AbundanceLimit", "double"),
            _e("SamplingPeriod", "double"), _e("Threshold", "double"), _e("ChargeState", "int"),
            _e("ChromScaleFactor", "float"), _e("MassCalOffset", "long"),
            _e("ActualsOffset", "long"), _e("NumOfActualsPerScan", "int"),
            _e("DataDependentScanParamType", "DataDependentScanParamType"), _BLOCKS, _PADDING_NOTE,
        ),
        _TOF_V1_BLOCK,
        types={"DataDependentScanParamType": _DD_V1 + (
            Commented((Element("DDScanParamN", "double", unbounded=True),)),)},
    ),
    # Version 2: 16-bit and float fields, a 66-byte block (142 + 66n).
    "tof-v2": Layout(
        "tof-v2", "2.0",
        _head("short") + (
            _e("CalibrationID", "short"), _e("CycleNumber", "int"), _e("IonMode", "int"),
            _e("IonPolarity", "short"), _e("Fragmentor", "float"), _e("CollisionEnergy", "float"),
            _e("MzOfInterest", "double"), _e("MzIsolationWidth", "float"),
            _e("AbundanceLimit", "double"), _e("SamplingPeriod", "double"),
            _e("Threshold", "double"), _e("ChargeState", "short"), _e("ChromScaleFactor", "float"),
            _e("MassCalOffset", "long"), _e("ActualsOffset", "long"),
            _e("NumOfActualsPerScan", "short"),
            _e("DataDependentScanParamType", "DataDependentScanParamType"), _BLOCKS,
        ),
        (
            _e("SpectrumFormatID", "short", required=True),
            _e("SpectrumOffset", "long", required=True), _e("ByteCount", "int", required=True),
            _e("PointCount", "int", required=True), _e("UncompressedByteCount", "int"),
            _e("MinX", "double", required=True), _e("MaxX", "double", required=True),
            _e("MinY", "double", required=True), _e("MaxY", "double", required=True),
            _e("MeasuredNoise", "double"), _e("OneDataRangeDeltaYOffset", "int"),
        ),
        types={"DataDependentScanParamType": (
            _e("DDScanID", "int", required=True), _e("DDScanID2", "int", required=True),
            _e("DDScanID3", "int", required=True)),
            "XSpecificParamType": _XSPECIFIC},
        unused_types=("XSpecificParamType",),
    ),
    # GC: MinY, MaxY, MinX, MaxX in that order and no UncompressedByteCount (132 + 52n).
    "gc": Layout(
        "gc", "1.0",
        _head("int") + (
            _e("CycleNumber", "int"), _e("Status", "int"), _e("IonMode", "int"),
            _e("IonPolarity", "int"), _e("Fragmentor", "double"), _e("CollisionEnergy", "double"),
            _e("MzOfInterest", "double"), Commented((_e("AbundanceLimit", "double"),)),
            _e("SamplingPeriod", "double"), _e("MeasuredMassRangeMin", "double"),
            _e("MeasuredMassRangeMax", "double"), _e("Threshold", "double"),
            Commented((_e("ChargeState", "int"), _e("FragmentationMode", "int"))),
            _e("IsFragmentorDynamic", "int"), _e("IsCollisionEnergyDynamic", "int"),
            Commented((_e("MassCalOffset", "long"), _e("ActualsOffset", "long"),
                       _e("NumOfActualsPerScan", "int"),
                       _e("DataDependentScanParamType", "DataDependentScanParamType"))),
            _BLOCKS,
        ),
        (
            _e("SpectrumFormatID", "int", required=True),
            _e("SpectrumOffset", "long", required=True), _e("ByteCount", "int", required=True),
            _e("PointCount", "int", required=True),
            Commented((_e("UncompressedByteCount", "int"),)),
            _e("MinY", "double", required=True), _e("MaxY", "double", required=True),
            _e("MinX", "double", required=True), _e("MaxX", "double", required=True),
            Commented((_e("MeasuredNoise", "double"),)),
        ),
        commented_types={"DataDependentScanParamType": _DD_V1},
    ),
    # LC quadrupole, version 2: a 50-byte block, 16-bit format id (136 + 50n).
    "quad-v2": Layout(
        "quad-v2", "2.0",
        _head("short") + (
            _e("CycleNumber", "int"), _e("Status", "int"), _e("IonMode", "int"),
            _e("IonPolarity", "short"), _e("CompensationField", "float"),
            _e("DispersionField", "float"), _e("Fragmentor", "float"),
            _e("CollisionEnergy", "float"), _e("MzOfInterest", "double"),
            _e("SamplingPeriod", "double"), _e("DwellTime", "int"),
            _e("MeasuredMassRangeMin", "double"), _e("MeasuredMassRangeMax", "double"),
            _e("Threshold", "double"), _e("IsFragmentorDynamic", "short"),
            _e("IsCollisionEnergyDynamic", "short"),
            _e("DataDependentScanParamType", "DataDependentScanParamType"), _BLOCKS,
        ),
        (
            _e("SpectrumFormatID", "short", required=True),
            _e("SpectrumOffset", "long", required=True), _e("ByteCount", "int", required=True),
            _e("PointCount", "int", required=True), _e("MinX", "double", required=True),
            _e("MaxX", "double", required=True), _e("MinY", "double", required=True),
            _e("MaxY", "double", required=True),
        ),
        types={"DataDependentScanParamType": (
            _e("DDScanID", "int", required=True), _e("DDScanID2", "int", required=True))},
    ),
    # ICP: the block at 72, then XSpecificParamType after all blocks (72 + 52n + 12).
    "icp": Layout(
        "icp", "1.0",
        _head("int") + (
            _e("Status", "int"), _e("IonMode", "int"), _e("IonPolarity", "int"),
            _e("SamplingPeriod", "double"), _BLOCKS,
            _e("XSpecificParamType", "XSpecificParamType"),
            Commented((_e("CalibrationID", "int"), _e("CycleNumber", "int"),
                       _e("Fragmentor", "double"), _e("CollisionEnergy", "double"),
                       _e("MzOfInterest", "double"), _e("MassCalOffset", "long"))),
        ),
        (
            _e("SpectrumFormatID", "int", required=True),
            _e("SpectrumOffset", "long", required=True), _e("ByteCount", "int", required=True),
            _e("PointCount", "int", required=True), _e("MinX", "double", required=True),
            _e("MaxX", "double", required=True), _e("MinY", "double", required=True),
            _e("MaxY", "double", required=True),
            Commented((_e("UncompressedByteCount", "int"), _e("MeasuredNoise", "double"))),
        ),
        types={"XSpecificParamType": _XSPECIFIC},
        commented_types={"DataDependentScanParamType": _DD_V1},
    ),
}


def _elements(items: Iterable[Item]) -> Iterator[Element]:
    """The elements the binary holds, in order."""
    for item in items:
        if isinstance(item, Element):
            yield item


def _flat(layout: Layout, items: Iterable[Item], prefix: str = "") -> Iterator[tuple[str, str]]:
    """(field name, primitive type) in binary order; nested types inline as "Outer.Inner"."""
    for e in _elements(items):
        if e.type in XSD_SIZES:
            yield prefix + e.name, e.type
        elif e.name == SPECTRUM_PARAMS:
            yield SPECTRUM_PARAMS, _BLOCK_TYPE
        else:
            yield from _flat(layout, layout.types[e.type], f"{prefix}{e.name}.")


def _size(fields: Iterable[tuple[str, str]]) -> int:
    return sum(XSD_SIZES[t] for _, t in fields)


def record_dtype(layout: Layout, n_blocks: int) -> np.dtype:
    """The packed little-endian record: scalar fields by name (nested ones as "Outer.Inner"),
    and ``SpectrumParamValues`` as an array of ``n_blocks`` block records."""
    block_fields = list(_flat(layout, layout.block))
    block = np.dtype({"names": [n for n, _ in block_fields],
                      "formats": [_NUMPY_CODES[t] for _, t in block_fields],
                      "offsets": list(np.cumsum([0] + [XSD_SIZES[t] for _, t in block_fields[:-1]])),
                      "itemsize": _size(block_fields)})
    names, formats, offsets, pos = [], [], [], 0
    for name, type_ in _flat(layout, layout.record):
        names.append(name)
        offsets.append(pos)
        if type_ == _BLOCK_TYPE:
            formats.append((block, (n_blocks,)))
            pos += block.itemsize * n_blocks
        else:
            formats.append(_NUMPY_CODES[type_])
            pos += XSD_SIZES[type_]
    return np.dtype({"names": names, "formats": formats, "offsets": offsets, "itemsize": pos})


def stride(layout: Layout, n_blocks: int) -> int:
    """Scalar part + n x block."""
    return record_dtype(layout, n_blocks).itemsize


# --- Schema text -------------------------------------------------------------------------------
_NAMESPACE = "http://tempuri.org/XMLSchema.xsd"


def _element_xml(e: Element, prefix: str, indent: str) -> str:
    type_ = f"xs:{e.type}" if e.type in XSD_SIZES else prefix + e.type
    attrs = f'name="{e.name}" type="{type_}"'
    if e.optional:
        attrs += ' minOccurs="0"'
    if e.unbounded:
        attrs += ' maxOccurs="unbounded"'
    return f"{indent}<xs:element {attrs}/>\n"


def _sequence_xml(items: Sequence[Item], prefix: str, indent: str) -> str:
    out = ""
    for item in items:
        if isinstance(item, Commented):
            out += f"{indent}<!--\n"
            out += "".join(_element_xml(e, prefix, indent) for e in item.elements)
            out += f"{indent}-->\n"
        else:
            out += _element_xml(item, prefix, indent)
    return out


def _type_xml(name: str, items: Sequence[Item], prefix: str) -> str:
    return (f'\t<xs:complexType name="{name}">\n\t\t<xs:sequence>\n'
            + _sequence_xml(items, prefix, "\t\t\t")
            + "\t\t</xs:sequence>\n\t</xs:complexType>\n")


def schema_text(layout: Layout, *, type_prefix: str = "") -> str:
    """MSScan.xsd for the layout. ``type_prefix`` ("mstns:" in some real schemas) qualifies
    references to complex types; commented elements and types appear inside XML comments."""
    root_type = type_prefix + _RECORD_TYPE
    text = (
        '<?xml version="1.0" encoding="utf-8"?>\n'
        "<!--Scan index records of MSScan.bin-->\n"
        f'<xs:schema targetNamespace="{_NAMESPACE}" xmlns:xs="http://www.w3.org/2001/XMLSchema" '
        f'xmlns:mstns="{_NAMESPACE}" xmlns="{_NAMESPACE}" elementFormDefault="qualified" '
        f'version="{layout.version}">\n'
        '\t<xs:element name="MSScanBin">\n'
        "\t\t<xs:annotation>\n\t\t\t<xs:documentation>Scan index records</xs:documentation>\n"
        "\t\t</xs:annotation>\n"
        "\t\t<xs:complexType>\n\t\t\t<xs:sequence>\n"
        f'\t\t\t\t<xs:element name="ScanRecord" type="{root_type}" minOccurs="0" '
        'maxOccurs="unbounded"/>\n'
        "\t\t\t</xs:sequence>\n\t\t</xs:complexType>\n\t</xs:element>\n"
    )
    text += _type_xml(_RECORD_TYPE, layout.record, type_prefix)
    text += _type_xml(_BLOCK_TYPE, layout.block, type_prefix)
    for name, items in layout.types.items():
        text += _type_xml(name, items, type_prefix)
    for name, items in layout.commented_types.items():
        text += "\t<!--\n" + _type_xml(name, items, type_prefix) + "\t-->\n"
    return text + "</xs:schema>\n"
