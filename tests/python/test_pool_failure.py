"""A worker pool that cannot start fails this call and every later one."""

import json
import os
import sys

import pytest
from _support import run_python

CHILD = """
import json, resource, refsieve
# Leave room for the interpreter but not for the workers' stacks.
vm = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (vm + 32 * 1024 * 1024, resource.RLIM_INFINITY))
outcomes = []
for _ in range(3):
    try:
        refsieve.score_batch([], [], 1, 0.0)
        outcomes.append(None)
    except Exception as exc:
        outcomes.append(['Exception', str(exc)])
    except BaseException as exc:
        outcomes.append([type(exc).__name__, str(exc), type(exc).__mro__[1].__name__])
print(json.dumps(outcomes))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer reserves more address space")
def test_pool_that_cannot_start_raises_panic_on_every_call():
    child = run_python(CHILD, RAYON_NUM_THREADS="64")
    assert child.returncode == 0, child.stderr
    outcomes = json.loads(child.stdout)
    assert len(outcomes) == 3
    for outcome in outcomes:
        assert outcome is not None, "the pool started despite the address-space limit"
        name, message, base = outcome
        assert (name, base) == ("PanicException", "BaseException")
        assert message.startswith("The global thread pool has not been initialized.")
    assert "The global thread pool has not been initialized." in child.stderr
