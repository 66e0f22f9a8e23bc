"""LZF streams: liblzf's compressor, literal-only streams, long expansions and broken streams.

liblzf is loaded lazily from ``liblzf.so.1`` (Debian packages liblzf1 / liblzf-dev); the other
builders work without it.
"""

from __future__ import annotations

import ctypes

import numpy as np

__all__ = [
    "LZF_MAX_LITERAL", "LZF_FAULTS", "LzfUnavailableError",
    "lzf_literal", "lzf_compress", "lzf_expanding", "broken_lzf_stream",
]

LZF_MAX_LITERAL = 32
LZF_MAX_REFERENCE = 264  # bytes one back reference copies
LZF_FAULTS = (
    "literal_run_out_of_bounds",
    "invalid_back_reference",
    "truncated_length_byte",
    "truncated_reference_byte",
    "match_run_exceeds_output_bounds",
    "decompressed_length_mismatch",
)


class LzfUnavailableError(RuntimeError):
    """liblzf.so.1 could not be loaded."""


_lzf_compress_fn = None


def _liblzf_compress():
    global _lzf_compress_fn
    if _lzf_compress_fn is None:
        try:
            lib = ctypes.CDLL("liblzf.so.1")
        except OSError as exc:
            raise LzfUnavailableError(
                "liblzf.so.1 not found: install the Debian package liblzf1 (or liblzf-dev)"
                f" ({exc})"
            ) from exc
        fn = lib.lzf_compress
        fn.argtypes = (ctypes.c_void_p, ctypes.c_uint, ctypes.c_void_p, ctypes.c_uint)
        fn.restype = ctypes.c_uint
        _lzf_compress_fn = fn
    return _lzf_compress_fn


def lzf_literal(data: bytes) -> bytes:
    """LZF stream of literal runs only (32 bytes each, the last shorter): n + ceil(n/32) bytes."""
    a = np.frombuffer(bytes(data), dtype=np.uint8)
    full = len(a) // LZF_MAX_LITERAL
    runs = np.empty((full, LZF_MAX_LITERAL + 1), dtype=np.uint8)
    runs[:, 0] = LZF_MAX_LITERAL - 1
    runs[:, 1:] = a[: full * LZF_MAX_LITERAL].reshape(full, LZF_MAX_LITERAL)
    tail = a[full * LZF_MAX_LITERAL :]
    out = runs.tobytes()
    if len(tail):
        out += bytes([len(tail) - 1]) + tail.tobytes()
    return out


def lzf_compress(data: bytes) -> bytes:
    """Compresses with liblzf; when it gains nothing (returns 0), the literal-only stream."""
    data = bytes(data)
    n = len(data)
    if n < 2:
        return lzf_literal(data)
    fn = _liblzf_compress()
    # Room for n - 1 bytes: liblzf returns 0 unless the stream is shorter than its input.
    out = ctypes.create_string_buffer(n - 1)
    got = fn(data, n, out, n - 1)
    if got == 0:
        return lzf_literal(data)
    return out.raw[:got]


def _back_reference(length: int, distance: int) -> bytes:
    """Token copying ``length`` (3..264) bytes from ``distance`` (1..8192) back."""
    off = distance - 1
    if length <= 8:
        return bytes([((length - 2) << 5) | (off >> 8), off & 0xFF])
    return bytes([0xE0 | (off >> 8), length - 9, off & 0xFF])


def lzf_expanding(expected_len: int) -> bytes:
    """A valid stream that expands to ``expected_len`` (>= 1) zero bytes: one literal, then
    back references of distance 1, so a few bytes claim 264 bytes of output each."""
    full, rest = divmod(expected_len - 1, LZF_MAX_REFERENCE)
    tail = b""
    if rest >= 3:
        tail = _back_reference(rest, 1)
    elif rest:
        tail = bytes([rest - 1]) + bytes(rest)
    return b"\x00\x00" + _back_reference(LZF_MAX_REFERENCE, 1) * full + tail


def broken_lzf_stream(payload: bytes, fault: str) -> tuple[bytes, str]:
    """A stream that fails to expand to ``len(payload)`` bytes, and the decoder's message.

    Built on the literal-only encoding; ``payload`` needs at least 2 bytes.
    """
    payload = bytes(payload)
    e = len(payload)
    if e < 2:
        raise ValueError("payload needs at least 2 bytes")
    head = bytes([0]) + payload[:1]  # one literal byte: output position 1
    if fault == "literal_run_out_of_bounds":
        return lzf_literal(payload)[:-1], "LZF: literal run out of bounds"
    if fault == "invalid_back_reference":
        return _back_reference(3, 1) + lzf_literal(payload), "LZF: invalid back reference"
    if fault == "truncated_length_byte":
        return head + b"\xe0", "LZF: truncated length byte"
    if fault == "truncated_reference_byte":
        return head + b"\x20", "LZF: truncated reference byte"
    if fault == "match_run_exceeds_output_bounds":
        # All literals except the last run, then a reference one byte longer than that run.
        last = (e - 1) % LZF_MAX_LITERAL + 1
        if last == e:  # a single run: one literal byte, then a reference past the end
            stream, last = head, e - 1
        else:
            stream = lzf_literal(payload)
            stream = stream[: len(stream) - last - 1]
        return stream + _back_reference(max(3, last + 1), 1), "LZF: match run exceeds output bounds"
    if fault == "decompressed_length_mismatch":
        last = (e - 1) % LZF_MAX_LITERAL + 1
        stream = lzf_literal(payload)
        return stream[: len(stream) - last - 1], f"LZF: decompressed length {e - last} != expected {e}"
    raise ValueError(f"unknown LZF fault {fault!r}; one of {LZF_FAULTS}")
