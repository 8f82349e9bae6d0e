"""Checks a repaired (manylinux) wheel: its tag, its module, and an install without a compiler.

Usage: python tools/check_wheel.py WHEEL

The wheel's platform tag must be a manylinux one, its two extension
modules (refsieve and the command's engine) must each export their
initialisation entry alone (check_exports.py), and the libraries
that `auditwheel repair` grafted into it, if any, are listed. Then a fresh
virtual environment is made, with a PATH that holds its own bin directory
alone, so that no compiler can be found: the wheel is installed there
(refsieve from the wheel only, its dependencies from the package index),
and `import refsieve`, a `token_sort_ratio` call, the engine's import and
`refsieve --version` must work.
"""

import os
import subprocess
import sys
import tempfile
import venv
import zipfile
from fnmatch import fnmatch
from pathlib import Path

from check_exports import export_problems

COMPILERS = ("cc", "gcc", "g++", "c++", "clang", "clang++")
IMPORT_TEST = f"""
import shutil, refsieve
found = [name for name in {COMPILERS!r} if shutil.which(name)]
assert not found, f"compilers on the path: {{found}}"
print(refsieve.__file__)
ratio = refsieve.token_sort_ratio("graph methods in practice", "Practice in  graph methods")
assert ratio == 100.0, ratio
print(f"token_sort_ratio {{ratio}}")
from refsieve_cli import _engine
print(_engine.__file__)
"""


def contents_problems(wheel):
    problems = []
    tags = wheel.name.removesuffix(".whl").split("-")[-1].split(".")
    if not all(tag.startswith("manylinux_") for tag in tags):
        problems.append(f"{wheel.name}: platform tag {'.'.join(tags)} is not a manylinux one")
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as scratch:
        names = archive.namelist()
        modules = [name for name in names
                   if fnmatch(name, "refsieve.cpython-*.so") or fnmatch(name, "refsieve_cli/_engine.cpython-*.so")]
        if len(modules) != 2:
            problems.append(f"{wheel.name}: {len(modules)} extension modules, not refsieve and its engine")
        for module in modules:
            problems += export_problems(archive.extract(module, scratch))
    grafted = [name for name in names if ".libs/" in name]
    print(f"check_wheel: libraries grafted by auditwheel: {', '.join(grafted) or 'none'}")
    return problems


def install_problems(wheel):
    with tempfile.TemporaryDirectory() as scratch:
        env_dir = Path(scratch) / "venv"
        venv.create(env_dir, with_pip=True)
        bin_dir = env_dir / "bin"
        # Nothing on the path but the environment: no compiler, no build tools.
        env = {"PATH": str(bin_dir), "HOME": os.environ.get("HOME", scratch), "LANG": "C.UTF-8"}

        def run(*command):
            return subprocess.run(command, cwd=scratch, env=env, capture_output=True, text=True, timeout=600)

        steps = [
            ("pip install", run(str(bin_dir / "python"), "-m", "pip", "install", "-q", "--only-binary", "refsieve",
                                str(wheel.resolve()))),
        ]
        if steps[-1][1].returncode == 0:
            steps.append(("import test", run(str(bin_dir / "python"), "-c", IMPORT_TEST)))
            steps.append(("refsieve --version", run(str(bin_dir / "refsieve"), "--version")))
        problems = []
        for name, done in steps:
            print(f"check_wheel: {name}: {done.stdout.strip() or 'ok'}")
            if done.returncode != 0:
                problems.append(f"{name} failed: {done.stderr.strip()[-2000:]}")
        return problems


def main(wheel):
    wheel = Path(wheel)
    problems = contents_problems(wheel)
    if not problems:
        problems = install_problems(wheel)
    for problem in problems:
        print(f"check_wheel: {problem}", file=sys.stderr)
    print(f"check_wheel: {wheel.name}: " + ("not ok" if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
