#!/bin/bash
# Twenty failing cases of different kinds, as a new user meets them, through
# every output: the lines, the JUnit XML (read by junitparser), the JSON, and
# the HTML report rendered in headless Chromium, whose DOM (not the page's
# text) is checked: the index sorts the totals as numbers and shows them in
# one notation, a case page shows each file's facts, the findings with their
# kinds and a relation's exceptions, and each top row's records labelled.
# Screenshots are left in SHOTS (if given).
# Usage: twenty_test.sh SUITE SOURCE_DIR [SHOTS]
set -u
suite=$1
source=$2
shots=${3:-}
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
py=/usr/bin/python3

# ---- the tree ----------------------------------------------------------------
# cNN: plain files of ROWS rows; the compared one adds D to column 2 of each
# row. Their totals are ROWS x (1000 D)^2, from 1e-9 to 1e10, so a sort by
# text would put them out of order.
cd "$work" || exit 1
table() {  # ROWS SCALE ADD [SPIKE_ROW SPIKE]
  awk -v n="$1" -v s="$2" -v d="$3" -v r="${4:-0}" -v x="${5:-0}" 'BEGIN {
    print "readings"; for (i = 0; i < 20; i++) print "header line";
    for (i = 1; i <= n; i++) printf "%d %.9f %d\n", i, (i * 0.25 + (i == r ? x : 0)) * s + d, i % 3 }'
}
plain_case() {  # NAME ROWS ADD [limit file: yes|no]
  mkdir -p "T/$1"
  table "$2" 1 0 > "T/$1/a.dat"
  table "$2" 1 "$3" > "T/$1/b.dat"
  printf 'a.dat\nb.dat\n' > "T/$1/CompareThese.inp"
  [ "${4:-yes}" = yes ] && printf '0\n' > "T/$1/velmora-limit"
  return 0
}
plain_case c01 10 0.000001
plain_case c02 40 0.00001 no
plain_case c03 7 0.0001
plain_case c04 100 0.001 no
plain_case c05 3 0.01
plain_case c06 50 0.1 no
plain_case c07 9 1
plain_case c08 200 3
plain_case c09 11 0.5 no
plain_case c10 5 0.002
plain_case c11 60 0.00003 no
plain_case c12 13 20
# A relation: the compared file is in units 1000 times smaller, but row 4.
mkdir -p T/c13
table 20 1 0 > T/c13/a.dat
table 20 1000 0 4 0.01 > T/c13/b.dat
printf 'a.dat\nb.dat\n' > T/c13/CompareThese.inp
printf '1\n' > T/c13/velmora-limit
# Row counts that differ.
mkdir -p T/c14
table 30 1 0 > T/c14/a.dat
table 25 1 0.01 > T/c14/b.dat
printf 'a.dat\nb.dat\n' > T/c14/CompareThese.inp
printf '1e-3\n' > T/c14/velmora-limit
# The compared file is missing: velmora would stop.
mkdir -p T/c15
table 5 1 0 > T/c15/a.dat
printf 'a.dat\nmissing.dat\n' > T/c15/CompareThese.inp
# Two layout 2 files with header numbers.
cp -R "$source/examples/layout2" T/c16
printf '0\n' > T/c16/velmora-limit
# One spike among equal rows.
mkdir -p T/c17
table 40 1 0 > T/c17/a.dat
table 40 1 0 17 2.5 > T/c17/b.dat
printf 'a.dat\nb.dat\n' > T/c17/CompareThese.inp
printf '0\n' > T/c17/velmora-limit
# A header cut short: velmora stops.
mkdir -p T/c18
table 5 1 0 > T/c18/a.dat
printf 'readings\nheader\n' > T/c18/b.dat
printf 'a.dat\nb.dat\n' > T/c18/CompareThese.inp
# Two cases one folder deeper.
plain_case group/c19 15 0.04
plain_case group/c20 25 0.0005 no

# ---- the run -------------------------------------------------------------------
status=0
"$suite" --fail-above 0 T > lines 2> err || status=$?
[ "$status" -eq 2 ] || fail "exit status $status: $(cat err)"
"$suite" --fail-above 0 --json T > json 2> /dev/null
"$suite" --fail-above 0 --junit junit.xml --junit-suite twenty --html report T > /dev/null 2>&1

$py - lines json junit.xml <<'EOF' || fail "the lines, the JSON and the JUnit XML"
import json, math, re, sys
from junitparser import JUnitXml, Failure, Error
lines = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if "\t" in l and not l.startswith("\t")]
doc = json.load(open(sys.argv[2]))
xml = JUnitXml.fromfile(sys.argv[3])
problems = []
def check(ok, what):
    if not ok:
        problems.append(what)
