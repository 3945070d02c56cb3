"""The decisions of the nox sessions (.ci/checks.py) that could hide a fault: which wheel
passes, which failed sanitizer run is retried, which files are checked."""

from __future__ import annotations

import shutil
import subprocess

import helpers
import pytest
from helpers import ROOT, ci_checks

if not (ROOT / ".ci" / "checks.py").is_file():  # wheels are tested on the suite alone
    pytest.skip("no .ci/ beside the tests", allow_module_level=True)
checks = ci_checks()

BUILT = "velk-0.1.0-cp39-abi3-linux_x86_64.whl"
REPAIRED = "velk-0.1.0-cp39-abi3-manylinux_2_17_x86_64.manylinux2014_x86_64.whl"


@pytest.mark.parametrize("name,repaired,fault", [
    (BUILT, False, None), (REPAIRED, True, None),
    (BUILT, True, "no manylinux"),  # auditwheel left the plain linux tag
    ("velk-0.1.0-cp311-abi3-linux_x86_64.whl", False, "not tagged cp39-abi3"),
    ("velk-0.1.0-cp39-cp39-manylinux_2_17_x86_64.whl", True, "not tagged cp39-abi3"),
])  # fmt: skip
def test_wheel_names(name, repaired, fault):
    problem = checks.wheel_problem(name, repaired=repaired)
    assert problem is None if fault is None else fault in problem


CRASH = "==1==LeakSanitizer has encountered a fatal error.\n"
LEAK = "==1==ERROR: LeakSanitizer: detected memory leaks\n"


@pytest.mark.parametrize(
    "rc,log,leaks,retried,verdict",
    [
        (0, "9 passed\n", True, False, "passed"),
        (1, "1 failed\n", True, False, "failed"),
        (1, CRASH, True, False, "retry"),
        (1, CRASH, True, True, "failed"),  # once only
        (1, CRASH, False, False, "failed"),  # no leak check, no scan to blame
        # A report beside the crash is a finding: a retry could pass and hide it.
        (1, LEAK + CRASH, True, False, "failed"),
        (1, "a.cpp:1:5: runtime error: signed integer overflow\n" + CRASH, True, False, "failed"),
        # A child process's report, its exit status checked by no test.
        (0, "9 passed\n" + LEAK, True, False, "failed"),
        (5, "no tests ran\n", False, False, "passed"),  # nothing is marked no_leak_check
        (5, "no tests ran\n", True, False, "failed"),  # the leak-checked run ran nothing
    ],
)
def test_sanitized_run_verdict(rc, log, leaks, retried, verdict):
    assert checks.verdict(rc, log, leaks, retried) == verdict


@pytest.mark.parametrize("stderr,runs", [(CRASH, 3), (LEAK + CRASH, 1), ("1 failed", 1)])
@pytest.mark.no_leak_check  # the child's own exit is not the subject
def test_a_child_runs_again_only_when_its_leak_scan_died(tmp_path, monkeypatch, stderr, runs):
    # The child fails with `stderr` each time, counting its runs in a file.
    monkeypatch.setattr(helpers, "SANITIZED", True)
    count = tmp_path / "runs"
    code = f"import sys; open({str(count)!r}, 'a').write('x'); sys.exit({stderr!r})"
    assert helpers.run_python(["-c", code]).returncode == 1
    assert len(count.read_text()) == runs


@pytest.mark.skipif(shutil.which("git") is None, reason="needs git")
@pytest.mark.no_leak_check  # git runs with the preloaded ASan runtime, which reports git's leaks
def test_project_files_include_new_cxx_but_not_ignored(tmp_path):
    subprocess.run(["git", "init", "-q", str(tmp_path)], check=True)
    for f, text in {".gitignore": "build/\n", "core/a.cpp": "", "core/a.hpp": ""}.items():
        (tmp_path / f).parent.mkdir(exist_ok=True)
        (tmp_path / f).write_text(text)
    subprocess.run(["git", "add", "."], cwd=tmp_path, check=True)
    for f in ["tests/cpp/test_a.cpp", "engine/b.h", "build/gen.cpp", "tests/test_a.py"]:
        (tmp_path / f).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / f).write_text("")
    files = checks.project_files(tmp_path)
    expected = ["core/a.cpp", "core/a.hpp", "engine/b.h", "tests/cpp/test_a.cpp"]
    assert checks.cxx_sources(files) == expected


@pytest.mark.parametrize("extra,flagged", [(0, False), (1, True)])
def test_long_modules_flagged_past_the_limit(tmp_path, extra, flagged):
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "m.py").write_text("x = 1\n" * (checks.MAX_MODULE_LINES + extra))
    (tmp_path / "tests.py").write_text("x = 1\n" * 900)  # only the package counts
    assert bool(checks.long_modules(tmp_path, ["src/m.py", "tests.py"])) == flagged
