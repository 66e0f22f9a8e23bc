"""to_arrow(), scan_table(format="arrow") and the mzPeak writer, checked by what independent
readers make of the output: the format's reference reader (when installed from
../shared/vendor/mzpeak-reference), pyarrow's Parquet reader and DuckDB."""

import json
import os
import re
import stat
import subprocess
import sys
import zipfile
from pathlib import Path

import kestrane_acq
import numpy as np
import pytest
from kestrane_acq import arrow as acq_arrow
from kestrane_acq import mzpeak as acq_mzpeak
from kestrane_fixtures.acq import LAYOUTS, Variant, acq_run, record_dtype

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

ROOT = Path(__file__).resolve().parents[2]
REALDATA = Path(os.environ.get("KESTRANE_REALDATA") or ROOT.parent / "shared" / "realdata")
REAL_RUNS = sorted(d.name for d in REALDATA.iterdir() if (d / "AcqData").is_dir()) if REALDATA.is_dir() else []
REFERENCE = ROOT.parent / "shared" / "vendor" / "mzpeak-reference"

# (family, scans, points, variant): runs of every decoder; tof-lzf has stored centroids beside
# its profiles, and its interrupted variant records whose index claims points none are read;
# a run without its profile file has only spectra that cannot be read.
RUNS = {
    "tof-rle": ("tof-rle", 12, 300, None),
    "tof-lzf-interrupted": ("tof-lzf", 8, 250, Variant(interrupted=2)),
    "tof-rle-no-profiles": ("tof-rle", 4, 100, Variant(omit=frozenset({"MSProfile.bin"}))),
    "gc": ("gc", 20, None, None),
    "icp": ("icp", 15, None, None),
    "quad": ("quad", 10, 200, None),
    "tof-centroid": ("tof-centroid", 9, 200, None),  # product-ion scans, of known charge or not
}


@pytest.fixture(scope="module", params=RUNS)
def run(request, tmp_path_factory):
    family, scans, points, variant = RUNS[request.param]
    base = tmp_path_factory.mktemp(request.param)
    path = acq_run(base / "run.d", family, scans, points, seed=3, variant=variant).path
    acq = kestrane_acq.open(path)
    yield acq, base
    acq.close()


def reference():
    """The reference reader, which tools/setup.sh installs when its folder is there."""
    return pytest.importorskip("mzpeak", reason=f"the mzPeak reference reader is not installed "
                               f"(pip install {REFERENCE}/python pynumpress)")


def bits(a):
    return np.ascontiguousarray(np.asarray(a, dtype=np.float64)).view(np.uint64)


def exact_in_float32(values):
    return np.array_equal(values.astype(np.float32).astype(np.float64), values)


# (prefer, centroid): the stored representation, and profiles picked by the centroider.
READS = [("profile", False), ("centroid", False), ("profile", True), ("centroid", True)]


@pytest.mark.parametrize("prefer,centroid", READS, ids=[f"{p}{'-picked' if c else ''}" for p, c in READS])
def test_to_arrow_is_every_spectrum_bit_for_bit(run, prefer, centroid):
    acq, _ = run
    spectra = [acq.spectrum(i, prefer=prefer, centroid=centroid) for i in range(len(acq))]
    if centroid:  # the picked spectra differ from the profiles in point counts
        assert any(s.representation == "centroid" for s in spectra) or not any(
            acq.spectrum(i, prefer=prefer).representation == "profile" for i in range(len(acq)))
    table = acq.to_arrow(prefer, centroid, threads=2)
    assert table.schema.names == ["spectrum_index", "mz", "intensity"]
    index = np.concatenate([np.full(len(s), i, np.uint64) for i, s in enumerate(spectra)])
    mz = np.concatenate([s.mz for s in spectra])
    intensity = np.concatenate([s.intensity for s in spectra])
    assert np.array_equal(table["spectrum_index"].to_numpy(), index)
    assert np.array_equal(bits(table["mz"].to_numpy()), bits(mz))
    assert np.array_equal(bits(table["intensity"].to_numpy()), bits(intensity))
    assert table.schema.field("intensity").type == (
        pa.float32() if exact_in_float32(intensity) else pa.float64())
    # The stream of the same points: float64 intensities, each batch decoded as it is read.
    stream = acq.arrow_batches(prefer, centroid, threads=2).read_all()
    assert stream.schema.field("intensity").type == pa.float64()
    assert np.array_equal(stream["spectrum_index"].to_numpy(), index)
    assert np.array_equal(bits(stream["mz"].to_numpy()), bits(mz))
    assert np.array_equal(bits(stream["intensity"].to_numpy()), bits(intensity))
    st = acq.scan_table(format="arrow")
    numpy_table = acq.scan_table()
    assert st.column_names == list(numpy_table)
    assert st["polarity"].to_pylist() == list(numpy_table["polarity"])
    assert np.array_equal(st["retention_time_sec"].to_numpy(), numpy_table["retention_time_sec"])


