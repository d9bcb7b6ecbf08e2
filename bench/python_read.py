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

# Memory: the peak resident set of a fresh interpreter before and after one
# read, against the arrays' own size.
probe = f"""
import resource, numpy, velmora
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
data = velmora.read({path!r})
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, after, data.table.nbytes + data.lines.nbytes)
"""
before, after, arrays = map(int, subprocess.run([sys.executable, "-c", probe], check=True, capture_output=True,
                                                text=True).stdout.split())
mib = 1024 * 1024
print(f"peak resident: {before / 1024:.1f} MiB after import, {after / 1024:.1f} MiB after the read: "
      f"{(after - before) / 1024:.1f} MiB more, for arrays of {arrays / mib:.1f} MiB "
      f"({(after - before) * 1024 / mib - arrays / mib:+.1f} MiB)")

data = velmora.read(path)
others = [("numpy.loadtxt", lambda: numpy.loadtxt(path, skiprows=HEADER_LINES))]
try:
    import pandas

    others.append(("pandas.read_csv", lambda: pandas.read_csv(path, sep=r"\s+", skiprows=HEADER_LINES,
                                                              header=None).to_numpy()))
except ImportError:
    print("pandas is not installed: pandas.read_csv not measured")
for name, load in others:
    times = []
    for _ in range(3):
        start = time.perf_counter()
        table = load()
        times.append(time.perf_counter() - start)
    same = table.shape == data.table.shape and bool((table == data.table).all())
    print(f"{name:<29} median {statistics.median(times) * 1000:7.1f} ms over 3 runs, "
          f"{'the same table' if same else 'a DIFFERENT table'} (told the header's {HEADER_LINES} lines)")
