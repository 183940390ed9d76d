"""Reads an HDF5 run file with h5py and compares it with what the test that
wrote it expects (a JSON file). Only the keys the expectation gives are
checked. Exit status 0 when everything matches; the differences are printed.

    check_run_file.py RUN.h5 EXPECT.json
"""
import json
import struct
import sys

import h5py
import numpy as np

errors = []


def check(cond, what):
    if not cond:
        errors.append(what)


def same(got, want, what):
    check(got == want, f"{what}: got {got!r}, want {want!r}")


TIME_FIELDS = ("second", "minute", "hour", "mday", "month", "year")


def run_record(rec):
    return {
        "run_type": int(rec["run_type"]),
        "run_number": int(rec["run_number"]),
        "nevts": int(rec["nevts"]),
        "time": [int(rec["time"][k]) for k in TIME_FIELDS],
    }


def check_run(f, run):
    records = f["/header/run_records"][...]
    same(len(records), 2, "run records")
    setup = f["/header"].attrs["setup"]
    setup = run_record(setup[0] if setup.shape else setup)
    for i, rec in enumerate(records[:2]):
        got = run_record(rec)
        for key in ("run_type", "run_number", "time"):
            if key in run:
                same(got[key], run[key], f"run record {i} {key}")
        key = ("nevts_open", "nevts_close")[i]
        if key in run:
            # A dataset's path: as many as its rows.
            want = run[key]
            if isinstance(want, str):
                want = f[want].shape[0]
            same(got["nevts"], want, f"run record {i} nevts")
    same(setup, run_record(records[0]), "/header setup against run record 0")


def expected_rows(data):
    """The rows the module handed out, cut or padded to the format's size;
    or, with "rows_file", those of that file, packed as h5dump -b writes
    them (evt, temp, adc)."""
    nadc = data["nadc"]
    if "rows_file" in data:
        with open(data["rows_file"], "rb") as fh:
            packed = fh.read()
        return [(evt, temp, list(adc)) for evt, temp, *adc in struct.iter_unpack(f"<Id{nadc}H", packed)]
    layout = f"<I4xd{nadc}H"
    size = struct.calcsize(layout)
    given = data.get("given_row", 0) or size
    rows = []
    for e in data["events"]:
        for r in range(data["rows_per_event"]):
            adc = [(7 * e + 3 * k + r) & 0xFFF for k in range(nadc)]
            raw = struct.pack(layout, 10 * e + r, 20.0 + e * 0.5 + r, *adc)
            raw = raw[:given].ljust(size, b"\0")
            evt, temp, *adc = struct.unpack(layout, raw)
            rows.append((evt, temp, adc))
    return rows


def check_deflate(ds, where):
    """Chunks of 256 rows, deflate level 1, and every chunk stored compressed."""
    same(ds.compression, "gzip", f"{where} filter")
    same(ds.compression_opts, 1, f"{where} deflate level")
    same(ds.chunks[0], 256, f"{where} chunk rows")
    same(ds.chunks[1:], ds.shape[1:], f"{where} chunk columns")
    raw = ds.dtype.itemsize * int(np.prod(ds.chunks))
    for i in range(ds.id.get_num_chunks()):
        info = ds.id.get_chunk_info(i)
        if info.filter_mask != 0 or info.size >= raw:
            errors.append(f"{where} chunk at row {info.chunk_offset[0]}: filter mask {info.filter_mask}, "
                          f"{info.size} bytes for {raw}")
            break


