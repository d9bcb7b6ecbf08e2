"""velmora.read against velmora, numpy.loadtxt and pandas.read_csv on one
1,000,000-row file (bench/run-python runs it; not a test).
  python_read.py FOLDER VELMORA RUNS
FOLDER holds a generated pair (reference.dat, compared.dat, CompareThese.inp)
with a plain header of HEADER_LINES lines."""

import os
import resource
import statistics
import subprocess
import sys
import time

import numpy

import velmora

HEADER_LINES = 21

folder, program, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
path = os.path.join(folder, "reference.dat")


def seconds(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def run_velmora():
    subprocess.run([program], cwd=folder, check=True, stdout=subprocess.DEVNULL)


# Warm the page cache and both programs once.
run_velmora()
velmora.read(path)
per_file, reads, ratios = [], [], []
for _ in range(runs):
    # velmora reads both files of the pair: its time a file is half a run.
    v = seconds(run_velmora) / 2
    r = seconds(lambda: velmora.read(path))
    per_file.append(v)
    reads.append(r)
    ratios.append(r / v)
print(f"velmora, a file (half a run)  median {statistics.median(per_file) * 1000:7.1f} ms"
      f"  (min {min(per_file) * 1000:.1f}, max {max(per_file) * 1000:.1f})")
print(f"velmora.read                  median {statistics.median(reads) * 1000:7.1f} ms"
      f"  (min {min(reads) * 1000:.1f}, max {max(reads) * 1000:.1f})")
print(f"ratio read / velmora a file   median {statistics.median(ratios):7.2f}   ({runs} alternating pairs)")

# Memory: a fresh interpreter's resident set before the read, and its peak
# during it (the peak is reset first, so the import's own does not count),
# against the arrays' size.
probe = f"""
import numpy, velmora
def status(key):
    return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith(key + ":"))
open("/proc/self/clear_refs", "w").write("5")
before = status("VmRSS")
data = velmora.read({path!r})
print(before, status("VmHWM"), status("VmRSS"), data.table.nbytes + data.lines.nbytes)
"""
before, peak, after, arrays = map(int, subprocess.run([sys.executable, "-c", probe], check=True, capture_output=True,
                                                      text=True).stdout.split())
print(f"resident: {before / 1024:.1f} MiB before the read, peak {peak / 1024:.1f} MiB during it, "
      f"{after / 1024:.1f} MiB after it; the arrays are {arrays / 2**20:.1f} MiB, the peak "
      f"{(peak - before) / 1024 - arrays / 2**20:+.1f} MiB beyond them")

data = velmora.read(path)
others = [("numpy.loadtxt", lambda: numpy.loadtxt(path, skiprows=HEADER_LINES))]
try:
    import pandas

    others.append(("pandas.read_csv", lambda: pandas.read_csv(path, sep=r"\s+", skiprows=HEADER_LINES,
                                                              header=None).to_numpy()))
    # pandas's own converter is not correctly rounded; this one is.
    others.append(("pandas.read_csv round_trip", lambda: pandas.read_csv(
        path, sep=r"\s+", skiprows=HEADER_LINES, header=None, float_precision="round_trip").to_numpy()))
except ImportError:
    print("pandas is not installed: pandas.read_csv not measured")
for name, load in others:
    times = []
    for _ in range(3):
        start = time.perf_counter()
        table = load()
        times.append(time.perf_counter() - start)
    differ = int((table != data.table).sum()) if table.shape == data.table.shape else -1
    verdict = "the same table" if differ == 0 else f"{differ} values differ" if differ > 0 else "another shape"
    print(f"{name:<29} median {statistics.median(times) * 1000:7.1f} ms over 3 runs, {verdict}"
          f" (told the header's {HEADER_LINES} lines)")