# (allocate, error): pyarrow's pool, then callables whose buffers a column cannot be written to.
ALLOCATORS = [
    ("pyarrow", None),
    ("read-only", "a bytes-like object is required|writable"),
    ("short", "must give n writable bytes aligned for float64"),
    ("raises", "no memory here"),
]


@pytest.mark.parametrize("allocate,error", ALLOCATORS, ids=[a for a, _ in ALLOCATORS])
def test_point_batch_columns_in_the_callers_buffers(run, allocate, error):
    # The interrupted run claims points it does not read: its columns are laid out again, in
    # buffers allocated a second time, with the GIL released around the decoding.
    acq, _ = run
    def raises(n):
        raise MemoryError("no memory here")
    fn = {"pyarrow": pa.allocate_buffer, "read-only": bytes, "short": lambda n: bytearray(n - 1),
          "raises": raises}[allocate]
    indices = list(range(len(acq)))
    if error is not None:
        with pytest.raises((TypeError, BufferError, MemoryError), match=error):
            acq_arrow.point_batch(acq, indices, threads=2, float32=True, allocate=fn)
        return
    before = pa.total_allocated_bytes()
    batch = acq_arrow.point_batch(acq, indices, threads=2, float32=True, allocate=fn)
    assert pa.total_allocated_bytes() - before >= 8 * len(batch)
    assert all(isinstance(b, pa.Buffer) for b in batch.buffers)
    pooled = acq_arrow.record_batch(batch)
    del batch
    own = pa.record_batch(acq_arrow.point_batch(acq, indices, threads=2, float32=True))
    assert pooled.schema == own.schema and pooled.equals(own)
    assert acq_arrow.point_batch(acq, indices).buffers is None


def test_float32_only_when_the_whole_run_holds_it(tmp_path, monkeypatch):
    # Batches of one spectrum: the first three exact in float32, the fourth not. The table and
    # the mzPeak member (begun as float32) are float64 throughout, with every value as read.
    from kestrane_fixtures.acq.blocks import gc_centroid_block
    from kestrane_fixtures.acq.directory import Block, Content, Scan, write_run
    from kestrane_fixtures.acq.runs import FAMILIES

    def make(i):
        # Eleven points: the inexact value among those narrowed four at a time.
        mz = 100.0 + i + np.arange(11.0)
        y = 1.0 + i + np.arange(11.0)
        if i == 3:
            y[5] = 1.0 / 3.0
        fields = {"ScanID": i + 1, "ScanMethodID": 1, "TimeSegmentID": 1, "ScanTime": 0.5 * i,
                  "MSLevel": 1, "ScanType": 1, "IonPolarity": 0}
        return Scan(fields, [Block(1, gc_centroid_block(mz, y), 11, Content("centroid", mz, y))])

    acq = kestrane_acq.open(write_run(tmp_path / "mixed.d", FAMILIES["gc"], 4, make).path)
    monkeypatch.setattr(acq_arrow, "BATCH_POINTS", 1)
    table = acq.to_arrow()
    want = np.concatenate([s.intensity for s in acq])
    assert want[-6] == 1.0 / 3.0
    assert table.schema.field("intensity").type == pa.float64()
    assert table["intensity"].num_chunks == 4
    assert np.array_equal(bits(table["intensity"].to_numpy()), bits(want))
    out = tmp_path / "mixed.mzpeak"
    assert acq.to_mzpeak(f"{out}/").intensity == "float64"
    data = pq.read_table(out / "spectra_data.parquet")
    assert np.array_equal(bits(data["point"].combine_chunks().field("intensity")), bits(want))
    # The ZIP begun with a float32 member begins again: one member of each name.
    packed = tmp_path / "mixed.zip.mzpeak"
    acq.to_mzpeak(packed)
    with zipfile.ZipFile(packed) as z:
        names = z.namelist()
        data = pq.read_table(z.open("spectra_data.parquet"))
    assert len(names) == len(set(names)) == 5
    assert np.array_equal(bits(data["point"].combine_chunks().field("intensity")), bits(want))


