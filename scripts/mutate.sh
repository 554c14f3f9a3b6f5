#!/usr/bin/env bash
# Mutation testing of the portable core (engine/ shell/ panel/ picker/ *.cpp) against the tests on
# the simulated platform (ctest -L sim). A tool, not a test: CI does not run it.
#   nice -n 10 bash scripts/mutate.sh [--jobs N] [--timeout S] [--files F...] [--out FILE]
#              [--list] [--compare BASELINE [--against FILE]] [--blame FILE]
# Before cutting or merging tests: run with --compare scripts/mutate-baseline.txt (it then runs only
# the mutants the baseline killed); it exits non-zero if one of them now survives, and lists the
# keys that no longer exist. --against FILE compares a kill list written before by --out instead.
# --blame FILE runs every test case against each mutant and writes which ones fail: what a test
# case is the only one to catch, and what several catch alike.
#
# Operators: cmp (== <-> !=, < <-> >=, > <-> <=), drop (a one-line call statement becomes `;`),
# const (an integer literal n -> n+1), swap (two adjacent one-line statements of one block, neither
# a declaration).
# Comments, string/char literals, preprocessor lines, template arguments, array sizes and constants
# that only size arrays are never mutated. The set is deterministic. The whole set (about 1700) takes
# hours on two busy cores, so a run keeps a fixed subset chosen by a hash of each key: a third of the
# cmp and drop mutants, one in twenty of the const and swap ones (THIN below; KVN_MUTATE_ALL=1 runs
# them all). A choice depends on the key alone, so edits elsewhere never change it.
# Key of a mutant: operator, whitespace-normalised original line, occurrence of that pair in its
# file. Runs are compared by key; the file is ignored where a key is unique in the whole tree, so
# code moved between files keeps its mutants. file:line in the output is only for people.
# Each worker mutates a private copy of the tree ($TMPDIR/kvn-mutate-*/wN, kept between runs for
# incremental builds: -O1, no benches, only the unit tests). Status: killed, timeout (a kill too),
# survived, unbuildable (does not compile: not a kill).
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 -c "$(sed -n '/^#--PY--$/,$p' "$0")" "$@"
#--PY--
import argparse, concurrent.futures as cf, fcntl, hashlib, os, re, signal, subprocess, sys, threading, time

ap = argparse.ArgumentParser(prog="mutate.sh")
ap.add_argument("--files", nargs="+", default=None)
ap.add_argument("--jobs", type=int, default=1)
ap.add_argument("--timeout", type=int, default=0, help="seconds per mutant's test run (default: 4x the clean run, 60 at least)")
ap.add_argument("--list", action="store_true")
ap.add_argument("--out")
ap.add_argument("--compare")
ap.add_argument("--against")
ap.add_argument("--blame", help="write, per mutant, every test case that fails (runs whole suites: slower)")
args = ap.parse_args()
THIN = {"cmp": 3, "drop": 3, "const": 20, "swap": 20}  # keep 1 in N by key hash; KVN_MUTATE_ALL=1 keeps all
if os.environ.get("KVN_MUTATE_ALL") == "1": THIN = dict.fromkeys(THIN, 1)
DIRS = ("engine/", "shell/", "panel/", "picker/")
tracked = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], capture_output=True, text=True, check=True).stdout.split()
tracked = [f for f in tracked if os.path.isfile(f)]
sources = sorted(f for f in tracked if f.startswith(DIRS) and f.endswith(".cpp"))
if args.files:
    want = {os.path.normpath(f) for f in args.files}
    sources = [f for f in sources if f in want]

def mask(lines):
    """Each line with comments and string/char literals blanked (same columns), and each line
    with only its comments removed (the text keys are made of)."""
    code, bare, in_block = [], [], False
    for s in lines:
        i, res, keep = 0, [], []
        def put(c, k): res.append(c); keep.append(k)
        while i < len(s):
            if in_block:
                j = s.find("*/", i)
                j = len(s) if j < 0 else j + 2
                in_block = j == len(s) and not s.endswith("*/"); put(" " * (j - i), ""); i = j
            elif s.startswith("//", i): put(" " * (len(s) - i), ""); i = len(s)
            elif s.startswith("/*", i): in_block = True; put("  ", ""); i += 2
            elif s[i] in "\"'" and not (s[i] == "'" and i and s[i - 1].isalnum()):
                m = re.match(r'R"([^(]*)\(.*?\)\1"', s[i - 1:]) if i and s[i - 1] == "R" else None
                j = i + len(m.group(0)) - 1 if m else i + 1
                while not m and j < len(s) and s[j] != s[i]: j += 2 if s[j] == "\\" else 1
                j = min(j + (0 if m else 1), len(s)); put(s[i] + " " * (j - i - 2) + s[j - 1], s[i:j]); i = j
            else: put(s[i], s[i]); i += 1
        code.append("".join(res)); bare.append("".join(keep))
    return code, bare

