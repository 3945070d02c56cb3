"""Mutation score of the test suite: single-token faults planted in core/, engine/ and src/velk.

    python benchmarks/mutation.py [--seed 1] [--count 120] [--files GLOB] [--list]
        [--only M001,M017] [--out docs/FILE.md] [--scratch DIR] [--timeout SECONDS]

A mutant changes one token of a code line: + - and * / swapped, < <=, > >=, == !=, and/or
(&& ||), True/False, a `not` (or `!`) dropped, a constant (0 <-> 1, k -> k + 1, a float
doubled), a unary minus dropped, sqrt/fabs/abs removed, min <-> max, i + 1 -> i in an index,
an early return/break/continue (one inside an if) removed, inf -> nan. Comments, strings,
preprocessor lines and assert, raise and throw statements (error-message text) are never
mutated. The sample is drawn with the seed, stratified: a quarter of --count from core/, a
quarter from engine/, half from src/velk.

Mutants run one at a time in a copy of the working tree under --scratch, never in the tree
itself, with one CMake build directory there, so that a C++ mutant recompiles only what
includes its file. A C++ mutant that does not compile is stillborn and not scored; the others
run ctest first (C++), then the test files that reach the file (REACH) with pytest -x; one that
outlasts --timeout counts as killed by the timeout. At the end the tests that killed mutants
run again on the unmutated copy: a mutant whose killer fails there too counts as survived.

With --matrix FILE the tests run in full (no -x) and FILE gets, for every test function
reached, the mutants it kills and those it alone kills (a C++ mutant that ctest kills needs
no Python test and is left out): the evidence for deleting a test that no planted fault
fails, or for keeping one. A Python mutant then runs the test functions that execute its
line (the unmutated suite run once under coverage, one context per test function, which
needs `coverage`), or the reaching files where only the import runs it.
"""

from __future__ import annotations

import argparse
import fnmatch
import hashlib
import io
import itertools
import keyword
import os
import re
import shutil
import signal
import subprocess
import sys
import tokenize
from collections import Counter
from dataclasses import dataclass, replace
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
AREAS = {"core": 1, "engine": 1, "src/velk": 2}  # shares of --count
SOURCES = ("core/*.cpp", "core/*.hpp", "engine/*.cpp", "engine/*.hpp", "src/velk/*.py")

# The test files (tests/test_NAME.py) that exercise each source file directly, by stem, the
# likeliest killers first so that -x stops early (for src/velk: chosen among the files whose
# tests call into the module, as a profiler counted them). @NAME is a group defined above its
# use; an indented line continues the one above. A file not listed, and every file with
# --full, runs the whole suite. C++ files run ctest first.
REACH = """
@search: search pruning engine
@fit: fit api module cv errors properties
csaps prepare ppform: @fit search spline
partition_search segment segment_kernels line_search: @search fit
array input_error options error: @fit search
cv: cv select errors
fit: @fit search leaks
cancel: engine threads many
functional dominance line_states fast_root wide_extend: @search ar1 fit
ar1 ar1_stats: ar1 ar1_stats select_ar1 engine errors
segment_splines: ar1 fit spline select engine
noise: select noise engine
stats: ar1_stats select uncertainty path noise select_ar1
samples scaled_fit setting pow2 invalid: engine errors time ar1 @search fit spline select
_ar1: select_ar1 auto ar1_stats noise many
_cli _report _table: cli
_cv: select errors api docs
_example: cli docs
_fit: fit errors time spline api engine ar1 properties
_jumps: uncertainty jump_plot cli select_ar1 noise errors
_many: many cli select_ar1 errors
_lockstep: select many
_path: path docs errors
_plot: jump_plot cli select path
_robust: noise auto many select_ar1
_plan _score _search _select: select auto select_ar1 many noise path errors cli
_params _validate: errors properties fit select time cli many
_ppoly _spline: spline api fit time uncertainty jump_plot cli
_raw: errors spline api fit time uncertainty properties
_samples _time: time select errors fit path cli spline
"""


def reach() -> dict[str, list[str]]:
    groups: dict[str, list[str]] = {}
    found: dict[str, list[str]] = {}
    for line in re.sub(r"\n\s+", " ", REACH).strip().splitlines():
        names, tests = line.split(":")
        files = [f for t in tests.split() for f in groups.get(t, [f"tests/test_{t}.py"])]
        for name in names.split():
            (groups if name[0] == "@" else found)[name] = list(dict.fromkeys(files))
    return found


