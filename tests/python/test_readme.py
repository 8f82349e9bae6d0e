"""Every example in README.md runs, so the manual cannot drift from the code.

``python`` blocks are doctests, run in order in one namespace (those that
import pandas only where pandas is installed). ``console``
blocks are shell sessions: the ``$`` lines run in one bash script (in a
scratch directory that sees the checkout's examples/ and tests/) and
together must print the block's other lines, standard error included.
``sh`` blocks are set-up commands that the test script itself runs; here
only the scripts they name must exist.
"""

import doctest
import importlib.util
import os
import re
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from _support import module_env

REPO = Path(__file__).resolve().parents[2]
README = REPO / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def blocks(language):
    return [body for lang, body in FENCE.findall(README.read_text(encoding="utf-8")) if lang == language]


def test_every_fenced_block_has_a_known_kind():
    kinds = {lang for lang, _ in FENCE.findall(README.read_text(encoding="utf-8"))}
    assert kinds <= {"python", "console", "sh"}
    assert all(">>>" in body for body in blocks("python")), "a python example without >>> would never run"


def test_python_examples():
    examples = blocks("python")
    if importlib.util.find_spec("pandas") is None:
        # pandas is an optional extra: its examples run where it is installed.
        examples = [body for body in examples if "import pandas" not in body]
    text = "\n".join(examples)
    test = doctest.DocTestParser().get_doctest(text, {}, "README.md", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0 and runner.tries > 10


def wrapper(directory, name, *command):
    path = directory / name
    path.write_text("#!/bin/sh\nexec " + " ".join(f'"{part}"' for part in command) + ' "$@"\n')
    path.chmod(path.stat().st_mode | stat.S_IEXEC)


@pytest.fixture
def shell(tmp_path):
    """Runs a console block's commands in a scratch directory; returns what they printed."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    wrapper(bin_dir, "refsieve", sys.executable, "-m", "refsieve_cli")
    wrapper(bin_dir, "python", sys.executable)
    work = tmp_path / "work"
    work.mkdir()
    for name in ("examples", "tests"):
        (work / name).symlink_to(REPO / name)
    env = module_env()
    env["PATH"] = f"{bin_dir}{os.pathsep}{env['PATH']}"

    def run(script, **extra_env):
        done = subprocess.run(["bash", "-c", script], cwd=work, env={**env, **extra_env}, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=300)
        return done.stdout

    return run


def split_session(block):
    commands = [line[2:] for line in block.splitlines() if line.startswith("$ ")]
    output = "".join(line + "\n" for line in block.splitlines() if not line.startswith("$ "))
    return "\n".join(commands), output


@pytest.mark.parametrize("block", blocks("console"), ids=lambda block: block.splitlines()[0][2:40])
def test_console_examples(shell, block):
    script, expected = split_session(block)
    extra_env = {}
    if "dask_resolve.py" in script:
        if importlib.util.find_spec("dask") is None:
            pytest.skip("dask is not installed")
        if "ASAN_OPTIONS" in os.environ:
            # Under AddressSanitizer the worker processes' interpreters report their own leaks at exit.
            extra_env["ASAN_OPTIONS"] = os.environ["ASAN_OPTIONS"].replace("detect_leaks=1", "detect_leaks=0")
    assert shell(script, **extra_env) == expected


def test_setup_commands_name_existing_scripts():
    for block in blocks("sh"):
        for line in block.splitlines():
            program = line.split()[0] if line.split() else ""
            if program.startswith("./"):
                assert os.access(REPO / program, os.X_OK), program
            for script in re.findall(r"\b(?:tools|scripts)/[\w.-]+", line):
                assert (REPO / script).exists(), script
