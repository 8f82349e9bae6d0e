"""Checks what the sdist and the wheel in a directory contain.

Usage: python tools/check_dist.py DIST_DIR

The sdist must carry the generated Unicode tables and their generator (so
it builds without the Unicode data files); the wheel must carry the
extension module, its stubs, the command-line tool with its bundled sample,
the command's engine module, the console script and the project metadata,
and each module must export its initialisation entry alone
(check_exports.py).
"""

import sys
import tarfile
import tempfile
import zipfile
from email.parser import Parser
from fnmatch import fnmatch
from pathlib import Path

from check_exports import export_problems

SDIST_MEMBERS = [
    "pyproject.toml", "CMakeLists.txt", "README.md", "CHANGELOG.md", "LICENSE",
    "src/core/unicode_tables.cpp", "src/engine/name_characters.cpp", "tools/gen_unicode_tables.py",
    "python/refsieve-stubs/__init__.pyi", "python/refsieve_cli/cli.py",
    "examples/sample/references.json", "examples/sample/catalogue.json",
]
WHEEL_MODULES = ["refsieve.cpython-*.so", "refsieve_cli/_engine.cpython-*.so"]
WHEEL_MEMBERS = [
    *WHEEL_MODULES, "refsieve-stubs/__init__.pyi",
    "refsieve_cli/__init__.py", "refsieve_cli/__main__.py", "refsieve_cli/cli.py", "refsieve_cli/io/readers.py",
    "refsieve_cli/records/builder.py", "refsieve_cli/engine/local.py", "refsieve_cli/commands/match.py",
    "refsieve_cli/_engine.pyi", "refsieve_cli/progress.py", "refsieve_cli/py.typed",
    "refsieve_cli/sample/references.json", "refsieve_cli/sample/catalogue.json",
]
METADATA_LINES = [
    "Requires-Dist: bibtexparser*", "License: MIT",
    "Classifier: Programming Language :: Python :: 3.11", "Classifier: Programming Language :: Python :: 3.12",
    "Classifier: Programming Language :: Python :: 3.13",
]


def missing(names, patterns):
    return [pattern for pattern in patterns if not any(fnmatch(name, pattern) for name in names)]


def main(dist):
    problems = []
    [sdist] = Path(dist).glob("*.tar.gz")
    [wheel] = Path(dist).glob("*.whl")
    with tarfile.open(sdist) as archive:
        names = [name.split("/", 1)[1] for name in archive.getnames() if "/" in name]
    problems += [f"sdist lacks {name}" for name in missing(names, SDIST_MEMBERS)]
    problems += [f"sdist holds Unicode data {name}" for name in names if name.endswith("UnicodeData.txt")]
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        info = next(name for name in names if name.endswith(".dist-info/METADATA")).rsplit("/", 1)[0]
        metadata = archive.read(f"{info}/METADATA").decode()
        entry_points = archive.read(f"{info}/entry_points.txt").decode()
        modules = [name for name in names if any(fnmatch(name, pattern) for pattern in WHEEL_MODULES)]
        with tempfile.TemporaryDirectory() as scratch:
            for module in modules:
                problems += export_problems(archive.extract(module, scratch))
    problems += [f"wheel lacks {name}" for name in missing(names, WHEEL_MEMBERS)]
    headers = Parser().parsestr(metadata)
    lines = [f"{key}: {value}" for key, value in headers.items()]
    problems += [f"wheel metadata lacks {line}" for line in missing(lines, METADATA_LINES)]
    if "refsieve = refsieve_cli.cli:main" not in entry_points:
        problems.append("wheel has no refsieve console script")
    for problem in problems:
        print(f"check_dist: {problem}", file=sys.stderr)
    print(f"check_dist: {sdist.name} and {wheel.name}: " + ("not ok" if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