SWAP = {"+": "-", "-": "+", "*": "/", "/": "*", "**": "*", "//": "/", "+=": "-=", "-=": "+="}
SWAP |= {"*=": "/=", "/=": "*=", "<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!="}
SWAP |= {"!=": "==", "and": "or", "or": "and", "&&": "||", "||": "&&"}
SWAP |= {"True": "False", "False": "True", "true": "false", "false": "true"}
MINMAX = {"min": "max", "max": "min", "minimum": "maximum", "maximum": "minimum"}
MINMAX |= {"fmin": "fmax", "fmax": "fmin", "argmin": "argmax", "argmax": "argmin"}
DROPPED_CALLS = {"sqrt", "fabs", "abs"}
NAN = {"infinity": "quiet_NaN", "INFINITY": "NAN", "HUGE_VAL": "NAN", "inf": "nan"}
SKIPPED = {"assert", "raise", "throw", "static_assert", "import", "from", "#"}
VALUE_END = {")", "]", "}"}
ENDS = ("]", ",", ":")  # what may follow the 1 of an index i + 1
T = tokenize
PY_TOKENS = (T.NAME, T.NUMBER, T.OP, T.STRING, T.NEWLINE, T.INDENT, T.DEDENT)
PYTEST = ["-p", "no:cacheprovider", "--hypothesis-seed=0"]  # deterministic property tests
FAILED = re.compile(r"^(?:FAILED|ERROR) (tests/\S+?\.py(?:::.*?)?)(?: - |$)", re.M)
CPP_OPS = "<<= >>= -> :: ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= { } ( ) [ ] ; ,"
CPP_OPS += " . ? : = < > + - * / % & | ^ ! ~"  # the longest first
CPP_TOKEN = re.compile(
    r"(?P<space>\s+)|(?P<comment>//[^\n]*|/\*.*?\*/)|(?P<pre>^[ \t]*#(?:\\\n|[^\n])*)"
    r"|(?P<str>\"(?:\\.|[^\"\\])*\"|'(?:\\.|[^'\\])*')"
    r"|(?P<num>(?:\d|\.\d)(?:[eEpP][+-]|[\w.'])*)|(?P<name>[A-Za-z_]\w*)"
    r"|(?P<op>" + "|".join(map(re.escape, CPP_OPS.split())) + ")",
    re.S | re.M,
)


@dataclass(frozen=True)
class Tok:
    kind: str  # name, num, op, str, end (of a statement), indent, dedent
    text: str
    start: int
    end: int
    gaps: tuple[bool, bool] = (True, True)  # whitespace before and after


@dataclass(frozen=True)
class Mutant:
    path: str
    line: int
    start: int
    end: int
    new: str
    kind: str
    key: str = ""  # the file, the line's text, the column and the change
    ident: str = ""

    @property
    def area(self) -> str:
        return "src/velk" if self.path.startswith("src/") else self.path.split("/")[0]

    def apply(self, text: str) -> str:
        return text[: self.start] + self.new + text[self.end :]

    def describe(self, text: str) -> str:
        old = text[self.start : self.end].strip() or "?"
        lines = self.apply(text).splitlines()
        shown = " ".join(lines[self.line - 1].split())
        return f"{self.kind}: `{old}` -> `{self.new or ''}` in `{shown[:70]}`"


def py_tokens(text: str) -> list[Tok]:
    starts = [0, *itertools.accumulate(map(len, text.splitlines(keepends=True)))]
    kinds = dict(zip(PY_TOKENS, ("name", "num", "op", "str", "end", "indent", "dedent")))
    toks = []
    for t in tokenize.generate_tokens(io.StringIO(text).readline):
        if t.type in kinds:
            a, b = starts[t.start[0] - 1] + t.start[1], starts[t.end[0] - 1] + t.end[1]
            toks.append(Tok(kinds[t.type], t.string, a, b))
    return toks


