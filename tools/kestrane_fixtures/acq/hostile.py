"""Hostile inputs for the self-describing reader: schemas whose types repeat without bound,
blocks whose claims cannot be met, calibrations that cannot give finite masses, channel maps
far larger than real ones. Each builder starts from a consistent generated input and changes
only what makes it hostile.
"""

from __future__ import annotations

from .schema import LAYOUTS, schema_text

__all__ = ["fan_out_schema", "long_name_schema"]

_RECORD_START = '<xs:element name="ScanID"'
_FIRST_TYPE = '\t<xs:complexType name="SpectrumParamsType">'


def _with_types(types: str, elements: str, layout: str) -> str:
    """The layout's MSScan.xsd with ``types`` declared and ``elements`` opening the record."""
    text = schema_text(LAYOUTS[layout])
    text = text.replace(_FIRST_TYPE, types + _FIRST_TYPE, 1)
    return text.replace(_RECORD_START, elements + _RECORD_START, 1)


def fan_out_schema(levels: int = 15, width: int = 4, layout: str = "tof-v1") -> str:
    """Types T1..T<levels-1> holding ``width`` elements of the next type each, T<levels> empty,
    and one element of T1 in the record: width^(levels-1) instantiations, no field."""
    types = ""
    for t in range(1, levels):
        inner = "".join(f'<xs:element name="E{k}" type="T{t + 1}"/>' for k in range(width))
        types += f'\t<xs:complexType name="T{t}"><xs:sequence>{inner}</xs:sequence></xs:complexType>\n'
    types += f'\t<xs:complexType name="T{levels}"><xs:sequence/></xs:complexType>\n'
    return _with_types(types, '<xs:element name="Fan" type="T1"/>', layout)


def long_name_schema(uses: int = 1000, name_length: int = 1_000_000, layout: str = "tof-v1") -> str:
    """A type whose one element has a ``name_length``-character name, used ``uses`` times by the
    record: names of uses x name_length bytes from a file of about name_length bytes."""
    types = (f'\t<xs:complexType name="Named"><xs:sequence><xs:element name="{"n" * name_length}" '
             'type="xs:byte"/></xs:sequence></xs:complexType>\n')
    elements = "".join(f'<xs:element name="U{u}" type="Named"/>' for u in range(uses))
    return _with_types(types, elements, layout)
