"""The windowed stage's kernels as their baseline copies: the pinned results bit for bit as the copies this
machine chooses (the AVX2 ones where the processor has them) give them.

test_pinned.py runs again in a child process with POWERQUALITY_KERNELS=baseline, which the library reads once
per process; on a machine without AVX2 both runs take the baseline copies.
"""

import os
import subprocess
import sys


def test_pinned_results_with_the_baseline_kernels():
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, POWERQUALITY_KERNELS="baseline")
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          os.path.join(here, "test_pinned.py")], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-2000:]