def cpp_tokens(text: str) -> list[Tok]:
    toks = []
    for m in CPP_TOKEN.finditer(text):
        kind = m.lastgroup or ""
        if kind == "pre":
            toks.append(Tok("name", "#", m.start(), m.start()))
            toks.append(Tok("end", ";", m.end(), m.end()))
        elif kind not in ("space", "comment"):
            a, b = m.start(), m.end()
            gaps = (a == 0 or text[a - 1].isspace(), b == len(text) or text[b].isspace())
            toks.append(Tok(kind, m.group(), a, b, gaps))
    return toks


def is_value(t: Tok) -> bool:
    named = t.kind == "name" and not keyword.iskeyword(t.text) and t.text != "return"
    return named or t.kind in ("num", "str") or t.text in VALUE_END


class Context:
    """What a token's neighbours tell: binary or unary, in an index, in a skipped statement,
    at the start of a statement under an if (then where that statement ends)."""

    def __init__(self, toks: list[Tok], cpp: bool):
        self.toks, self.cpp = toks, cpp
        self.skip, self.index = [False] * len(toks), [False] * len(toks)
        self.early: dict[int, int] = {}
        self.closes: dict[int, str] = {}  # closing bracket -> the token before its opener
        brackets: list[tuple[str, str]] = []
        blocks: list[str] = []  # the header keyword of each open block
        first = header = ""
        for k, t in enumerate(toks):
            prev = toks[k - 1] if k else Tok("end", ";", 0, 0)
            if t.kind not in ("end", "indent", "dedent") and self.starts(k, prev, bool(brackets)):
                outer, first = first, t.text
                if t.text in ("return", "break", "continue"):
                    self.mark_early(k, prev, outer, blocks)
            self.skip[k] = first in SKIPPED
            self.index[k] = bool(brackets) and brackets[-1][0] == "["
            if t.kind == "op" and t.text in ("(", "[", "{"):
                brackets.append((t.text, prev.text))
            elif t.kind == "op" and t.text in (")", "]", "}") and brackets:
                self.closes[k] = brackets.pop()[1]
            if t.kind == "indent" or (cpp and t.text == "{"):
                blocks.append(header if not cpp else "if" if self.after_if(k, prev) else "")
            elif (t.kind == "dedent" or (cpp and t.text == "}")) and blocks:
                blocks.pop()
            if t.kind == "end":
                header = first if prev.text == ":" else ""

    def after_if(self, k: int, prev: Tok) -> bool:
        return prev.text == "else" or self.closes.get(k - 1) == "if"

    def starts(self, k: int, prev: Tok, nested: bool) -> bool:
        if prev.kind in ("end", "indent", "dedent") or (prev.text in ("else", ":") and not nested):
            return True
        return self.cpp and (prev.text in ("{", "}", ";") or self.after_if(k, prev))

    def mark_early(self, k: int, prev: Tok, outer: str, blocks: list[str]) -> None:
        ifs = ("if", "elif", "else")
        under = self.after_if(k, prev) or (prev.text == ":" and outer in ifs)
        if under or (prev.text != ":" and blocks and blocks[-1] in ifs):
            self.early[k] = self.statement_end(k)

    def statement_end(self, k: int) -> int:
        depth = 0
        for t in self.toks[k:]:
            if t.kind == "op":
                depth += (t.text in ("(", "[", "{")) - (t.text in (")", "]", "}"))
            if depth <= 0 and (t.kind == "end" or (self.cpp and t.text == ";")):
                return t.end if self.cpp else t.start
        return self.toks[-1].end

    def binary(self, k: int) -> bool:
        if self.cpp:
            return self.toks[k].gaps == (True, True)
        return k > 0 and is_value(self.toks[k - 1])


def constant(text: str) -> str | None:
    m = re.fullmatch(r"(\d+|\d*\.\d*(?:[eE][+-]?\d+)?|\d+[eE][+-]?\d+)([uUlLfF]*)", text)
    if not m:
        return None
    digits, suffix = m.groups()
    if re.fullmatch(r"\d+", digits):
        k = int(digits)
        return f"{1 if k == 0 else 0 if k == 1 else k + 1}{suffix}"
    doubled = 2.0 * float(digits) or 1.0
    return f"{doubled!r}{suffix}" if doubled != float("inf") else None


