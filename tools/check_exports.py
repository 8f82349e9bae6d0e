"""Checks the symbols of a built extension module (refsieve, or the command's refsieve_cli._engine).

Usage: python tools/check_exports.py MODULE.so...

A module must export its initialisation entry (PyInit_refsieve,
PyInit__engine) and nothing else, so that none of its internals can
collide with another extension's. If the module still
has its full symbol table (it is not stripped), no function of the
reference implementations (refsieve::reference) may be in it: they are
built for the tests, fuzzers and benchmarks only.
"""

import subprocess
import sys
from pathlib import Path


def symbols(module, *options):
    done = subprocess.run(["nm", "--defined-only", *options, module], capture_output=True, text=True)
    if done.returncode != 0 and "no symbols" not in done.stderr:
        raise RuntimeError(f"nm {' '.join(options)} {module}: {done.stderr.strip()}")
    return [line.split(" ", 2)[2] for line in done.stdout.splitlines() if line.count(" ") >= 2]


def export_problems(module):
    """What is wrong with the module's symbols, as a list of messages."""
    problems = []
    entry = "PyInit_" + Path(module).name.split(".")[0]
    exported = symbols(module, "--dynamic")
    if sorted(exported) != [entry]:
        problems.append(f"{module} exports {len(exported)} symbols, not {entry} alone: "
                        + ", ".join(sorted(exported)[:10]))
    reference = [name for name in symbols(module, "--demangle") if "refsieve::reference::" in name]
    if reference:
        problems.append(f"{module} holds reference functions: " + ", ".join(reference[:10]))
    return problems


def main(modules):
    failed = False
    for module in modules:
        problems = export_problems(module)
        for problem in problems:
            print(f"check_exports: {problem}", file=sys.stderr)
        print(f"check_exports: {module}: " + ("not ok" if problems else "ok"))
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