check(len(lines) == 20, "%d lines" % len(lines))
verdicts = {l[0]: l[3] for l in lines}
check(all(v in ("fail", "error") for v in verdicts.values()), "a case that does not fail: %s" % verdicts)
check([p for p, v in verdicts.items() if v == "error"] == ["c15", "c18"], "errors: %s" % verdicts)
cases = {c["path"]: c for c in doc["cases"]}
for l in lines:
    c = cases[l[0]]
    check((c["first_finding"] or "") == l[4], "%s: the line's finding is not the JSON's" % l[0])
    kinds = [f["kind"] for f in c["findings"]]
    if c["verdict"] == "fail":
        check(kinds[-1] == "limit", "%s: the verdict is not the last finding: %s" % (l[0], kinds))
        origin = "velmora-limit" if l[2] != "0" or l[0] in ("c01",) else None
        n, total = c["rows_compared"], c["total"]
        check(abs(c["rms_scaled_difference"] - math.sqrt(total / n)) <= 1e-12 * max(1, math.sqrt(total / n)),
              "%s: RMS %r for total %r over %d rows" % (l[0], c["rms_scaled_difference"], total, n))
check(cases["c13"]["first_finding"].startswith("compared column 2 is 1000 x the reference's on 19 of 20 rows"),
      "c13: the message is not the relation: %r" % cases["c13"]["first_finding"])
relation = [f for f in cases["c13"]["findings"] if f["kind"] == "relation"][0]
check(relation["details"] and relation["details"][0].startswith("row 4 (line 25): read "), "c13: exceptions %r" % relation["details"])
check(cases["c04"]["rows_compared"] == 100, "c04 rows")
# JUnit, as a CI server reads it.
xml.update_statistics()
check((xml.tests, xml.failures, xml.errors) == (20, 18, 2), "JUnit counts %s" % ((xml.tests, xml.failures, xml.errors),))
for suite in xml:
    check(suite.name == "twenty", "suite name %r" % suite.name)
    for case in suite:
        path = case.name if case.classname == "twenty" else case.classname + "/" + case.name
        check(path in verdicts, "JUnit case %r %r" % (case.classname, case.name))
        for result in case.result:
            if isinstance(result, Failure):
                c = cases[path]
                origin = "velmora-limit" if c["limit_from"] == "file" else "--fail-above"
                m = re.match(r"total (\S+) above the limit ", result.message)
                check(m and float(m.group(1)) == c["total"], "%s: failure message %r, total %r" % (path, result.message, c["total"]))
                check("(%s)" % origin in result.message, "%s: the message does not name %s" % (path, origin))
                check("  " not in result.message, "%s: padding in the message %r" % (path, result.message))
                if c["first_finding"]:
                    check(result.message.endswith(c["first_finding"]), "%s: the message does not end with the finding" % path)
            check(isinstance(result, (Failure, Error)), "%s: %r" % (path, result))
if problems:
    print("\n".join(problems))
    sys.exit(1)
EOF

# ---- the HTML report, in Chromium -----------------------------------------------
if ! command -v chromium > /dev/null 2>&1; then
  echo "chromium not found: the HTML report is not checked in a browser"
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi
browse() {  # URL OUTPUT [SCREENSHOT]
  profile=$(mktemp -d "$work/profile.XXXXXX")
  timeout 120 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
    --no-first-run --disable-component-update --disable-sync --user-data-dir="$profile" \
    --window-size=1280,1400 --virtual-time-budget=5000 ${3:+--screenshot="$3"} --dump-dom "$1" > "$2" 2> browser.log ||
    { cat browser.log >&2; fail "chromium could not open $1"; }
}
number() { awk -F '\t' -v p="$1" '!/^\t/ && NF > 1 { n++ } $1 == p { print n; exit }' lines; }
c13=$(number c13)
c16=$(number c16)
browse "file://$work/report/index.html#sort=total" index.dom ${shots:+"$shots/twenty-index.png"}
browse "file://$work/report/$(printf 'case-%04d.html' "$c16")" c16.dom ${shots:+"$shots/twenty-case.png"}
browse "file://$work/report/$(printf 'case-%04d.html' "$c13")" c13.dom
$py - index.dom c16.dom c13.dom json <<'EOF' || fail "the HTML report's DOM"
import json, re, sys
from html.parser import HTMLParser

class Dom(HTMLParser):
    """The elements as a tree: tag, attributes, children, text."""
    def __init__(self):
        super().__init__()
        self.root = {"tag": "", "attrs": {}, "children": [], "text": ""}
        self.stack = [self.root]
    def handle_starttag(self, tag, attrs):
        node = {"tag": tag, "attrs": dict(attrs), "children": [], "text": ""}
        self.stack[-1]["children"].append(node)
        if tag not in ("br", "img", "meta", "input", "link"):
            self.stack.append(node)
    def handle_endtag(self, tag):
        for i in range(len(self.stack) - 1, 0, -1):
            if self.stack[i]["tag"] == tag:
                del self.stack[i:]
                break
    def handle_data(self, data):
        self.stack[-1]["text"] += data