def token_mutants(ctx: Context, k: int) -> list[tuple[int, int, str, str]]:
    """(start, end, new text, kind) of every mutant of token k."""
    toks, t = ctx.toks, ctx.toks[k]
    nxt = toks[k + 1] if k + 1 < len(toks) else Tok("end", ";", t.end, t.end)
    prev = toks[k - 1] if k else Tok("end", ";", 0, 0)
    out = []
    if t.text in SWAP and t.kind in ("op", "name") and (t.kind == "name" or ctx.binary(k)):
        out.append((t.start, t.end, SWAP[t.text], "bool" if t.kind == "name" else "operator"))
    if t.text == "-" and not ctx.binary(k) and (not ctx.cpp or not t.gaps[1]):
        out.append((t.start, t.end, "", "negation"))
    if t.text in ("not", "!") and t.kind in ("name", "op"):
        out.append((t.start, nxt.start if t.kind == "name" else t.end, "", "not"))
    if t.kind == "name" and nxt.text == "(":
        out += call_mutants(toks, k)
    if t.text in NAN and ((t.text != "inf") if ctx.cpp else prev.text == "."):
        out.append((t.start, t.end, NAN[t.text], "inf"))
    if t.kind == "str" and t.text in ('"inf"', "'inf'") and toks[k - 2].text == "float":
        out.append((t.start, t.end, '"nan"', "inf"))
    if k in ctx.early:
        out.append((t.start, ctx.early[k], "{}" if ctx.cpp else "pass", "return"))
    return out + number_mutants(ctx, k)


def number_mutants(ctx: Context, k: int) -> list[tuple[int, int, str, str]]:
    """A constant changed, or i + 1 -> i (and i - 1 -> i) in an index."""
    toks, t = ctx.toks, ctx.toks[k]
    nxt = toks[k + 1] if k + 1 < len(toks) else t
    after = toks[k + 2].text if k + 2 < len(toks) else "]"
    index_offset = ctx.index[k] and nxt.text == "1" and after in ENDS
    if t.text in ("+", "-") and ctx.binary(k) and index_offset:
        return [(toks[k - 1].end, nxt.end, "", "index")]
    offset = t.kind == "num" and t.text == "1" and toks[k - 1].text in ("+", "-")
    new = constant(t.text) if t.kind == "num" else None
    if new is None or (offset and ctx.binary(k - 1) and ctx.index[k] and nxt.text in ENDS):
        return []
    return [(t.start, t.end, new, "constant")]


def call_mutants(toks: list[Tok], k: int) -> list[tuple[int, int, str, str]]:
    t = toks[k]
    if t.text in MINMAX:
        return [(t.start, t.end, MINMAX[t.text], "min/max")]
    if t.text not in DROPPED_CALLS:
        return []
    first = k
    while first >= 2 and toks[first - 1].text in (".", "::") and toks[first - 2].kind == "name":
        first -= 2
    if first < k and toks[first].text not in ("std", "math", "np", "numpy"):
        return []  # a method of something else
    return [(toks[first].start, t.end, "", "call")]


def mutants_of(path: str) -> list[Mutant]:
    text = (REPO / path).read_text()
    cpp = not path.endswith(".py")
    ctx = Context(cpp_tokens(text) if cpp else py_tokens(text), cpp)
    found = []
    for k in range(len(ctx.toks)):
        if ctx.skip[k] or ctx.toks[k].kind in ("end", "indent", "dedent"):
            continue
        for start, end, new, kind in token_mutants(ctx, k):
            bol = text.rfind("\n", 0, start) + 1
            key = f"{path}|{text[bol : text.find(chr(10), start)].strip()}|{start - bol}|{new}"
            line = text.count("\n", 0, start) + 1
            found.append(Mutant(path, line, start, end, new, kind, key))
    return found


def sample(seed: int, count: int, pattern: str) -> list[Mutant]:
    files = sorted({str(p.relative_to(REPO)) for g in SOURCES for p in REPO.glob(g)})
    by_area: dict[str, list[Mutant]] = {a: [] for a in AREAS}
    for path in files:
        if fnmatch.fnmatch(path, pattern):
            for m in mutants_of(path):
                by_area[m.area].append(m)
    shares = {a: s for a, s in AREAS.items() if by_area[a]}
    chosen: list[Mutant] = []
    left, total = count, sum(shares.values())
    for n, (area, share) in enumerate(shares.items()):
        quota = left if n == len(shares) - 1 else round(count * share / total)
        # A mutant's draw hangs on the seed and its own line only, so that an edit elsewhere
        # leaves the rest of the sample as it was.
        draw = sorted(
            by_area[area], key=lambda m: hashlib.sha256(f"{seed}{m.key}".encode()).digest()
        )
        chosen += draw[:quota]
        left -= quota
    chosen.sort(key=lambda m: (m.path, m.start, m.kind))
    return [replace(m, ident=f"M{n + 1:03d}") for n, m in enumerate(chosen)]