# (count, type): counts decoded as float32 stay so up to 2^24; past it the spectrum is decoded
# as float64 and narrowed when float32 holds it (2^25), else the whole table is float64.
COUNTS = [(2**24, pa.float32()), (2**25, pa.float32()), (2**24 + 1, pa.float64())]


@pytest.mark.parametrize("family", ["tof-rle", "tof-lzf"])
@pytest.mark.parametrize("count,type_", COUNTS, ids=[str(c) for c, _ in COUNTS])
def test_counts_past_the_integers_of_float32(tmp_path, monkeypatch, family, count, type_):
    from kestrane_fixtures.acq import runs

    made = runs._Tof.counts

    def counts(self, i):
        c = made(self, i)
        if i == 2:
            c[len(c) // 2] = count
        return c

    monkeypatch.setattr(runs._Tof, "counts", counts)
    with kestrane_acq.open(acq_run(tmp_path / "big.d", family, 4, 300, seed=1).path) as acq:
        want = np.concatenate([s.intensity for s in acq])
        assert count in want
        table = acq.to_arrow(threads=2)
    assert table.schema.field("intensity").type == type_
    assert np.array_equal(bits(table["intensity"].to_numpy()), bits(want))


REPRESENTATION = {"profile": "MS:1000128", "centroid": "MS:1000127"}  # CV terms


@pytest.mark.parametrize("packed,centroid", [(True, False), (False, False), (True, True)],
                         ids=["zip", "unpacked", "zip-picked"])
def test_reference_reader_reads_what_kestrane_reads(run, packed, centroid, monkeypatch):
    mzpeak = reference()
    acq, base = run
    # Small row groups, so that the reader's row-group and page-index paths are exercised.
    monkeypatch.setattr(acq_mzpeak, "ROW_GROUP_BYTES", 16 << 10)
    out = base / ("run.mzpeak" if packed else "unpacked.mzpeak")
    summary = acq.to_mzpeak(str(out) + ("" if packed else "/"), centroid=centroid, overwrite=True)
    check_against_reference(mzpeak.MzPeakFile(str(out)), acq, centroid)
    statuses = [acq.spectrum(i).status for i in range(len(acq))]
    assert (summary.skipped, summary.failed) == (
        statuses.count("incomplete"), sum(st not in ("ok", "empty", "incomplete") for st in statuses))
    assert f", {summary.skipped} skipped, {summary.failed} failed, " in str(summary)


@pytest.mark.parametrize("stop_at", [None, 1], ids=["to-the-end", "interrupted"])
def test_progress_reports_the_records_and_can_stop_the_conversion(tmp_path, stop_at, monkeypatch):
    # Batches of 65,536 points at the least: 30 x 5,000 points make three.
    acq = kestrane_acq.open(acq_run(tmp_path / "r.d", "tof-rle", 30, 5000, seed=1).path)
    monkeypatch.setattr(acq_mzpeak, "ROW_GROUP_BYTES", 1 << 20)
    calls = []

    def progress(done, total):
        calls.append((done, total))
        if stop_at is not None and len(calls) > stop_at:
            raise KeyboardInterrupt

    if stop_at is None:
        acq.to_mzpeak(tmp_path / "x.mzpeak", progress=progress)
    else:
        with pytest.raises(KeyboardInterrupt):
            acq.to_mzpeak(tmp_path / "x.mzpeak", progress=progress)
    done = [d for d, _ in calls]
    assert done == sorted(done) and {t for _, t in calls} == {30}
    if stop_at is None:
        assert calls[-1] == (30, 30) and len(calls) > 2
    else:
        assert len(calls) == stop_at + 1
        assert sorted(p.name for p in tmp_path.iterdir()) == ["r.d"]  # nothing left behind


@pytest.mark.parametrize("name", REAL_RUNS or [pytest.param(None, marks=pytest.mark.skip(
    reason=f"no real data at {REALDATA} (set KESTRANE_REALDATA)"))])
def test_real_directories_read_back_through_the_reference_reader(name, tmp_path):
    mzpeak = reference()
    with kestrane_acq.open(REALDATA / name) as acq:
        acq.to_mzpeak(tmp_path / "run.mzpeak")
        check_against_reference(mzpeak.MzPeakFile(str(tmp_path / "run.mzpeak")), acq, False,
                                random_access=False)


@pytest.mark.parametrize("name", REAL_RUNS or [pytest.param(None, marks=pytest.mark.skip(
    reason=f"no real data at {REALDATA} (set KESTRANE_REALDATA)"))])
def test_real_directories_to_arrow_bit_for_bit(name):
    # The instruments' own run-length and LZF blocks through the float32 decoder, on one
    # thread and two.
    with kestrane_acq.open(REALDATA / name) as acq:
        spectra = [acq.spectrum(i) for i in range(len(acq))]
        mz = np.concatenate([s.mz for s in spectra])
        intensity = np.concatenate([s.intensity for s in spectra])
        for threads in (1, 2):
            table = acq.to_arrow(threads=threads)
            assert table.schema.field("intensity").type == (
                pa.float32() if exact_in_float32(intensity) else pa.float64())
            assert np.array_equal(bits(table["mz"].to_numpy()), bits(mz))
            assert np.array_equal(bits(table["intensity"].to_numpy()), bits(intensity))


def check_against_reference(ref, acq, centroid, random_access=True):
    """What the reference reader gives for each spectrum is what kestrane_acq reads: arrays bit
    for bit, identity, time, MS level, polarity, precursor and the figures. The arrays are read
    spectrum by spectrum with random_access (the reader's page-index path, some milliseconds a
    spectrum), and as one range of the whole run in any case. Incomplete records are left out:
    spectrum i is the i-th complete record."""
    table = acq.scan_table()
    kept = np.flatnonzero(~table["incomplete"])
    assert len(ref) == len(kept)
    spectra = [acq.spectrum(r, centroid=centroid) for r in kept]
    tic = np.array([s.tic for s in spectra])
    [processing] = ref.file_metadata["data_processing_method_list"]
    assert [p["accession"] for m in processing["methods"] for p in m["parameters"]
            if p["accession"] is not None] == ["MS:1000544"] + ["MS:1000035"] * centroid
    for i, (r, s) in enumerate(zip(kept.tolist(), spectra)):
        got = ref[i] if random_access else ref.spectrum_metadata[i]
        assert got["index"] == i
        failed = s.status not in ("ok", "empty")
        assert any(p.get("name") == "conversion failure" for p in got.get("parameters", [])) == failed
        if s.representation in REPRESENTATION:
            assert got["spectrum representation"] == REPRESENTATION[s.representation]
        assert got["id"] == f"scanId={table['scan_id'][r]}"
        assert got["ms level"] == table["ms_level"][r]
        assert got["time"] * 60.0 == table["retention_time_sec"][r]
        assert got["number of data points"] == len(s)
        assert got["total ion current"] == tic[i]
        if random_access:
            assert np.array_equal(bits(got.get("m/z array", [])), bits(s.mz))
            assert np.array_equal(bits(got.get("intensity array", [])), bits(s.intensity))
        if len(s):
            k = int(np.argmax(s.intensity))
            assert (got["base peak m/z"], got["base peak intensity"]) == (s.mz[k], s.intensity[k])
            assert (got["lowest observed m/z"], got["highest observed m/z"]) == (s.mz.min(), s.mz.max())
        polarity = {"positive": 1, "negative": -1}.get(table["polarity"][r])
        assert got.get("scan polarity") == polarity
        if table["ms_level"][r] >= 2 and not np.isnan(table["precursor_mz"][r]):
            [p] = got["precursors"]
            target, half = table["precursor_mz"][r], table["isolation_width"][r] / 2.0
            window = p["isolation_window"]
            assert (window["target"], window["lower_bound"], window["upper_bound"]) == (
                (target, target - half, target + half) if half > 0 else (target, None, None))
            assert p.get("charge state") == s.charge_state
            before = np.flatnonzero(table["ms_level"][kept[:i]] == 1)
            if before.size:  # linked to the last MS1 scan, which carries the selected ion
                assert p["precursor_index"] == before[-1]
                assert p["selected ion m/z"] == table["precursor_mz"][r]
        stored = acq.spectrum(r, prefer="centroid")
        if s.representation == "profile" and stored.representation == "centroid":
            peaks = ref.read_peaks_for(i)
            assert np.array_equal(bits(peaks["m/z array"]), bits(stored.mz))
            assert np.array_equal(bits(peaks["intensity array"]), bits(stored.intensity))
    times, values = ref.extract_tic()
    assert np.array_equal(bits(values), bits(tic))
    whole = ref.spectra_signal_for_indices(slice(0, len(kept)))  # {} when no point is written
    index = np.concatenate([np.full(len(s), i, np.uint64) for i, s in enumerate(spectra)])
    assert np.array_equal(np.asarray(whole.get("spectrum_index", []), np.uint64), index)
    assert np.array_equal(bits(whole.get("m/z array", [])),
                          bits(np.concatenate([s.mz for s in spectra])))
    assert np.array_equal(bits(whole.get("intensity array", [])),
                          bits(np.concatenate([s.intensity for s in spectra])))


def test_layout_page_index_and_stored_members(run):
    acq, base = run
    out = base / "layout.mzpeak"
    acq.to_mzpeak(out, overwrite=True)
    with zipfile.ZipFile(out) as z:
        members = z.infolist()
        assert {m.compress_type for m in members} == {zipfile.ZIP_STORED}
        index = json.loads(z.read("mzpeak_index.json"))
        names = [m.filename for m in members]
        assert sorted(f["name"] for f in index["files"]) == sorted(set(names) - {"mzpeak_index.json"})
        data = pq.ParquetFile(z.open("spectra_data.parquet"))
    schema = data.schema_arrow
    point = schema.field("point").type
    assert [f.name for f in point] == ["spectrum_index", "mz", "intensity"]
    assert point.field("mz").metadata[b"array_accession"] == b"MS:1000514"
    meta = data.metadata
    arrays = json.loads(meta.metadata[b"spectrum_array_index"])
    assert [e["path"] for e in arrays["entries"]] == ["point.mz", "point.intensity"]
    assert int(meta.metadata[b"spectrum_data_point_count"]) == meta.num_rows
    for g in range(meta.num_row_groups):
        for c in range(meta.num_columns):
            col = meta.row_group(g).column(c)
            assert col.has_offset_index and col.has_column_index, col.path_in_schema


def test_duckdb_queries_the_unpacked_run(run):
    duckdb = pytest.importorskip("duckdb")
    acq, base = run
    out = base / "sql.mzpeak"
    acq.to_mzpeak(os.fsencode(f"{out}/"), overwrite=True)  # a bytes path, as open() takes
    data = (out / "spectra_data.parquet").as_posix()
    [(count, spectra)] = duckdb.sql(
        f"select count(*), count(distinct point.spectrum_index) from read_parquet('{data}')"
    ).fetchall()
    points = [len(s) for s in acq]
    assert (count, spectra) == (sum(points), sum(1 for n in points if n))


@pytest.mark.parametrize("shared,encoding", [(True, "RLE_DICTIONARY"), (False, "BYTE_STREAM_SPLIT")],
                         ids=["shared-axis", "own-axes"])
def test_mz_dictionary_coded_where_spectra_share_their_values(tmp_path, shared, encoding):
    # 200 scans of 64 centroids: m/z drawn from one list of 2,000 for all, or of each scan's own.
    from kestrane_fixtures.acq.blocks import gc_centroid_block
    from kestrane_fixtures.acq.directory import Block, Content, Scan, write_run
    from kestrane_fixtures.acq.runs import FAMILIES

    rng = np.random.default_rng(5)
    axis = rng.uniform(50.0, 900.0, 2000)

    def make(i):
        mz = np.sort(rng.choice(axis, 64, replace=False) if shared else rng.uniform(50.0, 900.0, 64))
        y = rng.integers(1, 5000, 64).astype(np.float64)
        fields = {"ScanID": i + 1, "ScanMethodID": 1, "TimeSegmentID": 1, "ScanTime": 0.01 * i,
                  "MSLevel": 1, "ScanType": 1, "IonPolarity": 0}
        return Scan(fields, [Block(1, gc_centroid_block(mz, y), 64, Content("centroid", mz, y))])

    acq = kestrane_acq.open(write_run(tmp_path / "run.d", FAMILIES["gc"], 200, make).path)
    out = tmp_path / "run.mzpeak"
    acq.to_mzpeak(f"{out}/")
    data = pq.ParquetFile(out / "spectra_data.parquet")
    assert encoding in data.metadata.row_group(0).column(1).encodings
    want = np.concatenate([s.mz for s in acq])
    assert np.array_equal(bits(data.read()["point"].combine_chunks().field("mz")), bits(want))
    if shared:
        check_against_reference(reference().MzPeakFile(str(out)), acq, False, random_access=False)


def edit_records(run, field, values):
    """Sets `field` of every record of the run's MSScan.bin to `values`."""
    scan = run.acq_dir / "MSScan.bin"
    data = bytearray(scan.read_bytes())
    records = np.frombuffer(data, record_dtype(LAYOUTS[run.family.layout], run.family.n_blocks),
                            offset=run.data_offset)
    records[field] = values
    scan.write_bytes(data)


# (record field, values, metadata column, its type): the format's narrow types where they hold
# every value, the scan table's where a stored value would wrap.
STORED = [("MSLevel", [1, 2], "spectrum.MS_1000511_ms_level", "uint8"),
          ("MSLevel", [300, 1], "spectrum.MS_1000511_ms_level", "int32"),
          ("MSLevel", [-1, 1], "spectrum.MS_1000511_ms_level", "int32"),
          ("ScanMethodID", [-5, 2], "scan.MS_1000616_preset_scan_configuration", "int64")]


@pytest.mark.parametrize("field,values,column,type_", STORED)
def test_record_values_are_kept_as_stored(tmp_path, field, values, column, type_):
    run = acq_run(tmp_path / "r.d", "tof-rle", 2, 50, seed=1)
    edit_records(run, field, values)
    acq = kestrane_acq.open(run.path)
    acq.to_mzpeak(f"{tmp_path / 'x.mzpeak'}/")
    struct, name = column.split(".")
    got = pq.read_table(tmp_path / "x.mzpeak" / "spectra_metadata.parquet")[struct].combine_chunks().field(name)
    assert str(got.type) == type_ and got.to_pylist()[:2] == values


# Native IDs that mzML cannot carry, and what both writers say of them.
NATIVE_IDS = {"repeated-ids": ([7, 7], "records 0 and 1 share ScanID 7; native IDs must be unique"),
              "negative-id": ([7, -3], "record 1 has a negative ScanID (-3)")}


@pytest.mark.parametrize("case", ["exists", "appears-while-writing", "foreign-directory",
                                  "no-folder", "no-pyarrow", "closed-while-streaming", "pipe",
                                  *NATIVE_IDS])
def test_refusals(tmp_path, case, monkeypatch):
    run = acq_run(tmp_path / "r.d", "tof-rle", 2, 50, seed=1)
    if case in NATIVE_IDS:
        edit_records(run, "ScanID", NATIVE_IDS[case][0])
    acq = kestrane_acq.open(run.path)
    out = tmp_path / "x.mzpeak"
    if case in NATIVE_IDS:
        for write in (acq.to_mzpeak, acq.to_mzml):
            with pytest.raises(kestrane_acq.FormatError, match=re.escape(NATIVE_IDS[case][1])):
                write(out)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["r.d"]
    elif case == "exists":
        out.write_bytes(b"keep")
        with pytest.raises(FileExistsError):
            acq.to_mzpeak(out)
        assert out.read_bytes() == b"keep"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["r.d", "x.mzpeak"]  # no temporary
    elif case == "appears-while-writing":
        index_json = acq_mzpeak._index_json

        def late(kinds):
            out.write_bytes(b"keep")
            return index_json(kinds)

        monkeypatch.setattr(acq_mzpeak, "_index_json", late)
        with pytest.raises(FileExistsError):
            acq.to_mzpeak(out)
        assert out.read_bytes() == b"keep"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["r.d", "x.mzpeak"]
    elif case == "pipe":  # overwrite never puts a file in place of a pipe or a device
        os.mkfifo(out)
        with pytest.raises(OSError, match=re.escape(f"not replaced: {out} is not a regular file")):
            acq.to_mzpeak(out, overwrite=True)
        assert stat.S_ISFIFO(out.lstat().st_mode)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["r.d", "x.mzpeak"]
    elif case == "no-folder":
        with pytest.raises(FileNotFoundError) as error:
            acq.to_mzpeak(tmp_path / "absent" / "x.mzpeak")
        assert error.value.filename == str(tmp_path / "absent" / "x.mzpeak")
    elif case == "foreign-directory":
        # overwrite replaces a run written before, but not a directory of anything else.
        acq.to_mzpeak(f"{out}/")
        acq.to_mzpeak(f"{out}/", overwrite=True)
        (out / "notes.txt").write_text("keep")
        with pytest.raises(IsADirectoryError, match="neither empty nor an unpacked mzPeak run"):
            acq.to_mzpeak(out, overwrite=True)
        assert (out / "notes.txt").read_text() == "keep"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["r.d", "x.mzpeak"]
    elif case == "closed-while-streaming":
        reader = acq.arrow_batches()
        acq.close()
        with pytest.raises(ValueError, match="closed Acquisition"):
            reader.read_all()
    else:
        monkeypatch.setitem(sys.modules, "pyarrow", None)
        with pytest.raises(ImportError, match=r"kestrane\[parquet\]"):
            acq.to_arrow()


def test_convert_command_writes_both_forms(tmp_path):
    run = acq_run(tmp_path / "r.d", "tof-rle", 4, 100, seed=1)
    kestrane = [sys.executable, "-m", "kestrane_acq.cli", "convert", str(run.path), "-o"]
    for out in (tmp_path / "a.mzpeak", f"{tmp_path / 'b.mzpeak'}/"):
        proc = subprocess.run(kestrane + [str(out)], capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert "4 spectra, 400 points" in proc.stdout
    assert zipfile.is_zipfile(tmp_path / "a.mzpeak")
    assert (tmp_path / "b.mzpeak" / "spectra_data.parquet").is_file()
    proc = subprocess.run(kestrane[:-2] + [str(run.path), str(run.path), "-o", "c.mzpeak"],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2 and "takes one directory" in proc.stderr


def test_many_runs_example_converts_on_dask_and_queries_every_run(tmp_path, monkeypatch):
    distributed = pytest.importorskip("dask.distributed")
    pytest.importorskip("duckdb")
    monkeypatch.syspath_prepend(ROOT / "examples")
    import many_runs
    runs = [acq_run(tmp_path / f"run{k}.d", "tof-rle", 6, 300, seed=k).path for k in (1, 2)]
    out = tmp_path / "it's [out]"  # a quote and glob characters: the query lists files by name
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None,
                                  processes=True) as cluster, distributed.Client(cluster) as client:
        broken = tmp_path / "broken.d" / "AcqData"  # no index: reported, the others converted
        broken.mkdir(parents=True)
        rows = many_runs.convert_all(client, [str(r) for r in runs] + [str(broken.parent)],
                                     str(out), threads=1)
        twin = acq_run(tmp_path / "again" / "run1.d", "tof-rle", 2, 10, seed=3).path
        with pytest.raises(ValueError, match="would both be written to"):
            many_runs.convert_all(client, [str(runs[0]), str(twin)], str(out))
    assert sorted(r["run"] for r in rows if "error" not in r) == ["run1", "run2"]
    [bad] = [r for r in rows if "error" in r]
    assert bad["run"] == "broken" and "MSScan.bin" in bad["error"]
    with kestrane_acq.open(runs[0]) as acq:
        mz = float(acq[2].mz[150])
    got = many_runs.xic_all(str(out), mz, ppm=50.0)
    want = []
    for name, path in zip(["run1", "run2"], runs):
        with kestrane_acq.open(path) as acq:
            rt, sums = acq.xic(mz, ppm=50.0)
            want += [(name, t, s) for t, s in zip(rt, sums) if s > 0]
    assert {r for r, _, _ in want} == {"run1", "run2"}
    positive = [(r, t * 60.0, s) for r, t, s in got if s > 0]
    assert [(r, t) for r, t, _ in positive] == [(r, t) for r, t, _ in want]
    np.testing.assert_allclose([s for *_, s in positive], [s for *_, s in want], rtol=1e-12)
