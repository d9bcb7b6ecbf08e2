"""The velmora module against velmora and velmora-explain themselves: the same
lines, totals, header facts and stops, on the bundled examples and on pairs
of every row shape the bench generates."""

import json
import math
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import threading

import pytest

import velmora

VELMORA = os.environ["VELMORA"]
EXPLAIN = os.environ["VELMORA_EXPLAIN"]
GENERATE = os.environ["VELMORA_GENERATE"]
SOURCE = pathlib.Path(os.environ["VELMORA_SOURCE"])
LAYOUTS = ["layout1", "layout2", "plain"]


def bench_shapes():
    # The one list of row shapes, as bench/shapes keeps it.
    text = (SOURCE / "bench" / "shapes").read_text()
    return re.search(r'shapes=\$\{SHAPES:-"([^"]*)"\}', text).group(1).split()


def run_velmora(folder, program=VELMORA, *arguments):
    done = subprocess.run([program, *arguments], cwd=folder, capture_output=True)
    return done.returncode, done.stdout, done.stderr


def same_total(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def summed(reference, compared):
    # The comparison's sum written out: scaled column 2, in row order, each
    # square rounded once (Python floats are the same doubles, no fused
    # multiply-add), a row the reference lacks compared with zero.
    total = 0.0
    ref = reference.table[:, 1].tolist()
    for i, value in enumerate(compared.table[:, 1].tolist()):
        difference = value * 1000 - (ref[i] * 1000 if i < len(ref) else 0.0)
        total += difference * difference
    return total


def make_pair(kind, name, tmp_path):
    folder = tmp_path / name
    if kind == "example":
        shutil.copytree(SOURCE / "examples" / name, folder)
    else:
        folder.mkdir()
        layout = LAYOUTS[bench_shapes().index(name) % len(LAYOUTS)]
        subprocess.run([GENERATE, str(folder), name, layout, "2500"], check=True)
    names = [line.strip() for line in (folder / "CompareThese.inp").read_text().splitlines() if line.strip()]
    return folder, names[:2]


PAIRS = [("example", name) for name in LAYOUTS] + [("shape", shape) for shape in bench_shapes()]


@pytest.mark.parametrize("kind,name", PAIRS, ids=[f"{k}-{n}" for k, n in PAIRS])
def test_pair_as_velmora_reads_it(kind, name, tmp_path, monkeypatch):
    folder, names = make_pair(kind, name, tmp_path)
    status, out, err = run_velmora(folder)
    assert (status, err) == (0, b"")
    line = out.decode().rstrip("\n")

    # run() from elsewhere, with the folder as bytes; compare() with path objects.
    monkeypatch.chdir(tmp_path)
    by_run = velmora.run(os.fsencode(folder))
    by_compare = velmora.compare(folder / names[0], folder / names[1])
    monkeypatch.chdir(folder)
    by_default = velmora.run()
    for result in (by_run, by_compare, by_default):
        assert result.line == line
        assert same_total(result.total, float(line))

    files = [velmora.read(str(folder / n)) for n in names]
    assert same_total(summed(files[0], files[1]), by_run.total)

    # What velmora-explain reports of each file and of its rows.
    status, out, err = run_velmora(folder, EXPLAIN, "--json", "--top", "100000")
    report = json.loads(out)
    assert report["result_line"] == line
    for data, facts in zip(files, report["files"]):
        assert data.layout == (facts["layout"] if facts["layout"] == "plain" else int(facts["layout"]))
        assert data.format_code == facts["format_code"]
        assert data.title == facts["title"]
        assert len(data.table) == facts["rows"] == len(data.lines)
        assert data.rows_past_limit == facts["rows_past_limit"]
        if len(data.table):
            assert [data.lines[0], data.lines[-1]] == [facts["table_first_line"], facts["table_last_line"]]
            assert (data.lines[1:] > data.lines[:-1]).all()
        assert data.table.dtype.name == "float64" and data.lines.dtype.name == "int64"
        header = data.header
        if facts["header"] is None:
            assert header == []
        else:
            values = [value for _, value, _ in header]
            # Layout2 reads its third number again when it equals the first.
            third = values[3] if data.layout == 2 and values[2] / 1000 == values[0] / 1000 else values[2]
            expected = [facts["header"][key] for key in ("first", "second", "third", "rate")]
            assert [values[0], values[1], third, values[-1]] == expected
            assert header[-1][0].startswith("Rate") or data.layout == 1
            assert all(line_ > 0 for _, _, line_ in header)
    for row in report["top"]:
        i = row["row"] - 1
        assert files[1].table[i].tolist() == row["compared_values"]
        assert files[1].lines[i] == row["compared_line"]
        if row["reference_line"] is not None:
            assert files[0].table[i].tolist() == row["reference_values"]


# Stops: the same folder given to velmora and to the library; velmora's two
# lines and the facts the error carries, and nothing created by the library.
LAYOUT2 = "'Velmora DAT2 test file'\nFirst 1\nSecond 2\nThird 3\nskipped\nRate 0.5\n" + "h\n" * 10
GOOD = LAYOUT2 + "1 2 3\n4 5 6\n"
STOPS = [
    # name, files ({name: text | "dir" | "fifo" | "write-only"}), kind, statement, channel, file, line, item
    ("no control file", {}, "end-of-file", 28, 11, "CompareThese.inp", None, None),
    ("one name", {"CompareThese.inp": "a.dat\n", "a.dat": GOOD}, "end-of-file", 116, 11, "CompareThese.inp", None, None),
    ("missing data file", {"CompareThese.inp": "absent.dat\na.dat\n", "a.dat": GOOD},
     "end-of-file", 36, 13, "absent.dat", None, None),
    ("missing second file", {"CompareThese.inp": "a.dat\nabsent.dat\n", "a.dat": GOOD},
     "end-of-file", 124, 13, "absent.dat", None, None),
    ("non-UTF-8 name missing", {"CompareThese.inp": b"\xfe.dat\n"}, "end-of-file", 36, 13, os.fsdecode(b"\xfe.dat"), None, None),
    ("a directory", {"CompareThese.inp": "sub\na.dat\n", "sub": "dir"}, "open", 33, 13, "sub", None, None),
    ("the control file again", {"CompareThese.inp": "CompareThese.inp\na.dat\n"}, "already-open", 33, 13, None, None, None),
    ("bad number in a row", {"CompareThese.inp": "a.dat\nb.dat\n", "a.dat": GOOD, "b.dat": GOOD + "7 8x 9\n"},
     "bad-number", 188, 13, "b.dat", 19, 2),
    ("bad text in a title", {"CompareThese.inp": "a.dat\na.dat\n", "a.dat": "'title'x\n"}, "bad-text", 36, 13, "a.dat", 1, 1),
    ("no Rate label", {"CompareThese.inp": "a.dat\na.dat\n", "a.dat": LAYOUT2.split("Rate")[0] + "Rat 0.5\n"},
     "end-of-file", 79, 13, "a.dat", None, None),
    ("a named pipe", {"CompareThese.inp": "p\na.dat\n", "p": "fifo"}, "input-output", 34, 13, "p", None, None),
    ("write-only", {"CompareThese.inp": "w.dat\nw.dat\n", "w.dat": "write-only"}, "cannot-read", 36, 13, "w.dat", None, None),
]

# Runs the library in a process of its own (as an unprivileged user where the
# case needs one), printing the error's facts.
LIBRARY_CALL = """
import json, os, sys, velmora
try:
    velmora.run(os.fsencode(sys.argv[1]))
except velmora.StopError as e:
    facts = {k: getattr(e, k) for k in ("kind", "statement", "channel", "file", "line", "item", "reason")}
    facts["file"] = None if e.file is None else os.fsencode(e.file).hex()
    facts["text"] = os.fsencode(str(e)).hex()
    print(json.dumps(facts))
"""


def make_files(folder, files):
    folder.mkdir(mode=0o777)
    folder.chmod(0o777)
    for name, content in files.items():
        path = folder / os.fsdecode(name)
        if content == "dir":
            path.mkdir()
        elif content == "fifo":
            os.mkfifo(path)
        elif content == "write-only":
            path.write_text(GOOD)
            path.chmod(0o222)
        else:
            path.write_bytes(content if isinstance(content, bytes) else content.encode())


def listing(folder):
    return sorted((p.name, p.lstat().st_size, p.lstat().st_mtime_ns) for p in folder.iterdir())


def unprivileged(command):
    if os.geteuid() != 0:
        return command
    if shutil.which("setpriv") is None:
        pytest.skip("running as root without setpriv: the permission cannot be tested")
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *command]