def check_data(g, mid, data):
    where = f"/modules/{mid}/data"
    if data is None:
        check("data" not in g, f"{where} should not exist")
        return
    if "data" not in g:
        errors.append(f"{where} missing")
        return
    if "count" in data:
        rows = g["data"]["event"].shape[0]
        same(rows, data["count"], f"{where} rows")
        same(g["data"]["time"].shape[0], rows, f"{where}/time rows")
        return
    rows = expected_rows(data)
    # Without "times" the run's clock was not the test's: only their count.
    times = [t for t in data.get("times", []) for _ in range(data["rows_per_event"])]
    if data.get("split"):
        evt, temp, adc = (g["data"][k][...] for k in ("evt", "temp", "adc"))
        same(sorted(g["data"].keys()), ["adc", "evt", "temp", "time"], f"{where} members")
    else:
        same(sorted(g["data"].keys()), ["event", "time"], f"{where} members")
        table = g["data"]["event"][...]
        evt, temp, adc = table["evt"], table["temp"], table["adc"]
    if data.get("deflate"):
        for name, ds in g["data"].items():
            check_deflate(ds, f"{where}/{name}")
    stored_times = g["data"]["time"][...]
    n = len(rows)
    # A file cut short by a crash may hold more rows than were flushed, or,
    # when rows were still being compressed at the flush, fewer.
    if data.get("at_least"):
        enough = len(evt) >= n
    elif data.get("at_most"):
        enough = len(evt) <= n
    else:
        enough = len(evt) == n
    check(enough, f"{where}: {len(evt)} rows for {n} expected")
    check(len(stored_times) == len(evt), f"{where}/time: {len(stored_times)} rows for {len(evt)} data rows")
    for i, (want_evt, want_temp, want_adc) in enumerate(rows[: min(n, len(evt), len(stored_times))]):
        if int(evt[i]) != want_evt or float(temp[i]) != want_temp or list(map(int, adc[i])) != want_adc:
            errors.append(f"{where} row {i}: got {int(evt[i])}, {float(temp[i])}, {list(adc[i])[:6]}..., "
                          f"want {want_evt}, {want_temp}, {want_adc[:6]}...")
            break
        if times and float(stored_times[i]) != times[i]:
            errors.append(f"{where}/time row {i}: got {float(stored_times[i])}, want {times[i]}")
            break


def check_module(f, mid, m):
    path = f"/modules/{mid}"
    if path not in f:
        errors.append(f"{path} missing")
        return
    g = f[path]
    if "members" in m:
        same(sorted(g.keys()), sorted(m["members"]), f"{path} members")
    if "config" in m:
        same([int(w) for w in g["configuration"][...]], m["config"], f"{path}/configuration")
    if "ped_times" in m:
        same([float(t) for t in g["pedestal/evt_time"][...]], m["ped_times"], f"{path}/pedestal/evt_time")
        for name in ("pedestal", "noise"):
            # One channel makes a one-column dataset of rank 1.
            got = g["pedestal/" + name][...]
            got = got.reshape(got.shape[0], -1)
            want = np.array(m[name], dtype=float).reshape(len(m[name]), -1)
            check(got.shape == want.shape and np.array_equal(got, want),
                  f"{path}/pedestal/{name}: got {got.tolist()}, want {want.tolist()}")
    if "maps" in m:
        same([int(w) for w in g["maps"][...]], m["maps"], f"{path}/maps")
    if "data" in m:
        check_data(g, mid, m["data"])


def check_scan(f, scan):
    if scan is None:
        check("scan" not in f, "/scan should not exist")
        return
    same(int(f["/scan/def/nevt"][0]), scan["nevt"], "/scan/def/nevt")
    same(int(f["/scan/def/nvar"][0]), len(scan["variables"]), "/scan/def/nvar")
    got = [[int(v["type"]), int(v["npoints"]), float(v["from"]), float(v["to"])] for v in f["/scan/def/variables"][...]]
    same(got, scan["variables"], "/scan/def/variables")
    for name in ("start", "end"):
        same([float(t) for t in f["/scan/points/" + name][...]], scan[name], "/scan/points/" + name)
    got = [[int(v["type"]), float(v["value"])] for v in f["/scan/points/values"][...]]
    same(got, scan["values"], "/scan/points/values")


def main():
    with open(sys.argv[2]) as fh:
        want = json.load(fh)
    with h5py.File(sys.argv[1], "r") as f:
        if "run" in want:
            check_run(f, want["run"])
        if "header_modules" in want:
            same([int(w) for w in f["/header/modules"][...]], want["header_modules"], "/header/modules")
        if "module_list" in want:
            same(sorted(f["/modules"].keys()), sorted(want["module_list"]), "/modules members")
        for mid, m in want.get("modules", {}).items():
            check_module(f, mid, m)
        if "scan" in want:
            check_scan(f, want["scan"])
    for e in errors:
        print(e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