def parse(name):
    dom = Dom()
    dom.feed(open(name, encoding="utf-8").read())
    return dom.root
def walk(node):
    yield node
    for child in node["children"]:
        yield from walk(child)
def find(node, pred):
    return [n for n in walk(node) if pred(n)]
def text(node):
    return node["text"] + "".join(text(c) for c in node["children"])

problems = []
def check(ok, what):
    if not ok:
        problems.append(what)
cases = {c["path"]: c for c in json.load(open(sys.argv[4]))["cases"]}

# The index, sorted by total by its own script: the rows in the DOM's order.
index = parse(sys.argv[1])
rows = find(index, lambda n: n["tag"] == "tr" and "data-verdict" in n["attrs"])
check(len(rows) == 20, "the index shows %d rows" % len(rows))
totals = [float(r["attrs"]["data-total"]) for r in rows]
check(totals == sorted(totals), "the index is not sorted by total as numbers: %s" % totals)
for row in rows:
    cells = find(row, lambda n: n["tag"] == "td" and "number" in n["attrs"].get("class", ""))
    path = row["attrs"]["data-path"]
    check(len(cells) == 1, "%s: no total cell" % path)
    shown = text(cells[0]).strip()
    if cases[path]["total"] is None:
        check(shown == "-", "%s: total %r" % (path, shown))
    else:
        check(re.fullmatch(r"\d\.\d{4}e[+-]\d\d+", shown), "%s: total %r not in one notation" % (path, shown))
        check(abs(float(shown) - cases[path]["total"]) <= 1e-4 * cases[path]["total"], "%s: total %r" % (path, shown))
    finding = [n for n in find(row, lambda n: n["tag"] == "td") if "finding" in n["attrs"].get("class", "")]
    check(finding and text(finding[0]) == (cases[path]["first_finding"] or ""), "%s: index finding" % path)

# A case page: each file's facts, the findings, the top rows' records.
page = parse(sys.argv[2])
def fact(role, field):
    cell = find(page, lambda n: n["attrs"].get("data-role") == role and n["attrs"].get("data-field") == field)
    return text(cell[0]).strip() if cell else None
check(fact("reference", "layout") == "2" and fact("compared", "layout") == "2", "c16 layouts %r %r" % (fact("reference", "layout"), fact("compared", "layout")))
check(fact("reference", "title") == "Velmora DAT2 injection test, run 1", "c16 title %r" % fact("reference", "title"))
check((fact("reference", "format code") or "").startswith("'2' (character"), "c16 format code %r" % fact("reference", "format code"))
check((fact("reference", "header numbers") or "").startswith("first 2, second 1500"), "c16 header %r" % fact("reference", "header numbers"))
check(re.fullmatch(r"lines \d+ to \d+", fact("compared", "table") or ""), "c16 table %r" % fact("compared", "table"))
check(fact("compared", "rows") == str(cases["c16"]["rows_compared"]), "c16 rows %r" % fact("compared", "rows"))
kinds = [n["attrs"]["data-kind"] for n in find(page, lambda n: n["tag"] == "li" and "data-kind" in n["attrs"])]
check(kinds and kinds[-1] == "limit" and "largest" in kinds, "c16 finding kinds %s" % kinds)
records = find(page, lambda n: n["tag"] == "tr" and "record" in n["attrs"].get("class", ""))
check(len(records) >= 2 and [r["attrs"]["data-role"] for r in records[:2]] == ["reference", "compared"], "c16 records")
for r in records:
    values = find(r, lambda n: "values" in n["attrs"].get("class", ""))
    check(values and re.fullmatch(r"[-0-9.e+]+, [-0-9.e+]+, [-0-9.e+]+", text(values[0])), "c16 values read: %r" % text(r))
shares = [text(c) for c in find(page, lambda n: n["tag"] == "td") if re.fullmatch(r"[0-9.]+%|< 0\.01%", text(c))]
check(shares and all(len(s.split(".")[-1]) <= 5 for s in shares), "c16 shares %s" % shares)
check(find(page, lambda n: n["tag"] == "img" and n["attrs"].get("id") == "picture"), "c16 has no picture")

# The relation and its exceptions, whitespace kept.
page = parse(sys.argv[3])
relation = find(page, lambda n: n["attrs"].get("data-kind") == "relation")
check(relation and find(relation[0], lambda n: "exceptions" in n["attrs"].get("class", "")), "c13: no exceptions under the relation")
if problems:
    print("\n".join(problems))
    sys.exit(1)
EOF
echo "twenty cases checked in the lines, JUnit, JSON and Chromium"