def run(cmd: list[str], cwd: Path, env: dict[str, str], timeout: float) -> tuple[int | None, str]:
    """Exit status (None on timeout, after killing the command's process group) and output."""
    pipe, both = subprocess.PIPE, subprocess.STDOUT
    with subprocess.Popen(cmd, cwd=cwd, env=env, stdout=pipe, stderr=both, text=True,
                          start_new_session=True) as proc:  # fmt: skip
        try:
            out = proc.communicate(timeout=timeout)[0]
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            return None, proc.communicate()[0]
        return proc.returncode, out


class Scratch:
    """A copy of the working tree with its own build directory; the tests import the copy."""

    def __init__(self, root: Path, timeout: float, full: bool, every: bool = False):
        self.tree, self.build_dir, self.timeout = root / "tree", root / "build", timeout
        self.full, self.every = full, every  # every: no -x, each failing test recorded
        self.killers: dict[str, list[str]] = {}  # by mutant, with `every`
        self.reached: set[str] = set()  # the tests run, with `every`
        self.lines: dict[tuple[str, int], list[str]] = {}  # see cover
        # A scikit-build editable install of the checkout would import the checkout instead
        # of the copy; its finder steps aside for the build directories named here.
        skip = [str(getattr(f, "path", "")) for f in sys.meta_path if getattr(f, "path", None)]
        self.env = dict(os.environ, PYTHONPATH=str(self.tree / "src"), PYTHONDONTWRITEBYTECODE="1")
        self.env["SKBUILD_EDITABLE_SKIP"] = os.pathsep.join(skip)

    def sync(self) -> None:
        cmd = ["git", "ls-files", "-co", "--exclude-standard"]
        listed = subprocess.check_output(cmd, cwd=REPO, text=True).split()
        for gone in set(self.tree.glob("tests/**/*.*")) - {self.tree / n for n in listed}:
            gone.unlink()  # a test file deleted since the last run
        for name in listed:
            src, dst = REPO / name, self.tree / name
            if src.is_file() and (not dst.exists() or dst.read_bytes() != src.read_bytes()):
                dst.parent.mkdir(parents=True, exist_ok=True)
                dst.write_bytes(src.read_bytes())  # a new mtime, so that ninja rebuilds it
        for cache in self.tree.rglob("__pycache__"):
            shutil.rmtree(cache)

    def build(self) -> str:
        """Build the modules and the C++ tests; the compiler's complaint if that fails."""
        steps = [["cmake", "--build", str(self.build_dir), "-j", "1"]]
        if not (self.build_dir / "build.ninja").exists():
            steps.insert(0, ["cmake", "-S", str(self.tree), "-B", str(self.build_dir), "-G",
                             "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DVELK_TESTS=ON",
                             f"-DPython_EXECUTABLE={sys.executable}"])  # fmt: skip
        for cmd in steps:
            status, out = run(cmd, self.tree, self.env, 1800)
            if status != 0:
                return out[-2000:]
        for lib in self.build_dir.glob("_*.so"):
            link = self.tree / "src" / "velk" / lib.name
            link.unlink(missing_ok=True)
            link.symlink_to(lib)
        return ""

    def check_import(self) -> None:
        code = "import velk, velk._engine as e; print(velk.__file__, e.__file__)"
        out = run([sys.executable, "-c", code], self.tree, self.env, 120)[1]
        homes = (self.tree.resolve(), self.build_dir.resolve())
        if not all(any(Path(p).resolve().is_relative_to(h) for h in homes) for p in out.split()):
            sys.exit(f"the tests would not import the scratch copy: {out}")

    def pytest(self, tests: list[str], first: bool = True) -> tuple[int | None, str]:
        cmd = [sys.executable, "-m", "pytest", "-q", *PYTEST, *["-x"] * first, *tests]
        return run(cmd, self.tree, self.env, self.timeout)

    def cover(self) -> None:
        """The test functions that run each line of src/velk: {(file, line): [node ids]}."""
        rc, data = self.tree / ".coveragerc-matrix", self.tree / ".coverage-matrix"
        rc.write_text(f"[run]\ndynamic_context = test_function\nsource = {self.tree / 'src'}\n")
        cmd = [sys.executable, "-m", "coverage", "run", f"--rcfile={rc}", f"--data-file={data}",
               "-m", "pytest", "-q", *PYTEST, "tests", "--ignore=tests/test_leaks.py"]  # fmt: skip
        if run(cmd, self.tree, self.env, 3600)[0] != 0:
            sys.exit("the unmutated suite fails under coverage")
        from coverage import CoverageData

        cov = CoverageData(str(data))
        cov.read()
        self.lines = {}
        for path in cov.measured_files():
            rel = str(Path(path).relative_to(self.tree))
            for line, contexts in cov.contexts_by_lineno(path).items():
                mod = [c.split(".", 1) for c in contexts if c.startswith("test_")]
                self.lines[(rel, line)] = sorted(f"tests/{a}.py::{b}" for a, b in mod)

    def python_tests(self, m: Mutant) -> tuple[str, str]:
        files = [] if self.full else reach().get(Path(m.path).stem, [])
        files = [f for f in files if (self.tree / f).exists()] or ["tests"]
        if self.every and self.lines.get((m.path, m.line)):
            files = self.lines[(m.path, m.line)]
        status, out = self.pytest(files, first=not self.every)
        if self.every:
            self.killers[m.ident] = sorted({f.split("[")[0] for f in FAILED.findall(out)})
            self.reached.update(files)
        if status is None:
            return "timeout", "pytest " + " ".join(Path(f).stem for f in files)[:60]
        if status == 0:
            return "survived", ""
        failed = FAILED.search(out)
        crashed = re.search(r"tests/test_\w+\.py", out)
        if failed:
            return "killed", failed.group(1)
        return "killed", f"exit {status}" + (f" in {crashed.group()}" if crashed else "")

    def ctest(self) -> tuple[str, str]:
        cmd = ["ctest", "--test-dir", str(self.build_dir), "--output-on-failure"]
        status, out = run(cmd, self.tree, self.env, min(self.timeout, 300.0))  # it takes seconds
        if status is None:
            return "timeout", "ctest"
        failed = re.search(r"^\s*\d+ - (\S+) \(", out, re.M)
        if status == 0:
            return "survived", ""
        return "killed", "ctest " + (failed[1] if failed else "")

    def trial(self, m: Mutant) -> tuple[str, str]:
        """Result of one mutant and what killed it; the copy is restored afterwards."""
        python = m.path.endswith(".py")
        if python and self.build():  # the last C++ mutant's objects are still there
            sys.exit("the unmutated copy no longer builds")
        target = self.tree / m.path
        original = target.read_text()
        target.write_text(m.apply(original))
        try:
            if python:
                try:
                    compile(m.apply(original), m.path, "exec")
                except SyntaxError:
                    return "stillborn", "syntax"
            elif self.build():
                return "stillborn", "compile"
            result = ("survived", "") if python else self.ctest()
            return self.python_tests(m) if result[0] == "survived" else result
        finally:
            target.write_text(original)

    def recheck(self, results: dict[str, tuple[str, str]]) -> None:
        """The tests that killed mutants, run together on the unmutated copy: one that fails
        there too did not find the fault, and its mutants count as survived."""
        self.build()
        killers = sorted({k for r, k in results.values() if r == "killed" and k[:6] == "tests/"})
        out = self.pytest(killers, first=False)[1] if killers else ""
        bad = set(FAILED.findall(out))
        for ident, (result, killer) in results.items():
            if result == "killed" and killer in bad:
                results[ident] = ("survived", f"{killer} (fails unmutated too)")