CMP = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}
KEYWORDS = r"(return|if|else|for|while|switch|case|do|delete|throw|goto|break|continue|new|sizeof|static_assert)\b"
CALL = re.compile(r"^(?!" + KEYWORDS + r")[A-Za-z_][\w:.\->\[\]]*(<[\w:, ]*>)?\((.*)\);$")
INT = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.'])")
DECL = re.compile(r"^[\w:<>*&,]+(\s+[\w:<>*&,]+)*\s+[*&]*\w+\s*(=|\{|;|\(|\[)")  # swapping one is a no-op or breaks the build
ARRAY_DECL = re.compile(r"^(static |const |constexpr |inline |unsigned |signed )*[\w:]+[\w:<>, ]*[*& ]+\w+(\[[^\]]*\])+")

def balanced(s):
    d = 0
    for c in s:
        d += 1 if c == "(" else -1 if c == ")" else 0
        if d < 0: return False
    return d == 0

def is_boundary(prev):  # a statement may start after this (masked, stripped) line
    return prev == "" or prev[-1] in ";{}" or (prev.endswith(":") and not prev.endswith("::")) or prev in ("else",)

def mutants_of(path):
    lines = open(path, encoding="utf-8").read().split("\n")
    code, bare = mask(lines)
    text = "\n".join(code)
    sizing = set()  # constants used only inside [ ] or < >
    for m in re.finditer(r"^\s*(?:static\s+)?(?:const|constexpr)\s+[\w:]+\s+(\w+)\s*=\s*[\w']+;", text, re.M):
        uses = [u.start() for u in re.finditer(r"\b%s\b" % m.group(1), text)][1:]
        if uses and all(re.search(r"[\[<][^\]\n>;]*$", text[text.rfind("\n", 0, u) + 1:u]) for u in uses):
            sizing.add(m.group(1))
    found, seen = [], {}
    def add(op, i, new_lines, kind):
        norm = " <swap> ".join(" ".join(bare[j].split()) for j in sorted(new_lines))
        k = (op, norm)
        seen[k] = seen.get(k, 0) + 1
        if int(hashlib.sha1(("%s\t%d\t%s" % (op, seen[k], norm)).encode()).hexdigest(), 16) % THIN[kind]:
            return  # thinned: kept or not by its key alone, so edits elsewhere change no other choice
        found.append(dict(op=op, text=norm, occ=seen[k], file=path, line=i + 1, lines=new_lines, kind=kind))
    prev = ""
    for i, c in enumerate(code):
        s = c.strip()
        if not s or s.startswith("#"):
            continue
        # comparisons: binary operators as clang-format spaces them (templates and shifts are not)
        for n, m in enumerate(re.finditer(r"(?<=\s)(==|!=|<=|>=|<|>)(?=\s)", c)):
            new = lines[i][:m.start()] + CMP[m.group(1)] + lines[i][m.end():]
            add("cmp%d:%s" % (n + 1, m.group(1)), i, {i: new}, "cmp")
        m = CALL.match(s)
        if m and balanced(m.group(3)) and is_boundary(prev):
            add("drop", i, {i: re.match(r"\s*", lines[i]).group(0) + ";"}, "drop")
        decl = ARRAY_DECL.match(s)
        for n, m in enumerate(INT.finditer(c)):
            before = c[:m.start()]
            if re.search(r"\w<[^<>;()]*$", before) and ">" in c[m.end():]: continue  # template argument
            if decl and "[" in before and "]" in c[m.end():] and before.rfind("[") > before.rfind("]") and "=" not in before: continue
            d = re.match(r"\s*(?:static\s+)?(?:const|constexpr)\s+[\w:]+\s+(\w+)\s*=", c)
            if d and d.group(1) in sizing: continue
            v = int(m.group(1), 0)
            lit = (hex(v + 1) if m.group(1)[:2].lower() == "0x" else str(v + 1)) + m.group(2)
            add("const%d:%s" % (n + 1, m.group(1)), i, {i: lines[i][:m.start()] + lit + lines[i][m.end():]}, "const")
        # swap with the next line: both whole one-line statements, same indentation, same block
        j = i + 1
        if j < len(code) and is_boundary(prev) and s.endswith(";") and code[j].strip().endswith(";"):
            t = code[j].strip()
            ind = lambda x: len(x) - len(x.lstrip())
            if (ind(c) == ind(code[j]) > 0 and s != t and not DECL.match(s) and not DECL.match(t) and balanced(s) and balanced(t)
                    and not re.match(KEYWORDS, s) and not re.match(r"(return|break|continue|case|default)\b", t)):
                add("swap", i, {i: lines[j], j: lines[i]}, "swap")
        prev = s
    return found, lines

