"""Development sessions: building, testing, checking and measuring vesk.

    ./dev test                  # = nox -t test: C++ unit tests, type checks, pytest with NumPy 2.x and 1.26
    ./dev demo                  # = nox -s demo
    ./dev -s asan               # any nox arguments; `./dev -l` lists the sessions

Every version requirement is in pyproject.toml (the extras and [dependency-groups]);
sessions install from there. The wheel the test sessions use is built once per
interpreter into build/wheels/ and rebuilt only when a file it is built from has changed.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")

nox.options.default_venv_backend = "venv"
# An environment is reused when its session runs again: installing into it is then a
# quick no-op, so a repeated `./dev test` spends its time on the tests.
nox.options.reuse_venv = "yes"
# Other CPython versions are tested where this machine has them, CI included.
nox.options.error_on_missing_interpreters = False
nox.options.download_python = "never"
nox.options.tags = ["test"]
# Byte-compiling every installed file is half the time of an install; Python compiles
# what it imports anyway.
os.environ.setdefault("PIP_NO_COMPILE", "1")

# Compiler warnings are errors in CI; elsewhere only when asked for with VESK_WERROR=ON.
WERROR = os.environ.get("VESK_WERROR", "ON" if os.environ.get("CI") else "OFF").upper() in {"1", "ON", "TRUE"}

# What a wheel is built from: a change to any of these makes the cached wheel stale.
WHEEL_INPUTS = ("src", "python", "CMakeLists.txt", "pyproject.toml", "LICENSE")

DEFAULT_PYTHON = f"{sys.version_info[0]}.{sys.version_info[1]}"
OTHER_PYTHONS = [v for v in ("3.9", "3.13") if v != DEFAULT_PYTHON]


def group(*names: str) -> tuple[str, ...]:
    return nox.project.dependency_groups(PYPROJECT, *names)


def extra(name: str) -> list[str]:
    return PYPROJECT["project"]["optional-dependencies"][name]


def find_python(version: str) -> str:
    """A working interpreter of `version`, or the bare version for nox to report as missing.

    pythonX.Y on PATH comes first, but pyenv puts a shim there for every version it has
    installed, and a shim fails for a version that is not selected; so the newest
    installed pyenv build of X.Y is the fallback.
    """
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    builds = sorted(
        root.glob(f"versions/{version}.*/bin/python{version}"),
        key=lambda p: [int(part) if part.isdigit() else -1 for part in p.parts[-3].split(".")],
        reverse=True,
    )
    for candidate in [shutil.which(f"python{version}"), *builds]:
        if candidate and subprocess.run([candidate, "-c", ""], capture_output=True).returncode == 0:
            return str(candidate)
    return version


# Always given, ON or OFF, so that a build folder configured the other way follows.
WERROR_DEFINE = f"VESK_WERROR={'ON' if WERROR else 'OFF'}"


def cmake_werror() -> list[str]:
    return [f"-D{WERROR_DEFINE}"]


def newest_wheel_input() -> float:
    newest = 0.0
    for name in WHEEL_INPUTS:
        path = ROOT / name
        files = [path] if path.is_file() else path.rglob("*") if path.is_dir() else []
        for file in files:
            if file.is_file() and "__pycache__" not in file.parts:
                newest = max(newest, file.stat().st_mtime)
    return newest


def built_wheel(session: nox.Session) -> str:
    """The vesk wheel for the session's interpreter, built here only when none is current.

    Built without build isolation, in the session's environment, into a build folder
    that is kept (pyproject.toml's build-dir), so a rebuild compiles only what changed.
    """
    tag = session.run(
        "python", "-c", "import sys; print('cp%d%d' % sys.version_info[:2])", silent=True
    ).strip()
    folder = ROOT / "build" / "wheels" / tag
    built = sorted(folder.glob("vesk-*.whl"))
    # The build settings are part of what a wheel is built from: a wheel built without
    # -Werror is not reused for a run that asks for it, nor the other way round.
    settings = folder / "settings"
    wanted = WERROR_DEFINE
    same_settings = settings.is_file() and settings.read_text() == wanted
    if len(built) == 1 and same_settings and built[0].stat().st_mtime > newest_wheel_input():
        session.log(f"reusing {built[0].relative_to(ROOT)}: nothing it is built from has changed")
        return str(built[0])
    session.install(*PYPROJECT["build-system"]["requires"])
    # What else the backend asks for (CMake, Ninja) when this machine lacks it, as pip's
    # isolated builds do.
    missing = session.run(
        "python",
        "-c",
        "from scikit_build_core.build import get_requires_for_build_wheel as r; print(*r())",
        silent=True,
    ).split()
    if missing:
        session.install(*missing)
    shutil.rmtree(folder, ignore_errors=True)
    config = [f"--config-settings=cmake.define.{WERROR_DEFINE}"]
    session.run(
        "python",
        "-m",
        "pip",
        "wheel",
        "-q",
        "--no-build-isolation",
        "--no-deps",
        "-w",
        str(folder),
        *config,
        str(ROOT),
    )
    settings.write_text(wanted)
    (built,) = folder.glob("vesk-*.whl")
    return str(built)


def install_vesk(session: nox.Session, extras: str, *requirements: str) -> None:
    """The current wheel with `extras` (e.g. "test,examples") and further requirements."""
    built = built_wheel(session)
    session.install(f"{built}[{extras}]" if extras else built, *requirements)
    # The version never changes, so pip would keep an older build of it.
    session.install("--force-reinstall", "--no-deps", built)


def tests_params():
    # The examples' libraries are heavy: their tests run in the first configuration and
    # skip themselves in the others.
    for python, numpy, extras, tags in [
        (DEFAULT_PYTHON, "numpy2", "test,examples", ["test"]),
        (DEFAULT_PYTHON, "numpy1", "test", ["test"]),
        *((version, "numpy2", "test", ["pythons"]) for version in OTHER_PYTHONS),
    ]:
        yield nox.param(find_python(python), numpy, extras, id=f"{python}-{numpy}", tags=tags)


@nox.session
@nox.parametrize(("python", "numpy", "extras"), list(tests_params()))
def tests(session: nox.Session, numpy: str, extras: str) -> None:
    """pytest against the wheel: NumPy 2.x and 1.26 on this Python, NumPy 2.x on 3.9 and 3.13."""
    install_vesk(session, extras, *group(numpy))
    session.run(
        "python",
        "-c",
        "import numpy, sys; print('Python', sys.version.split()[0], 'NumPy', numpy.__version__)",
    )
    session.run("python", "-m", "pytest", "-q", *session.posargs)


@nox.session(tags=["test"])
def cpp(session: nox.Session) -> None:
    """The C++ unit tests (CTest), from the cpp-tests preset."""
    session.install(*group("cmake"))
    session.run("cmake", "--preset", "cpp-tests", *cmake_werror())
    session.run("cmake", "--build", "--preset", "cpp-tests")
    session.run("ctest", "--preset", "cpp-tests")


@nox.session(name="typing", tags=["test"])
def type_checks(session: nox.Session) -> None:
    """mypy --strict on vesk_arrays' source; mypy.stubtest of the installed stubs and
    annotations against the modules; mypy --strict on typical uses."""
    # Every optional library, so that stubtest can import every module of vesk_arrays.
    install_vesk(session, "all", *group("typing"))
    # The package's own source, with the configuration in pyproject.toml.
    package = [str(ROOT / "python" / "vesk_arrays"), "--config-file", str(ROOT / "pyproject.toml")]
    session.run("python", "-m", "mypy", "--strict", "--no-incremental", *package)
    # Run from beside the checked files, so that mypy meets the installed packages and
    # nothing of the source tree.
    session.chdir(ROOT / "tests" / "typing")
    for module, allowlist in (
        ("vesk", "stubtest-allowlist.txt"),
        ("vesk_arrays", "stubtest-allowlist-arrays.txt"),
    ):
        session.run("python", "-m", "mypy.stubtest", module, "--allowlist", str(ROOT / ".ci" / allowlist))
    uses = sorted(path.name for path in Path.cwd().glob("*.py"))
    session.run("python", "-m", "mypy", "--strict", "--no-incremental", *uses)


@nox.session
def asan(session: nox.Session) -> None:
    """pytest against an ASan+UBSan build of the modules (the asan preset), leaks checked."""
    session.install(
        *PYPROJECT["build-system"]["requires"], *group("cmake"), *extra("test"), *extra("examples")
    )
    # Built and installed as pip installs the wheel (so entry points and package data are
    # there too), configured by the asan preset, kept in build/asan for the next run.
    config = [
        "--config-settings=cmake.args=--preset=asan",
        "--config-settings=cmake.build-type=RelWithDebInfo",
        "--config-settings=build-dir=build/asan",
        f"--config-settings=cmake.define.{WERROR_DEFINE}",
    ]
    session.install("--no-build-isolation", "--no-deps", "--force-reinstall", *config, str(ROOT))

    def compiler_file(name: str) -> str:
        return session.run("g++", f"-print-file-name={name}", silent=True, external=True).strip()

    env = {
        # Read by the tests: figures of resident memory mean nothing under ASan.
        "VESK_SANITIZED": "1",
        # The interpreter is not built with ASan, so the runtime is preloaded, with libstdc++
        # so that ASan can intercept C++ exceptions (vesk's and those of other extensions).
        "LD_PRELOAD": f"{compiler_file('libasan.so')} {compiler_file('libstdc++.so')}",
        # The decoders handle failed allocations, so malloc may return null. The runtime's
        # tracking of dynamically loaded libraries' thread-local blocks is off: at exit, the
        # leak checker followed a bogus block of it and crashed ("Tracer caught signal 11")
        # in processes that had loaded matplotlib.
        "ASAN_OPTIONS": "detect_leaks=1:malloc_context_size=2:allocator_may_return_null=1:"
        "intercept_tls_get_addr=0",
        "LSAN_OPTIONS": f"suppressions={ROOT / '.ci' / 'lsan.supp'}:print_suppressions=0",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
    }
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", *session.posargs, env=env)


def clang_major() -> str | None:
    clang = shutil.which("clang++")
    if not clang:
        return None
    out = subprocess.run([clang, "-dumpversion"], capture_output=True, text=True).stdout
    return out.split(".")[0] or None


def has_libfuzzer() -> bool:
    if not shutil.which("clang++"):
        return False
    probe = 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }'
    compiled = subprocess.run(
        ["clang++", "-x", "c++", "-fsanitize=fuzzer", "-", "-o", os.devnull],
        input=probe,
        capture_output=True,
        text=True,
    )
    return compiled.returncode == 0


def ensure_libfuzzer(session: nox.Session) -> None:
    """clang with libFuzzer's runtime, from Debian when missing and this runs as root."""
    if has_libfuzzer():
        return
    packages = ["clang", f"libclang-rt-{clang_major() or '14'}-dev", "llvm"]
    if os.geteuid() != 0:
        session.error(
            "libFuzzer needs clang and its runtime, which this machine lacks. "
            f"Install them (sudo apt-get install {' '.join(packages)}) and run this session again."
        )
    session.log(f"installing {', '.join(packages)} from Debian")
    env = {"DEBIAN_FRONTEND": "noninteractive"}
    try:
        session.run("apt-get", "install", "-y", "-q", *packages, external=True, env=env, silent=True)
    except nox.command.CommandFailed:
        session.run("apt-get", "update", "-q", external=True, env=env, silent=True)
        session.run("apt-get", "install", "-y", "-q", *packages, external=True, env=env, silent=True)
    if not has_libfuzzer():
        session.error("clang++ -fsanitize=fuzzer still fails after installing " + " ".join(packages))


def llvm_tool(name: str) -> str | None:
    return shutil.which(name) or shutil.which(f"{name}-{clang_major()}")


def coverage_report(session: nox.Session, fmt: str, corpora: list[str]) -> None:
    """Line and branch coverage of the C++ sources that the corpus reached."""
    build = ROOT / "build" / "fuzz"
    profdata, cov = llvm_tool("llvm-profdata"), llvm_tool("llvm-cov")
    if not (profdata and cov):
        session.warn("llvm-profdata or llvm-cov missing (Debian's llvm package): no coverage report")
        return
    subprocess.run(
        [str(build / f"cover_{fmt}"), "-runs=0", *corpora],
        env={**os.environ, "LLVM_PROFILE_FILE": str(build / f"{fmt}.profraw")},
        capture_output=True,
        check=True,
    )
    subprocess.run(
        [profdata, "merge", "-sparse", str(build / f"{fmt}.profraw"), "-o", str(build / f"{fmt}.profdata")],
        check=True,
    )
    report = subprocess.run(
        [cov, "report", str(build / f"cover_{fmt}"), f"-instr-profile={build / f'{fmt}.profdata'}"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    # Columns: file, regions (3), functions (3), lines (3), branches (3).
    for row in report.splitlines():
        fields = row.split()
        # The other format's decoder, which this target does not link in use, reads 0%.
        if fields and fields[0].startswith("src/") and len(fields) >= 13 and fields[9] != "0.00%":
            print(f"  coverage of {fields[0]:<30} lines {fields[9]:>7}, branches {fields[12]:>7}")


def run_fuzzers(session: nox.Session, targets: list[str], seconds: str) -> None:
    """Runs libFuzzer targets side by side, one per core; new inputs go to scratch corpora.

    A crash, sanitizer report, timeout (10 s per input) or RSS above 2 GiB fails the run.
    """
    build = ROOT / "build" / "fuzz"
    running = []
    for target in targets:
        # fuzz_wd1 starts from fuzz/corpus/wd1, fuzz_batch_wd1 from fuzz/corpus/batch_wd1.
        name = target.removeprefix("fuzz_")
        work = build / f"corpus-{name}"
        work.mkdir(exist_ok=True)
        corpora = [str(work), str(ROOT / "fuzz" / "corpus" / name)]
        log = build / f"{name}.log"
        command = [
            str(build / target),
            f"-max_total_time={seconds}",
            "-timeout=10",
            "-rss_limit_mb=2048",
            "-print_final_stats=1",
            f"-artifact_prefix={build / name}-",
            *corpora,
        ]
        session.log(f"libFuzzer: {target} for {seconds} s")
        with log.open("w") as out:
            running.append(
                (target, name, corpora, log, subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT))
            )
    for target, name, corpora, log, process in running:
        process.wait()
        lines = log.read_text(errors="replace").splitlines()
        if process.returncode != 0:
            print("\n".join(lines[-50:]))
            session.error(f"libFuzzer found a fault with {target} (log: {log.relative_to(ROOT)})")
        print(f"{target}:")
        for line in lines:
            if "DONE" in line or line.startswith("stat::number_of_executed_units"):
                print(" ", line)
        if (build / f"cover_{name}").exists():
            coverage_report(session, name, corpora)


@nox.session
def fuzz(session: nox.Session) -> None:
    """libFuzzer on every target of the fuzz preset, then hypothesis over EventReader.

    Arguments: [seconds per target, default 60] [hypothesis examples per format, default 3000].
    """
    defaults = ["60", "3000"]
    seconds, examples = [*session.posargs, *defaults[len(session.posargs) :]][:2]
    ensure_libfuzzer(session)
    session.install(*group("cmake"))
    session.run("cmake", "--preset", "fuzz", *cmake_werror())
    session.run("cmake", "--build", "--preset", "fuzz")
    targets = sorted(
        path.name for path in (ROOT / "build" / "fuzz").glob("fuzz_*") if os.access(path, os.X_OK)
    )
    cores = os.cpu_count() or 1
    for start in range(0, len(targets), cores):
        run_fuzzers(session, targets[start : start + cores], seconds)

    # test_fuzz.py needs none of the optional libraries that the test extra brings.
    install_vesk(session, "", *(r for r in extra("test") if r.startswith(("pytest", "hypothesis"))))
    session.run(
        "python",
        "-m",
        "pytest",
        "-q",
        "-p",
        "no:cacheprovider",
        "--hypothesis-profile=fuzz",
        "tests/test_fuzz.py",
        env={"VESK_FUZZ_EXAMPLES": examples},
    )


WHEEL_CHECK = """
    import os, struct, tempfile
    import vesk, vesk_arrays
    path = os.path.join(tempfile.mkdtemp(), "one.wd1")
    with open(path, "wb") as f:
        f.write(struct.pack("<6i3H", 30, 1, 2, 3, 4, 5, 7, 8, 9))
    events = list(vesk.EventReader(path, "WD1"))
    assert [e["data"].tolist() for e in events] == [[7, 8, 9]], events
    site = os.path.dirname(vesk.__file__)
    for stub in ("vesk.pyi", os.path.join("vesk-stubs", "__init__.pyi")):
        assert os.path.exists(os.path.join(site, stub)), stub
    assert vesk_arrays.__all__
    # The version compiled into the module is the distribution's.
    from importlib.metadata import version
    assert vesk.__version__ == vesk_arrays.__version__ == version("vesk"), vesk.__version__
    print("the wheel's", os.path.basename(vesk.__file__), vesk.__version__, "reads a file; vesk_arrays too")
"""


@nox.session(name="wheel")
def wheel_check(session: nox.Session) -> None:
    """`pip wheel .` as a user runs it (build isolation), the wheel used in a fresh venv."""
    tmp = Path(session.create_tmp()).resolve()
    for name in ("dist", "build", "venv"):
        shutil.rmtree(tmp / name, ignore_errors=True)
    session.run(
        "python",
        "-m",
        "pip",
        "wheel",
        "-q",
        "--no-deps",
        "-w",
        str(tmp / "dist"),
        f"--config-settings=build-dir={tmp / 'build'}",
        str(ROOT),
    )
    session.run("python", "-m", "venv", str(tmp / "venv"))
    python = str(tmp / "venv" / "bin" / "python")
    (built,) = (tmp / "dist").glob("vesk-*.whl")
    session.run(python, "-m", "pip", "install", "-q", str(built), external=True)
    # From a folder without sources, so that only the installed wheel can be imported.
    session.chdir(tmp)
    session.run(python, "-c", textwrap.dedent(WHEEL_CHECK), external=True)


@nox.session
def lint(session: nox.Session) -> None:
    """ruff on the Python code, clang-format on the C++ code; `-- --fix` applies both."""
    session.install(*group("lint"))
    fix = "--fix" in session.posargs
    cpp = sorted(
        str(path.relative_to(ROOT))
        for folder in ("src", "tests/cpp", "fuzz")
        for path in (ROOT / folder).rglob("*")
        if path.suffix in {".cpp", ".hpp", ".h", ".cc"}
    )
    if fix:
        session.run("ruff", "check", "--fix", ".")
        session.run("ruff", "format", ".")
        session.run("clang-format", "-i", *cpp)
    else:
        session.run("ruff", "check", ".")
        session.run("ruff", "format", "--check", "--diff", ".")
        session.run("clang-format", "--dry-run", "--Werror", *cpp)


@nox.session
def bench(session: nox.Session) -> None:
    """The benchmarks (bench_remote against a local S3 server); bench_read's figures also go
    to build/bench/ as JSON and a PNG."""
    install_vesk(session, "", *group("bench"))
    out = ROOT / "build" / "bench"
    out.mkdir(parents=True, exist_ok=True)
    figures = ["--json", str(out / "bench_read.json"), "--plot", str(out / "bench_read.png")]
    session.run("python", "benchmarks/bench_read.py", *figures, *session.posargs)
    session.run("python", "benchmarks/bench_arrays.py", *session.posargs)
    session.run("python", "benchmarks/bench_remote.py", *session.posargs)


@nox.session
def docs(session: nox.Session) -> None:
    """The API reference and guide (Sphinx: docs/ into build/docs/html), warnings as errors.

    autodoc imports the installed vesk and vesk_arrays; the benchmark chart the pages show
    is drawn by a quick run of bench_read.py. Arguments after -- go to sphinx-build.
    """
    install_vesk(session, "all", *group("docs"))
    out = ROOT / "build" / "docs"
    out.mkdir(parents=True, exist_ok=True)
    chart = ["--quick", "--repeats", "1", "--plot", str(out / "bench_read.png")]
    session.run("python", "benchmarks/bench_read.py", *chart, silent=True)
    # -n: every cross-reference must resolve; -W --keep-going: fail on any warning, after
    # reporting them all; -E: every page read afresh, so that no warning hides in a cache.
    strict = ["-W", "--keep-going", "-n", "-E", "-q"]
    session.run("sphinx-build", *strict, "-b", "html", "docs", str(out / "html"), *session.posargs)
    session.log(f"the pages are in {(out / 'html' / 'index.html').relative_to(ROOT)}")


@nox.session
def demo(session: nox.Session) -> None:
    """Builds vesk, writes a small sample WD1 and WD2 file and runs the `vesk` command on them:
    info, head, conversions to Parquet and to WD2, and a plot (examples/cli_demo.sh)."""
    install_vesk(session, "cli")
    session.run("bash", "examples/cli_demo.sh", *session.posargs, env={"PYTHON": "python"}, external=True)


@nox.session(reuse_venv=True)
def dev(session: nox.Session) -> None:
    """An editable install that recompiles what changed whenever vesk is imported; then pytest.

    After the first run, `nox -Rs dev -- [pytest arguments]` (or .nox/dev/bin/python -m pytest)
    reruns the tests without reinstalling: the import rebuilds from build/editable.
    """
    # Rebuilds happen at import time, in this environment: the build tools must stay here.
    session.install(*PYPROJECT["build-system"]["requires"], *group("cmake"))
    session.install(
        "--no-build-isolation",
        "--config-settings=editable.rebuild=true",
        "--config-settings=editable.verbose=false",
        "--config-settings=build-dir=build/editable",
        "-e",
        ".[test,examples]",
    )
    session.run("python", "-m", "pytest", "-q", *session.posargs)
