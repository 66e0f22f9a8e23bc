"""Companion files: MSTS.xml (time segments), and for ICP MSTS_XSpecific.xml (masses and
accumulation times), MSTS_XAddition.xml (channel index -> precursor and product m/z, beside
AcqData/) and MSScan_XSpecific.bin (one {f64 XValue, i32 IonDetectorMode} per channel and scan).
"""

from __future__ import annotations

import struct
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from .index import XSPECIFIC_FILE, file_header

__all__ = [
    "BOM", "TimeSegment", "Channel", "XSPECIFIC_RECORD_SIZE", "XSPECIFIC_RECORDS_OFFSET",
    "msts_xml", "xspecific_xml", "xaddition_xml", "xspecific_bin",
]

BOM = b"\xef\xbb\xbf"
XSPECIFIC_RECORDS_OFFSET = 72  # after the 68-byte header and u32 1
XSPECIFIC_RECORD_SIZE = 12
_XSPECIFIC_RECORD = np.dtype([("x", "<f8"), ("mode", "<i4")])


@dataclass(frozen=True)
class TimeSegment:
    segment_id: int
    start_min: float
    end_min: float
    scans: int  # NumOfScans


@dataclass(frozen=True)
class Channel:
    """One ICP channel: its index (the block's X in some directories), the mass and name of
    MSTS_XSpecific.xml, and the quadrupole settings of MSTS_XAddition.xml."""

    index: int
    mass: float
    name: str
    accumulation_time: float  # seconds, as a float32 value written in full
    precursor_mz: float
    product_mz: float


def _xml(lines: list[str], bom: bool) -> bytes:
    return (BOM if bom else b"") + "\r\n".join(lines + [""]).encode()


def msts_xml(segments: Sequence[TimeSegment], *, bom: bool = True) -> bytes:
    lines = ['<?xml version="1.0" encoding="utf-8"?>', "<TimeSegments>", "    <Version>3</Version>"]
    for s in segments:
        lines += [f'    <TimeSegment TimeSegmentID="{s.segment_id}">',
                  "        <!--start time in minutes-->", f"        <StartTime>{s.start_min!r}</StartTime>",
                  "        <!--end time in minutes-->", f"        <EndTime>{s.end_min!r}</EndTime>",
                  f"        <NumOfScans>{s.scans}</NumOfScans>",
                  "        <FixedCycleLength>0</FixedCycleLength>", "    </TimeSegment>"]
    lines += ["    <IRMStatus>0</IRMStatus>", "</TimeSegments>"]
    return _xml(lines, bom)


def xspecific_xml(channels: Sequence[Channel], *, segment_id: int = 1, bom: bool = True) -> bytes:
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             '<IonRecords xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">',
             "  <Version>1</Version>", f'  <IonRecord TimeSegmentID="{segment_id}">',
             "    <ExpandXValue>1</ExpandXValue>", "    <LowXExpandLimit>0.5</LowXExpandLimit>",
             "    <HighXExpandLimit>0.5</HighXExpandLimit>"]
    for c in channels:
        lines += ["    <Masses>", f"      <Mass>{c.mass:g}</Mass>", f"      <Name>{c.name}</Name>",
                  f"      <AccumulationTime>{c.accumulation_time!r}</AccumulationTime>", "    </Masses>"]
    lines += ["  </IonRecord>", "</IonRecords>"]
    return _xml(lines, bom)


def xaddition_xml(channels: Sequence[Channel], scan_type: str, *, segment_id: int = 1,
                  bom: bool = True) -> bytes:
    """``scan_type``: "SingleQuad" (precursor = product) or "MS_MS" (they may differ)."""
    lines = ['<?xml version="1.0" encoding="utf-8"?>',
             '<ArrayOfMSTS_XAddition xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">',
             f'  <MSTS_XAddition TimeSegmentID="{segment_id}">', f"    <ScanType>{scan_type}</ScanType>",
             "    <IndexedMasses>"]
    for c in channels:
        lines += ["      <MSTS_XAddition_IndexedMasses>", f"        <Index>{c.index}</Index>",
                  f"        <PrecursorIonMZ>{c.precursor_mz:g}</PrecursorIonMZ>",
                  f"        <ProductIonMZ>{c.product_mz:g}</ProductIonMZ>",
                  "      </MSTS_XAddition_IndexedMasses>"]
    lines += ["    </IndexedMasses>", "  </MSTS_XAddition>", "</ArrayOfMSTS_XAddition>"]
    return _xml(lines, bom)


def xspecific_bin(x_values: np.ndarray, modes: np.ndarray) -> bytes:
    """Header (magic 275), u32 1, then 12-byte records {f64 XValue, i32 IonDetectorMode}."""
    records = np.empty(len(x_values), dtype=_XSPECIFIC_RECORD)
    records["x"] = x_values
    records["mode"] = modes
    return file_header(XSPECIFIC_FILE) + struct.pack("<I", 1) + records.tobytes()
