"""The Python module's cost over the library: per call, for Fid from text and
hsm_state (target: at most 1 microsecond more than the C++ call), and per
record, for iterating a changelog with ChangelogReader against the C++
reader (target: at most 3 times its time). Each pair in the same process
and run, as the fastest of many interleaved repetitions: on a shared
machine the minimum is what the code costs, the rest is other load.

    bench_python.py [--quick]   (scripts/bench runs it; the stand-in's tools
                                 on PATH, its library on LD_LIBRARY_PATH)
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

import lustreapi
import lustreapi_bench_floor as floor


def python_fid_text(text, n):
    fid = lustreapi.Fid
    start = time.perf_counter()
    for _ in range(n):
        fid(text)
    return time.perf_counter() - start


def hsm_state_overhead(path, n):
    """hsm_state against HSMStateGet, call by call, alternating: the stand-in's
    call is long and varies with what ran before it, so batches of either
    side drift apart. The C++ side is reached through the floor module; what
    that call costs by itself (a loop of 0) is taken off. Nanoseconds."""
    state, clock = lustreapi.hsm_state, time.perf_counter_ns
    py, cc, empty = [], [], []
    for _ in range(n):
        t0 = clock()
        state(path)
        t1 = clock()
        floor.hsm_state(path, 1)
        t2 = clock()
        floor.hsm_state(path, 0)
        t3 = clock()
        py.append(t1 - t0)
        cc.append(t2 - t1)
        empty.append(t3 - t2)
    median = statistics.median
    return median(py) - (median(cc) - median(empty)), median(cc) - median(empty)


def python_read_all(mdt):
    start = time.perf_counter()
    count = 0
    with lustreapi.ChangelogReader(mdt) as reader:
        for _ in reader:
            count += 1
    return time.perf_counter() - start, count


def fastest_pair(reps, library, floor_call):
    """The fastest of reps interleaved runs of each."""
    lib, flo = [], []
    for _ in range(reps):
        lib.append(library())
        flo.append(floor_call())
    return min(lib), min(flo)


def sim(*args):
    subprocess.run(["lustre-sim", *map(str, args)], check=True, stdout=subprocess.DEVNULL)


def main():
    quick = "--quick" in sys.argv[1:]
    reps = 1 if quick else 5
    batches = 2 if quick else 50  # per-call pairs: many short interleaved runs
    calls = 1000 if quick else 20000
    records = 10000 if quick else 1000000
    failed = False
    with tempfile.TemporaryDirectory() as work:
        os.environ["LUSTRE_SIM_STATE"] = os.path.join(work, "state")
        os.mkdir(os.path.join(work, "mnt"))
        sim("init", os.environ["LUSTRE_SIM_STATE"])
        sim("add-fs", "lustre")
        sim("mount", "lustre", os.path.join(work, "mnt"))
        sim("changelog-append", "lustre-MDT0000", "CREAT", "--name", "file", "--count", records)
        path = os.path.join(work, "mnt", "file")
        with open(path, "w") as f:
            f.write("data")
        lustreapi.load()

        text = "[0x200000400:0x1c:0x0]"
        rows = []
        py, cc = fastest_pair(batches, lambda: python_fid_text(text, calls), lambda: floor.fid_text(text, calls))
        rows.append(("Python Fid(text) - CLustreFID::Parse", (py - cc) / calls * 1e9, 1000, "ns per call"))
        rows.append(("", cc / calls * 1e9, None, "ns per call in C++"))
        overhead, call = hsm_state_overhead(path, calls // 4)
        rows.append(("Python hsm_state - HSMStateGet", overhead, 1000, "ns per call"))
        rows.append(("", call, None, "ns per call in C++ (the stand-in's; medians of alternating calls)"))
        py, cc = fastest_pair(reps, lambda: python_read_all("lustre-MDT0000"), lambda: floor.read_all("lustre-MDT0000"))
        if py[1] != records or cc[1] != records:
            print(f"changelog iteration: {py[1]} and {cc[1]} records read, not {records}")
            failed = True
        rows.append((f"ChangelogReader {records} / C++ reader", py[0] / cc[0], 3, "x"))
        rows.append(("", (py[0] - cc[0]) / records * 1e9, None,
                     f"ns per record more in Python ({cc[0] / records * 1e9:.0f} in C++, the stand-in's)"))

    for label, value, target, unit in rows:
        verdict = ""
        if target is not None and not quick:
            verdict = "  met" if value <= target else "  NOT met"
            verdict = f", target <= {target}{' ' if unit != 'x' else ''}{unit.split()[0] if unit != 'x' else 'x'}" + verdict
        print(f"{label:<46} {value:8.2f} {unit}{verdict}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