def key(m): return (m["op"], str(m["occ"]), m["text"])
def fmt(status, m): return "%s\t%s\t%s\t%s\t%s:%d" % ((status,) + key(m) + (m["file"], m["line"]))

def parse(path):
    rows = [ln.rstrip("\n").split("\t") for ln in open(path, encoding="utf-8") if ln.strip() and not ln.startswith("#")]
    return [dict(status=r[0], key=tuple(r[1:4]), file=r[4].rsplit(":", 1)[0], loc=r[4]) for r in rows]

def compare(base_rows, cur_rows, files):
    if files: base_rows = [r for r in base_rows if r["file"] in files]
    count = lambda rows: {k: sum(1 for r in rows if r["key"] == k) for k in {r["key"] for r in rows}}
    bc, cc = count(base_rows), count(cur_rows)
    by_key = {r["key"]: r for r in cur_rows}
    by_file_key = {(r["file"], r["key"]): r for r in cur_rows}
    lost, gone, unb = [], [], []
    for b in base_rows:
        if b["status"] not in ("killed", "timeout"): continue
        k = b["key"]
        cur = by_key.get(k) if bc.get(k) == 1 and cc.get(k) == 1 else by_file_key.get((b["file"], k))
        if cur is None: gone.append(b)
        elif cur["status"] == "survived": lost.append((b, cur))
        elif cur["status"] == "unbuildable": unb.append((b, cur))
    for what, rows in (("NOW SURVIVES", lost), ("now unbuildable", unb), ("key gone", [(b, None) for b in gone])):
        for b, cur in rows: print("%s\t%s\t%s (baseline %s)" % (what, "\t".join(b["key"]), cur["loc"] if cur else "-", b["loc"]))
    print("compare: %d killed before, %d now survive, %d now unbuildable, %d keys gone"
          % (sum(b["status"] in ("killed", "timeout") for b in base_rows), len(lost), len(unb), len(gone)))
    return 1 if lost else 0

if args.against:
    if not args.compare: sys.exit("--against needs --compare BASELINE")
    sys.exit(compare(parse(args.compare), parse(args.against), set(args.files or [])))

muts, originals = [], {}
for f in sources:
    found, originals[f] = mutants_of(f)
    muts += found
if args.compare and not args.list:  # only the baseline's kills can be lost: run just those
    killed = {r["key"] for r in parse(args.compare) if r["status"] in ("killed", "timeout")}
    muts = [m for m in muts if key(m) in killed]
if args.list:
    for m in muts: print(fmt(m["kind"], m))
    print("# %d mutants in %d files" % (len(muts), len(sources)))
    sys.exit(0)

root = os.path.abspath(".")
work = os.path.join(os.environ.get("TMPDIR", "/tmp"), "kvn-mutate-" + hashlib.sha1(root.encode()).hexdigest()[:8])
os.makedirs(work, exist_ok=True)
lock = open(os.path.join(work, "lock"), "w")
try: fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
except OSError: sys.exit("another mutate.sh run uses %s" % work)
TARGETS = sorted(os.path.basename(f)[:-4] for f in tracked if re.match(r"tests/unit/\w+_test\.cpp$", f))

def log(msg): print(msg, file=sys.stderr, flush=True)

def run(cmd, cwd, timeout=None):
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try: return p.communicate(timeout=timeout)[0], p.returncode
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL); p.communicate(); return "", None