@pytest.fixture
def open_tmp():
    # A folder an unprivileged user can reach (pytest's own is its owner's only).
    folder = pathlib.Path(tempfile.mkdtemp())
    folder.chmod(0o777)
    yield folder
    shutil.rmtree(folder)


@pytest.mark.parametrize("case", STOPS, ids=[case[0] for case in STOPS])
def test_stop_as_velmora_stops(case, open_tmp):
    name, files, kind, statement, channel, file, line, item = case
    tmp_path = open_tmp
    for folder in (tmp_path / "velmora", tmp_path / "library"):
        make_files(folder, files)
    wrap = unprivileged if kind == "cannot-read" else (lambda command: command)
    before = listing(tmp_path / "library")
    velmora_run = subprocess.run(wrap([VELMORA]), cwd=tmp_path / "velmora", capture_output=True, timeout=60)
    env = dict(os.environ, PYTHONPATH=os.environ["PYTHONPATH"])
    library_run = subprocess.run(wrap([sys.executable, "-c", LIBRARY_CALL, str(tmp_path / "library")]),
                                 capture_output=True, env=env, timeout=60, cwd=tmp_path)
    assert velmora_run.returncode == 2
    assert library_run.returncode == 0, library_run.stderr.decode()
    facts = json.loads(library_run.stdout)
    assert bytes.fromhex(facts["text"]) == velmora_run.stderr.rstrip(b"\n")
    expected_file = None if file is None else os.fsencode(file).hex()
    assert (facts["kind"], facts["statement"], facts["channel"], facts["file"], facts["line"], facts["item"]) == (
        kind, statement, channel, expected_file, line, item)
    assert (facts["reason"] is not None) == (kind in ("open", "input-output"))
    if facts["reason"] is not None:
        assert bytes.fromhex(facts["text"]).endswith(facts["reason"].encode())
    assert listing(tmp_path / "library") == before


