"""What the nox sessions decide, kept free of nox so that tests/test_ci.py can check it."""

from __future__ import annotations

import hashlib
import re
import subprocess
import sys
from collections.abc import Iterable
from pathlib import Path

if sys.version_info >= (3, 11):
    import tomllib
else:  # the suite runs on Python 3.9 too; only its checks of these helpers import this
    tomllib = None

CXX_SUFFIXES = (".cpp", ".hpp", ".h")
# What the wheel is built from: a change to any of these makes a shared wheel stale.
WHEEL_FILES = ("CMakeLists.txt", "pyproject.toml", "README.md")
WHEEL_DIRS = ("core", "engine", "bindings", "src")
# LeakSanitizer stops every thread to scan memory at exit, and that scan itself now and
# then dies after thread and process-pool work, with no report. Only such a log is retried.
LSAN_SCAN_CRASH = "LeakSanitizer has encountered a fatal error"
SANITIZER_REPORT = re.compile(r"ERROR: (LeakSanitizer|AddressSanitizer)|runtime error")


def project_files(root: Path) -> list[str]:
    """Tracked and new (not ignored) files, so that a file not yet added is checked too."""
    out = subprocess.run(
        ["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
        cwd=root,
        check=True,
        capture_output=True,
    ).stdout.decode()
    return sorted({f for f in out.split("\0") if f and (root / f).is_file()})


def cxx_sources(files: Iterable[str]) -> list[str]:
    """Every C++ file of the project: core, engine, bindings and any folder of C++ tests."""
    return [f for f in files if f.endswith(CXX_SUFFIXES)]


def fingerprint(root: Path, files: Iterable[str]) -> str:
    """A digest of the names and contents of the files the wheel is built from."""
    digest = hashlib.sha256()
    for f in sorted(files):
        if f in WHEEL_FILES or f.split("/", 1)[0] in WHEEL_DIRS:
            digest.update(f.encode() + b"\0" + (root / f).read_bytes() + b"\0")
    return digest.hexdigest()


# A Python module past this many lines holds more than one concern: split it.
MAX_MODULE_LINES = 500


def long_modules(root: Path, files: Iterable[str]) -> list[str]:
    """The package's Python modules over MAX_MODULE_LINES lines, with their lengths."""
    out = []
    for f in files:
        if f.startswith("src/") and f.endswith(".py"):
            lines = (root / f).read_text(encoding="utf-8").count("\n")
            if lines > MAX_MODULE_LINES:
                out.append(f"{f} ({lines} lines)")
    return out


def read_pins(text: str) -> dict[str, str]:
    """name -> "name==version" of each pinned requirement line (comments skipped)."""
    pins = {}
    for line in text.splitlines():
        m = re.fullmatch(r"\s*([A-Za-z0-9_.-]+)==(\S+)\s*(#.*)?", line)
        if m:
            pins[m[1].lower()] = f"{m[1]}=={m[2]}"
    return pins


def pin_mismatches(tools: dict[str, str], other: str) -> list[str]:
    """Each "name==version" in `other` (a hook list, a workflow) that tools.txt pins otherwise."""
    found = re.findall(r"([A-Za-z0-9_.-]+)==([A-Za-z0-9_.+-]+)", other)
    return [
        f"{name}=={ver} (tools.txt: {tools[name.lower()]})"
        for name, ver in found
        if name.lower() in tools and tools[name.lower()].split("==")[1] != ver
    ]


def requirements(pyproject: str, *extras: str) -> list[str]:
    """The project's dependencies and those of the given extras, as pyproject.toml lists them."""
    assert tomllib is not None, "reading pyproject.toml needs Python 3.11"
    project = tomllib.loads(pyproject)["project"]
    optional = project["optional-dependencies"]
    return [*project["dependencies"], *(r for extra in extras for r in optional[extra])]


def declares(cmakelists: str, option: str) -> bool:
    """Whether CMakeLists.txt names `option` outside a comment."""
    code = "\n".join(line.split("#", 1)[0] for line in cmakelists.splitlines())
    return re.search(rf"\b{re.escape(option)}\b", code) is not None


def wheel_problem(name: str, repaired: bool) -> str | None:
    """Why a built (or auditwheel-repaired) wheel's name is not the one release expected."""
    if not re.fullmatch(r"velk-[^-]+-cp39-abi3-[^-]+\.whl", name):
        return f"wheel is not tagged cp39-abi3: {name}"
    if repaired and not re.search(r"-abi3-manylinux_\d+_\d+_[\w.]+\.whl$", name):
        return f"auditwheel gave no manylinux wheel: {name}"
    return None


def lsan_scan_crashed(log: str) -> bool:
    """A failed run whose only trouble was LeakSanitizer's own scan, not a report."""
    return LSAN_SCAN_CRASH in log and SANITIZER_REPORT.search(log) is None


def verdict(returncode: int, log: str, leaks: bool, retried: bool) -> str:
    """Whether a pytest run under the sanitizers "passed", "failed" or is worth a "retry".

    A report in the log fails it even when a test's own exit status hid it (a child
    process's, say). Exit status 5, no test selected, is fine for the run of the few tests
    kept out of the leak checks, never for the leak-checked run.
    """
    clean = SANITIZER_REPORT.search(log) is None
    if clean and (returncode == 0 or (returncode == 5 and not leaks)):
        return "passed"
    if leaks and not retried and returncode != 0 and lsan_scan_crashed(log):
        return "retry"
    return "failed"