def summary(mutants: list[Mutant], results: dict[str, tuple[str, str]]) -> list[str]:
    lines = []
    for area in [*AREAS, "overall"]:
        chosen = [m for m in mutants if area in ("overall", m.area) and m.ident in results]
        counts = Counter(results[m.ident][0] for m in chosen)
        scored = counts["killed"] + counts["timeout"] + counts["survived"]
        dead = counts["killed"] + counts["timeout"]
        share = f"{100 * dead / scored:.1f} %" if scored else "-"
        lines.append(
            f"{area}: {dead}/{scored} killed ({share}), of them {counts['timeout']} by timeout; "
            f"{counts['survived']} survived, {counts['stillborn']} stillborn"
        )
    return lines


def table(mutants: list[Mutant], results: dict[str, tuple[str, str]]) -> list[str]:
    rows = ["| id | file:line | change | result | killed by |", "|---|---|---|---|---|"]
    texts = {p: (REPO / p).read_text() for p in {m.path for m in mutants}}
    for m in mutants:
        result, killer = results.get(m.ident, ("-", ""))
        change = m.describe(texts[m.path]).replace("|", "\\|")
        shown = killer.split("[")[0]  # the test, without its parameters
        rows.append(f"| {m.ident} | {m.path}:{m.line} | {change} | {result} | {shown} |")
    return rows


