"""Helpers the test suites share that are not fixture data: running threads together, and an
LZF decoder written from the format (independent of the reader and of the fixture writer) that
checks what the fixture writer compresses. Importable without the conftest, which the
free-threaded runs do not load."""

import threading


def run_threads(targets, timeout=300.0):
    """Starts every target together behind one barrier; returns the exceptions they raised.

    Fails when a thread is still running after ``timeout`` seconds."""
    barrier = threading.Barrier(len(targets))
    failures = []

    def wrap(target):
        try:
            barrier.wait()
            target()
        except BaseException as e:  # noqa: BLE001 - reported by the caller
            failures.append(e)

    threads = [threading.Thread(target=wrap, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "worker threads did not finish"
    return failures


class LzfError(Exception):
    pass


def lzf_decode(data: bytes, expected_len: int) -> bytes:
    """Plain LZF expansion to exactly expected_len bytes, with the reader's messages."""
    out = bytearray()
    i = 0
    while len(out) < expected_len and i < len(data):
        c = data[i]
        if c < 0x20:
            n = c + 1
            if i + 1 + n > len(data) or len(out) + n > expected_len:
                raise LzfError("LZF: literal run out of bounds")
            out += data[i + 1 : i + 1 + n]
            i += 1 + n
        else:
            if len(out) <= (c & 0x1F) * 256:
                raise LzfError("LZF: invalid back reference")
            length = c >> 5
            i += 1
            if length == 7:
                if i >= len(data):
                    raise LzfError("LZF: truncated length byte")
                length += data[i]
                i += 1
            if i >= len(data):
                raise LzfError("LZF: truncated reference byte")
            offset = (c & 0x1F) * 256 + data[i]
            i += 1
            if offset + 1 > len(out):
                raise LzfError("LZF: invalid back reference")
            if len(out) + length + 2 > expected_len:
                raise LzfError("LZF: match run exceeds output bounds")
            for _ in range(length + 2):
                out.append(out[-offset - 1])
    if len(out) != expected_len:
        raise LzfError(f"LZF: decompressed length {len(out)} != expected {expected_len}")
    return bytes(out)