def prepare(n):
    """Worker n's copy of the tree, synchronised by content so unchanged files keep their times."""
    d = os.path.join(work, "w%d" % n)
    for f in tracked:
        src, dst = open(f, "rb").read(), os.path.join(d, f)
        if not os.path.exists(dst) or open(dst, "rb").read() != src:
            os.makedirs(os.path.dirname(dst), exist_ok=True); open(dst, "wb").write(src)
    keep = {os.path.join(d, f) for f in tracked}
    for dp, dn, fn in os.walk(d):
        if dp == d: dn[:] = [x for x in dn if not x.startswith("build")]
        for x in fn:
            if os.path.join(dp, x) not in keep: os.remove(os.path.join(dp, x))
    out, rc = run(["cmake", "-S", ".", "-B", "build", "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -g0",
                   "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld", "-DKVN_BUILD_BENCH=OFF", "-DKVN_WERROR=OFF"], d)
    if rc != 0: sys.exit("configure failed in %s:\n%s" % (d, out))
    out, rc = run(["ninja", "-C", "build", "-j2"] + TARGETS, d)
    if rc != 0: sys.exit("the unmutated tree does not build in %s:\n%s" % (d, out[-3000:]))
    return d

blamed = {}
def test(d, timeout, idx):
    stop = [] if args.blame else ["--stop-on-failure"]
    out, rc = run(["ctest", "--test-dir", "build", "-L", "sim", "-j4", "--timeout", str(timeout)] + stop, d, timeout * 3 + 30)
    blamed[idx] = sorted(set(re.findall(r"^\s*\d+ - (\S+) \(", out.split("tests FAILED:")[-1], re.M))) if rc else []
    if rc is None or "***Timeout" in out: return "timeout"
    return "survived" if rc == 0 else "killed"

t0 = time.time()
log("mutate: %d mutants in %d files, %d worker(s); preparing %s" % (len(muts), len(sources), args.jobs, work))
with cf.ThreadPoolExecutor(args.jobs) as ex: dirs = list(ex.map(prepare, range(args.jobs)))
t1 = time.time()
out, rc = run(["ctest", "--test-dir", "build", "-L", "sim", "-j4"], dirs[0])
if rc != 0: sys.exit("the unmutated tree fails its sim tests:\n" + out[-3000:])
clean = time.time() - t1
timeout = args.timeout or max(60, int(4 * clean))
log("mutate: trees ready in %.0f s, clean test run %.0f s, time-out per mutant %d s" % (t1 - t0, clean, timeout))

queue, qlock, results = list(enumerate(muts)), threading.Lock(), {}
def worker(d):
    while True:
        with qlock:
            if not queue: return
            idx, m = queue.pop(0)
        f, new = os.path.join(d, m["file"]), list(originals[m["file"]])
        for i, l in m["lines"].items(): new[i] = l
        open(f, "w", encoding="utf-8").write("\n".join(new))
        try:
            bout, brc = run(["ninja", "-C", "build", "-j2"] + TARGETS, d, 600)
            status = test(d, timeout, idx) if brc == 0 else "unbuildable"
        finally:
            open(f, "w", encoding="utf-8").write("\n".join(originals[m["file"]]))
        results[idx] = status
        log("[%d/%d %4.0fs] %s" % (len(results), len(muts), time.time() - t0, fmt(status, m)))
with cf.ThreadPoolExecutor(args.jobs) as ex: list(ex.map(worker, dirs))

st = [results[i] for i in range(len(muts))]
summary = "%d mutants, %d killed (%d by time-out), %d survived, %d unbuildable; %.0f s, %d worker(s)" % (
    len(st), st.count("killed") + st.count("timeout"), st.count("timeout"), st.count("survived"), st.count("unbuildable"), time.time() - t0, args.jobs)
report = ["# mutate.sh kill list: status, operator, occurrence, line text, file:line (thinned 1 in %s)" % THIN]
report += [fmt(s, m) for s, m in zip(st, muts)] + ["# " + summary]
if args.out: open(args.out, "w", encoding="utf-8").write("\n".join(report) + "\n")
else: print("\n".join(report))
log("mutate: " + summary)
if args.blame:
    open(args.blame, "w", encoding="utf-8").write("".join("%s\t%s\n" % (fmt(st[i], m), " ".join(blamed.get(i, []))) for i, m in enumerate(muts)))
if args.compare:
    cur = [dict(status=s, key=key(m), file=m["file"], loc="%s:%d" % (m["file"], m["line"])) for s, m in zip(st, muts)]
    sys.exit(compare(parse(args.compare), cur, set(sources) if args.files else set()))