def matrix(scratch: Scratch, results: dict[str, tuple[str, str]]) -> list[str]:
    """Each reached test function's kills and sole kills, the fewest first."""
    cmd = [sys.executable, "-m", "pytest", "-q", "--collect-only", *sorted(scratch.reached)]
    listed = run(cmd, scratch.tree, scratch.env, 600)[1].split()
    tests = sorted({t.split("[")[0] for t in listed if "::" in t})
    kills: dict[str, set[str]] = {t: set() for t in tests}
    alone: dict[str, set[str]] = {t: set() for t in tests}
    for ident, found in scratch.killers.items():
        if results[ident][0] != "killed":
            continue  # its killers fail unmutated too
        for t in found:
            kills.setdefault(t, set()).add(ident)
        if len(found) == 1:
            alone.setdefault(found[0], set()).add(ident)
    rows = ["| test | kills | alone | killed alone |", "|---|---:|---:|---|"]
    for t in sorted(kills, key=lambda t: (len(alone[t]), len(kills[t]), t)):
        rows.append(f"| {t} | {len(kills[t])} | {len(alone[t])} | {', '.join(sorted(alone[t]))} |")
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=120)
    ap.add_argument("--files", default="*", help="only source files matching this glob")
    ap.add_argument("--only", default="", help="run only these mutant ids (comma-separated)")
    ap.add_argument("--list", action="store_true", help="print the mutants without running them")
    ap.add_argument("--full", action="store_true", help="run the whole suite for every mutant")
    ap.add_argument("--out", type=Path, help="also write the table to this markdown file")
    ap.add_argument("--scratch", type=Path, default=Path("/tmp/velk-mutation"))
    ap.add_argument("--timeout", type=float, default=600.0, help="seconds per test command")
    ap.add_argument("--matrix", type=Path, help="write each test's kills to this markdown file")
    args = ap.parse_args()
    cmd = " ".join(["python benchmarks/mutation.py", *sys.argv[1:]])

    mutants = sample(args.seed, args.count, args.files)
    if args.only:
        mutants = [m for m in mutants if m.ident in args.only.split(",")]
    results: dict[str, tuple[str, str]] = {}
    if not args.list:
        scratch = Scratch(args.scratch, args.timeout, args.full, every=bool(args.matrix))
        scratch.sync()
        if scratch.build():
            sys.exit("the unmutated copy does not build")
        scratch.check_import()
        if args.matrix:
            scratch.cover()
        for m in mutants:
            results[m.ident] = scratch.trial(m)
            print(m.ident, m.path, m.line, m.kind, *results[m.ident], sep="\t", flush=True)
        scratch.recheck(results)
        if args.matrix:
            rows = ["# Kill matrix", "", f"`{cmd}`", "", *matrix(scratch, results)]
            args.matrix.write_text("\n".join(rows) + "\n")
    note = "Not mutated: comments, strings, preprocessor lines, assert/raise/throw statements."
    lines = ["# Mutation score", "", f"`{cmd}`", "", note, ""]
    lines += [f"- {s}" for s in summary(mutants, results)] if results else []
    lines += ["", *table(mutants, results)]
    print("\n".join(lines))
    if args.out:
        args.out.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