def test_out_of_memory_is_a_stop(tmp_path):
    folder = tmp_path / "pair"
    make_files(folder, {"CompareThese.inp": "a.dat\na.dat\n", "a.dat": GOOD})
    call = """
import resource, sys, velmora
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 20), resource.RLIM_INFINITY))
try:
    velmora.run(sys.argv[1])
except velmora.StopError as e:
    print(e.kind, e.statement, e.channel, e.reason, str(e).splitlines()[0], sep="|")
"""
    done = subprocess.run([sys.executable, "-c", call, str(folder)], capture_output=True, timeout=60)
    assert done.stdout.decode().strip() == "out-of-memory|0|0|Cannot allocate memory|Velmora: out of memory"
    assert sorted(p.name for p in folder.iterdir()) == ["CompareThese.inp", "a.dat"]


def test_million_rows_and_threads(tmp_path):
    # A table one row longer than velmora reads, and a smaller one, read by
    # two threads at once: each as read alone.
    big, small = tmp_path / "big", tmp_path / "small"
    for folder, rows in ((big, 1_000_001), (small, 50_000)):
        folder.mkdir()
        subprocess.run([GENERATE, str(folder), "fixed", "plain", str(rows)], check=True)
    got = {}

    def read(key, path):
        got[key] = velmora.read(path)

    threads = [threading.Thread(target=read, args=(k, p / "compared.dat")) for k, p in (("big", big), ("small", small))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    data = got["big"]
    assert data.table.shape == (velmora.MAX_ROWS, 3) and data.rows_past_limit
    assert data.lines[0] == 22 and data.lines[-1] == 21 + velmora.MAX_ROWS
    alone = velmora.read(small / "compared.dat")
    assert (alone.table == got["small"].table).all() and not alone.rows_past_limit
    status, out, _ = run_velmora(big)
    assert velmora.run(big).line == out.decode().rstrip("\n")


def test_to_pandas_and_explain(tmp_path):
    folder, names = make_pair("example", "layout1", tmp_path)
    report = velmora.explain(folder / names[0], folder / names[1], top=3)
    assert report["result_line"] == velmora.compare(folder / names[0], folder / names[1]).line
    assert len(report["top"]) <= 3
    pandas = pytest.importorskip("pandas")
    data = velmora.read(folder / names[0])
    frame = data.to_pandas()
    assert isinstance(frame, pandas.DataFrame)
    assert (frame[["c1", "c2", "c3"]].to_numpy() == data.table).all()
    assert (frame["line"].to_numpy() == data.lines).all()
